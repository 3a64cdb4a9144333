// The developer window driven through its widgets against the chip
// simulator: what lands in the flash, what the erases leave, every advanced
// button's log line, the access code, refusals, and clicks during a run.
#include "simfixture.h"
#include "testutil.h"
#include "appglobals.h"
#include "developwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {
constexpr int kSector = 4096;
constexpr int kLongWaitMs = 60000;

template <typename T>
T *child(QObject *w, const QString &name)
{
    T *c = w->findChild<T *>(name);
    if (!c)
        qFatal("no widget %s", qPrintable(name));
    return c;
}

QPushButton *button(QObject *w, const QString &name)
{
    return child<QPushButton>(w, name);
}

// The log without its time stamps.
QStringList logLines(QObject *w)
{
    static const QRegularExpression stamp(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] "));
    QStringList lines = child<QTextEdit>(w, "textEdit")->toPlainText().split('\n');
    for (QString &l : lines)
        l.remove(stamp);
    return lines;
}

// Runs `act` once, from inside whatever event loop is turning, as soon as
// `ready` holds. The poller dies with `scope`, so it cannot reach into a
// later case.
void whenReady(QObject *scope, std::function<bool()> ready, std::function<void()> act)
{
    auto *timer = new QTimer(scope);
    QObject::connect(timer, &QTimer::timeout, [timer, ready, act] {
        if (!ready())
            return;
        timer->stop();
        act();
    });
    timer->start(20);
}

// The same for the modal dialog of type T that a click opens.
template <typename T>
void onModal(QObject *scope, std::function<void(T *)> act)
{
    whenReady(
        scope, [] { return qobject_cast<T *>(QApplication::activeModalWidget()) != nullptr; },
        [act] { act(qobject_cast<T *>(QApplication::activeModalWidget())); });
}
} // namespace

class tst_developwindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void downloadLandsByteForByte_data();
    void downloadLandsByteForByte();
    void wholeChipEraseAsksFirst_data();
    void wholeChipEraseAsksFirst();
    void partialEraseTakesTheSectorsAsked_data();
    void partialEraseTakesTheSectorsAsked();
    void advancedButtonLines_data();
    void advancedButtonLines();
    void advancedStepsWriteAnImage();
    void closedPortDoesNothing();
    void openRefusalsSayWhy_data();
    void openRefusalsSayWhy();
    void accessCode_data();
    void accessCode();
    void downloadRefusals_data();
    void downloadRefusals();
    void fileChoice_data();
    void fileChoice();
    void clicksDuringAnOperation();
    void closingThePortStopsADownload_data();
    void closingThePortStopsADownload();

private:
    QString writeImage(const QString &name, const QByteArray &bytes);
    std::unique_ptr<developWindow> openWindow(const SimFixture &sim, bool openPort = true);
    // Fills file row n (1 to 4) of the window.
    static void setRow(QObject *w, int n, const QString &path, const QString &address, bool ticked);
    // Writes `image` at `address` with the normal download and brings the
    // chip back to its boot ROM.
    void writePattern(developWindow *w, const QByteArray &image, const QString &address);

    QTemporaryDir work;
};

void tst_developwindow::initTestCase()
{
    QVERIFY(work.isValid());
    initToolResources();
    const QString config = work.filePath("config");
    QVERIFY(copyShippedConfig(config));
    qputenv("VQ_CONFIG_DIR", config.toLocal8Bit());
}

QString tst_developwindow::writeImage(const QString &name, const QByteArray &bytes)
{
    const QString path = work.filePath(name);
    return writeFile(path, bytes) ? path : QString();
}

std::unique_ptr<developWindow> tst_developwindow::openWindow(const SimFixture &sim, bool openPort)
{
    qputenv("VQ_SIM_PORT_DIR", sim.dir().toUtf8());
    auto w = std::make_unique<developWindow>();
    auto *ports = child<QComboBox>(w.get(), "comboBox");
    if (!QTest::qWaitFor([&] { return ports->currentText() == sim.portName(); }, kLongWaitMs))
        qWarning("the simulated port is not listed");
    if (openPort) {
        button(w.get(), "pbnOpenUart")->click();
        if (!logLines(w.get()).contains(QStringLiteral("打开成功！")))
            qWarning("the simulated port did not open");
    }
    return w;
}

void tst_developwindow::setRow(QObject *w, int n, const QString &path, const QString &address, bool ticked)
{
    child<QLineEdit>(w, QStringLiteral("le_fileName_%1").arg(n))->setText(path);
    child<QLineEdit>(w, QStringLiteral("le_fileAddr_%1").arg(n))->setText(address);
    child<QCheckBox>(w, QStringLiteral("cb_fileCheck_%1").arg(n))->setChecked(ticked);
}

void tst_developwindow::writePattern(developWindow *w, const QByteArray &image, const QString &address)
{
    setRow(w, 1, writeImage("pattern.bin", image), address, true);
    button(w, "ptnStartDownload")->click();
    QCOMPARE(logLines(w).last(), QStringLiteral("烧录成功！"));
    button(w, "ptnReboot")->click();
    QCOMPARE(logLines(w).last(), QStringLiteral("复位芯片成功！"));
    setRow(w, 1, QString(), "0", false);
}

void tst_developwindow::downloadLandsByteForByte_data()
{
    QTest::addColumn<QList<int>>("ticked");
    QTest::addColumn<bool>("fastLoad");
    QTest::addColumn<QString>("fault");
    QTest::newRow("row 2 only") << QList<int>{2} << false << QString();
    QTest::newRow("rows 1 and 3") << QList<int>{1, 3} << false << QString();
    QTest::newRow("row 2, fast load, ROM keeps its speed") << QList<int>{2} << true << "boot-baud-ignored";
}

void tst_developwindow::downloadLandsByteForByte()
{
    QFETCH(QList<int>, ticked);
    QFETCH(bool, fastLoad);
    QFETCH(QString, fault);
    SimFixture sim(fault.isEmpty() ? QStringList{"--pace"} : QStringList{"--pace", "--check-speed", "--fault", fault});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    auto w = openWindow(sim);
    // Row n goes to n * 64 KiB, with and without the "0x" prefix.
    const QStringList addresses{"0x10000", "20000", "0x30000"};
    QList<QByteArray> images;
    for (int n = 1; n <= 3; ++n) {
        images << randomBytes(20000 + n * 3000, quint32(n));
        setRow(w.get(), n, writeImage(QStringLiteral("row%1.bin").arg(n), images.last()), addresses[n - 1],
               ticked.contains(n));
    }
    child<QLineEdit>(w.get(), "lineEdit")->setText("2000000");
    child<QCheckBox>(w.get(), "cbFastLoad")->setChecked(fastLoad);
    button(w.get(), "ptnStartDownload")->click();

    QCOMPARE(logLines(w.get()).last(), QStringLiteral("烧录成功！"));
    QCOMPARE(logLines(w.get()).contains("芯片未在2000000波特率下应答，改用115200波特率加载RAM代码"), !fault.isEmpty());
    const QByteArray flash = sim.flash();
    for (int n = 1; n <= 3; ++n) {
        const QByteArray landed = flash.mid(n * 0x10000, images[n - 1].size());
        if (ticked.contains(n))
            QCOMPARE(landed, images[n - 1]);
        else
            QCOMPARE(landed, QByteArray(landed.size(), '\xff'));
    }
    QCOMPARE(sim.state().fileCount, ticked.size());
    // The run ends on files + 1 steps: only the right divisor gives 100 %.
    auto *bar = child<QProgressBar>(w.get(), "progressBar");
    bar->setValue(0);
    w->updateProcessBar();
    QCOMPARE(bar->value(), 100);
    QVERIFY(button(w.get(), "ptnStartDownload")->isEnabled());

    const QString snapshot = qEnvironmentVariable("VQ_SNAPSHOT");
    if (!snapshot.isEmpty() && ticked.size() == 2) {
        w->show();
        child<QRadioButton>(w.get(), "radioButton")->setChecked(true);
        child<QGroupBox>(w.get(), "groupBox_4")->show();
        QTest::qWait(300);
        QVERIFY(w->grab().save(snapshot));
    }
}

void tst_developwindow::wholeChipEraseAsksFirst_data()
{
    QTest::addColumn<QString>("buttonName");
    QTest::addColumn<bool>("yes");
    QTest::addColumn<QStringList>("lines"); // the log's last lines after the answer
    QTest::newRow("normal, no") << "ptnEraseChip" << false << QStringList{"复位芯片成功！"};
    QTest::newRow("normal, yes") << "ptnEraseChip" << true << QStringList{"开始擦除！", "擦除成功！"};
    QTest::newRow("advanced, no") << "ptnEraseAll" << false << QStringList{"下载RAMCODE成功！"};
    QTest::newRow("advanced, yes") << "ptnEraseAll" << true << QStringList{"擦除芯片成功！"};
}

void tst_developwindow::wholeChipEraseAsksFirst()
{
    QFETCH(QString, buttonName);
    QFETCH(bool, yes);
    QFETCH(QStringList, lines);
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    auto w = openWindow(sim);
    const QByteArray image = randomBytes(3 * kSector + 100, 7);
    writePattern(w.get(), image, "0x2000");
    QCOMPARE(sim.flash().mid(0x2000, image.size()), image);
    if (buttonName == QLatin1String("ptnEraseAll"))
        button(w.get(), "ptnDownloadRam")->click();

    QObject scope;
    bool noByDefault = false;
    onModal<QMessageBox>(&scope, [&](QMessageBox *box) {
        noByDefault = box->defaultButton() == box->button(QMessageBox::No);
        box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
    });
    button(w.get(), buttonName)->click();
    QVERIFY(noByDefault);
    const QStringList log = logLines(w.get());
    QCOMPARE(log.mid(log.size() - lines.size()), lines);
    const QByteArray flash = sim.flash();
    QVERIFY(!flash.isEmpty());
    if (yes)
        QCOMPARE(flash, QByteArray(flash.size(), '\xff'));
    else
        QCOMPARE(flash.mid(0x2000, image.size()), image);
}

void tst_developwindow::partialEraseTakesTheSectorsAsked_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("length");
    QTest::addColumn<bool>("inRamCode");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("firstSector");
    QTest::addColumn<int>("endSector");

    const QString ok = QStringLiteral("擦除成功！");
    // Typed, letters never reach the fields: "zz1000" reads "1000".
    QTest::newRow("typed with letters") << "zz1000" << "2z000" << false << ok << 1 << 3;
    QTest::newRow("aligned") << "1000" << "2000" << false << ok << 1 << 3;
    QTest::newRow("range inside two sectors") << "1800" << "1000" << false << ok << 1 << 3;
    QTest::newRow("0x prefix, one byte") << "0x4000" << "1" << false << ok << 4 << 5;
    QTest::newRow("length 0") << "1000" << "0" << false << "擦除长度错误！" << 0 << 0;
    QTest::newRow("address not hex") << "1g00" << "1000" << false << "擦除地址错误！" << 0 << 0;
    QTest::newRow("RAM code already running") << "1000" << "1000" << true
                                             << "擦除失败，请检查是否处于BOOT模式！" << 0 << 0;
}

void tst_developwindow::partialEraseTakesTheSectorsAsked()
{
    QFETCH(QString, address);
    QFETCH(QString, length);
    QFETCH(bool, inRamCode);
    QFETCH(QString, line);
    QFETCH(int, firstSector);
    QFETCH(int, endSector);

    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    auto w = openWindow(sim);
    const QByteArray pattern = randomBytes(6 * kSector, 11);
    writePattern(w.get(), pattern, "0");
    if (inRamCode)
        QVERIFY(sim.addFault("in-ram"));
    for (const auto &field : {qMakePair(QStringLiteral("leEraseAddr"), address), qMakePair(QStringLiteral("leEraseLen"), length)}) {
        auto *edit = child<QLineEdit>(w.get(), field.first);
        edit->clear();
        if (QTest::currentDataTag() == QLatin1String("typed with letters"))
            QTest::keyClicks(edit, field.second);
        else
            edit->setText(field.second);
    }
    button(w.get(), "pbnEraseArea")->click();

    QCOMPARE(logLines(w.get()).last(), line);
    const QByteArray flash = sim.flash();
    for (int s = 0; s < 6; ++s) {
        const QByteArray sector = flash.mid(s * kSector, kSector);
        if (s >= firstSector && s < endSector)
            QVERIFY2(sector == QByteArray(kSector, '\xff'), qPrintable(QString("sector %1 not erased").arg(s)));
        else
            QVERIFY2(sector == pattern.mid(s * kSector, kSector), qPrintable(QString("sector %1 changed").arg(s)));
    }
    // A refused field must not have loaded the RAM code.
    if (firstSector == endSector && !inRamCode)
        QCOMPARE(sim.state().where, QStringLiteral("ROM"));
}

void tst_developwindow::advancedButtonLines_data()
{
    QTest::addColumn<QString>("buttonName");
    QTest::addColumn<bool>("inRamCode");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("baudAfter");

    auto rom = [](const char *name, const QString &button, const QString &field, const QString &text,
                  const QString &fault, const QString &line, const QString &baud = "115200") {
        QTest::newRow(name) << button << false << field << text << fault << line << baud;
    };
    auto ram = [](const char *name, const QString &button, const QString &field, const QString &text,
                  const QString &fault, const QString &line, const QString &baud = "115200") {
        QTest::newRow(name) << button << true << field << text << fault << line << baud;
    };
    rom("version", "ptnGetVerion", "", "", "", "检测到芯片，芯片信息为VQ5304");
    rom("version, silent chip", "ptnGetVerion", "", "", "silent",
        "无法连接芯片，请检查接线，并确保BOOT PIN已经正确配置为UART BOOT,串口波特率为115200!");
    rom("ROM baud", "ptnSetBaudRate", "leSetBaudRate", "230400", "", "成功设置波特率！", "230400");
    rom("ROM baud ignored", "ptnSetBaudRate", "leSetBaudRate", "230400", "baud-ignored", "设置波特率失败！",
        "230400");
    rom("ROM baud not a number", "ptnSetBaudRate", "leSetBaudRate", "fast", "",
        "波特率设置错误，请重新设置波特率！");
    rom("RAM code", "ptnDownloadRam", "", "", "", "下载RAMCODE成功！");
    rom("RAM code cancelled", "ptnDownloadRam", "", "", "cancel=ram:2", "下载RAMCODE失败！");
    ram("erase", "ptnErase", "", "", "", "擦除Flash成功！");
    ram("erase refused", "ptnErase", "", "", "erase-fail", "擦除Flash失败！");
    ram("erase address not a number", "ptnErase", "leErase", "0x1g", "", "擦除地址错误！");
    ram("chip erase", "ptnEraseAll", "", "", "", "擦除芯片成功！");
    // Nothing goes to the chip without a file.
    ram("write flash without a file", "ptnDownloadFlash", "leDownloadFlash", "", "", "请先选择要烧写的文件！");
    ram("chip erase refused", "ptnEraseAll", "", "", "erase-fail", "擦除芯片失败！");
    ram("start address", "ptnSetStartAddr", "leSetStartAddr", "0x1000", "", "设置烧写地址成功！");
    ram("start address refused", "ptnSetStartAddr", "leSetStartAddr", "4096", "addr-fail", "设置烧写地址失败！");
    ram("start address not a number", "ptnSetStartAddr", "leSetStartAddr", "0x1k", "", "请设置烧录地址！");
    ram("burn baud", "ptnSetBaud", "leSetBaud", "921600", "", "设置烧写波特率成功！", "921600");
    ram("burn baud ignored", "ptnSetBaud", "leSetBaud", "921600", "baud-ignored", "设置烧写波特率失败！", "921600");
    ram("burn baud 0", "ptnSetBaud", "leSetBaud", "0", "", "波特率设置错误，请重新设置波特率！");
    ram("flash info", "ptnGetFlashInfo", "", "", "", "获取Flash信息成功！");
    ram("flash info, silent chip", "ptnGetFlashInfo", "", "", "silent", "获取Flash信息失败！");
    ram("write flash", "ptnDownloadFlash", "leDownloadFlash", "@image", "", "烧写Flash成功！");
    ram("write flash cancelled", "ptnDownloadFlash", "leDownloadFlash", "@image", "cancel=1", "烧写Flash失败！");
    ram("file count", "ptnGetFileCnt", "", "", "", "读取烧写文件数量成功，数量：0");
    ram("file count, silent chip", "ptnGetFileCnt", "", "", "silent", "读取烧写文件数量失败！");
    ram("reboot", "ptnReboot", "", "", "", "复位芯片成功！");
    ram("flash test", "ptnFlashTest", "", "", "", "Flash 测试成功！");
    ram("flash test failing", "ptnFlashTest", "", "", "flash-test-fail", "Flash 测试失败！");
    ram("UID", "ptnGetFlashUUID", "", "", "", "获取Flash UUID成功！");
    ram("UID, silent chip", "ptnGetFlashUUID", "", "", "silent", "获取Flash UUID失败！");
}

void tst_developwindow::advancedButtonLines()
{
    QFETCH(QString, buttonName);
    QFETCH(bool, inRamCode);
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(QString, fault);
    QFETCH(QString, line);
    QFETCH(QString, baudAfter);

    SimFixture sim(inRamCode ? QStringList{"--fault", "in-ram"} : QStringList());
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    auto w = openWindow(sim);
    if (text == QLatin1String("@image"))
        text = writeImage("advanced.bin", randomBytes(40000, 5));
    if (!field.isEmpty())
        child<QLineEdit>(w.get(), field)->setText(text);
    if (!fault.isEmpty())
        QVERIFY(sim.addFault(fault));

    QObject scope;
    onModal<QMessageBox>(&scope, [](QMessageBox *box) { box->button(QMessageBox::Yes)->click(); });
    button(w.get(), buttonName)->click();
    QCOMPARE(logLines(w.get()).last(), line);
    if (line.startsWith(QLatin1String("请先选择")))
        QVERIFY(!logLines(w.get()).contains(QStringLiteral("开始烧录！")));
    QCOMPARE(child<QLineEdit>(w.get(), "leBaud")->text(), baudAfter);
}

void tst_developwindow::advancedStepsWriteAnImage()
{
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    auto w = openWindow(sim);
    const QByteArray image = randomBytes(2 * kSector + 300, 21);
    child<QLineEdit>(w.get(), "leSetBaud")->setText("921600");
    child<QLineEdit>(w.get(), "leSetStartAddr")->setText("0x3000");
    child<QLineEdit>(w.get(), "leDownloadFlash")->setText(writeImage("steps.bin", image));
    for (const char *name : {"ptnDownloadRam", "ptnSetBaud", "ptnSetStartAddr", "ptnDownloadFlash", "ptnGetFileCnt"})
        button(w.get(), name)->click();
    const QStringList lines = logLines(w.get());
    QCOMPARE(lines.last(), QStringLiteral("读取烧写文件数量成功，数量：1"));
    QVERIFY(lines.contains(QStringLiteral("烧写Flash成功！")));
    QCOMPARE(child<QProgressBar>(w.get(), "progressBar")->value(), 100);
    QCOMPARE(sim.flash().mid(0x3000, image.size()), image);

    // "0x3000" in the raw erase is that sector, not sector 0.
    child<QLineEdit>(w.get(), "leErase")->setText("0x3000");
    button(w.get(), "ptnErase")->click();
    QCOMPARE(logLines(w.get()).last(), QStringLiteral("擦除Flash成功！"));
    const QByteArray flash = sim.flash();
    QCOMPARE(flash.mid(0x3000, kSector), QByteArray(kSector, '\xff'));
    QCOMPARE(flash.mid(0x4000, image.size() - kSector), image.mid(kSector));
}

void tst_developwindow::openRefusalsSayWhy_data()
{
    QTest::addColumn<portBlock>("block");
    QTest::addColumn<bool>("nobody");
    // The lines after the window's own, with the device and the holder's
    // pid in place of {device} and {pid}.
    QTest::addColumn<QStringList>("why");
    QTest::newRow("only its owner may open it")
        << portBlock::OwnerOnly << true << QStringList{"当前用户没有 {device} 的读写权限（只有其所有者 root 可以读写）"};
    QTest::newRow("the group dialout may")
        << portBlock::GroupDialout << true
        << QStringList{"当前用户没有 {device} 的读写权限（属于 dialout 组），请将用户加入 dialout 组后重新登录"};
    QTest::newRow("held by another process")
        << portBlock::Held << false << QStringList{"串口已被其他程序占用：COM1", "串口被进程 flock(pid {pid}) 占用"};
}

void tst_developwindow::openRefusalsSayWhy()
{
    QFETCH(portBlock, block);
    QFETCH(bool, nobody);
    QFETCH(QStringList, why);
    if (nobody && ::getuid() != 0)
        QSKIP("needs root, to change the device and to act as nobody");
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    QVERIFY(openToEveryone(sim.dir()));
    auto w = openWindow(sim, false);
    PortBlocker blocker(sim.portPath(), block);
    QVERIFY(blocker.ok());
    const int before = logLines(w.get()).size();
    {
        std::unique_ptr<ActAsNobody> as(nobody ? new ActAsNobody : nullptr);
        QVERIFY(!as || as->ok());
        button(w.get(), "pbnOpenUart")->click();
    }
    QStringList expected{QStringLiteral("打开串口失败，请检查串口是否被占用或者检查USB接线！")};
    for (const QString &line : qAsConst(why))
        expected << blocker.fillIn(line);
    QCOMPARE(logLines(w.get()).mid(before), expected);
    QCOMPARE(button(w.get(), "pbnOpenUart")->text(), QStringLiteral("打开串口"));
}

void tst_developwindow::closedPortDoesNothing()
{
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    auto w = openWindow(sim, false);
    const QStringList before = logLines(w.get());
    for (const char *name : {"ptnGetVerion", "ptnSetBaudRate", "ptnDownloadRam", "ptnErase", "ptnEraseAll",
                             "ptnSetStartAddr", "ptnSetBaud", "ptnGetFlashInfo", "ptnDownloadFlash", "ptnGetFileCnt",
                             "ptnReboot", "ptnFlashTest", "ptnGetFlashUUID"})
        button(w.get(), name)->click();
    QCOMPARE(logLines(w.get()), before);
    QCOMPARE(child<QLineEdit>(w.get(), "leBaud")->text(), QStringLiteral("115200"));

    for (const char *name : {"ptnStartDownload", "ptnEraseChip", "pbnEraseArea"}) {
        button(w.get(), name)->click();
        QCOMPARE(logLines(w.get()).last(), QStringLiteral("请先打开串口！"));
    }
    QCOMPARE(logLines(w.get()).size(), before.size() + 3);
    QCOMPARE(sim.state().where, QStringLiteral("ROM"));
    QCOMPARE(sim.state().baud, 115200);

    // Without any port the open button says so.
    QTemporaryDir empty;
    qputenv("VQ_SIM_PORT_DIR", empty.path().toUtf8());
    developWindow bare;
    button(&bare, "pbnOpenUart")->click();
    QCOMPARE(logLines(&bare).last(), QStringLiteral("没有扫描到串口！"));
}

void tst_developwindow::accessCode_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("accept");
    QTest::addColumn<bool>("unlocked");
    QTest::newRow("right") << "QX48213957" << true << true;
    QTest::newRow("wrong case") << "qx48213957" << true << false;
    QTest::newRow("one character short") << "QX4821395" << true << false;
    QTest::newRow("empty") << "" << true << false;
    QTest::newRow("right but cancelled") << "QX48213957" << false << false;
}

void tst_developwindow::accessCode()
{
    QFETCH(QString, code);
    QFETCH(bool, accept);
    QFETCH(bool, unlocked);

    developWindow w;
    w.show();
    const QSize before = w.size();
    auto *radio = child<QRadioButton>(&w, "radioButton");
    auto *panel = child<QGroupBox>(&w, "groupBox_4");
    QObject scope;
    QString title, label, warningTitle, warning;
    bool password = false;
    onModal<QInputDialog>(&scope, [&](QInputDialog *d) {
        title = d->windowTitle();
        label = d->labelText();
        password = d->textEchoMode() == QLineEdit::Password;
        d->setTextValue(code);
        accept ? d->accept() : d->reject();
    });
    onModal<QMessageBox>(&scope, [&](QMessageBox *box) {
        warningTitle = box->windowTitle();
        warning = box->text();
        box->button(QMessageBox::Ok)->click();
    });
    QTest::mouseClick(radio, Qt::LeftButton);

    QCOMPARE(title, QStringLiteral("输入密码"));
    QCOMPARE(label, QStringLiteral("警告：烧录测试模式只能由内部人员使用！"));
    QVERIFY(password);
    QCOMPARE(panel->isVisible(), unlocked);
    QCOMPARE(radio->isChecked(), unlocked);
    QCOMPARE(warning, unlocked ? QString() : QStringLiteral("密码输入错误！"));
    QCOMPARE(warningTitle, unlocked ? QString() : QStringLiteral("错误"));

    if (unlocked) {
        QTest::mouseClick(radio, Qt::LeftButton);
        QVERIFY(!radio->isChecked());
        QVERIFY(!panel->isVisible());
        QCOMPARE(w.size(), before);
    }
}

void tst_developwindow::downloadRefusals_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("withPath");
    QTest::addColumn<bool>("ticked");
    QTest::addColumn<QString>("burnBaud");
    QTest::addColumn<QString>("line");

    const QString setAddress = QStringLiteral("请设置烧录地址！");
    QTest::newRow("address not hex") << "1000h" << true << true << "1000000" << setAddress;
    QTest::newRow("bare 0x") << "0x" << true << true << "1000000" << setAddress;
    QTest::newRow("no address") << "" << true << true << "1000000" << setAddress;
    QTest::newRow("not 4K aligned") << "1800" << true << true << "1000000" << "烧录地址未进行4k对齐！";
    QTest::newRow("no path") << "1000" << false << true << "1000000" << "请设置文件路径！";
    QTest::newRow("nothing ticked") << "1000" << true << false << "1000000"
                                    << "请设置烧录文件路径和烧录的起始地址，并使能这个路径！";
    QTest::newRow("burn baud 0") << "1000" << true << true << "0" << "波特率设置错误，请重新设置波特率！";
}

void tst_developwindow::downloadRefusals()
{
    QFETCH(QString, address);
    QFETCH(bool, withPath);
    QFETCH(bool, ticked);
    QFETCH(QString, burnBaud);
    QFETCH(QString, line);

    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    auto w = openWindow(sim);
    setRow(w.get(), 2, withPath ? writeImage("refused.bin", randomBytes(5000, 3)) : QString(), address, ticked);
    child<QLineEdit>(w.get(), "lineEdit")->setText(burnBaud);
    // Twice: a refusal must leave the button and its busy flag free.
    for (int i = 0; i < 2; ++i) {
        button(w.get(), "ptnStartDownload")->click();
        const QStringList lines = logLines(w.get());
        QCOMPARE(lines.mid(lines.size() - 2), (QStringList{"开始烧录！", line}));
        QVERIFY(button(w.get(), "ptnStartDownload")->isEnabled());
    }
    QCOMPARE(sim.state().where, QStringLiteral("ROM"));
}

void tst_developwindow::fileChoice_data()
{
    QTest::addColumn<QString>("buttonName");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QString>("current");  // the row's file before the choice, in a folder of its own

    const QString image = QStringLiteral("固件文件(*.bin *.img)");
    const QString bin = QStringLiteral("bin文件(*bin)");
    QTest::newRow("image row 2") << "selectFile_2" << "b.img" << image << QStringList{"le_fileName_2"} << QString();
    QTest::newRow("image row 4, wrong type") << "selectFile_4" << "notes.txt" << image << QStringList() << QString();
    QTest::newRow("image row 1, cancelled") << "selectFile_1" << "" << image << QStringList() << QString();
    QTest::newRow("RAM code") << "ptnSelectRamFile" << "ram.bin" << bin << QStringList{"leRamFile", "leDownloadRam"} << QString();
    QTest::newRow("flash image") << "ptnSelectRamFile_2" << "fw.bin" << bin
                                 << QStringList{"leDownloadFlash", "leDownloadFlash_2"} << QString();
    QTest::newRow("flash image, cancelled") << "ptnSelectRamFile_2" << "" << bin << QStringList() << QString();
    QTest::newRow("image row 3, from its file's folder") << "selectFile_3" << "c.bin" << image
                                                         << QStringList{"le_fileName_3"} << "builds/old.bin";
}

void tst_developwindow::fileChoice()
{
    QFETCH(QString, buttonName);
    QFETCH(QString, file);
    QFETCH(QString, filter);
    QFETCH(QStringList, fields);
    QFETCH(QString, current);

    developWindow w;
    const QString path = file.isEmpty() ? QString() : writeImage(file, "x");
    if (!current.isEmpty())
        child<QLineEdit>(&w, fields.value(0))->setText(writeImage(current, "x"));
    QObject scope;
    QString title;
    QStringList filters;
    QString folder;
    onModal<QFileDialog>(&scope, [&](QFileDialog *d) {
        title = d->windowTitle();
        filters = d->nameFilters();
        folder = d->directory().absolutePath();
        if (path.isEmpty()) {
            d->reject();
        } else {
            // selectFile clears the list's selection (the last file chosen
            // may be selected there) but leaves a focused name field alone.
            d->selectFile(path);
            child<QLineEdit>(d, "fileNameEdit")->setText(path);
            static_cast<QDialog *>(d)->accept();
        }
    });
    const QStringList before = logLines(&w);
    button(&w, buttonName)->click();

    QCOMPARE(title, QStringLiteral("打开文件"));
    QCOMPARE(filters, QStringList{filter});
    // There is no drive C: here; the chooser starts at home instead.
    if (filter.startsWith(QLatin1String("bin")))
        QCOMPARE(folder, QDir::homePath());
    if (!current.isEmpty())
        QCOMPARE(folder, QFileInfo(work.filePath(current)).absolutePath());
    for (const QString &name : fields)
        QCOMPARE(child<QLineEdit>(&w, name)->text(), path);
    if (fields.isEmpty())
        QCOMPARE(logLines(&w), before + QStringList{"选中了无效的文件，请重新选择烧录文件！"});
    else
        QCOMPARE(logLines(&w), before);
}

void tst_developwindow::clicksDuringAnOperation()
{
    SimFixture sim({"--fault", "in-ram"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    auto w = openWindow(sim);
    const QString waitLine = QStringLiteral("Flash 测试大概需要30s左右，请耐心等待！");
    QObject scope;
    bool clicked = false;
    whenReady(&scope, [&] { return logLines(w.get()).contains(waitLine); }, [&] {
        button(w.get(), "ptnFlashTest")->click();
        button(w.get(), "ptnGetVerion")->click();
        button(w.get(), "pbnEraseArea")->click();
        clicked = true;
    });
    button(w.get(), "ptnFlashTest")->click();
    QVERIFY(clicked);

    const QStringList lines = logLines(w.get());
    QCOMPARE(lines.count(waitLine), 1);
    // Other operations wait their turn instead of talking over the test.
    QCOMPARE(lines.count(QStringLiteral("请等待当前操作完成！")), 2);
    QCOMPARE(lines.last(), QStringLiteral("Flash 测试成功！"));
    button(w.get(), "ptnGetVerion")->click();
    QCOMPARE(logLines(w.get()).last(), QStringLiteral("检测到芯片，芯片信息为RAMCODE"));
}

void tst_developwindow::closingThePortStopsADownload_data()
{
    QTest::addColumn<bool>("closeWindow");
    QTest::newRow("port button") << false;
    // A closed window must not leave its transfer running, holding the port.
    QTest::newRow("window closed") << true;
}

void tst_developwindow::closingThePortStopsADownload()
{
    QFETCH(bool, closeWindow);
    SimFixture sim({"--pace"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    auto w = openWindow(sim);
    const QByteArray image = randomBytes(96 * 1024, 31);
    setRow(w.get(), 1, writeImage("long.bin", image), "0x10000", true);
    child<QLineEdit>(w.get(), "lineEdit")->setText("115200");
    auto *start = button(w.get(), "ptnStartDownload");
    auto *bar = child<QProgressBar>(w.get(), "progressBar");

    QObject scope;
    bool closed = false;
    bool disabledWhileRunning = false;
    // Past the RAM-code step and a tenth into the image.
    whenReady(&scope, [&] { return bar->value() > 55; }, [&] {
        disabledWhileRunning = !start->isEnabled();
        if (closeWindow)
            w->close();
        else
            button(w.get(), "pbnOpenUart")->click();
        closed = true;
    });
    start->click();
    QVERIFY(closed);
    QVERIFY(disabledWhileRunning);

    QStringList lines = logLines(w.get());
    QCOMPARE(lines.mid(lines.size() - 2),
             (QStringList{"烧录失败，错误代码：0x409e8,烧录Flash过程出错", "传输文件时失败，错误代码为：0xe8,上位机手动停止"}));
    QVERIFY(start->isEnabled());
    QCOMPARE(button(w.get(), "pbnOpenUart")->text(), QStringLiteral("打开串口"));
    QVERIFY(child<QComboBox>(w.get(), "comboBox")->isEnabled());

    // A fresh chip in the fixture, the port opened again: the window works.
    w->show();
    QVERIFY(sim.request("NEXTCHIP").value(0) == QLatin1String("OK"));
    child<QLineEdit>(w.get(), "lineEdit")->setText("2000000");
    button(w.get(), "pbnOpenUart")->click();
    QCOMPARE(logLines(w.get()).last(), QStringLiteral("打开成功！"));
    start->click();
    QCOMPARE(logLines(w.get()).last(), QStringLiteral("烧录成功！"));
    QCOMPARE(sim.flash().mid(0x10000, image.size()), image);
}

QTEST_MAIN(tst_developwindow)
#include "tst_developwindow.moc"
