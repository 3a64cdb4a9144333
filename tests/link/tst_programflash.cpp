// The whole programming run against the chip simulator: what lands in its
// flash, which result each chip fault produces, progress and stop.
#include "simfixture.h"
#include "testutil.h"
#include "chipcommand.h"
#include "resultcodes.h"
#include "serial.h"
#include "ymodemsender.h"

#include <QDir>
#include <QRandomGenerator>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {
constexpr uint32_t kBurnBaud = 921600;

} // namespace

class tst_programflash : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void twoImagesLandByteForByte();
    void eraseRunLeavesFlashErased();
    void faultsGiveTheirCodes_data();
    void faultsGiveTheirCodes();
    void ramCodeImageFollowsModelAndSpeed_data();
    void ramCodeImageFollowsModelAndSpeed();
    void transferCodes_data();
    void transferCodes();
    void controlLinesReachTheChip();
    void progressRisesInOrder();
    void stopEndsTransfer();
    void stopThenRebootThenProgramAgain_data();
    void stopThenRebootThenProgramAgain();
    void everyLineSpeed_data();
    void everyLineSpeed();
    void slowErase_data();
    void slowErase();
    void lostPortEndsTheRun();
    void badRequestTouchesNoChip_data();
    void badRequestTouchesNoChip();

private:
    QString writeImage(const QString &name, const QByteArray &bytes);
    // One run on a fresh link, as a job makes it.
    uint32_t run(const SimFixture &sim, chipCommand &cmd, const QStringList &files, const QList<uint32_t> &addrs,
                 int eraseAll);

    QTemporaryDir work;
    QString config;
};

void tst_programflash::initTestCase()
{
    QVERIFY(work.isValid());
}

void tst_programflash::init()
{
    // A fresh config folder per case: the catalogue is written on first use
    // and one case removes a RAM-code image.
    static int serial = 0;
    config = work.filePath(QStringLiteral("config%1").arg(++serial));
    QVERIFY(copyShippedConfig(config));
    qputenv("VQ_CONFIG_DIR", config.toLocal8Bit());
}

QString tst_programflash::writeImage(const QString &name, const QByteArray &bytes)
{
    const QString path = work.filePath(name);
    return writeFile(path, bytes) ? path : QString();
}

uint32_t tst_programflash::run(const SimFixture &sim, chipCommand &cmd, const QStringList &files,
                               const QList<uint32_t> &addrs, int eraseAll)
{
    Serial link;
    if (!link.openPort(sim.portPath(), 115200))
        return resultCode::kPortOpenFailed;
    cmd.setSerial(&link);
    const uint32_t code = cmd.programFlash(kBurnBaud, addrs, files, eraseAll, false);
    link.closePort();
    cmd.setSerial(nullptr);
    return code;
}

void tst_programflash::twoImagesLandByteForByte()
{
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QByteArray a = randomBytes(40000, 1);
    const QByteArray b = randomBytes(16384 * 3 + 1, 2);
    chipCommand cmd;
    QCOMPARE(run(sim, cmd, {writeImage("a.bin", a), writeImage("b.bin", b)}, {0x0, 0x100000}, 2), 0u);
    const QByteArray flash = sim.flash();
    QCOMPARE(flash.mid(0, a.size()), a);
    QCOMPARE(flash.mid(0x100000, b.size()), b);
    QCOMPARE(cmd.flashId.size(), 8);
    QVERIFY(cmd.flashUid.startsWith("0x"));
    QCOMPARE(sim.state().fileCount, 2);
}

void tst_programflash::eraseRunLeavesFlashErased()
{
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QByteArray image = randomBytes(20000, 3);
    {
        Serial link;
        QVERIFY(link.openPort(sim.portPath(), 115200));
        chipCommand cmd;
        cmd.setSerial(&link);
        QCOMPARE(cmd.programFlash(kBurnBaud, {0x2000}, {writeImage("c.bin", image)}, 2, false), 0u);
        QVERIFY(cmd.rebootChip());
        QTRY_COMPARE(sim.state().where, QStringLiteral("ROM"));
    }
    QCOMPARE(sim.flash().mid(0x2000, image.size()), image);
    chipCommand eraser;
    QCOMPARE(run(sim, eraser, {}, {}, 1), 0u);
    const QByteArray flash = sim.flash();
    QVERIFY(!flash.isEmpty());
    QCOMPARE(flash, QByteArray(flash.size(), '\xff'));
}

void tst_programflash::faultsGiveTheirCodes_data()
{
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<int>("eraseAll");
    QTest::addColumn<QString>("image");
    QTest::addColumn<uint>("code");
    const QStringList none;
    QTest::newRow("silent chip") << QStringList{"silent"} << 2 << "" << 0x20200u;
    QTest::newRow("unknown ROM date") << QStringList{"wrong-date"} << 2 << "" << 0x20200u;
    // A RAM code an earlier run left behind is rebooted, and the run goes on.
    QTest::newRow("left in its RAM code") << QStringList{"in-ram"} << 2 << "" << 0u;
    // A host killed during the RAM-code load leaves the boot ROM receiving.
    QTest::newRow("boot ROM left inside a receive") << none << 2 << "rom-receiving" << 0u;
    // A 64 KiB part would take the image's tail at address 0.
    QTest::newRow("image past the end of the flash") << QStringList{"--flash-size", "65536"} << 2 << "" << 0x40C00u;
    QTest::newRow("RAM-code image missing") << none << 2 << "no-ram-code" << 0x30100u;
    QTest::newRow("RAM-code load cancelled twice") << QStringList{"cancel=ram:1", "cancel=ram:1"} << 2 << ""
                                                   << 0x301F1u;
    QTest::newRow("RAM code never answers") << QStringList{"ram-silent"} << 2 << "" << 0x30100u;
    QTest::newRow("baud switch ignored") << QStringList{"baud-ignored"} << 2 << "" << 0x40300u;
    QTest::newRow("chip erase refused") << QStringList{"erase-fail-always"} << 1 << "" << 0x40700u;
    QTest::newRow("chip erase refused once") << QStringList{"erase-fail"} << 1 << "" << 0u;
    QTest::newRow("start address refused") << QStringList{"addr-fail-always"} << 2 << "" << 0x40700u;
    QTest::newRow("start address refused once") << QStringList{"addr-fail"} << 2 << "" << 0u;
    QTest::newRow("flash transfer cancelled twice") << QStringList{"cancel=1", "cancel=1"} << 2 << "" << 0x409F1u;
    QTest::newRow("flash transfer cancelled once") << QStringList{"cancel=1"} << 2 << "" << 0u;
    QTest::newRow("block refused for ever") << QStringList{"nak-always=2"} << 2 << "" << 0x409E5u;
    QTest::newRow("block refused once") << QStringList{"nak=1"} << 2 << "" << 0u;
    QTest::newRow("port gone during transfer") << QStringList{"disconnect=1"} << 2 << "" << 0x409E0u;
    QTest::newRow("empty image") << none << 2 << "empty" << 0x409F2u;
    QTest::newRow("file count one more") << QStringList{"filecount-off"} << 2 << "" << 0x40100u;
    QTest::newRow("file count one less") << QStringList{"filecount-off=-1"} << 2 << "" << 0x40100u;
    QTest::newRow("first EOT acknowledged") << QStringList{"eot-ack"} << 2 << "" << 0u;
    QTest::newRow("noise before replies") << QStringList{"garbage"} << 2 << "" << 0u;
}

void tst_programflash::faultsGiveTheirCodes()
{
    QFETCH(QStringList, faults);
    QFETCH(int, eraseAll);
    QFETCH(QString, image);
    QFETCH(uint, code);
    QStringList args;
    for (int i = 0; i < faults.size(); ++i) {
        if (faults.at(i).startsWith("--")) {
            args << faults.at(i) << faults.value(i + 1);
            ++i;
        } else
            args << "--fault" << faults.at(i);
    }
    SimFixture sim(args);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    if (image == "no-ram-code")
        QVERIFY(QFile::remove(config + "/VQ5304_RAM_BIN.bin"));
    if (image == "rom-receiving") {
        Serial killed;
        QVERIFY(killed.openPort(sim.portPath(), 115200));
        killed.sendData("download [rambin] [0x20000000] [5000]\r\n");
        QTRY_COMPARE(sim.state().where, QStringLiteral("ROM"));
        delayMs(200);
        killed.closePort();
    }
    const QByteArray content = image == "empty" ? QByteArray() : randomBytes(16384 * 2 + 100, 4);
    const QString path = writeImage("fault.bin", content);
    chipCommand cmd;
    const uint32_t got = run(sim, cmd, {path}, {0x10000}, eraseAll);
    QCOMPARE(QString::number(got, 16), QString::number(code, 16));
    if (code == 0)
        QCOMPARE(sim.flash().mid(0x10000, content.size()), content);
    // Nothing may have wrapped onto the first sectors.
    if (code == 0x40C00u)
        QCOMPARE(sim.flash().left(0x1000), QByteArray(0x1000, '\xff'));
}

void tst_programflash::ramCodeImageFollowsModelAndSpeed_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("chipRuns");
    QTest::addColumn<bool>("highSpeed");
    QTest::addColumn<uint>("code");
    QTest::newRow("VQ5304 normal") << "VQ5304" << "VQ5304_RAM_BIN.bin" << false << 0u;
    QTest::newRow("VQ5304 high speed") << "VQ5304" << "VQ5304_HIGH_SPEED_BIN.bin" << true << 0u;
    QTest::newRow("VQ571M high speed") << "VQ571M" << "VQ571M_HIGH_SPEED_BIN.bin" << true << 0u;
    QTest::newRow("normal image where high speed is needed") << "VQ571M" << "VQ571M_HIGH_SPEED_BIN.bin" << false
                                                            << 0x30100u;
}

// The simulator starts only the RAM code it was given; any other image
// leaves it silent.
void tst_programflash::ramCodeImageFollowsModelAndSpeed()
{
    QFETCH(QString, model);
    QFETCH(QString, chipRuns);
    QFETCH(bool, highSpeed);
    QFETCH(uint, code);
    SimFixture sim({"--model", model, "--ram-code", config + "/" + chipRuns});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    Serial link;
    QVERIFY(link.openPort(sim.portPath(), 115200));
    chipCommand cmd;
    cmd.setSerial(&link);
    QCOMPARE(QString::number(cmd.programFlash(kBurnBaud, {}, {}, 2, highSpeed), 16), QString::number(code, 16));
}

void tst_programflash::transferCodes_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<uint>("code");
    QTest::newRow("chip cancels") << "cancel=1" << 0xF1u;
    QTest::newRow("block refused for ever") << "nak-always=1" << 0xE5u;
    QTest::newRow("last block refused once") << "nak=3" << 0xFFu;
    QTest::newRow("first EOT acknowledged") << "eot-ack" << 0xFFu;
    QTest::newRow("header refused once") << "nak=0" << 0xFFu;
}

// One flash transfer on a chip already in its RAM code: the sender's own
// verdict, without the run's retry.
void tst_programflash::transferCodes()
{
    QFETCH(QString, fault);
    QFETCH(uint, code);
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    Serial link;
    QVERIFY(link.openPort(sim.portPath(), 115200));
    chipCommand cmd;
    cmd.setSerial(&link);
    QCOMPARE(cmd.programFlash(kBurnBaud, {}, {}, 2, false), 0u);
    QVERIFY(sim.addFault(fault));
    const QByteArray image = randomBytes(16384 * 2 + 5, 8);
    QVERIFY(cmd.setStartAddr(0x4000));
    uint32_t got = 0;
    QCOMPARE(cmd.upgradeFile(writeImage("t.bin", image), got), code == 0xFFu);
    QCOMPARE(QString::number(got, 16), QString::number(code, 16));
    if (code == 0xFFu)
        QCOMPARE(sim.flash().mid(0x4000, image.size()), image);
}

// The factory job's boot entry pulse and DSR sampling, through the
// simulator's side channel, then a run on the chip that pulse started.
void tst_programflash::controlLinesReachTheChip()
{
    SimFixture sim({"--boot-pulse"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    Serial link;
    QVERIFY(link.openPort(sim.portPath(), 115200));
    QVERIFY(link.hasModemLines());
    QVERIFY(sim.state().where != QStringLiteral("ROM"));
    struct Step {
        bool dtrFirst;
        bool dtr;
        bool rts;
        int waitMs;
    };
    for (const Step &s : {Step{true, true, false, 40}, Step{false, false, true, 50}, Step{true, true, false, 10}}) {
        if (s.dtrFirst) {
            QVERIFY(link.setDtr(s.dtr));
            QVERIFY(link.setRts(s.rts));
        } else {
            QVERIFY(link.setRts(s.rts));
            QVERIFY(link.setDtr(s.dtr));
        }
        delayMs(s.waitMs);
    }
    QTRY_COMPARE(sim.state().where, QStringLiteral("ROM"));
    QVERIFY(!link.dsr());
    QVERIFY(sim.setDsr(true));
    QVERIFY(link.dsr());
    QVERIFY(sim.setDsr(false));
    QVERIFY(!link.dsr());

    chipCommand cmd;
    cmd.setSerial(&link);
    const QByteArray image = randomBytes(3000, 9);
    QCOMPARE(cmd.programFlash(kBurnBaud, {0x3000}, {writeImage("pulse.bin", image)}, 2, false), 0u);
    QCOMPARE(sim.flash().mid(0x3000, image.size()), image);
}

void tst_programflash::progressRisesInOrder()
{
    // Paced, every step lasts long enough to be seen by a sampler that a
    // busy machine holds up now and then.
    SimFixture sim({"--pace"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QStringList files = {writeImage("p1.bin", randomBytes(16384 * 6, 5)),
                               writeImage("p2.bin", randomBytes(16384 * 4 + 7, 6))};
    chipCommand cmd;
    std::atomic<uint32_t> code{1};
    std::unique_ptr<QThread> job(QThread::create([&] { code = run(sim, cmd, files, {0x0, 0x80000}, 2); }));
    QVector<float> samples;
    job->start();
    while (!job->isFinished()) {
        samples << cmd.progress();
        QThread::usleep(500);
    }
    samples << cmd.progress();
    QCOMPARE(code.load(), 0u);
    QVERIFY(samples.size() > 2);
    QCOMPARE(samples.first(), 0.0f);
    QCOMPARE(samples.last(), 3.0f);
    for (int i = 1; i < samples.size(); ++i) {
        if (samples[i] < samples[i - 1] || samples[i] > 3.0f)
            QFAIL(qPrintable(QStringLiteral("sample %1: %2 after %3").arg(i).arg(samples[i]).arg(samples[i - 1])));
    }
    // Every step was seen between its ends, not only the whole numbers.
    for (int step = 0; step < 3; ++step) {
        QVERIFY2(std::any_of(samples.begin(), samples.end(), [step](float s) { return s > step && s < step + 1; }),
                 qPrintable(QStringLiteral("no sample inside step %1").arg(step)));
    }
}

// The window's stop: both flags raised and the port closed from another
// thread. The job's thread keeps its Serial until the test has let go of it.
void tst_programflash::stopEndsTransfer()
{
    // Paced at the burn speed the 2 MiB image takes over twenty seconds.
    SimFixture sim({"--pace"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QString file = writeImage("big.bin", randomBytes(2 << 20, 7));
    chipCommand cmd;
    std::atomic<Serial *> link{nullptr};
    std::atomic<bool> release{false};
    std::atomic<uint32_t> code{1};
    std::unique_ptr<QThread> job(QThread::create([&] {
        Serial own;
        if (own.openPort(sim.portPath(), 115200)) {
            link = &own;
            cmd.setSerial(&own);
            code = cmd.programFlash(kBurnBaud, {0x0}, {file}, 2, false);
        }
        while (!release)
            QThread::msleep(1);
        link = nullptr;
    }));
    job->start();
    // Stop once the image transfer is under way, as the window's stop does.
    QTRY_VERIFY_WITH_TIMEOUT(cmd.progress() >= 1.05f || code.load() != 1u, 60000);
    QCOMPARE(code.load(), 1u);
    cmd.stop.raise(stopRequest::stop);
    QVERIFY(link.load());
    link.load()->closePort();
    QTRY_VERIFY_WITH_TIMEOUT(code.load() != 1u, 60000);
    release = true;
    QVERIFY(job->wait(60000));
    QCOMPARE(QString::number(code.load(), 16), QString::number(resultCode::kFlashWriteFailed | resultCode::kTransferStopped, 16));
}

void tst_programflash::stopThenRebootThenProgramAgain_data()
{
    QTest::addColumn<QString>("stage");
    QTest::addColumn<uint>("baud");
    QTest::addColumn<bool>("highSpeed");
    QTest::addColumn<bool>("closePort");
    QTest::addColumn<uint>("code");
    QTest::addColumn<bool>("fastLoad");
    QTest::newRow("flash transfer") << "flash" << 921600u << false << false << 0x409E8u << false;
    QTest::newRow("flash transfer, high-speed RAM code at 2 Mbaud") << "flash" << 2000000u << true << false << 0x409E8u
                                                                    << false;
    QTest::newRow("flash transfer, port closed by the stop") << "flash" << 921600u << false << true << 0x409E8u << false;
    QTest::newRow("RAM-code load") << "ramcode" << 921600u << false << false << 0x301E8u << false;
    // Slow enough for the stop to land inside the load; the ROM is left at
    // the raised speed, which the next run cannot know.
    QTest::newRow("fast RAM-code load") << "ramcode" << 230400u << false << false << 0x301E8u << true;
    QTest::newRow("fast RAM-code load, port closed by the stop") << "ramcode" << 230400u << false << true << 0x301E8u
                                                                 << true;
    // The erase wait ends at the stop, and the stop is what is reported.
    QTest::newRow("chip erase") << "erase" << 921600u << false << false << 0x407E8u << false;
}

// A stop mid-run, then the chip back in its boot ROM, then a whole new run
// on the same chip. The Serial lives in the job's thread; the test only
// raises flags (and, where the window would, closes the port) while the
// thread is known to hold it.
void tst_programflash::stopThenRebootThenProgramAgain()
{
    QFETCH(QString, stage);
    QFETCH(uint, baud);
    QFETCH(bool, highSpeed);
    QFETCH(bool, closePort);
    QFETCH(uint, code);
    QFETCH(bool, fastLoad);
    SimFixture sim({"--pace", "--check-speed", "--flash-timing", "0,0,3000000"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QByteArray before = randomBytes(40000, 11);
    const QByteArray big = randomBytes(baud > 1000000 ? 1 << 20 : 512 << 10, 12);
    const QByteArray after = randomBytes(20000, 13);
    const QString beforeFile = writeImage("before.bin", before);
    const QString bigFile = writeImage("stopped.bin", big);
    const QString afterFile = writeImage("after.bin", after);
    if (stage == "erase") {
        chipCommand first;
        QCOMPARE(run(sim, first, {beforeFile}, {0x8000}, 2), 0u);
        Serial link;
        QVERIFY(link.openPort(sim.portPath(), 115200));
        link.setBaudRate(kBurnBaud);
        first.setSerial(&link);
        QVERIFY(first.rebootChip());
        QTRY_COMPARE(sim.state().where, QStringLiteral("ROM"));
    }

    chipCommand cmd;
    cmd.fastLoad = fastLoad;
    std::atomic<Serial *> link{nullptr};
    std::atomic<bool> release{false};
    std::atomic<uint32_t> stopped{1};
    std::atomic<int> rebooted{-1};
    std::atomic<uint32_t> again{1};
    std::unique_ptr<QThread> job(QThread::create([&] {
        Serial own;
        if (own.openPort(sim.portPath(), 115200)) {
            cmd.setSerial(&own);
            link = &own;
            stopped = stage == "erase" ? cmd.programFlash(baud, {}, {}, 1, highSpeed)
                                       : cmd.programFlash(baud, {0x0}, {bigFile}, 2, highSpeed);
            rebooted = cmd.rebootAfterStop() ? 1 : 0;
            // The request stays raised until its owner starts anew.
            cmd.stop.clear();
            again = cmd.programFlash(baud, {0x20000}, {afterFile}, 2, highSpeed);
        }
        while (!release)
            QThread::msleep(1);
        link = nullptr;
    }));
    job->start();
    const auto reached = [&] {
        const float p = cmd.progress();
        if (stage == "flash")
            return p > 1.05f;
        if (stage == "ramcode")
            return p > 0.02f && p < 0.6f;
        // The simulator erases at once and answers when its erase time is up.
        return sim.flash().mid(0x8000, before.size()) == QByteArray(before.size(), '\xff');
    };
    QTRY_VERIFY_WITH_TIMEOUT(reached(), 60000);
    cmd.stop.raise(stopRequest::stop);
    if (closePort) {
        QTRY_VERIFY(link.load());
        link.load()->closePort();
    }
    QTRY_VERIFY_WITH_TIMEOUT(again.load() != 1u, 120000);
    release = true;
    QVERIFY(job->wait(60000));
    QCOMPARE(QString::number(stopped.load(), 16), QString::number(code, 16));
    QCOMPARE(rebooted.load(), 1);
    QCOMPARE(QString::number(again.load(), 16), QStringLiteral("0"));
    QCOMPARE(sim.flash().mid(0x20000, after.size()), after);
}

void tst_programflash::everyLineSpeed_data()
{
    QTest::addColumn<uint>("baud");
    QTest::addColumn<bool>("highSpeed");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("fastLoad");
    QTest::addColumn<QString>("fault");
    // At 9600 baud a single 16 KiB block is 17 s on the wire, more than the
    // bare 7 s idle limit; one block keeps the case as short as it can be.
    QTest::newRow("9600") << 9600u << false << 3000 << false << "";
    QTest::newRow("250000") << 250000u << false << 40000 << false << "";
    QTest::newRow("2000000, high-speed RAM code") << 2000000u << true << 100000 << false << "";
    QTest::newRow("3000000, high-speed RAM code") << 3000000u << true << 100000 << false << "";
    QTest::newRow("fast load at 2000000") << 2000000u << false << 100000 << true << "";
    QTest::newRow("fast load at 2000000, then 3000000") << 3000000u << true << 100000 << true << "";
    QTest::newRow("fast load below the ROM's speed") << 9600u << false << 3000 << true << "";
    QTest::newRow("fast load, ROM keeps 115200") << 2000000u << false << 100000 << true << "boot-baud-ignored";
    QTest::newRow("fast load cancelled, retried at 115200") << 2000000u << false << 100000 << true << "cancel=ram:2";
    QTest::newRow("fast load, ROM goes deaf") << 2000000u << false << 100000 << true << "baud-ignored";
}

// Paced, and with the simulator losing whatever crosses while the two
// ends' speeds differ, as a UART would.
void tst_programflash::everyLineSpeed()
{
    QFETCH(uint, baud);
    QFETCH(bool, highSpeed);
    QFETCH(int, size);
    QFETCH(bool, fastLoad);
    QFETCH(QString, fault);
    SimFixture sim(QStringList{"--pace", "--check-speed"} + (fault.isEmpty() ? QStringList() : QStringList{"--fault", fault}));
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QByteArray image = randomBytes(size, baud);
    Serial link;
    QVERIFY(link.openPort(sim.portPath(), 115200));
    chipCommand cmd;
    cmd.setSerial(&link);
    cmd.fastLoad = fastLoad;
    QStringList notes;
    cmd.noteLine = [&notes](const QString &text) { notes << text; };
    const uint32_t code = cmd.programFlash(baud, {0x6000}, {writeImage("speed.bin", image)}, 2, highSpeed);
    // A ROM that never hears the speed line again is lost to any run; the
    // fallback must not turn that into anything but the RAM-code failure.
    if (fault == "baud-ignored") {
        QCOMPARE(QString::number(code, 16), QStringLiteral("30100"));
        QCOMPARE(notes.size(), 1);
        return;
    }
    QCOMPARE(QString::number(code, 16), QStringLiteral("0"));
    QCOMPARE(notes, fault.isEmpty()          ? QStringList()
                    : fault.startsWith("cancel") ? QStringList{"以2000000波特率加载RAM代码失败，改用115200波特率重试"}
                                             : QStringList{"芯片未在2000000波特率下应答，改用115200波特率加载RAM代码"});
    QCOMPARE(sim.state().baud, static_cast<int>(baud));
    QCOMPARE(sim.flash().mid(0x6000, image.size()), image);
    // Reply waits at this speed: an address, a partial erase, the count.
    QVERIFY(cmd.setStartAddr(0x7000));
    QVERIFY(cmd.eraseFlash(0x6000, 4096));
    uint32_t files = 0;
    QVERIFY(cmd.getFileCount(files));
    QCOMPARE(files, 1u);
    QCOMPARE(sim.flash().mid(0x6000, 4096), QByteArray(4096, '\xff'));
}

void tst_programflash::slowErase_data()
{
    QTest::addColumn<QString>("timing");
    QTest::addColumn<bool>("wholeChip");
    // Far beyond the one-second reply budget at burn speed; the marker ends
    // the wait when it comes.
    QTest::newRow("whole chip, 3 s") << "0,0,3000000" << true;
    QTest::newRow("64 sectors of 100 ms") << "100000,0" << false;
}

void tst_programflash::slowErase()
{
    QFETCH(QString, timing);
    QFETCH(bool, wholeChip);
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QByteArray image = randomBytes(64 * 4096, 21);
    chipCommand first;
    QCOMPARE(run(sim, first, {writeImage("full.bin", image)}, {0x40000}, 2), 0u);
    QVERIFY(sim.addFault("slow-flash=" + timing));
    Serial link;
    QVERIFY(link.openPort(sim.portPath(), 115200));
    link.setBaudRate(kBurnBaud);
    chipCommand cmd;
    cmd.setSerial(&link);
    if (wholeChip) {
        QVERIFY(cmd.rebootChip());
        link.setBaudRate(115200);
        QTRY_COMPARE(sim.state().where, QStringLiteral("ROM"));
        QCOMPARE(QString::number(cmd.programFlash(kBurnBaud, {}, {}, 1, false), 16), QStringLiteral("0"));
    } else {
        QVERIFY(cmd.eraseFlash(0x40000, image.size()));
    }
    QCOMPARE(sim.flash().mid(0x40000, image.size()), QByteArray(image.size(), '\xff'));
    QString model;
    QVERIFY(cmd.getVersion(model));
}

namespace {
QStringList capturedWarnings;
QtMessageHandler previousHandler = nullptr;
void captureWarnings(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtWarningMsg)
        capturedWarnings << text;
    previousHandler(type, context, text);
}
} // namespace

// The device vanishes when the third block arrives: the run reports the
// transfer code at once, the link says the port was lost, and nothing more
// is written to the closed port (Qt would warn about every write). At 300
// baud the idle limit is over nine minutes, so only noticing the lost
// device ends this run soon; the link stays in the job's thread until the
// test is done with it.
void tst_programflash::lostPortEndsTheRun()
{
    SimFixture sim({"--fault", "disconnect=3"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QString file = writeImage("lost.bin", randomBytes(16384 * 5, 22));
    chipCommand cmd;
    std::atomic<uint32_t> code{1};
    std::atomic<int> lost{-1};
    std::atomic<bool> orderlyCloseLost{true};
    std::atomic<bool> release{false};
    capturedWarnings.clear();
    previousHandler = qInstallMessageHandler(captureWarnings);
    std::unique_ptr<QThread> job(QThread::create([&] {
        Serial link;
        if (!link.openPort(sim.portPath(), 115200))
            return;
        link.closePort();
        orderlyCloseLost = link.portLost();
        if (!link.openPort(sim.portPath(), 115200))
            return;
        cmd.setSerial(&link);
        code = cmd.programFlash(300, {0x0}, {file}, 2, false);
        lost = link.portLost() && !link.isOpen() && !cmd.rebootAfterStop() ? 1 : 0;
        while (!release)
            QThread::msleep(1);
    }));
    job->start();
    const bool ended = QTest::qWaitFor([&] { return lost.load() != -1; }, 30000);
    if (!ended) {
        cmd.stop.raise(stopRequest::stop);
    }
    release = true;
    QVERIFY(job->wait(60000));
    qInstallMessageHandler(previousHandler);
    QVERIFY2(ended, "the run went on after its device vanished");
    QVERIFY(!orderlyCloseLost.load());
    QCOMPARE(QString::number(code.load(), 16),
             QString::number(resultCode::kFlashWriteFailed | resultCode::kTransferTimeout, 16));
    QCOMPARE(lost.load(), 1);
    QVERIFY2(capturedWarnings.isEmpty(), qPrintable(capturedWarnings.join(" | ")));
}

void tst_programflash::badRequestTouchesNoChip_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("addresses");
    QTest::addColumn<QString>("content");
    QTest::addColumn<uint>("code");
    QTest::newRow("two files, one address") << 2 << 1 << "data" << resultCode::kAddressListMismatch;
    QTest::newRow("one file, two addresses") << 1 << 2 << "data" << resultCode::kAddressListMismatch;
    QTest::newRow("empty image") << 1 << 1 << "empty" << (resultCode::kFlashWriteFailed | resultCode::kTransferEmptyFile);
    QTest::newRow("missing image") << 1 << 1 << "missing" << (resultCode::kFlashWriteFailed | resultCode::kTransferCannotOpen);
}

// Refused before identification: the chip stays in its boot ROM with its
// flash untouched, and a good request runs on it right after.
void tst_programflash::badRequestTouchesNoChip()
{
    QFETCH(int, files);
    QFETCH(int, addresses);
    QFETCH(QString, content);
    QFETCH(uint, code);
    QVERIFY(QString::number(resultCode::kAddressListMismatch, 16) == "40b00");
    QVERIFY(!resultText(resultCode::kAddressListMismatch).isEmpty());
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    QStringList paths;
    QList<uint32_t> addrs;
    for (int i = 0; i < files; ++i) {
        const QString name = QStringLiteral("req%1.bin").arg(i);
        if (content == "missing")
            paths << work.filePath(name + ".none");
        else
            paths << writeImage(name, content == "empty" ? QByteArray() : randomBytes(5000, 30 + i));
    }
    for (int i = 0; i < addresses; ++i)
        addrs << 0x10000u * (i + 1);
    const QByteArray flashBefore = sim.flash();
    Serial link;
    QVERIFY(link.openPort(sim.portPath(), 115200));
    chipCommand cmd;
    cmd.setSerial(&link);
    QCOMPARE(QString::number(cmd.programFlash(kBurnBaud, addrs, paths, 2, false), 16), QString::number(code, 16));
    QCOMPARE(sim.state().where, QStringLiteral("ROM"));
    QVERIFY(sim.flash() == flashBefore);
    const QByteArray good = randomBytes(5000, 40);
    QCOMPARE(cmd.programFlash(kBurnBaud, {0x0}, {writeImage("good.bin", good)}, 2, false), 0u);
    QCOMPARE(sim.flash().mid(0, good.size()), good);
}

QTEST_GUILESS_MAIN(tst_programflash)
#include "tst_programflash.moc"

