// The tool's shell inside the process, driven through its widgets: the mode
// choice and station count, the version marker and the release notes it
// leads to, the background update check, the update window it brings up and
// the button that hands over to the updater.

#include "httpstub.h"
#include "shelltest.h"

#include "appglobals.h"
#include "qtchinese.h"
#include "developwindow.h"
#include "factorywindow.h"
#include "shownewfeature.h"
#include "startwindow.h"
#include "updatemodule.h"
#include "updatethread.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

using namespace shelltest;

namespace {

const QByteArray newerListing = "<a href='vq_download_tool_v3.0.3.zip'>v3.0.3</a>";
const QByteArray shareLog = QString::fromUtf8("Quorvex串口烧录工具:v3.1.0\r\n修复若干问题\n<b>新</b>增\n").toUtf8();
const QString upgradeLine = QString::fromUtf8("\n开始升级...如果升级失败，请联系我司FAE获取最新的下载地址");

template <typename T>
T *visibleTopLevel()
{
    for (T *w : topLevel<T>())
        if (w->isVisible())
            return w;
    return nullptr;
}

QTextEdit *logOf(QWidget *window) { return window->findChild<QTextEdit *>(QStringLiteral("textEdit")); }
void press(QWidget *window, const char *button)
{
    QTest::mouseClick(window->findChild<QPushButton *>(QLatin1String(button)), Qt::LeftButton);
}

} // namespace

class TestShell : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void stationCount_data();
    void stationCount();
    void developerMode();
    void chineseButtons_data();
    void chineseButtons();
    void versionMarker_data();
    void versionMarker();
    void backgroundCheck_data();
    void backgroundCheck();
    void updateWindow_data();
    void updateWindow();
    void startUpdater_data();
    void startUpdater();

private:
    // The listing on the local server (a dead port when empty) and the
    // share's update_log.txt (none when empty).
    void serve(const QByteArray &listing, const QByteArray &log);

    QTemporaryDir root;
    QString config;
    QString updaterFolder;
    HttpStub web;
    int cases = 0;
};

void TestShell::initTestCase()
{
    stretchListingWait();
    initToolResources();
    // As both programs do at start, whatever the system language.
    QVERIFY(installQtChinese(qApp));
    QVERIFY(root.isValid());
    // Started from elsewhere: the tool finds its updater beside itself.
    QVERIFY(QDir::setCurrent(root.path()));
    updaterFolder = QCoreApplication::applicationDirPath() + QStringLiteral("/upliftor");
}

void TestShell::init()
{
    config = root.filePath(QStringLiteral("case%1/config").arg(++cases));
    QVERIFY(writeFile(config + QStringLiteral("/version.txt"), kProgramVersion));
    qputenv("VQ_CONFIG_DIR", config.toUtf8());
    serve(QByteArray(), QByteArray());
    deviceCount = 0;
    checkStarted = false;
    showCount = 0;
    QDir(updaterFolder).removeRecursively();
}

void TestShell::cleanup()
{
    QDir(updaterFolder).removeRecursively();
}

void TestShell::serve(const QByteArray &listing, const QByteArray &log)
{
    web.route("/", {{200, listing, HttpStub::Whole}});
    QVERIFY(pointSources(config, listing.isEmpty() ? deadHost() : web.host(),
                         root.filePath(QStringLiteral("case%1/share").arg(cases)), log));
}

void TestShell::stationCount_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<uint>("count");  // 0: refused
    QTest::newRow("offered") << "16" << 16u;
    QTest::newRow("odd is raised") << "17" << 18u;
    QTest::newRow("hexadecimal") << "0x10" << 16u;
    QTest::newRow("octal") << "010" << 8u;
    QTest::newRow("31 raised to the limit") << "31" << 32u;
    QTest::newRow("zero") << "0" << 0u;
    QTest::newRow("empty") << "" << 0u;
    QTest::newRow("not a number") << "abc" << 0u;
    QTest::newRow("not octal") << "08" << 0u;
    QTest::newRow("33 raised past the limit") << "33" << 0u;
    QTest::newRow("too large for 32 bits") << "99999999999" << 0u;
}

void TestShell::stationCount()
{
    QFETCH(QString, typed);
    QFETCH(uint, count);
    startWindow start;
    start.show();
    auto *field = start.findChild<QLineEdit *>(QStringLiteral("lineEdit"));
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, typed);

    QString box;
    if (count == 0)
        answerNextBox(&box);
    press(&start, "pushButton");
    if (count == 0) {
        QCOMPARE(box, QString::fromUtf8("设备数量错误|设备数量无效，请输入1到32之间的数字！"));
        QVERIFY(start.isVisible());
        QVERIFY(topLevel<factoryWindow>().isEmpty());
    } else {
        QVERIFY(visibleTopLevel<factoryWindow>());
        QVERIFY(!start.isVisible());
    }
    QCOMPARE(deviceCount, count);
}

void TestShell::developerMode()
{
    startWindow start;
    start.show();
    auto *combo = start.findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *field = start.findChild<QLineEdit *>(QStringLiteral("lineEdit"));
    field->setText(QStringLiteral("abc"));
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(combo->currentText(), QString::fromUtf8("开发者模式"));
    QVERIFY(!field->isEnabled());
    QTest::keyClick(combo, Qt::Key_Up);
    QVERIFY(field->isEnabled());
    QTest::keyClick(combo, Qt::Key_Down);

    // The count is not asked for: no box, no factory window.
    press(&start, "pushButton");
    QVERIFY(visibleTopLevel<developWindow>());
    QVERIFY(topLevel<factoryWindow>().isEmpty());
    QVERIFY(!start.isVisible());
}

void TestShell::chineseButtons_data()
{
    QTest::addColumn<int>("buttons");
    QTest::addColumn<QStringList>("texts");
    // "清零计数", "整片擦除", the exit question.
    QTest::newRow("question") << int(QMessageBox::Yes | QMessageBox::No) << QStringList{"否", "是"};
    QTest::newRow("warning, information") << int(QMessageBox::Ok) << QStringList{"确定"};
    // The updater's outcome, and the access-code dialog's buttons.
    QTest::newRow("outcome with cancel") << int(QMessageBox::Ok | QMessageBox::Cancel) << QStringList{"取消", "确定"};
}

void TestShell::chineseButtons()
{
    QFETCH(int, buttons);
    QFETCH(QStringList, texts);
    QMessageBox box(QMessageBox::Question, QString::fromUtf8("消息"), QString::fromUtf8("确定吗？"),
                    QMessageBox::StandardButtons(buttons));
    QStringList shown;
    static const QRegularExpression mark(QStringLiteral("\\(&.\\)$"));
    for (QAbstractButton *b : box.buttons())
        shown << b->text().remove(mark).remove(QLatin1Char('&'));
    shown.sort();
    QCOMPARE(shown, texts);
}

void TestShell::versionMarker_data()
{
    QTest::addColumn<QByteArray>("marker");  // null: no file
    QTest::addColumn<bool>("firstStart");
    QTest::newRow("this version") << QByteArray("v3.0.2") << false;
    QTest::newRow("with a line end") << QByteArray("v3.0.2\n") << true;
    QTest::newRow("longer old version") << QByteArray("v3.0.1-beta7") << true;
    QTest::newRow("empty") << QByteArray("") << true;
    QTest::newRow("absent") << QByteArray() << true;
}

void TestShell::versionMarker()
{
    QFETCH(QByteArray, marker);
    QFETCH(bool, firstStart);
    const QString path = config + QStringLiteral("/version.txt");
    QFile::remove(path);
    if (!marker.isNull())
        QVERIFY(writeFile(path, marker));

    for (int start = 1; start <= 2; ++start) {
        startWindow window;
        window.show();
        QVERIFY(!visibleTopLevel<showNewFeature>());
        press(&window, "pushButton");
        QVERIFY(visibleTopLevel<factoryWindow>());
        // The notes follow the mode choice on the first start of a version only.
        QCOMPARE(bool(visibleTopLevel<showNewFeature>()), firstStart && start == 1);
        if (showNewFeature *notes = visibleTopLevel<showNewFeature>()) {
            const QPoint offset = notes->frameGeometry().center() - visibleTopLevel<factoryWindow>()->frameGeometry().center();
            QVERIFY2(offset.manhattanLength() <= 2, "the notes are centred over the window they come with");
        }
        QCOMPARE(readFile(path), QByteArray(kProgramVersion));
    }
}

void TestShell::backgroundCheck_data()
{
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<bool>("asks");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("newer on the web")
        << newerListing << QByteArray() << true
        << QStringList{"网络服务器版本号：v3.0.3", "本地版本号：v3.0.2", "检测到服务器有新版本", upgradeLine};
    QTest::newRow("current on the web, newer on the share")
        << QByteArray("'vq_download_tool_v3.0.2.zip'") << shareLog << false
        << QStringList{"网络服务器版本号：v3.0.2", "本地版本号：v3.0.2", "当前已经是最新版本，无需升级！"};
    QTest::newRow("web down, newer on the share")
        << QByteArray() << shareLog << true
        << QStringList{"文件服务器版本号：v3.1.0", "本地版本号：v3.0.2", "检测到服务器有新版本！",
                       QString::fromUtf8("修复若干问题\n<b>新</b>增\n")};
    QTest::newRow("web down, no share") << QByteArray() << QByteArray() << false << QStringList();
}

void TestShell::backgroundCheck()
{
    QFETCH(QByteArray, listing);
    QFETCH(QByteArray, log);
    QFETCH(bool, asks);
    QFETCH(QStringList, lines);
    serve(listing, log);

    updateThread thread;
    int asked = 0;
    connect(&thread, &updateThread::showUI, this, [&asked] { ++asked; }, Qt::QueuedConnection);
    thread.start();
    if (asks) {
        // It keeps asking until the start window says the window is up.
        QTRY_VERIFY_WITH_TIMEOUT(asked >= 2, 60000);
        thread.stopNotify();
    }
    QTRY_VERIFY_WITH_TIMEOUT(thread.isFinished(), 60000);
    QCoreApplication::processEvents();
    QCOMPARE(asked > 0, asks);
    QCOMPARE(thread.checkLines(), lines);
    // The check ran off the GUI thread without writing into a widget.
    QVERIFY(logOf(thread.checkWindow())->document()->isEmpty());
    QVERIFY(thread.checkWindow()->isHidden());
}

void TestShell::updateWindow_data()
{
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<QString>("shown");
    QTest::newRow("newer on the web") << newerListing << QByteArray()
                                      << QString::fromUtf8("网络服务器版本号：v3.0.3\n本地版本号：v3.0.2\n"
                                                           "检测到服务器有新版本\n") + upgradeLine;
    // The release log is shown as written, markup and all.
    QTest::newRow("web down, newer on the share") << QByteArray() << shareLog
                                                  << QString::fromUtf8("文件服务器版本号：v3.1.0\n本地版本号：v3.0.2\n"
                                                                       "检测到服务器有新版本！\n修复若干问题\n<b>新</b>增\n");
}

void TestShell::updateWindow()
{
    QFETCH(QByteArray, listing);
    QFETCH(QByteArray, log);
    QFETCH(QString, shown);
    serve(listing, log);

    startWindow start;
    start.show();
    QTRY_VERIFY_WITH_TIMEOUT(visibleTopLevel<updateModule>(), 60000);
    updateModule *window = visibleTopLevel<updateModule>();
    QVERIFY(window->windowFlags() & Qt::WindowStaysOnTopHint);
    QTRY_COMPARE_WITH_TIMEOUT(logOf(window)->toPlainText(), shown, 60000);
    QCOMPARE(showCount, 1u);
    // The thread's own window stayed hidden and untouched.
    for (updateModule *w : topLevel<updateModule>())
        QVERIFY(w == window || (w->isHidden() && logOf(w)->document()->isEmpty()));

    // "退出" closes the update window only.
    press(window, "pushButton_2");
    QVERIFY(!window->isVisible());
    QVERIFY(start.isVisible());
}

void TestShell::startUpdater_data()
{
    QTest::addColumn<QByteArray>("updater");  // empty: none installed
    QTest::addColumn<bool>("starts");
    QTest::newRow("updater missing") << QByteArray() << false;
    QTest::newRow("updater cannot run") << QByteArray("not a program") << false;
    QTest::newRow("updater runs") << QByteArray("#!/bin/sh\npwd -P > \"$0.ran\"\n") << true;
}

void TestShell::startUpdater()
{
    QFETCH(QByteArray, updater);
    QFETCH(bool, starts);
    const QString program = updaterFolder + QStringLiteral("/upliftor");
    if (!updater.isEmpty())
        QVERIFY(writeFile(program, updater));
    if (starts)
        QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner));
    serve(newerListing, QByteArray());

    startWindow start;
    start.show();
    QTRY_VERIFY_WITH_TIMEOUT(visibleTopLevel<updateModule>(), 60000);
    updateModule *window = visibleTopLevel<updateModule>();
    QTRY_VERIFY_WITH_TIMEOUT(!logOf(window)->document()->isEmpty(), 60000);

    QString box;
    if (!starts)
        answerNextBox(&box);
    press(window, "pushButton");
    if (!starts) {
        QCOMPARE(box, QString::fromUtf8("错误|无法打开升级程序，请联系我司售后人员！"));
        QVERIFY(window->isVisible() && start.isVisible());
        return;
    }
    // Every window of the tool goes, and the updater works in the tool's folder.
    QTRY_VERIFY_WITH_TIMEOUT(!start.isVisible() && !window->isVisible(), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(readFile(program + QStringLiteral(".ran")).trimmed(),
                              QFileInfo(QCoreApplication::applicationDirPath()).canonicalFilePath().toUtf8(), 60000);
}

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
