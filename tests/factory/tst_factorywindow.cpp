// The factory window against simulated chips, driven through its widgets:
// the port monitor, the checks before a run, whole runs with their panels,
// counters, logs, production record and flash contents, continuous mode,
// and counters that survive a killed process.
#include "factorydriver.h"
#include "simfixture.h"
#include "testutil.h"
#include "appglobals.h"
#include "cfgfile.h"
#include "factorywindow.h"
#include "recordstore.h"

#include <QCheckBox>
#include <QDate>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTextEdit>
#include <QtTest>

#include <memory>
#include <sys/stat.h>

namespace {
// Generous: the suite must pass with both cores busy elsewhere.
constexpr int kWaitMs = 60000;
constexpr char kBurnBaud[] = "921600";
// Past the window's double-click guard on its start buttons.
constexpr int kPastDoubleClickMs = 600;

template <typename T>
T *find(QObject *parent, const QString &name)
{
    T *w = parent ? parent->findChild<T *>(name) : nullptr;
    if (!w)
        qWarning() << "missing" << name;
    return w;
}

// The station's widgets, as an operator sees them.
struct panelView {
    QRadioButton *radio;
    QLabel *port;
    QLabel *status;
    QProgressBar *progress;
};

panelView panelOf(QWidget &w, int i)
{
    auto *box = find<QWidget>(&w, QStringLiteral("panel%1").arg(i));
    return {find<QRadioButton>(box, "radioButton"), find<QLabel>(box, "label_port"), find<QLabel>(box, "label_sta"),
            find<QProgressBar>(box, "progressBar")};
}

QStringList panelPorts(QWidget &w, int count)
{
    QStringList names;
    for (int i = 0; i < count; ++i)
        names << panelOf(w, i).port->text();
    return names;
}

void setRow(QWidget &w, int row, const QString &path, const QString &address, bool on = true)
{
    auto *box = find<QWidget>(&w, QStringLiteral("fileRow%1").arg(row));
    find<QLineEdit>(box, "lineEdit")->setText(path);
    find<QLineEdit>(box, "lineEdit_2")->setText(address);
    find<QCheckBox>(box, "checkBox")->setChecked(on);
}

QLineEdit *baudField(QWidget &w)
{
    return find<QLineEdit>(find<QWidget>(&w, "otherCfgBox"), "lineEdit");
}

QPushButton *startButton(QWidget &w)
{
    return find<QPushButton>(&w, "pbnStartDownload");
}

QString viewText(QWidget &w)
{
    return find<QTextEdit>(&w, "textEdit")->toPlainText();
}

QString today(const char *suffix)
{
    return QStringLiteral("log/") + QDate::currentDate().toString("yyyy-MM-dd") + QLatin1String(suffix);
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QJsonObject settingsOnDisk()
{
    return QJsonDocument::fromJson(fileBytes(cfgFilePath())).object();
}

// The production record: fields of every line after the header; the first
// entry is the header itself. Quoted fields are unquoted.
QList<QStringList> recordLines()
{
    const QByteArray raw = fileBytes(today(".csv"));
    if (!raw.startsWith("\xEF\xBB\xBF"))
        return {};
    QList<QStringList> lines;
    for (const QString &line : QString::fromUtf8(raw.mid(3)).split("\r\n", Qt::SkipEmptyParts)) {
        QStringList fields{QString()};
        bool quoted = false;
        for (int i = 0; i < line.size(); ++i) {
            const QChar c = line.at(i);
            if (c == '"' && quoted && i + 1 < line.size() && line.at(i + 1) == '"')
                fields.last() += line.at(++i);
            else if (c == '"')
                quoted = !quoted;
            else if (c == ',' && !quoted)
                fields << QString();
            else
                fields.last() += c;
        }
        lines << fields;
    }
    return lines;
}

enum recordField { kTime, kStation, kPort, kModel, kFlashId, kUid, kCode, kText, kSeconds, kBytes, kFiles, kKind };
} // namespace

class tst_factorywindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void settingsAtStartup();
    void stationCounts_data();
    void stationCounts();
    void portMonitorFollowsPlugs();
    void refusedStarts_data();
    void refusedStarts();
    void runOfFourWithOneFault();
    void continuousModeCountsEachChipOnce();
    void eraseRunAfterDownload();
    void countersSurviveKill();
    void interruptedRuns_data();
    void interruptedRuns();
    void fixtureStations_data();
    void fixtureStations();
    void recordServerRefusals_data();
    void recordServerRefusals();
    void portRefusalsSayWhy_data();
    void portRefusalsSayWhy();
    void stationsKeepTheirSockets_data();
    void stationsKeepTheirSockets();

private:
    std::unique_ptr<factoryWindow> open(uint32_t stations);
    QString writeImage(const QString &name, const QByteArray &bytes);
    bool selectPanels(QWidget &w, int count);

    QTemporaryDir work;
    QString config;
    std::unique_ptr<factoryWindow> window;
    // Started by the first case that needs one.
    std::unique_ptr<PgServer> pg;
};

void tst_factorywindow::initTestCase()
{
    QVERIFY(work.isValid());
    initToolResources();
    config = work.filePath("config");
    QVERIFY(copyShippedConfig(config));
    qputenv("VQ_CONFIG_DIR", config.toLocal8Bit());
    // The daily log and the record go to the working folder's log/.
    QVERIFY(QDir().mkpath(work.filePath("run")));
    QVERIFY(QDir::setCurrent(work.filePath("run")));
    // Where log/ goes when the working folder's cannot be written.
    qputenv("XDG_DATA_HOME", work.filePath("data").toLocal8Bit());
}

void tst_factorywindow::init()
{
    QFile::remove(cfgFilePath());
    QFile::remove(cfgFilePath() + ".bad");
    QDir("log").removeRecursively();
    QFile::remove("log");
}

void tst_factorywindow::cleanup()
{
    window.reset();
}

std::unique_ptr<factoryWindow> tst_factorywindow::open(uint32_t stations)
{
    deviceCount = stations;
    auto w = std::make_unique<factoryWindow>();
    w->resize(1400, 900);
    w->show();
    return w;
}

QString tst_factorywindow::writeImage(const QString &name, const QByteArray &bytes)
{
    const QString path = work.filePath(name);
    return writeFile(path, bytes) ? path : QString();
}

bool tst_factorywindow::selectPanels(QWidget &w, int count)
{
    for (int i = 0; i < count; ++i) {
        QRadioButton *radio = panelOf(w, i).radio;
        if (!QTest::qWaitFor([&] { return radio->isEnabled(); }, kWaitMs))
            return false;
        if (!radio->isChecked())
            radio->click();
        if (!radio->isChecked())
            return false;
    }
    return true;
}

void tst_factorywindow::settingsAtStartup()
{
    // First start: no file.
    window = open(2);
    QVERIFY(viewText(*window).contains("未检测到配置文件，已重新创建默认配置文件。"));
    QCOMPARE(settingsOnDisk().size(), 24);
    window.reset();

    // An older file: no boot_flag, a counter stored as a number, the lock on.
    QFile f(cfgFilePath());
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(R"({"baud_rate": "2000000", "all_cnt": 40, "ok_cnt": "38", "err_cnt": "2",
               "lock_flag": "1", "reset_flag": "1", "high_flag": "0", "continue_flag": "0",
               "file_path_0": "/srv/app.bin", "path_sta_0": "1", "file_addr_0": "1000",
               "file_path_1": "/srv/data.bin", "path_sta_1": "0", "file_addr_1": "80000"})");
    f.close();
    window = open(2);
    QVERIFY(!viewText(*window).contains("未检测到配置文件"));
    // The mistyped counter is kept aside; the rest of the file stays in use.
    QVERIFY(viewText(*window).contains("cfg_file.json.bad"));
    QVERIFY(fileBytes(cfgFilePath() + ".bad").contains(R"("all_cnt": 40)"));
    QJsonObject o = settingsOnDisk();
    QCOMPARE(o.value("boot_flag").toString(), QString("0"));
    QVERIFY(!o.contains("fast_flag"));
    QVERIFY(!find<QCheckBox>(window.get(), "cbBootCtl")->isChecked());
    QVERIFY(!find<QCheckBox>(window.get(), "cbFastLoad")->isEnabled());
    QVERIFY(find<QCheckBox>(window.get(), "cbAutoReset")->isChecked());
    QVERIFY(find<QCheckBox>(window.get(), "cbLockUI")->isChecked());
    QVERIFY(!find<QWidget>(window.get(), "fileCfgPanel")->isEnabled());
    QVERIFY(!baudField(*window)->isEnabled());
    // Nothing destructive under the lock.
    QVERIFY(!find<QPushButton>(window.get(), "pbnEarse")->isEnabled());
    QVERIFY(!find<QPushButton>(find<QWidget>(window.get(), "countBox"), "pushButton")->isEnabled());
    QCOMPARE(baudField(*window)->text(), QString("2000000"));
    QCOMPARE(find<QLabel>(window.get(), "downloadCnt")->text(), QString("0"));
    QCOMPARE(find<QLabel>(window.get(), "downloadOkCnt")->text(), QString("38"));

    // Any row change saves every row; a disabled row is saved empty.
    setRow(*window, 0, "/srv/app.bin", "2000");
    o = settingsOnDisk();
    QCOMPARE(o.value("file_addr_0").toString(), QString("2000"));
    QCOMPARE(o.value("file_path_1").toString(), QString());
    QCOMPARE(o.value("path_sta_1").toString(), QString("0"));

    // Clearing the counters asks first; once done it is logged and on disk.
    find<QCheckBox>(window.get(), "cbLockUI")->click();
    // Only what can become an address gets into the field.
    auto *address = find<QLineEdit>(find<QWidget>(window.get(), "fileRow0"), "lineEdit_2");
    address->clear();
    QTest::keyClicks(address, "0x1g0z0");
    QCOMPARE(address->text(), QString("0x100"));
    QVERIFY(baudField(*window)->isEnabled());
    find<QCheckBox>(window.get(), "cbFastLoad")->click();
    QCOMPARE(settingsOnDisk().value("fast_flag").toString(), QString("1"));
    QVERIFY(find<QPushButton>(window.get(), "pbnEarse")->isEnabled());
    auto *clear = find<QPushButton>(find<QWidget>(window.get(), "countBox"), "pushButton");
    QObject scope;
    FactoryDriver::answerNextBox(&scope, QMessageBox::No);
    clear->click();
    QCOMPARE(find<QLabel>(window.get(), "downloadOkCnt")->text(), QString("38"));
    FactoryDriver::answerNextBox(&scope, QMessageBox::Yes);
    clear->click();
    QCOMPARE(find<QLabel>(window.get(), "downloadOkCnt")->text(), QString("0"));
    QVERIFY(fileBytes(today(".text")).contains("已清零计数（烧录总数：0，烧录成功：38，烧录失败：2）"));
    QCOMPARE(settingsOnDisk().value("ok_cnt").toString(), QString("0"));
    baudField(*window)->setText("1500000");
    window.reset();
    o = settingsOnDisk();
    QCOMPARE(o.value("baud_rate").toString(), QString("1500000"));
    QCOMPARE(o.value("lock_flag").toString(), QString("0"));

    // A spoiled file is set aside, and the log says where.
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(R"({"all_cnt": "9120", "ok_cnt": )");
    f.close();
    window = open(2);
    QVERIFY(viewText(*window).contains("未检测到配置文件，已重新创建默认配置文件。"));
    QVERIFY(viewText(*window).contains("cfg_file.json.bad"));
    QVERIFY(fileBytes(today(".text")).contains("cfg_file.json.bad"));
    window.reset();

    // A log folder that cannot be made here: the user's data folder takes
    // the whole of log/, said once; where that cannot be made either, that
    // is said once, and no log file is claimed.
    QVERIFY(QDir("log").removeRecursively());
    QVERIFY(writeFile("log", "not a folder"));
    window = open(2);
    QCOMPARE(viewText(*window).count("日志和生产记录改存在"), 1);
    QVERIFY(QFileInfo(work.filePath("data/vq_download_tool/log/production.db")).isFile());
    window.reset();
    const QByteArray data = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", "/proc/version/data");
    window = open(2);
    startButton(*window)->click();
    startButton(*window)->click();
    QCOMPARE(viewText(*window).count("无法创建日志文件夹"), 1);
    QVERIFY(!viewText(*window).contains("已创建日志文件"));
    window.reset();
    qputenv("XDG_DATA_HOME", data);
    QVERIFY(QFile::remove("log"));

    // An immutable file (only root can make one): said once, in red and in
    // a box; the counts cleared on screen reach the file once it can be
    // written again.
    // The fault comes while the window is built (its saved options are
    // applied); its box waits for the window and stands over its middle.
    QVERIFY(writeValues({{"all_cnt", "7"}, {"ok_cnt", "7"}, {"reset_flag", "1"}}));
    QVERIFY(addValue("continue_fail_flag", "0"));
    QProcess chattr;
    chattr.start("chattr", {"+i", cfgFilePath()});
    if (!chattr.waitForFinished() || chattr.exitCode() != 0)
        return;
    window = open(2);
    QTRY_COMPARE(window->findChildren<QMessageBox *>().size(), 1);
    QMessageBox *box = window->findChildren<QMessageBox *>().first();
    QTRY_VERIFY(box->isVisible());
    QVERIFY((box->frameGeometry().center() - window->frameGeometry().center()).manhattanLength() <= 2);
    startButton(*window)->click();
    FactoryDriver::answerNextBox(&scope, QMessageBox::Yes);
    find<QPushButton>(find<QWidget>(window.get(), "countBox"), "pushButton")->click();
    QCOMPARE(find<QLabel>(window.get(), "downloadCnt")->text(), QString("0"));
    // Back to the value the file holds: no write, and no sign that the
    // file can be written again.
    find<QCheckBox>(window.get(), "cbKeepGoing")->click();
    find<QCheckBox>(window.get(), "cbKeepGoing")->click();
    find<QCheckBox>(window.get(), "cbAutoReset")->click();
    QCOMPARE(settingsOnDisk().value("all_cnt").toString(), QString("7"));
    QCOMPARE(viewText(*window).count("配置文件无法保存"), 1);
    QVERIFY(find<QTextEdit>(window.get(), "textEdit")->toHtml().contains("#ff0000"));
    QCOMPARE(window->findChildren<QMessageBox *>().size(), 1);
    chattr.start("chattr", {"-i", cfgFilePath()});
    QVERIFY(chattr.waitForFinished() && chattr.exitCode() == 0);
    QTRY_COMPARE_WITH_TIMEOUT(settingsOnDisk().value("all_cnt").toString(), QString("0"), kWaitMs);
}

void tst_factorywindow::stationCounts_data()
{
    QTest::addColumn<int>("stations");
    for (int n : {0, 1, 7, 16, 32})
        QTest::addRow("%d", n) << n;
}

void tst_factorywindow::stationCounts()
{
    QFETCH(int, stations);
    window = open(static_cast<uint32_t>(stations));
    window->resize(1600, 1000);
    auto *area = find<QWidget>(window.get(), "downloadPanel");
    QTRY_VERIFY(stations == 0 || panelOf(*window, stations - 1).radio->isVisible());
    for (int i = 0; i < stations; ++i) {
        auto *box = find<QWidget>(window.get(), QStringLiteral("panel%1").arg(i));
        const QRect r = box->geometry();
        QVERIFY2(area->rect().contains(r), qPrintable(QString::number(i)));
        // Tall enough for its progress bar and status word; two columns.
        QVERIFY(r.height() >= box->minimumSizeHint().height());
        QVERIFY(r.width() <= area->width() / 2);
        QCOMPARE(r.left() > area->width() / 4, i % 2 == 1);
        QCOMPARE(panelOf(*window, i).port->text(), QString("NONE"));
        QVERIFY(!panelOf(*window, i).radio->isEnabled());
    }
    // Nothing to start: the refusal names the missing selection.
    startButton(*window)->click();
    QVERIFY(viewText(*window).contains("没有选择任何串口，请先选择串口！"));
}

void tst_factorywindow::portMonitorFollowsPlugs()
{
    QTemporaryDir ports;
    QVERIFY(ports.isValid());
    const QStringList shared{"--port-dir", ports.path(), "--fixture-pressed"};
    SimFixture com3(shared + QStringList{"--first", "3"});
    SimFixture com10(shared + QStringList{"--first", "10"});
    SimFixture com4(shared + QStringList{"--first", "4"});
    for (SimFixture *s : {&com3, &com10, &com4})
        QVERIFY2(s->ok(), qPrintable(s->error()));
    qputenv("VQ_SIM_PORT_DIR", ports.path().toUtf8());

    window = open(8);
    const QStringList idle{"COM3", "COM4", "COM10", "NONE", "NONE", "NONE", "NONE", "NONE"};
    QTRY_COMPARE_WITH_TIMEOUT(panelPorts(*window, 8), idle, kWaitMs);
    for (int i = 0; i < 8; ++i)
        QCOMPARE(panelOf(*window, i).radio->isEnabled(), i < 3);

    // A port that moves to another panel takes its selection along; one
    // that goes and comes back is selected again.
    panelOf(*window, 2).radio->click();
    panelOf(*window, 1).radio->click();
    QVERIFY(panelOf(*window, 2).radio->isChecked());
    QVERIFY(com4.request("UNPLUG").value(0) == "OK");
    QTRY_COMPARE_WITH_TIMEOUT(panelPorts(*window, 3), (QStringList{"COM3", "COM10", "NONE"}), kWaitMs);
    QVERIFY(panelOf(*window, 1).radio->isChecked());
    QVERIFY(!panelOf(*window, 2).radio->isEnabled());
    QVERIFY(com4.request("PLUG").value(0) == "OK");
    QTRY_COMPARE_WITH_TIMEOUT(panelPorts(*window, 8), idle, kWaitMs);
    QVERIFY(panelOf(*window, 2).radio->isChecked());
    QVERIFY(panelOf(*window, 1).radio->isChecked());

    // The selection is there again at the next start; "全选" takes every
    // panel with a port, and gives them all up.
    window.reset();
    window = open(8);
    QTRY_COMPARE_WITH_TIMEOUT(panelPorts(*window, 8), idle, kWaitMs);
    QVERIFY(!panelOf(*window, 0).radio->isChecked());
    QVERIFY(panelOf(*window, 1).radio->isChecked());
    QVERIFY(panelOf(*window, 2).radio->isChecked());
    auto *all = find<QCheckBox>(window.get(), "cbSelectAll");
    for (bool on : {true, false}) {
        all->click();
        for (int i = 0; i < 8; ++i)
            QCOMPARE(panelOf(*window, i).radio->isChecked(), on && i < 3);
    }
    panelOf(*window, 2).radio->click();

    // During a run (continuous, so it stays on) the panels stay as they are.
    const QString image = writeImage("monitor.bin", randomBytes(6000, 7));
    setRow(*window, 0, image, "1000");
    baudField(*window)->setText(kBurnBaud);
    find<QCheckBox>(window.get(), "cbDsrCtl")->setChecked(true);
    startButton(*window)->click();
    QCOMPARE(startButton(*window)->text(), QString("停止下载"));
    QVERIFY(com4.request("UNPLUG").value(0) == "OK");
    // A whole chip takes many monitor ticks.
    QTRY_VERIFY_WITH_TIMEOUT(viewText(*window).contains("[COM10]等待新的芯片..."), kWaitMs);
    QCOMPARE(panelPorts(*window, 8), idle);
    // The good chip's result stays up while the station waits for the next.
    QCOMPARE(panelOf(*window, 2).status->text(), QString("成 功"));
    QTest::qWait(kPastDoubleClickMs);
    startButton(*window)->click();
    // Stations keep their panels while their results are up: COM10 does not
    // move up into the gap COM4 left.
    QTRY_VERIFY_WITH_TIMEOUT(startButton(*window)->isEnabled(), kWaitMs);
    QTest::qWait(300);
    QCOMPARE(panelPorts(*window, 3), (QStringList{"COM3", "NONE", "COM10"}));
    QCOMPARE(panelOf(*window, 1).status->text(), QString());
    QCOMPARE(panelOf(*window, 2).status->text(), QString("成 功"));
    QVERIFY(panelOf(*window, 2).radio->isChecked());
    QCOMPARE(panelOf(*window, 2).progress->value(), 100);
}

void tst_factorywindow::refusedStarts_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("image");  // "" no file, "missing", "empty", else a 5000-byte file
    QTest::addColumn<QString>("second"); // address of an enabled second row over the same file, or ""
    QTest::addColumn<QString>("baud");
    QTest::addColumn<bool>("select");
    QTest::addColumn<QString>("refusal"); // empty: the run starts

    const QString path = "未正确设置烧录文件路径或烧录的起始地址！";
    const QString baud = "未正确设置波特率，波特率最小为9600，最大为3000000！";
    QTest::newRow("no port") << "1000" << "ok" << "" << "921600" << false << "没有选择任何串口，请先选择串口！";
    // The refusal names the row and, for an address, the text typed.
    QTest::newRow("no path") << "1000" << "" << "" << "921600" << true << path + "（第1行：烧录文件路径为空）";
    QTest::newRow("no address") << "" << "ok" << "" << "921600" << true << path + "（第1行：烧录地址“”无效）";
    QTest::newRow("not hex") << "10k0" << "ok" << "" << "921600" << true << path + "（第1行：烧录地址“10k0”无效）";
    QTest::newRow("0x only") << "0x" << "ok" << "" << "921600" << true << path + "（第1行：烧录地址“0x”无效）";
    QTest::newRow("unaligned") << "1800" << "ok" << "" << "921600" << true
                               << "烧录地址未进行4k对齐,请检查烧录地址！（第1行：烧录地址“1800”）";
    QTest::newRow("no row on") << "-" << "ok" << "" << "921600" << true
                               << "请设置烧录文件路径和烧录的起始地址，并使能这个设置！";
    QTest::newRow("missing image") << "1000" << "missing" << "" << "921600" << true
                                   << "第1行的烧录文件不存在或无法读取";
    QTest::newRow("empty image") << "1000" << "empty" << "" << "921600" << true << "第1行的烧录文件为空";
    QTest::newRow("overlap") << "1000" << "ok" << "2000" << "921600" << true
                             << "第1行与第2行的烧录区域重叠，请检查烧录地址！";
    QTest::newRow("baud 9599") << "1000" << "ok" << "" << "9599" << true << baud;
    QTest::newRow("baud 3000001") << "1000" << "ok" << "" << "3000001" << true << baud;
    QTest::newRow("baud text") << "1000" << "ok" << "" << "fast" << true << baud;
    QTest::newRow("baud 9600") << "1000" << "ok" << "" << "9600" << true << "";
    QTest::newRow("baud 3000000") << "0x1000" << "ok" << "3000" << "3000000" << true << "";
}

void tst_factorywindow::refusedStarts()
{
    QFETCH(QString, address);
    QFETCH(QString, image);
    QFETCH(QString, second);
    QFETCH(QString, baud);
    QFETCH(bool, select);
    QFETCH(QString, refusal);

    // Paced, so that an accepted run is still going when it is stopped.
    SimFixture sim({"--pace"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    qputenv("VQ_SIM_PORT_DIR", sim.dir().toUtf8());
    window = open(2);
    QString path;
    if (image == "missing")
        path = work.filePath("gone.bin");
    else if (image == "empty")
        path = writeImage("empty.bin", QByteArray());
    else if (!image.isEmpty())
        path = writeImage("refusal.bin", randomBytes(5000, 3));
    setRow(*window, 0, path, address, address != "-");
    if (!second.isEmpty())
        setRow(*window, 1, writeImage("second.bin", randomBytes(4096, 4)), second);
    baudField(*window)->setText(baud);
    QTRY_COMPARE_WITH_TIMEOUT(panelOf(*window, 0).port->text(), sim.portName(), kWaitMs);
    if (select)
        QVERIFY(selectPanels(*window, 1));

    startButton(*window)->click();
    if (refusal.isEmpty()) {
        QCOMPARE(startButton(*window)->text(), QString("停止下载"));
        // The rest of a double click does not stop the run it started.
        startButton(*window)->click();
        QCOMPARE(startButton(*window)->text(), QString("停止下载"));
        QTRY_COMPARE_WITH_TIMEOUT(panelOf(*window, 0).status->text(), QString("烧录中"), kWaitMs);
        QTest::qWait(kPastDoubleClickMs);
        startButton(*window)->click();
        QTRY_VERIFY_WITH_TIMEOUT(startButton(*window)->isEnabled(), kWaitMs);
        QCOMPARE(startButton(*window)->text(), QString("开始下载"));
        // The stopped chip's panel does not go on claiming a run.
        QCOMPARE(panelOf(*window, 0).status->text(), QString("空 闲"));
        QCOMPARE(panelOf(*window, 0).progress->value(), 0);
    } else {
        const QStringList lines = viewText(*window).split('\n');
        QVERIFY2(lines.last().contains(refusal), qPrintable(lines.last()));
        QCOMPARE(startButton(*window)->text(), QString("开始烧录"));
        QVERIFY(!find<QTimer>(window.get(), "progressTimer")->isActive());
    }
    // Either way the port monitor is running again.
    QVERIFY(sim.request("UNPLUG").value(0) == "OK");
    QTRY_COMPARE_WITH_TIMEOUT(panelOf(*window, 0).port->text(), QString("NONE"), kWaitMs);
}

void tst_factorywindow::runOfFourWithOneFault()
{
    SimFixture sim({"--pace"}, 4);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    // The third chip refuses the first block of every image.
    QVERIFY(sim.addFault("nak-always=1", 2));
    qputenv("VQ_SIM_PORT_DIR", sim.dir().toUtf8());
    const QByteArray app = randomBytes(20000, 11);
    const QByteArray data = randomBytes(9000, 12);

    window = open(4);
    setRow(*window, 0, writeImage("app.bin", app), "1000");
    setRow(*window, 2, writeImage("data.bin", data), "0x20000");
    baudField(*window)->setText(kBurnBaud);
    QVERIFY(selectPanels(*window, 4));
    startButton(*window)->click();
    QCOMPARE(startButton(*window)->text(), QString("停止下载"));
    // A single-chip run ends by itself once every station has a result.
    QTRY_COMPARE_WITH_TIMEOUT(startButton(*window)->text(), QString("开始下载"), kWaitMs);

    for (int i = 0; i < 4; ++i) {
        const panelView p = panelOf(*window, i);
        QCOMPARE(p.status->text(), i == 2 ? QString("失 败") : QString("成 功"));
        QCOMPARE(p.status->styleSheet(),
                 i == 2 ? QString("background-color:Red;") : QString("background-color:LightGreen;"));
        if (i != 2) {
            QCOMPARE(p.progress->value(), 100);
            const QByteArray flash = sim.flash(i);
            QCOMPARE(flash.mid(0x1000, app.size()), app);
            QCOMPARE(flash.mid(0x20000, data.size()), data);
        }
    }
    QCOMPARE(find<QLabel>(window.get(), "downloadCnt")->text(), QString("4"));
    QCOMPARE(find<QLabel>(window.get(), "downloadOkCnt")->text(), QString("3"));
    QCOMPARE(find<QLabel>(window.get(), "downloadErrCnt")->text(), QString("1"));
    // On disk before the window closes.
    const QJsonObject o = settingsOnDisk();
    QCOMPARE(o.value("all_cnt").toString(), QString("4"));
    QCOMPARE(o.value("ok_cnt").toString(), QString("3"));
    QCOMPARE(o.value("err_cnt").toString(), QString("1"));

    const QString daily = QString::fromUtf8(fileBytes(today(".text")));
    QVERIFY(daily.contains(QStringLiteral("[%1]传输文件时失败，错误代码为：0x").arg(sim.portName(2))));

    const QList<QStringList> lines = recordLines();
    // One chip can be followed in the log: its identity comes before its
    // result, and the result line carries the seconds its record keeps.
    const QStringList dailyLines = daily.split('\n');
    for (const QStringList &f : lines.mid(1)) {
        const QString port = QLatin1Char('[') + f.at(kPort) + QLatin1Char(']');
        const QString result = port + (f.at(kCode) == "0x0" ? "下载成功" : "下载失败") + "（用时" + f.at(kSeconds) + "秒）";
        int id = -1, uid = -1, said = -1;
        for (int n = 0; n < dailyLines.size(); ++n) {
            const QString &l = dailyLines.at(n);
            id = l.contains(port + "Flash ID:") ? n : id;
            uid = l.contains(port + "Flash UID:") ? n : uid;
            said = l.endsWith(result) ? n : said;
        }
        QVERIFY2(id >= 0 && uid > id && said > uid, qPrintable(result + '\n' + daily));
        QVERIFY(viewText(*window).contains(result));
    }
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.first().size(), 12);
    QStringList ports;
    for (const QStringList &f : lines.mid(1)) {
        QCOMPARE(f.size(), 12);
        const int station = f.at(kStation).toInt();
        QVERIFY(station >= 1 && station <= 4);
        QCOMPARE(f.at(kPort), sim.portName(station - 1));
        ports << f.at(kPort);
        QVERIFY(!f.at(kUid).isEmpty());
        QCOMPARE(f.at(kModel), QString("VQ5304"));
        QCOMPARE(f.at(kFiles), QString("app.bin;data.bin"));
        if (station == 3) {
            QVERIFY(f.at(kCode) != "0x0");
            QVERIFY(f.at(kBytes).toLongLong() < app.size() + data.size());
        } else {
            QCOMPARE(f.at(kCode), QString("0x0"));
            QCOMPARE(f.at(kBytes).toLongLong(), qint64(app.size() + data.size()));
        }
    }
    ports.sort();
    QCOMPARE(ports, (QStringList{sim.portName(0), sim.portName(1), sim.portName(2), sim.portName(3)}));

    // A refused start leaves none of these results up as if they were its own.
    QTRY_VERIFY_WITH_TIMEOUT(startButton(*window)->isEnabled(), kWaitMs);
    baudField(*window)->setText("fast");
    startButton(*window)->click();
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(panelOf(*window, i).status->text(), QString("空 闲"));
        QCOMPARE(panelOf(*window, i).progress->value(), 0);
    }
}

void tst_factorywindow::continuousModeCountsEachChipOnce()
{
    SimFixture sim({"--pace", "--fixture-pressed"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    qputenv("VQ_SIM_PORT_DIR", sim.dir().toUtf8());
    const QByteArray app = randomBytes(12000, 21);

    window = open(1);
    setRow(*window, 0, writeImage("line.bin", app), "1000");
    baudField(*window)->setText(kBurnBaud);
    find<QCheckBox>(window.get(), "cbDsrCtl")->setChecked(true);
    QVERIFY(selectPanels(*window, 1));
    startButton(*window)->click();
    const QString port = sim.portName();
    for (int chip = 1; chip <= 3; ++chip) {
        if (chip > 1)
            QVERIFY(sim.request("NEXTCHIP").value(0) == "OK");
        QTRY_COMPARE_WITH_TIMEOUT(viewText(*window).count(QStringLiteral("[%1]等待新的芯片...").arg(port)), chip,
                                  kWaitMs);
        QCOMPARE(viewText(*window).count(QStringLiteral("[%1]下载成功").arg(port)), chip);
        QCOMPARE(find<QLabel>(window.get(), "downloadOkCnt")->text(), QString::number(chip));
        QCOMPARE(sim.flash().mid(0x1000, app.size()), app);
    }
    QCOMPARE(startButton(*window)->text(), QString("停止下载"));
    QCOMPARE(find<QLabel>(window.get(), "downloadCnt")->text(), QString("3"));
    QCOMPARE(find<QLabel>(window.get(), "downloadErrCnt")->text(), QString("0"));
    const QList<QStringList> lines = recordLines();
    QCOMPARE(lines.size(), 4);
    QSet<QString> uids;
    for (const QStringList &f : lines.mid(1))
        uids.insert(f.value(kUid));
    QCOMPARE(uids.size(), 3);

    // A good chip's result stays up until the station's next chip, also
    // once the lever has let its chip go.
    QVERIFY(sim.request("NEXTCHIP hold").value(0) == "OK");
    QTRY_COMPARE_WITH_TIMEOUT(viewText(*window).count(QStringLiteral("[%1]等待新的芯片...").arg(port)), 4, kWaitMs);
    QVERIFY(sim.setDsr(false));
    QTest::qWait(kPastDoubleClickMs);
    QCOMPARE(panelOf(*window, 0).status->text(), QString("成 功"));
    QCOMPARE(panelOf(*window, 0).progress->value(), 100);
    startButton(*window)->click();
    QTRY_VERIFY_WITH_TIMEOUT(startButton(*window)->isEnabled(), kWaitMs);
}

void tst_factorywindow::eraseRunAfterDownload()
{
    SimFixture sim({"--pace"}, 2);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    qputenv("VQ_SIM_PORT_DIR", sim.dir().toUtf8());
    const QByteArray app = randomBytes(10000, 41);
    window = open(2);
    setRow(*window, 0, writeImage("erase.bin", app), "3000");
    baudField(*window)->setText(kBurnBaud);
    // Back in the boot ROM afterwards, ready for the erase.
    find<QCheckBox>(window.get(), "cbAutoReset")->setChecked(true);
    QVERIFY(selectPanels(*window, 2));
    startButton(*window)->click();
    QTRY_COMPARE_WITH_TIMEOUT(startButton(*window)->text(), QString("开始下载"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(startButton(*window)->isEnabled(), kWaitMs);
    for (int i = 0; i < 2; ++i)
        QCOMPARE(sim.flash(i).mid(0x3000, app.size()), app);

    // The second chip cannot erase: its failure counts, a good erase does not.
    QVERIFY(sim.addFault("erase-fail-always", 1));
    auto *erase = find<QPushButton>(window.get(), "pbnEarse");
    QVERIFY(erase->isEnabled());
    QObject scope;
    FactoryDriver::answerNextBox(&scope, QMessageBox::No);
    erase->click();
    QCOMPARE(erase->text(), QString("整片擦除"));
    FactoryDriver::answerNextBox(&scope, QMessageBox::Yes);
    erase->click();
    QCOMPARE(erase->text(), QString("停止擦除"));
    QVERIFY(!startButton(*window)->isEnabled());
    // Erase jobs end by themselves once acknowledged; the run then stops.
    QTRY_COMPARE_WITH_TIMEOUT(erase->text(), QString("整片擦除"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(startButton(*window)->isEnabled() && erase->isEnabled(), kWaitMs);
    QCOMPARE(panelOf(*window, 0).status->text(), QString("成 功"));
    QCOMPARE(panelOf(*window, 1).status->text(), QString("失 败"));
    QCOMPARE(sim.flash(0).mid(0x3000, app.size()), QByteArray(app.size(), '\xff'));
    QCOMPARE(sim.flash(1).mid(0x3000, app.size()), app);
    QVERIFY(viewText(*window).contains(QStringLiteral("[%1]擦除失败").arg(sim.portName(1))));
    QCOMPARE(find<QLabel>(window.get(), "downloadCnt")->text(), QString("3"));
    QCOMPARE(find<QLabel>(window.get(), "downloadOkCnt")->text(), QString("2"));
    QCOMPARE(find<QLabel>(window.get(), "downloadErrCnt")->text(), QString("1"));
    // Both erases are rows; only the failed one is counted.
    QTRY_COMPARE_WITH_TIMEOUT(recordLines().size(), 5, kWaitMs);
    const QList<QStringList> lines = recordLines();
    QCOMPARE(lines.at(3).value(kKind), QString("擦除"));
    QCOMPARE(lines.at(4).value(kKind), QString("擦除"));
    QCOMPARE(lines.at(3).value(kCode) == "0x0", lines.at(3).value(kPort) == sim.portName(0));
}

void tst_factorywindow::countersSurviveKill()
{
    SimFixture sim({"--pace"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    QVERIFY(!ensureDefaults(5));
    QVERIFY(writeValues({{"all_cnt", "7"}, {"ok_cnt", "5"}, {"err_cnt", "2"}}));
    const QString image = writeImage("kill.bin", randomBytes(8000, 31));

    QProcess station;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VQ_SIM_PORT_DIR", sim.dir());
    station.setProcessEnvironment(env);
    station.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    station.start(qEnvironmentVariable("VQ_BUILD_DIR") + "/tests/vq_factory_station",
                  {"--stations", "1", "--image", image + "@1000", "--baud", kBurnBaud, "--start"});
    QVERIFY(station.waitForStarted(kWaitMs));
    QTRY_COMPARE_WITH_TIMEOUT(recordLines().size(), 2, kWaitMs);
    station.kill();
    QVERIFY(station.waitForFinished(kWaitMs));

    const QJsonObject o = settingsOnDisk();
    QCOMPARE(o.value("all_cnt").toString(), QString("8"));
    QCOMPARE(o.value("ok_cnt").toString(), QString("6"));
    QCOMPARE(o.value("err_cnt").toString(), QString("2"));
    QVERIFY(fileBytes(today(".csv")).endsWith("\r\n"));
    QCOMPARE(sim.flash().mid(0x1000, 8000), fileBytes(image));
    // A chip in the CSV is a row in the database, which the kill left whole.
    QString error;
    const auto records = recordQuery::openLocal("log/production.db", &error);
    QVERIFY2(records, qPrintable(error));
    QVector<productionRow> rows;
    QVERIFY(records->find(recordFilter(), &rows, &error));
    QCOMPARE(rows.size(), recordLines().size() - 1);
    QCOMPARE(rows.first().uid, recordLines().last().value(kUid));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "integrity");
        db.setDatabaseName("log/production.db");
        QSqlQuery q(db);
        QVERIFY(db.open() && q.exec("PRAGMA integrity_check") && q.next());
        QCOMPARE(q.value(0).toString(), QString("ok"));
    }
    QSqlDatabase::removeDatabase("integrity");
}

void tst_factorywindow::interruptedRuns_data()
{
    // Closing the window during a run, answered: the run goes on, or its
    // chips are in the log and the record as stopped.
    QTest::addColumn<bool>("yes");
    QTest::newRow("close, no") << false;
    QTest::newRow("close, yes") << true;
}

void tst_factorywindow::interruptedRuns()
{
    QFETCH(bool, yes);
    SimFixture sim({"--pace"}, 2);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    qputenv("VQ_SIM_PORT_DIR", sim.dir().toUtf8());
    window = open(2);
    FactoryDriver drive(window.get());
    setRow(*window, 0, writeImage("long.bin", randomBytes(60000, 51)), "0");
    baudField(*window)->setText("115200");
    QVERIFY(selectPanels(*window, 2));
    startButton(*window)->click();
    // Into the image, one chip or both.
    QTRY_VERIFY_WITH_TIMEOUT(panelOf(*window, 0).progress->value() > 55, kWaitMs);

    QObject scope;
    FactoryDriver::answerNextBox(&scope, yes ? QMessageBox::Yes : QMessageBox::No);
    QCOMPARE(window->close(), yes);
    QCOMPARE(drive.running(), !yes);
    const QString daily = QString::fromUtf8(fileBytes(today(".text")));
    // The record store writes on its own thread.
    QTRY_COMPARE_WITH_TIMEOUT(recordLines().size(), yes ? 3 : 0, kWaitMs);
    const QList<QStringList> lines = recordLines();
    for (int i = 0; i < 2 && yes; ++i) {
        QVERIFY(daily.contains(QStringLiteral("[%1]烧录被停止，错误代码为：0x").arg(sim.portName(i))));
        const QStringList &f = lines.at(i + 1);
        QVERIFY2(f.value(kCode).endsWith("e8"), qPrintable(f.join(',')));
    }
    // Stopped chips are not failed chips.
    QCOMPARE(find<QLabel>(window.get(), "downloadCnt")->text(), QString("0"));
    if (!yes)
        startButton(*window)->click();
}

void tst_factorywindow::fixtureStations_data()
{
    QTest::addColumn<bool>("keepGoing");
    QTest::addColumn<bool>("boot");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("cause");    // a line the window shows for the failure, or ""
    // A second station, with a good chip, keeps the run going.
    QTest::newRow("a failure ends the station") << false << false << "nak-always=1" << "";
    QTest::newRow("the station waits for the next chip") << true << false << "nak-always=1" << "";
    QTest::newRow("a lost port is waited for") << true << false << "disconnect=1" << "串口已断开！";
    QTest::newRow("a failed retry keeps the first code") << false << true << "nak-always=1"
                                                         << "重试前的错误代码为：0x409";
}

void tst_factorywindow::fixtureStations()
{
    QFETCH(bool, keepGoing);
    QFETCH(bool, boot);
    QFETCH(QString, fault);
    QFETCH(QString, cause);
    const int stations = QTest::currentDataTag() == QLatin1String("a failure ends the station") ? 2 : 1;
    SimFixture sim({"--pace", "--fixture-pressed"}, stations);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    QVERIFY(sim.addFault(fault));
    qputenv("VQ_SIM_PORT_DIR", sim.dir().toUtf8());
    const QByteArray app = randomBytes(9000, 61);
    window = open(stations);
    FactoryDriver drive(window.get());
    setRow(*window, 0, writeImage("fixture.bin", app), "1000");
    baudField(*window)->setText(kBurnBaud);
    drive.setOption("cbDsrCtl", true);
    drive.setOption("cbKeepGoing", keepGoing);
    drive.setOption("cbBootCtl", boot);
    QVERIFY(selectPanels(*window, stations));
    startButton(*window)->click();
    const QString port = sim.portName();
    QTRY_COMPARE_WITH_TIMEOUT(drive.failed(), 1, kWaitMs);
    QCOMPARE(drive.status(0), QString("失 败"));
    if (!cause.isEmpty())
        QTRY_VERIFY_WITH_TIMEOUT(viewText(*window).contains(QStringLiteral("[%1]").arg(port) + cause), kWaitMs);
    if (!keepGoing && stations == 2) {
        // Nothing watches the ended station's fixture any more, and its
        // label says so; the other station's follows its lever.
        auto dsrLabel = [&](int panel) {
            return find<QLabel>(find<QWidget>(window.get(), QStringLiteral("panel%1").arg(panel)), "label_dsr")->text();
        };
        QTRY_COMPARE_WITH_TIMEOUT(viewText(*window).count(QStringLiteral("[%1]等待新的芯片...").arg(sim.portName(1))), 1,
                                  kWaitMs);
        QVERIFY(sim.setDsr(false, 0));
        QTRY_COMPARE_WITH_TIMEOUT(dsrLabel(0), QString("工位已停止"), kWaitMs);
        QVERIFY(sim.setDsr(false, 1));
        QTRY_COMPARE_WITH_TIMEOUT(dsrLabel(1), QString("DSR:0 "), kWaitMs);
        QCOMPARE(dsrLabel(0), QString("工位已停止"));
        QVERIFY(drive.running());
        QTest::qWait(kPastDoubleClickMs);
        startButton(*window)->click();
        QTRY_VERIFY_WITH_TIMEOUT(startButton(*window)->isEnabled(), kWaitMs);
        return;
    }
    if (!keepGoing) {
        // Its only station gone, the run ends by itself.
        QTRY_COMPARE_WITH_TIMEOUT(startButton(*window)->text(), QString("开始下载"), kWaitMs);
        return;
    }
    // Red until the chip is taken out; the station waits for the next.
    const QString waiting = QStringLiteral("[%1]等待新的芯片...").arg(port);
    QTRY_COMPARE_WITH_TIMEOUT(viewText(*window).count(waiting), 1, kWaitMs);
    QTest::qWait(kPastDoubleClickMs);
    QCOMPARE(drive.status(0), QString("失 败"));
    QVERIFY(drive.running());
    QVERIFY(sim.clearFaults());
    if (fault.startsWith("disconnect")) {
        QVERIFY(sim.request("PLUG").value(0) == "OK");
        QTRY_VERIFY_WITH_TIMEOUT(viewText(*window).contains(QStringLiteral("[%1]串口已重新连接！").arg(port)), kWaitMs);
    }
    QVERIFY(sim.request("NEXTCHIP").value(0) == "OK");
    QTRY_COMPARE_WITH_TIMEOUT(viewText(*window).count(waiting), 2, kWaitMs);
    QCOMPARE(drive.good(), 1);
    QCOMPARE(drive.status(0), QString("成 功"));
    QCOMPARE(sim.flash().mid(0x1000, app.size()), app);
    QCOMPARE(recordLines().size(), 3);
    startButton(*window)->click();
    QTRY_VERIFY_WITH_TIMEOUT(startButton(*window)->isEnabled(), kWaitMs);
}

void tst_factorywindow::recordServerRefusals_data()
{
    QTest::addColumn<QString>("wrong");      // what is wrong with the line's server
    QTest::addColumn<QString>("reason");     // said in Chinese
    QTest::addColumn<QString>("serverText"); // then the server's own words
    QTest::newRow("nothing listens") << "port" << "服务器拒绝连接（服务器未运行或端口不对）" << "Connection refused";
    QTest::newRow("wrong password") << "password" << "用户名或密码不对" << "password authentication failed";
    QTest::newRow("no such database") << "database" << "服务器上没有该数据库" << "\"nowhere\" does not exist";
}

void tst_factorywindow::recordServerRefusals()
{
    QFETCH(QString, wrong);
    QFETCH(QString, reason);
    QFETCH(QString, serverText);
    int port = 1;
    if (wrong != "port") {
        if (!pg)
            pg = std::make_unique<PgServer>();
        QVERIFY2(pg->ok(), qPrintable(pg->error()));
        port = pg->port();
    }
    QJsonObject server{{"host", "127.0.0.1"}, {"port", port}, {"user", PgServer::kUser},
                       {"database", wrong == "database" ? "nowhere" : PgServer::kDatabase}};
    QVERIFY(writeFile(config + "/records.json", QJsonDocument(server).toJson()));
    qputenv("PGPASSWORD", wrong == "password" ? "not-the-secret" : PgServer::kPassword);
    // A chip's row is what goes to the server.
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    qputenv("VQ_SIM_PORT_DIR", sim.dir().toUtf8());
    window = open(1);
    setRow(*window, 0, writeImage("uploaded.bin", randomBytes(4096, 71)), "1000");
    baudField(*window)->setText(kBurnBaud);
    QVERIFY(selectPanels(*window, 1));
    startButton(*window)->click();
    const QString said = QStringLiteral("记录服务器 127.0.0.1:%1 无法使用：%2，记录保存在本地，稍后重试。服务器原文：").arg(port).arg(reason);
    QTRY_VERIFY2_WITH_TIMEOUT(viewText(*window).contains(said), qPrintable(viewText(*window)), kWaitMs);
    const QString text = viewText(*window);
    QVERIFY2(text.mid(text.indexOf(said)).section('\n', 0, 0).contains(serverText), qPrintable(text));
    window.reset();
    QFile::remove(config + "/records.json");
    qunsetenv("PGPASSWORD");
}

void tst_factorywindow::portRefusalsSayWhy_data()
{
    QTest::addColumn<portBlock>("block");
    QTest::addColumn<bool>("nobody");
    // The window's lines, with the port, the device and the holder's pid in
    // place of {port}, {device} and {pid}.
    QTest::addColumn<QStringList>("why");
    // The selection check meets a missing permission.
    QTest::newRow("only its owner may open it")
        << portBlock::OwnerOnly << true
        << QStringList{"{port}无法打开！", "当前用户没有 {device} 的读写权限（只有其所有者 root 可以读写）"};
    QTest::newRow("the group dialout may")
        << portBlock::GroupDialout << true
        << QStringList{"{port}无法打开！",
                       "当前用户没有 {device} 的读写权限（属于 dialout 组），请将用户加入 dialout 组后重新登录"};
    // A lock on the device is met by the station's job.
    QTest::newRow("held by another process")
        << portBlock::Held << false
        << QStringList{"[{port}]串口已被其他程序占用：{port}", "[{port}]串口被进程 flock(pid {pid}) 占用",
                       "[{port}]串口打开失败！"};
}

void tst_factorywindow::portRefusalsSayWhy()
{
    QFETCH(portBlock, block);
    QFETCH(bool, nobody);
    QFETCH(QStringList, why);
    if (nobody && ::getuid() != 0)
        QSKIP("needs root, to change the device and to act as nobody");
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    QVERIFY(openToEveryone(sim.dir()));
    qputenv("VQ_SIM_PORT_DIR", sim.dir().toUtf8());
    window = open(1);
    setRow(*window, 0, writeImage("refused.bin", randomBytes(5000, 9)), "1000");
    baudField(*window)->setText(kBurnBaud);
    QTRY_COMPARE_WITH_TIMEOUT(panelOf(*window, 0).port->text(), sim.portName(), kWaitMs);
    PortBlocker blocker(sim.portPath(), block);
    QVERIFY(blocker.ok());
    // Nobody writes the day's log and the selection too.
    QVERIFY(openToEveryone(work.path()) && openToEveryone(config) && openToEveryone("log"));
    QVERIFY(::chmod(qPrintable(today(".text")), 0666) == 0);
    {
        std::unique_ptr<ActAsNobody> as(nobody ? new ActAsNobody : nullptr);
        QVERIFY(!as || as->ok());
        panelOf(*window, 0).radio->click();
    }
    QCOMPARE(panelOf(*window, 0).radio->isChecked(), !nobody);
    if (!nobody) {
        startButton(*window)->click();
        QTRY_COMPARE_WITH_TIMEOUT(startButton(*window)->text(), QString("开始下载"), kWaitMs);
    }
    for (const QString &line : qAsConst(why))
        QVERIFY2((viewText(*window) + "\n").contains("] " + blocker.fillIn(line).replace("{port}", sim.portName()) + "\n"),
                 qPrintable(viewText(*window)));
}

void tst_factorywindow::stationsKeepTheirSockets_data()
{
    QTest::addColumn<bool>("pinned");
    QTest::newRow("panels follow the port numbers") << false;
    QTest::newRow("按USB插口固定工位") << true;
}

void tst_factorywindow::stationsKeepTheirSockets()
{
    QFETCH(bool, pinned);
    SimFixture sim({}, 4);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    qputenv("VQ_SIM_PORT_DIR", sim.dir().toUtf8());
    qputenv("VQ_PORT_BY_PATH_DIR", sim.socketDir().toUtf8());
    window = open(4);
    QTRY_COMPARE_WITH_TIMEOUT(panelPorts(*window, 4), (QStringList{"COM1", "COM2", "COM3", "COM4"}), kWaitMs);
    QVERIFY(panelOf(*window, 2).port->toolTip().contains(sim.socketName(2)));
    if (pinned)
        find<QCheckBox>(window.get(), "cbPinSockets")->click();
    QVERIFY(selectPanels(*window, 4));

    // The hub is replugged: three adapters come back under other numbers,
    // the fourth stays out.
    const QStringList renamed{"COM13", "COM11", "COM14"};
    for (int chip = 0; chip < 4; ++chip)
        QVERIFY(sim.unplug(chip));
    for (int chip = 0; chip < renamed.size(); ++chip)
        QVERIFY(sim.plugAs(chip, renamed.at(chip)));
    const QStringList shown = pinned ? QStringList{"COM13", "COM11", "COM14", "空插口"}
                                     : QStringList{"COM11", "COM13", "COM14", "NONE"};
    QTRY_COMPARE_WITH_TIMEOUT(panelPorts(*window, 4), shown, kWaitMs);
    const QList<int> chipAt = pinned ? QList<int>{0, 1, 2} : QList<int>{1, 0, 2};
    // A pinned station is still selected; a selection by the old port names
    // went with them.
    for (int i = 0; i < 3; ++i)
        QCOMPARE(panelOf(*window, i).radio->isChecked(), pinned);
    QVERIFY(selectPanels(*window, 3));

    const QByteArray app = randomBytes(7000, 71);
    setRow(*window, 0, writeImage("socket.bin", app), "1000");
    baudField(*window)->setText(kBurnBaud);
    startButton(*window)->click();
    QTRY_COMPARE_WITH_TIMEOUT(startButton(*window)->text(), QString("开始下载"), kWaitMs);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(sim.flash(chipAt.at(i)).mid(0x1000, app.size()), app);
    QString error;
    const auto records = recordQuery::openLocal("log/production.db", &error);
    QVERIFY2(records, qPrintable(error));
    QVector<productionRow> rows;
    QVERIFY(records->find(recordFilter(), &rows, &error));
    QCOMPARE(rows.size(), 3);
    for (const productionRow &row : qAsConst(rows)) {
        const int chip = chipAt.value(row.station - 1);
        QCOMPARE(row.socket, sim.socketName(chip));
        QCOMPARE(row.port, renamed.at(chip));
    }

    // The option's keys are written only once it is used; pinned stations
    // come back to their sockets after a restart.
    const QJsonObject o = settingsOnDisk();
    QCOMPARE(o.contains("socket_flag"), pinned);
    if (!pinned)
        return;
    window.reset();
    window = open(4);
    QTRY_COMPARE_WITH_TIMEOUT(panelPorts(*window, 4), shown, kWaitMs);
    QVERIFY(panelOf(*window, 3).port->toolTip().contains(sim.socketName(3)));
}

QTEST_MAIN(tst_factorywindow)
#include "tst_factorywindow.moc"
