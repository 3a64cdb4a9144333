// The command layer, the catalogue and the result table, against a scripted
// peer on a pseudo-terminal.
#include "chipcommand.h"
#include "chipinfo.h"
#include "ptypeer.h"
#include "resultcodes.h"
#include "serial.h"
#include "ymodemsender.h"

#include <QFile>
#include <QProcess>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <ctime>
#include <unistd.h>
#include <memory>
#include <thread>

namespace {
const QByteArray kUid = "0x0123456789abcdef0123456789ABCDEF";

QByteArray readAll(const QString &path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}
} // namespace

class tst_link : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void waitKeepsEventsFlowingWithoutSpinning_data();
    void waitKeepsEventsFlowingWithoutSpinning();
    void resultTexts_data();
    void resultTexts();
    void compositeSplit();
    void missingConfigFolderGetsDefaults();
    void identification_data();
    void identification();
    void emptyCatalogueIdentifiesNothing();
    void addedModelIsPickedUpWithoutRestart();
    void commandBytes_data();
    void commandBytes();
    void replies_data();
    void replies();
    void closedPortEndsTheWait();
    void pseudoTerminalHasNoModemLines();
    void missingRamCodeSendsNothing();
    void emptyImageIsRefusedBeforeTransfer();
    void readOnlyInstallation_data();
    void readOnlyInstallation();

private:
    // Opens a Serial on a fresh peer; budget lowered so timeouts stay short.
    bool connectPeer();

    std::unique_ptr<QTemporaryDir> configHome;
    std::unique_ptr<PtyPeer> peer;
    std::unique_ptr<Serial> link;
};

void tst_link::init()
{
    link.reset();
    peer.reset();
    configHome = std::make_unique<QTemporaryDir>();
    qputenv("VQ_CONFIG_DIR", (configHome->path() + "/config").toLocal8Bit());
}

bool tst_link::connectPeer()
{
    peer = std::make_unique<PtyPeer>();
    if (!peer->ok())
        return false;
    link = std::make_unique<Serial>();
    if (!link->openPort(peer->slavePath, 115200))
        return false;
    link->setBaudRate(115200);
    peer->start();
    return true;
}

void tst_link::waitKeepsEventsFlowingWithoutSpinning_data()
{
    QTest::addColumn<bool>("worker");
    QTest::newRow("test thread") << false;
    QTest::newRow("thread without exec") << true;
}

// A waiting job must leave its core to the other fifteen, yet its receive
// timer has to keep firing. Measured in CPU time, which load does not inflate.
void tst_link::waitKeepsEventsFlowingWithoutSpinning()
{
    QFETCH(bool, worker);
    constexpr int kWaitMs = 400;
    std::atomic<int> ticks{0};
    std::atomic<qint64> cpuNs{-1};
    auto body = [&] {
        QTimer receive;
        receive.setTimerType(Qt::PreciseTimer);
        QObject::connect(&receive, &QTimer::timeout, [&] { ++ticks; });
        receive.start(2);
        timespec before{}, after{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
        delayMs(kWaitMs);
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
        cpuNs = (after.tv_sec - before.tv_sec) * 1000000000LL + (after.tv_nsec - before.tv_nsec);
    };
    if (worker) {
        std::unique_ptr<QThread> thread(QThread::create(body));
        thread->start();
        QVERIFY(thread->wait(30000));
    } else {
        body();
    }
    QVERIFY2(ticks > 10, qPrintable(QString::number(ticks)));
    // A processEvents spin burns the whole wait; sleeping costs a few percent.
    QVERIFY2(cpuNs < kWaitMs * 1000000LL / 4, qPrintable(QString::number(cpuNs / 1000) + " us of CPU"));
}

void tst_link::resultTexts_data()
{
    QTest::addColumn<uint>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("timeout") << 0xE0u << "烧录通讯超时！";
    QTest::newRow("reserved idle") << 0xE1u << "烧录IDLE流程错误";
    QTest::newRow("reserved start") << 0xE2u << "烧录START流程错误";
    QTest::newRow("reserved start ack") << 0xE3u << "烧录START WAIT ACK流程错误";
    QTest::newRow("data position") << 0xE4u << "烧录DATA流程错误";
    QTest::newRow("reserved data ack") << 0xE5u << "烧录DATA WAIT ACK流程错误";
    QTest::newRow("reserved stop") << 0xE6u << "烧录STOP流程错误";
    QTest::newRow("reserved stop ack") << 0xE7u << "烧录STOP WAIT ACK流程错误";
    QTest::newRow("host stop") << 0xE8u << "上位机手动停止";
    QTest::newRow("cannot open") << 0xF0u << "无法打开烧录文件！";
    QTest::newRow("chip cancel") << 0xF1u << "芯片发起烧录终止指令！";
    QTest::newRow("empty image") << 0xF2u << "烧录文件为空！";
    QTest::newRow("transfer success") << 0xFFu << "";
    QTest::newRow("run success") << 0u << "";
    QTest::newRow("port") << 0x20100u << "串口打开失败，串口不存在或者被占用";
    QTest::newRow("chip info") << 0x20200u << "无法获取芯片信息,请检查芯片是否处于下载模式并确保串口连接正确。";
    QTest::newRow("ram code") << 0x30100u << "发送RAM CODE失败";
    QTest::newRow("file count") << 0x40100u << "无法获取已烧录文件数量或者已烧录文件数量不符合预期";
    QTest::newRow("baud") << 0x40300u << "设置芯片波特率出错";
    QTest::newRow("start address") << 0x40500u << "设置烧录地址出错";
    QTest::newRow("erase") << 0x40700u << "擦除芯片出错";
    QTest::newRow("flash") << 0x40900u << "烧录Flash过程出错";
    QTest::newRow("open image") << 0x40A00u << "打开烧录文件出错";
    QTest::newRow("composite has no text") << 0x409E0u << "";
    QTest::newRow("unknown") << 0x12345u << "";
}

void tst_link::resultTexts()
{
    QFETCH(uint, code);
    QFETCH(QString, text);
    QCOMPARE(resultText(code), text);
}

void tst_link::compositeSplit()
{
    const uint32_t code = resultCode::kRamCodeFailed | resultCode::kTransferTimeout;
    QCOMPARE(code, 0x301E0u);
    QCOMPARE(resultText(code & ~resultCode::kTransferMask), QStringLiteral("发送RAM CODE失败"));
    QCOMPARE(resultText(code & resultCode::kTransferMask), QStringLiteral("烧录通讯超时！"));
}

void tst_link::missingConfigFolderGetsDefaults()
{
    QVERIFY(!QFile::exists(configDir()));
    chipCommand cmd;
    const QByteArray text = readAll(configDir() + "/chip_info.json");
    QVERIFY(text.contains("    \"VQ5304\": \"Aug  9 2021/16:16:40\""));
    const QJsonObject o = QJsonDocument::fromJson(text).object();
    QCOMPARE(o.keys(), QStringList({"VQ5304", "VQ571M"}));
    QCOMPARE(o.value("VQ571M").toString(), QStringLiteral("Mar 14 2021/00:23:32"));
    QCOMPARE(cmd.catalogue->models, QStringList({"VQ5304", "VQ571M"}));
}

void tst_link::identification_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("model");
    QTest::newRow("VQ5304") << QByteArray("boot rom Aug  9 2021/16:16:40\r\n") << true << "VQ5304";
    QTest::newRow("VQ571M") << QByteArray("build Mar 14 2021/00:23:32\r\n") << true << "VQ571M";
    QTest::newRow("model before RAM code")
        << QByteArray("RAMCODE Aug  9 2021/16:16:40\r\n") << true << "VQ5304";
    QTest::newRow("RAM code") << QByteArray("RAMCODE v1\r\n") << true << "RAMCODE";
    QTest::newRow("one space is another date") << QByteArray("Aug 9 2021/16:16:40\r\n") << false << "";
}

void tst_link::identification()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, found);
    QFETCH(QString, model);
    QVERIFY(connectPeer());
    peer->answer("version", {reply});
    chipCommand cmd;
    cmd.setSerial(link.get());
    QString got;
    QCOMPARE(cmd.getVersion(got), found);
    if (found)
        QCOMPARE(got, model);
}

void tst_link::emptyCatalogueIdentifiesNothing()
{
    QDir().mkpath(configDir());
    writeFile(configDir() + "/chip_info.json", "{}");
    QVERIFY(connectPeer());
    peer->answer("version", {"Aug  9 2021/16:16:40 RAMCODE\r\n"});
    chipCommand cmd;
    cmd.setSerial(link.get());
    QVERIFY(cmd.catalogue->models.isEmpty());
    QString got;
    QVERIFY(!cmd.getVersion(got));
    QCOMPARE(readAll(configDir() + "/chip_info.json"), QByteArray("{}"));
}

void tst_link::addedModelIsPickedUpWithoutRestart()
{
    QVERIFY(connectPeer());
    peer->answer("version", {"rom Jan  1 2030/00:00:00\r\n"});
    chipCommand cmd;
    cmd.setSerial(link.get());
    QString got;
    QVERIFY(!cmd.probeVersion(got));

    QJsonObject o = QJsonDocument::fromJson(readAll(chipInfo::filePath())).object();
    o.insert("VQ9000", "Jan  1 2030/00:00:00");
    writeFile(chipInfo::filePath(), QJsonDocument(o).toJson());
    QVERIFY(cmd.getVersion(got));
    QCOMPARE(got, QStringLiteral("VQ9000"));
    QCOMPARE(chipInfo::ramCodePath(got, false), configDir() + "/VQ9000_RAM_BIN.bin");
}

void tst_link::commandBytes_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<uint>("a");
    QTest::addColumn<uint>("b");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ferase aligns down and rounds up") << "ferase" << 0x1FFFu << 1u << QByteArray("ferase 0x1000 0x1000\r\n");
    QTest::newRow("ferase whole sector") << "ferase" << 0x1FFFu << 4096u << QByteArray("ferase 0x1000 0x1000\r\n");
    QTest::newRow("ferase zero length") << "ferase" << 0u << 0u << QByteArray("ferase 0x0 0x0\r\n");
    QTest::newRow("ferase one past") << "ferase" << 0xABCDEu << 4097u << QByteArray("ferase 0xab000 0x2000\r\n");
    QTest::newRow("ferase_all") << "ferase_all" << 0u << 0u << QByteArray("ferase_all\r\n");
    QTest::newRow("startaddr unaligned") << "startaddr" << 0x1FFFu << 0u << QByteArray("startaddr 0x1fff\r\n");
    QTest::newRow("download") << "download" << 0x20000000u << 4096u
                              << QByteArray("download [rambin] [0x20000000] [4096]\r\n");
    QTest::newRow("burn baud") << "burn" << 1000000u << 0u
                               << QByteArray("baudrate 1000000\r\nversion\r\nversion\r\n");
    QTest::newRow("boot baud") << "boot" << 115200u << 0u
                               << QByteArray("baudrate [boot][115200]\r\nversion\r\nversion\r\n");
    QTest::newRow("flash_info") << "flash_info" << 0u << 0u << QByteArray("flash_info \r\n");
    QTest::newRow("flash_test") << "flash_test" << 0u << 0u << QByteArray("flash_test \r\n");
    QTest::newRow("filecount and reboot") << "filecount" << 0u << 0u << QByteArray("filecount\r\nreboot\r\n");
}

void tst_link::commandBytes()
{
    QFETCH(QString, command);
    QFETCH(uint, a);
    QFETCH(uint, b);
    QFETCH(QByteArray, bytes);
    QVERIFY(connectPeer());
    peer->answer("ferase", {"\r\npppp\r\n"});
    peer->answer("startaddr", {"\r\npppp\r\n"});
    peer->answer("version", {"RAMCODE\r\n"});
    peer->answer("flash_info", {"flash id:ef4016ef 4 MByte\r\n"});
    peer->answer("flash_test", {"no error\r\n"});
    peer->answer("filecount", {"\r\nfc:0\r\n"});
    chipCommand cmd;
    cmd.setSerial(link.get());
    bool ok = false;
    QString text;
    uint32_t value = 0;
    if (command == "ferase") {
        ok = cmd.eraseFlash(a, b);
    } else if (command == "ferase_all") {
        ok = cmd.eraseChip();
    } else if (command == "startaddr") {
        ok = cmd.setStartAddr(a);
    } else if (command == "download") {
        QTemporaryDir dir;
        writeFile(dir.path() + "/ram.bin", QByteArray(static_cast<int>(b), 'r'));
        // A stopped sender returns at its first tick, after the line went out.
        cmd.stop.raise(stopRequest::stop);
        ok = !cmd.downloadRamCode(a, dir.path() + "/ram.bin", value) && value == resultCode::kTransferStopped;
    } else if (command == "burn") {
        ok = cmd.setBurnBaudRate(a);
        QCOMPARE(link->port->baudRate(), static_cast<qint32>(a));
    } else if (command == "boot") {
        ok = cmd.setBootBaudRate(a);
    } else if (command == "flash_info") {
        ok = cmd.getFlashInfo(text);
    } else if (command == "flash_test") {
        ok = cmd.flashTest(text);
    } else if (command == "filecount") {
        ok = cmd.getFileCount(value) && cmd.rebootChip();
    }
    QVERIFY(ok);
    QTRY_COMPARE(peer->received(), bytes);
}

void tst_link::replies_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("out");
    QTest::newRow("marker split across reads") << "startaddr" << QByteArrayList{"\r\npp", "pp", "\r\n"} << true << "";
    QTest::newRow("pass and fail: pass wins") << "startaddr" << QByteArrayList{"\r\nffff\r\n\r\npppp\r\n"} << true << "";
    QTest::newRow("fail marker") << "startaddr" << QByteArrayList{"\r\nffff\r\n"} << false << "";
    QTest::newRow("bare pppp is no pass") << "startaddr" << QByteArrayList{"pppp"} << false << "";
    QTest::newRow("file count in pieces") << "filecount" << QByteArrayList{"\r\nfc:", "12", "\r\n"} << true << "12";
    QTest::newRow("file count without line end") << "filecount" << QByteArrayList{"\r\nfc:3"} << false << "";
    QTest::newRow("flash id after anchor") << "flash_info" << QByteArrayList{"flash id:", "c8401600, 4 MByte"} << true
                                           << "c8401600";
    QTest::newRow("flash info fail") << "flash_info" << QByteArrayList{"ffff"} << false << "";
    QTest::newRow("uid in pieces") << "flash_uid" << QByteArrayList{"\r\nflash uid:", kUid.left(20), kUid.mid(20) + "\r\n"}
                                   << true << QString::fromLatin1(kUid);
    QTest::newRow("uid without 0x") << "flash_uid" << QByteArrayList{"flash uid:1x" + kUid.mid(2) + "\r\n"} << false << "";
    QTest::newRow("flash test no and pos") << "flash_test" << QByteArrayList{"pos 12 no\r\n"} << true << "pos 12 no\r\n";
    QTest::newRow("flash test pos") << "flash_test" << QByteArrayList{"pos 12\r\n"} << false << "pos 12\r\n";
}

void tst_link::replies()
{
    QFETCH(QString, command);
    QFETCH(QByteArrayList, pieces);
    QFETCH(bool, ok);
    QFETCH(QString, out);
    QVERIFY(connectPeer());
    peer->answer(command.toLatin1(), pieces);
    chipCommand cmd;
    cmd.setSerial(link.get());
    QString text;
    uint32_t count = 0;
    bool result = false;
    if (command == "startaddr")
        result = cmd.setStartAddr(0x1000);
    else if (command == "filecount" && (result = cmd.getFileCount(count)))
        text = QString::number(count);
    else if (command == "flash_info")
        result = cmd.getFlashInfo(text);
    else if (command == "flash_uid")
        result = cmd.getFlashUid(text);
    else if (command == "flash_test")
        result = cmd.flashTest(text);
    QCOMPARE(result, ok);
    QCOMPARE(text, out);
}

// The budget would hold the wait for hours; only the closed-port check ends
// it. The link lives in a thread of its own, as a job's does, and stays
// alive until the test has stopped touching it.
void tst_link::closedPortEndsTheWait()
{
    peer = std::make_unique<PtyPeer>();
    QVERIFY(peer->ok());
    chipCommand cmd;
    std::atomic<Serial *> target{nullptr};
    std::atomic<bool> release{false};
    std::atomic<int> result{-1};
    std::atomic<bool> openAfter{true};
    std::unique_ptr<QThread> job(QThread::create([&] {
        Serial own;
        if (own.openPort(peer->slavePath, 115200)) {
            own.waitCount = 1000000;
            cmd.setSerial(&own);
            target = &own;
            result = cmd.setStartAddr(0x1000) ? 1 : 0;
            openAfter = own.isOpen();
            cmd.setSerial(nullptr);
        }
        while (!release)
            QThread::msleep(1);
        target = nullptr;
    }));
    job->start();
    // Closed from the window's thread, as the job's stop does, once the
    // command is on the line.
    QTRY_VERIFY_WITH_TIMEOUT(target.load() != nullptr, 30000);
    QByteArray seen;
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                 char buf[256];
                                 pollfd p{peer->master, POLLIN, 0};
                                 if (::poll(&p, 1, 0) > 0) {
                                     const ssize_t n = ::read(peer->master, buf, sizeof buf);
                                     if (n > 0)
                                         seen.append(buf, static_cast<int>(n));
                                 }
                                 return seen.endsWith("\r\n");
                             }()),
                             30000);
    target.load()->closePort();
    const bool ended = QTest::qWaitFor([&] { return result.load() != -1; }, 30000);
    if (!ended)
        cmd.stop.raise(stopRequest::stop);
    release = true;
    QVERIFY(job->wait(60000));
    QVERIFY2(ended, "the reply wait went on after its port was closed");
    QCOMPARE(result.load(), 0);
    QVERIFY(!openAfter.load());
}

void tst_link::pseudoTerminalHasNoModemLines()
{
    QVERIFY(connectPeer());
    QVERIFY(!link->hasModemLines());
    QVERIFY(!link->setDtr(true));
    QVERIFY(!link->setRts(false));
    QVERIFY(!link->dsr());
    // The refused probes leave the port usable.
    peer->answer("startaddr", {"\r\npppp\r\n"});
    chipCommand cmd;
    cmd.setSerial(link.get());
    QVERIFY(cmd.setStartAddr(0x2000));
}

void tst_link::missingRamCodeSendsNothing()
{
    QVERIFY(connectPeer());
    chipCommand cmd;
    cmd.setSerial(link.get());
    uint32_t code = 77;
    QVERIFY(!cmd.downloadRamCode(0x20000000, configDir() + "/NOPE_RAM_BIN.bin", code));
    QCOMPARE(code, 77u);
    peer->answer("startaddr", {"\r\npppp\r\n"});
    QVERIFY(cmd.setStartAddr(0));
    QCOMPARE(peer->received(), QByteArray("startaddr 0x0\r\n"));
}

void tst_link::emptyImageIsRefusedBeforeTransfer()
{
    QVERIFY(connectPeer());
    QTemporaryDir dir;
    writeFile(dir.path() + "/empty.bin", QByteArray());
    chipCommand cmd;
    cmd.setSerial(link.get());
    uint32_t code = 0;
    QVERIFY(!cmd.upgradeFile(dir.path() + "/empty.bin", code));
    QCOMPARE(code, resultCode::kTransferEmptyFile);
    ymodemSender sender;
    QCOMPARE(sender.sendFile(dir.path() + "/empty.bin", link.get()), static_cast<uint8_t>(resultCode::kTransferEmptyFile));
    QCOMPARE(sender.sendFile(dir.path() + "/missing.bin", link.get()), static_cast<uint8_t>(resultCode::kTransferCannotOpen));
    code = 0;
    QVERIFY(!cmd.downloadRamCode(0x20000000, dir.path() + "/empty.bin", code));
    QCOMPARE(code, resultCode::kTransferEmptyFile);
    peer->answer("startaddr", {"\r\npppp\r\n"});
    QVERIFY(cmd.setStartAddr(0));
    QCOMPARE(peer->received(), QByteArray("startaddr 0x0\r\n"));
}

void tst_link::readOnlyInstallation_data()
{
    QTest::addColumn<bool>("withCatalogue");
    QTest::newRow("catalogue present") << true;
    QTest::newRow("catalogue missing") << false;
}

// An ordinary user runs the tool from an installation only the
// administrator may write. The probe is this program again, started as that
// user (as root, through setpriv: root passes every permission check).
void tst_link::readOnlyInstallation()
{
    QFETCH(bool, withCatalogue);
    // The added model's ROM date is known only to the file; the default
    // table knows VQ5304's.
    const QString rom = withCatalogue ? "Jan  1 2030/00:00:00" : "Aug  9 2021/16:16:40";
    QStringList command{QCoreApplication::applicationFilePath(), "--catalogue-probe", rom};
    if (::geteuid() == 0) {
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty())
            QSKIP("running as root without setpriv: a read-only folder cannot be shown");
        command = QStringList{setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"} + command;
    }
    QTemporaryDir home;
    QVERIFY(QFile::setPermissions(home.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                   | QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup
                                                   | QFile::ExeGroup));
    const QString folder = home.path() + "/config";
    QVERIFY(QDir().mkpath(folder));
    const QString file = folder + "/chip_info.json";
    if (withCatalogue) {
        // Only the ROM date of an added model tells that the file was read.
        writeFile(file, "{\n    \"VQ5304\": \"Aug  9 2021/16:16:40\",\n    \"VQ9000\": \"Jan  1 2030/00:00:00\"\n}\n");
        QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    }
    const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                                        | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(folder, readOnly));
    const QByteArray before = withCatalogue ? readAll(file) : QByteArray();

    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VQ_CONFIG_DIR", folder);
    probe.setProcessEnvironment(env);
    probe.start(command.first(), command.mid(1));
    QVERIFY(probe.waitForFinished(60000));
    const QString out = QString::fromUtf8(probe.readAllStandardOutput());
    QFile::setPermissions(folder, readOnly | QFile::WriteOwner);
    const QString why = out + QString::fromUtf8(probe.readAllStandardError());
    QCOMPARE(probe.exitCode(), 0);
    QVERIFY2(out.contains(withCatalogue ? "model=VQ9000" : "model=VQ5304"), qPrintable(why));
    if (withCatalogue) {
        QVERIFY2(out.contains("error=\n"), qPrintable(why));
        QCOMPARE(readAll(file), before);
    } else {
        QVERIFY2(out.contains("error=") && out.contains(folder), qPrintable(why));
        QVERIFY(!QFile::exists(file));
    }
}

// The probe: identify a scripted chip with the catalogue of VQ_CONFIG_DIR;
// print the model found and the catalogue's complaint.
static int catalogueProbe(const QByteArray &romDate)
{
    PtyPeer peer;
    if (!peer.ok())
        return 3;
    peer.answer("version", {"\r\nboot rom " + romDate + "\r\n"});
    peer.start();
    Serial link;
    if (!link.openPort(peer.slavePath, 115200))
        return 4;
    chipCommand cmd;
    cmd.setSerial(&link);
    QString model;
    cmd.getVersion(model);
    const QByteArray text = "model=" + model.toUtf8() + "\nerror=" + cmd.catalogue->errorString().toUtf8() + "\n";
    fputs(text.constData(), stdout);
    return 0;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 2 && qstrcmp(argv[1], "--catalogue-probe") == 0)
        return catalogueProbe(argv[2]);
    tst_link test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_link.moc"
