// The download job against the chip simulator, acknowledged the way its
// line controller does: what lands in the flash, the log lines of failures,
// the BOOT pulses read back from the simulator, continuous mode on a fixture
// fed several chips, and the job's lifecycle.
#include "simfixture.h"
#include "testutil.h"
#include "tranthread.h"

#include <QCryptographicHash>
#include <QDir>
#include <QRandomGenerator>
#include <QSet>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <memory>
#include <stdlib.h>
#include <unistd.h>

using namespace jobStatus;

namespace {
constexpr uint32_t kBurnBaud = 921600;
// Generous: the RAM code crosses at 115200 and the machine may be loaded.
constexpr int kChipTimeoutMs = 60000;

// Plays the line controller's part: collects the job's lines, acknowledges
// every result as its poll does and keeps what it saw.
class Watcher : public QObject
{
public:
    explicit Watcher(tranThread *job)
        : job(job)
    {
        connect(job, &tranThread::jobLine, this, [this](lineKind, const QString &line) { lines << line; });
        connect(&poll, &QTimer::timeout, this, [this] { tick(); });
        poll.start(20);
    }

    void tick()
    {
        const int s = job->status.load();
        if (s == kFailed || s == kSucceeded) {
            records << job->record();
            statuses << s;
            progressAtResult << job->getProcess();
        }
        if (s == kFailed || s == kSucceeded || s == kWaitingChip || s == kFinished) {
            if (s == kWaitingChip)
                ++waits;
            if (s == kFinished)
                ++finished;
            job->status = kAcknowledged;
        }
    }

    int count(const QString &text) const
    {
        return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                              [&](const QString &l) { return l.contains(text); }));
    }

    tranThread *job;
    QTimer poll;
    QStringList lines;
    QList<chipRecord> records;
    QList<int> statuses;
    QList<uint32_t> progressAtResult;
    int waits = 0;
    int finished = 0;
};

bool isOk(const QStringList &reply)
{
    return reply.value(0) == QLatin1String("OK");
}

// Both attempts of a transfer are cancelled by the chip.
const QStringList kTwoCancels{QStringLiteral("--fault"), QStringLiteral("cancel=1"), QStringLiteral("--fault"),
                              QStringLiteral("cancel=1")};

// Ends a job and waits for its thread.
bool stopJob(tranThread &job)
{
    job.abandon();
    return job.wait(10000);
}
} // namespace

class tst_tranthread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void downloadLandsByteForByte();
    void failuresGiveTheirLines_data();
    void failuresGiveTheirLines();
    void bootPulses_data();
    void bootPulses();
    void portWithoutModemLines();
    void continuousModeTakesEachChipOnce();
    void unpluggedDeviceFailsAndComesBack();
    void eraseJobEndsAfterAcknowledgement();
    void stopRebootsTheChip();
    void lifecycle();

private:
    QString image(const QString &name, const QByteArray &bytes);
    QTemporaryDir work;
};

void tst_tranthread::initTestCase()
{
    QVERIFY(work.isValid());
    const QString config = work.filePath(QStringLiteral("config"));
    QVERIFY(copyShippedConfig(config));
    qputenv("VQ_CONFIG_DIR", config.toLocal8Bit());
}

QString tst_tranthread::image(const QString &name, const QByteArray &bytes)
{
    const QString path = work.filePath(name);
    return writeFile(path, bytes) ? path : QString();
}

void tst_tranthread::downloadLandsByteForByte()
{
    SimFixture sim({QStringLiteral("--model"), QStringLiteral("VQ571M")});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QByteArray a = randomBytes(50000, 1);
    const QByteArray b = randomBytes(16384 + 7, 2);
    tranThread job;
    Watcher w(&job);
    job.setConfig(sim.portPath(), {image("a.bin", a), image("b.bin", b)}, {0x0, 0x80000}, false, true, false,
                  false, kBurnBaud);
    job.start();
    QTRY_COMPARE_WITH_TIMEOUT(w.finished, 1, kChipTimeoutMs);
    // A single chip, acknowledged: the job ends by itself.
    QVERIFY(job.wait(kChipTimeoutMs));

    const QByteArray flash = sim.flash();
    QCOMPARE(flash.mid(0, a.size()), a);
    QCOMPARE(flash.mid(0x80000, b.size()), b);
    QCOMPARE(w.statuses, QList<int>{kSucceeded});
    QCOMPARE(w.progressAtResult, QList<uint32_t>{100u});
    const chipRecord r = w.records.value(0);
    QCOMPARE(r.model, QStringLiteral("VQ571M"));
    QCOMPARE(r.flashUid.size(), 34);
    QCOMPARE(r.bytesWritten, qint64(a.size() + b.size()));
    QCOMPARE(r.files, (QStringList{QStringLiteral("a.bin"), QStringLiteral("b.bin")}));
    // What went out, for the record: sizes, addresses and digests.
    QCOMPARE(r.images.size(), 2);
    QCOMPARE(r.images.at(1).size, qint64(b.size()));
    QCOMPARE(r.images.at(1).address, 0x80000u);
    QCOMPARE(r.images.at(1).sha256, QCryptographicHash::hash(b, QCryptographicHash::Sha256).toHex());
    QVERIFY(w.lines.contains(QStringLiteral("Flash UID:") + r.flashUid));
    QVERIFY(w.lines.contains(QStringLiteral("Flash ID:") + r.flashId));
    // The reset option rebooted the chip: its RAM code is gone.
    QCOMPARE(sim.state().where, QStringLiteral("ROM"));
}

void tst_tranthread::failuresGiveTheirLines_data()
{
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<bool>("identified");

    QTest::newRow("transfer cancelled by the chip")
        << kTwoCancels
        << QStringList{QStringLiteral("下载失败，错误代码为：0x409f1,烧录Flash过程出错"),
                       QStringLiteral("传输文件时失败，错误代码为：0xf1,芯片发起烧录终止指令！")}
        << true;
    QTest::newRow("boot ROM of an unknown build")
        << QStringList{QStringLiteral("--fault"), QStringLiteral("wrong-date")}
        << QStringList{QStringLiteral("下载失败，错误代码为：0x20200,"
                                      "无法获取芯片信息,请检查芯片是否处于下载模式并确保串口连接正确。")}
        << false;
    QTest::newRow("file count off")
        << QStringList{QStringLiteral("--fault"), QStringLiteral("filecount-off")}
        << QStringList{QStringLiteral("下载失败，错误代码为：0x40100,"
                                      "无法获取已烧录文件数量或者已烧录文件数量不符合预期")}
        << true;
}

void tst_tranthread::failuresGiveTheirLines()
{
    QFETCH(QStringList, faults);
    QFETCH(QStringList, expected);
    QFETCH(bool, identified);
    SimFixture sim(faults);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    tranThread job;
    Watcher w(&job);
    job.setConfig(sim.portName(), {image("f.bin", randomBytes(20000, 3))}, {0x1000}, false, false, false, false,
                  kBurnBaud);
    qputenv("VQ_SIM_PORT_DIR", sim.dir().toLocal8Bit());
    job.start();
    QTRY_COMPARE_WITH_TIMEOUT(w.statuses.size(), 1, kChipTimeoutMs);
    QCOMPARE(w.statuses.first(), kFailed);
    QVERIFY(job.wait(kChipTimeoutMs));

    QStringList failureLines;
    for (const QString &l : w.lines) {
        if (l.contains(QStringLiteral("失败，错误代码为")))
            failureLines << l;
    }
    QCOMPARE(failureLines, expected);
    // A chip the run left in its RAM code is rebooted: the next run, or the
    // next station's operator, finds it in its boot ROM.
    QTRY_COMPARE(sim.state().where, QStringLiteral("ROM"));
    QCOMPARE(w.count(QStringLiteral("Flash UID:")), identified ? 1 : 0);
    QCOMPARE(w.count(QStringLiteral("未读取到Flash UID")), identified ? 0 : 1);
    QCOMPARE(w.records.value(0).code & 0xFFF00u, expected.first().contains("0x409f1") ? 0x40900u
                                                   : expected.first().contains("0x40100") ? 0x40100u : 0x20200u);
}

void tst_tranthread::bootPulses_data()
{
    QTest::addColumn<bool>("bootFlag");
    QTest::addColumn<bool>("firstAttemptFails");
    QTest::addColumn<int>("pulses");  // 0 none, 1 entry only, 2 entry then retry

    QTest::newRow("boot off, success") << false << false << 0;
    QTest::newRow("boot off, failure: one attempt, no pulse") << false << true << 0;
    QTest::newRow("boot on, success: entry only") << true << false << 1;
    QTest::newRow("boot on, failure: entry then retry") << true << true << 2;
}

void tst_tranthread::bootPulses()
{
    QFETCH(bool, bootFlag);
    QFETCH(bool, firstAttemptFails);
    QFETCH(int, pulses);
    // With --boot-pulse the chip reaches its boot ROM only through a reset
    // with BOOT held; without BOOT control it starts there.
    // The chip hears only bytes sent at its own speed: a retry that leaves
    // the host at the burn speed cannot reach the boot ROM.
    QStringList args{QStringLiteral("--check-speed")};
    if (bootFlag)
        args << QStringLiteral("--boot-pulse");
    if (firstAttemptFails)
        args << kTwoCancels;
    SimFixture sim(args);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    tranThread job;
    Watcher w(&job);
    job.setConfig(sim.portPath(), {image("p.bin", randomBytes(30000, 4))}, {0x0}, false, false, false, bootFlag,
                  kBurnBaud);
    job.start();
    QTRY_COMPARE_WITH_TIMEOUT(w.statuses.size(), 1, kChipTimeoutMs);
    QVERIFY(stopJob(job));
    // The cancelled first attempt is retried only behind a retry pulse.
    QCOMPARE(w.statuses.first(), firstAttemptFails && !bootFlag ? kFailed : kSucceeded);
    // A retried chip keeps the code its first attempt failed with.
    QCOMPARE(w.records.first().firstCode, pulses == 2 ? 0x409f1u : 0u);

    const QVector<SimFixture::Event> events = sim.events();
    QStringList steps;
    for (const SimFixture::Event &e : events)
        steps << e.line + (e.level ? QStringLiteral("1") : QStringLiteral("0"));
    const QStringList entry{"DTR1", "RTS0", "RTS1", "DTR0", "DTR1", "RTS0"};
    const QStringList retry{"RTS1", "DTR0", "DTR1", "RTS0", "DTR0"};
    QStringList want;
    if (pulses >= 1)
        want << entry;
    if (pulses >= 2)
        want << retry;
    QCOMPARE(steps, want);

    // Each wait is a lower bound on the simulator's clock: the next request
    // leaves only after the reply to the one before and the sleep.
    auto gapMs = [&](int i) { return (events[i + 1].us - events[i].us) / 1000.0; };
    const QList<QPair<int, int>> waits = pulses == 0 ? QList<QPair<int, int>>{}
                                       : pulses == 1 ? QList<QPair<int, int>>{{1, 40}, {3, 50}}
                                                     : QList<QPair<int, int>>{{1, 40}, {3, 50}, {7, 50}, {9, 50}};
    for (const auto &wait : waits)
        QVERIFY2(gapMs(wait.first) >= wait.second, qPrintable(QStringLiteral("step %1: %2 ms").arg(wait.first).arg(gapMs(wait.first))));
    if (pulses >= 1) {
        // The entry pulse ends 10 ms before the first probe; the chip was
        // let out of reset with BOOT up, so it answered from its boot ROM.
        QVERIFY(w.count(QStringLiteral("Flash UID:")) >= 1);
    }
}

void tst_tranthread::portWithoutModemLines()
{
    // A bare pseudo-terminal: no control channel, no modem ioctls, and
    // nobody answering on the far side.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0);
    QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
    const QString slave = QString::fromLocal8Bit(ptsname(master));
    tranThread job;
    Watcher w(&job);
    job.setConfig(slave, {image("m.bin", randomBytes(1000, 5))}, {0x0}, false, false, true, true, kBurnBaud);
    job.start();
    QTRY_COMPARE_WITH_TIMEOUT(w.statuses.size(), 1, kChipTimeoutMs);
    QVERIFY(stopJob(job));
    ::close(master);
    QCOMPARE(w.statuses.first(), kFailed);
    QCOMPARE(w.count(QStringLiteral("BOOT控制无效")), 1);
    QCOMPARE(w.count(QStringLiteral("无法检测治具下压")), 1);
    // The run went on without pulses: two attempts, each probing in vain.
    QCOMPARE(w.count(QStringLiteral("0x20200")), 1);
}

void tst_tranthread::continuousModeTakesEachChipOnce()
{
    SimFixture sim({QStringLiteral("--pace")});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QByteArray a = randomBytes(20000, 6);
    tranThread job;
    Watcher w(&job);
    job.setConfig(sim.portPath(), {image("c.bin", a)}, {0x2000}, false, true, true, false, kBurnBaud);
    job.start();
    // An open fixture holds no chip: the station waits for its lever.
    QTRY_COMPARE_WITH_TIMEOUT(w.waits, 1, kChipTimeoutMs);
    QTest::qWait(300);
    QVERIFY(w.records.isEmpty());
    QCOMPARE(sim.state().where, QStringLiteral("ROM"));
    QVERIFY(isOk(sim.request(QStringLiteral("NEXTCHIP"))));

    QSet<QString> uids;
    for (int chip = 0; chip < 3; ++chip) {
        QTRY_COMPARE_WITH_TIMEOUT(w.waits, chip + 2, kChipTimeoutMs);
        QCOMPARE(sim.flash().mid(0x2000, a.size()), a);
        uids.insert(w.records.last().flashUid);
        if (chip == 0) {
            // Presses shorter than the 20 ms confirmation are contact
            // bounce, not a chip.
            for (int i = 0; i < 30; ++i) {
                QVERIFY(isOk(sim.request(QStringLiteral("PULSEDSR 8"))));
                QTest::qWait(40);
            }
            QCOMPARE(w.count(QStringLiteral("已检测到新芯片！")), 1);
            QCOMPARE(w.records.size(), 1);
        }
        // The last chip stays under the lever; the next one is swapped in
        // faster than DSR is sampled, which only the transition count shows.
        if (chip < 2)
            QVERIFY(isOk(sim.request(chip == 1 ? QStringLiteral("NEXTCHIP hold") : QStringLiteral("NEXTCHIP"))));
    }
    QTRY_COMPARE_WITH_TIMEOUT(w.count(QStringLiteral("请松开治具")), 1, kChipTimeoutMs);
    QVERIFY(isOk(sim.request(QStringLiteral("NEXTCHIP hold"))));
    QTRY_COMPARE_WITH_TIMEOUT(w.waits, 5, kChipTimeoutMs);
    uids.insert(w.records.last().flashUid);
    // Stopped while waiting for the next chip: the job leaves its wait
    // without taking one, its acknowledged state untouched.
    QTRY_COMPARE_WITH_TIMEOUT(job.status.load(), kAcknowledged, kChipTimeoutMs);
    QVERIFY(job.portOpen());
    QVERIFY(stopJob(job));
    QCOMPARE(job.status.load(), kAcknowledged);
    QVERIFY(!job.portOpen());
    QCOMPARE(w.statuses, (QList<int>{kSucceeded, kSucceeded, kSucceeded, kSucceeded}));
    QCOMPARE(uids.size(), 4);
    QCOMPARE(w.count(QStringLiteral("已检测到新芯片！")), 4);
    QCOMPARE(w.count(QStringLiteral("正在检测新芯片...")), 5);
}

void tst_tranthread::unpluggedDeviceFailsAndComesBack()
{
    SimFixture sim({QStringLiteral("--fault"), QStringLiteral("disconnect=2")});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QByteArray a = randomBytes(16384 * 4, 7);
    {
        tranThread job;
        Watcher w(&job);
        job.setConfig(sim.portPath(), {image("u.bin", a)}, {0x0}, false, false, false, false, kBurnBaud);
        job.start();
        QTRY_COMPARE_WITH_TIMEOUT(w.statuses.size(), 1, kChipTimeoutMs);
        QCOMPARE(w.statuses.first(), kFailed);
        QCOMPARE(w.records.first().code & 0xFFF00u, 0x40900u);
        QVERIFY(job.wait(kChipTimeoutMs));
        QVERIFY(!job.portOpen());
    }
    QVERIFY(isOk(sim.request(QStringLiteral("PLUG"))));
    tranThread again;
    Watcher w(&again);
    again.setConfig(sim.portPath(), {image("u.bin", a)}, {0x0}, false, false, false, false, kBurnBaud);
    again.start();
    QTRY_COMPARE_WITH_TIMEOUT(w.statuses.size(), 1, kChipTimeoutMs);
    QVERIFY(stopJob(again));
    QCOMPARE(w.statuses.first(), kSucceeded);
    QCOMPARE(sim.flash().left(a.size()), a);
}

void tst_tranthread::eraseJobEndsAfterAcknowledgement()
{
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QByteArray a = randomBytes(9000, 8);
    {
        tranThread job;
        Watcher w(&job);
        job.setConfig(sim.portPath(), {image("e.bin", a)}, {0x3000}, false, true, false, false, kBurnBaud);
        job.start();
        QTRY_COMPARE_WITH_TIMEOUT(w.finished, 1, kChipTimeoutMs);
        QVERIFY(stopJob(job));
    }
    QCOMPARE(sim.flash().mid(0x3000, a.size()), a);

    tranThread erase;
    Watcher w(&erase);
    erase.setConfig(sim.portPath(), {}, {}, true, true, true, false, kBurnBaud);
    erase.eraseFlag = true;
    erase.start();
    // No stop from the controller: the acknowledged erase ends by itself.
    QTRY_VERIFY_WITH_TIMEOUT(erase.isFinished(), kChipTimeoutMs);
    QCOMPARE(w.statuses, QList<int>{kSucceeded});
    QVERIFY(w.records.first().erase);
    QCOMPARE(erase.getProcess(), 100u);
    QCOMPARE(sim.flash(), QByteArray(sim.flash().size(), char(0xFF)));
    QVERIFY(sim.flash().size() > 0);
}

void tst_tranthread::stopRebootsTheChip()
{
    // Paced and slow, so that the transfer still runs when the stop comes.
    constexpr uint32_t kSlowBaud = 230400;
    SimFixture sim({QStringLiteral("--pace")});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QByteArray a = randomBytes(256 * 1024, 11);
    {
        tranThread job;
        Watcher w(&job);
        job.setConfig(sim.portPath(), {image("r.bin", a)}, {0x0}, false, false, false, false, kSlowBaud);
        job.start();
        // The first of sixteen blocks is in the flash: the transfer runs.
        QTRY_VERIFY_WITH_TIMEOUT(sim.flash().left(16384) == a.left(16384), kChipTimeoutMs);
        job.stop();
        // The job ends by itself: the stop is already its own.
        QTRY_VERIFY_WITH_TIMEOUT(job.isFinished(), kChipTimeoutMs);
        QCOMPARE(w.statuses, QList<int>{kFailed});
        QCOMPARE(w.records.first().code, 0x409e8u);
        QTRY_COMPARE(w.count(QStringLiteral("烧录已停止，芯片已重启。")), 1);
        QCOMPARE(sim.state().where, QStringLiteral("ROM"));
    }
    tranThread again;
    Watcher w(&again);
    again.setConfig(sim.portPath(), {image("r.bin", a)}, {0x0}, false, false, false, false, 2000000);
    again.start();
    QTRY_COMPARE_WITH_TIMEOUT(w.statuses.size(), 1, kChipTimeoutMs);
    QVERIFY(stopJob(again));
    QCOMPARE(w.statuses.first(), kSucceeded);
    QCOMPARE(sim.flash().left(a.size()), a);
}

void tst_tranthread::lifecycle()
{
    // Never run: nothing to close, nothing to wait for.
    { tranThread idle; QCOMPARE(idle.getProcess(), 0u); idle.stop(); }

    // A port that cannot be opened fails at once and lingers; stop() (the
    // window's finished hook) after the end closes nothing twice.
    tranThread missing;
    Watcher w(&missing);
    missing.setConfig(work.filePath(QStringLiteral("no-such-port")), {}, {}, false, false, false, false, kBurnBaud);
    missing.start();
    QTRY_COMPARE_WITH_TIMEOUT(w.statuses.size(), 1, kChipTimeoutMs);
    QCOMPARE(w.statuses.first(), kFailed);
    QCOMPARE(w.lines.last(), QStringLiteral("串口打开失败！"));
    QVERIFY(stopJob(missing));
    missing.stop();

    SimFixture sim({QStringLiteral("--pace")});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));

    // Stopped as soon as started, and never acknowledged: a stop that
    // arrives before the thread's first step still ends the job, and the
    // chip it was started for is reported as stopped, not left out.
    tranThread early;
    early.setConfig(sim.portPath(), {image("s.bin", randomBytes(3000, 10))}, {0x0}, false, false, false, false,
                    kBurnBaud);
    early.start();
    early.stop();
    QTRY_VERIFY_WITH_TIMEOUT(early.isFinished(), kChipTimeoutMs);
    QCOMPARE(early.status.load(), kFailed);
    QCOMPARE(early.record().code & 0xFFu, 0xE8u);

    // Destroyed while running: the destructor stops the transfer and joins
    // the thread before the object goes.
    const QByteArray large = randomBytes(100000, 9);
    auto running = std::make_unique<tranThread>();
    bool ended = false;
    connect(running.get(), &QThread::finished, this, [&ended] { ended = true; }, Qt::DirectConnection);
    running->setConfig(sim.portPath(), {image("l.bin", large)}, {0x0}, false, false, false, false, kBurnBaud);
    running->start();
    QTRY_COMPARE_WITH_TIMEOUT(running->status.load(), kBusy, kChipTimeoutMs);
    running.reset();
    QVERIFY(ended);
    QVERIFY(sim.flash().left(large.size()) != large);
}

QTEST_MAIN(tst_tranthread)
#include "tst_tranthread.moc"
