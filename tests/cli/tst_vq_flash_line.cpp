// vq_flash as a production line: many stations in one command, the fixture
// mode, stop signals, the JSON lines against the production record, and the
// refusals that must come before any byte reaches a chip.
#include "simfixture.h"
#include "testutil.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {
// Generous: the machine may be busy with other work.
constexpr int kRunMs = 120000;

// The production record's lines after the header, split at commas (no field
// of these runs holds one).
QList<QStringList> recordRows(const QString &path)
{
    QList<QStringList> rows;
    const QList<QByteArray> lines = readFile(path).split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        if (!lines.at(i).trimmed().isEmpty())
            rows << QString::fromUtf8(lines.at(i).trimmed()).split(QLatin1Char(','));
    }
    return rows;
}
enum recordField { kTime, kStation, kPort, kModel, kFlashId, kUid, kCode, kText };

// Every JSON result must be the record's line of the same chip.
bool resultsAgree(const QList<QJsonObject> &results, const QList<QStringList> &rows, QString *why)
{
    if (results.size() != rows.size()) {
        *why = QStringLiteral("%1 results, %2 record lines").arg(results.size()).arg(rows.size());
        return false;
    }
    for (int i = 0; i < rows.size(); ++i) {
        const QJsonObject &o = results.at(i);
        const QStringList &r = rows.at(i);
        const QStringList fromJson{QString::number(o.value("station").toInt()), o.value("port").toString(),
                                   o.value("flashId").toString(), o.value("uid").toString(),
                                   "0x" + QString::number(o.value("code").toInt(), 16), o.value("text").toString()};
        const QStringList fromRecord{r.value(kStation), r.value(kPort), r.value(kFlashId), r.value(kUid), r.value(kCode),
                                     r.value(kText)};
        if (fromJson != fromRecord) {
            *why = fromJson.join('|') + " != " + fromRecord.join('|');
            return false;
        }
    }
    return true;
}
} // namespace

class tst_vq_flash_line : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void eightStationsOneFault();
    void continuousFixture();
    void continuousGoesOnAfterAFailedChip();
    void stopSignal_data();
    void stopSignal();
    void lostPort();
    void eraseBeforeWriting();
    void refusedBeforeAnyByte_data();
    void refusedBeforeAnyByte();
    void reportsWhatHappened_data();
    void reportsWhatHappened();

private:
    QString image(const QString &name, const QByteArray &bytes);
    QTemporaryDir work;
};

void tst_vq_flash_line::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY(QFileInfo(qEnvironmentVariable("VQ_BUILD_DIR") + "/vq_flash").isExecutable());
}

QString tst_vq_flash_line::image(const QString &name, const QByteArray &bytes)
{
    const QString path = work.filePath(name);
    return writeFile(path, bytes) ? path : QString();
}

void tst_vq_flash_line::eightStationsOneFault()
{
    SimFixture sim({}, 8);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    constexpr int kFaulty = 5;
    // Both attempts of the image's transfer are cancelled by the chip.
    QVERIFY(sim.addFault("cancel=1", kFaulty));
    QVERIFY(sim.addFault("cancel=1", kFaulty));
    const QByteArray a = randomBytes(70000, 21);
    const QString record = work.filePath("eight.csv");
    Flash run({"--all-ports", "--json", "--record", record, image("eight.bin", a) + "@0x3000"}, sim.dir());
    QCOMPARE(run.finish(), 1);

    const QString faulty = "[" + sim.portName(kFaulty) + "]";
    QVERIFY2(run.err.contains(faulty + "下载失败，错误代码为：0x409f1,烧录Flash过程出错\n" + faulty
                              + "传输文件时失败，错误代码为：0xf1,芯片发起烧录终止指令！\n"),
             qPrintable(run.err));
    QCOMPARE(run.err.count("下载失败"), 1);
    for (int i = 0; i < 8; ++i) {
        if (i != kFaulty)
            QVERIFY2(sim.flash(i).mid(0x3000, a.size()) == a, qPrintable(sim.portName(i)));
    }
    QVERIFY(sim.flash(kFaulty).mid(0x3000, a.size()) != a);

    const QList<QJsonObject> results = run.events("result");
    QList<QStringList> rows = recordRows(record);
    QString why;
    QVERIFY2(resultsAgree(results, rows, &why), qPrintable(why));
    for (const QJsonObject &o : results)
        QCOMPARE(o.value("code").toInt() == 0, o.value("port").toString() != sim.portName(kFaulty));
    QCOMPARE(run.events("summary").value(0).value("exitStatus").toInt(), 1);
}

void tst_vq_flash_line::continuousFixture()
{
    constexpr int kStations = 4;
    constexpr int kChipsEach = 3;
    SimFixture sim({"--fixture-pressed"}, kStations);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QByteArray a = randomBytes(30000, 22);
    const QString record = work.filePath("continuous.csv");
    QStringList args{"--continuous", "--json", "--record", record, image("c.bin", a) + "@0x1000"};
    for (int i = 0; i < kStations; ++i)
        args << "--port" << sim.portPath(i);
    Flash run(args);

    // Each station's fixture takes the next chip once the station waits for it.
    QVector<int> fed(kStations, 1);
    const auto feed = [&] {
        const QList<QJsonObject> waits = run.events("waiting");
        for (int s = 0; s < kStations; ++s) {
            const auto mine = std::count_if(waits.begin(), waits.end(),
                                            [&](const QJsonObject &o) { return o.value("station").toInt() == s + 1; });
            if (mine >= fed[s] && fed[s] < kChipsEach && sim.request("NEXTCHIP", s).value(0) == "OK")
                ++fed[s];
        }
        return run.events("waiting").size() == kStations * kChipsEach;
    };
    QTRY_VERIFY_WITH_TIMEOUT(feed(), kRunMs);
    QVERIFY(run.signal(SIGINT));
    QCOMPARE(run.finish(), 0);

    const QList<QStringList> rows = recordRows(record);
    QCOMPARE(rows.size(), kStations * kChipsEach);
    QSet<QString> uids;
    for (const QStringList &r : rows) {
        QCOMPARE(r.value(kCode), QStringLiteral("0x0"));
        uids.insert(r.value(kUid));
    }
    QCOMPARE(uids.size(), kStations * kChipsEach);
    QString why;
    QVERIFY2(resultsAgree(run.events("result"), rows, &why), qPrintable(why));
    for (const QJsonObject &end : run.events("end"))
        QCOMPARE(end.value("good").toInt(), kChipsEach);
    for (int i = 0; i < kStations; ++i)
        QCOMPARE(sim.flash(i).mid(0x1000, a.size()), a);
}

void tst_vq_flash_line::continuousGoesOnAfterAFailedChip()
{
    SimFixture sim({"--fixture-pressed", "--fault", "cancel=1", "--fault", "cancel=1"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QByteArray a = randomBytes(20000, 23);
    Flash run({"--continuous", "--json", "--port", sim.portPath(), image("f.bin", a) + "@0x0"});
    QTRY_COMPARE_WITH_TIMEOUT(run.events("waiting").size(), 1, kRunMs);
    QVERIFY(sim.request("NEXTCHIP").value(0) == "OK");
    QTRY_COMPARE_WITH_TIMEOUT(run.events("waiting").size(), 2, kRunMs);
    QVERIFY(run.signal(SIGTERM));
    QCOMPARE(run.finish(), 1);
    const QList<QJsonObject> results = run.events("result");
    QCOMPARE(results.size(), 2);
    QCOMPARE(results.at(0).value("code").toInt(), 0x409f1);
    QCOMPARE(results.at(1).value("code").toInt(), 0);
    QCOMPARE(sim.flash().left(a.size()), a);
}

void tst_vq_flash_line::stopSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("stations");
    QTest::newRow("SIGINT, three stations") << int(SIGINT) << 3;
    QTest::newRow("SIGTERM, one port") << int(SIGTERM) << 1;
    // A closed terminal: the chip must not be left in its RAM code.
    QTest::newRow("SIGHUP, one port") << int(SIGHUP) << 1;
}

void tst_vq_flash_line::stopSignal()
{
    QFETCH(int, signal);
    QFETCH(int, stations);
    // Paced and slow, so that the transfers are still running when the
    // signal comes: 256 KiB take over ten seconds at 230400 baud.
    constexpr int kSlowBaud = 230400;
    constexpr int kFlashBlock = 16384;
    SimFixture sim({"--pace"}, stations);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QByteArray a = randomBytes(256 * 1024, 24);
    QStringList args{"--baud", QString::number(kSlowBaud), image("s.bin", a) + "@0x0"};
    for (int i = 0; i < stations; ++i)
        args << "--port" << sim.portPath(i);
    {
        Flash run(args);
        // The first of sixteen blocks is in the flash: every transfer runs.
        const auto transferring = [&] {
            for (int i = 0; i < stations; ++i) {
                if (sim.flash(i).left(kFlashBlock) != a.left(kFlashBlock))
                    return false;
            }
            return true;
        };
        QTRY_VERIFY_WITH_TIMEOUT(transferring(), kRunMs);
        QVERIFY(run.signal(signal));
        QCOMPARE(run.finish(), 1);
        for (int i = 0; i < stations; ++i) {
            const QString prefix = stations == 1 ? QString() : "[" + sim.portPath(i) + "]";
            QVERIFY2(run.err.contains(prefix + "下载失败，错误代码为：0x409e8,烧录Flash过程出错\n" + prefix
                                      + "传输文件时失败，错误代码为：0xe8,上位机手动停止\n"),
                     qPrintable(run.err));
            QVERIFY2(run.err.contains(prefix + "烧录已停止，芯片已重启。"), qPrintable(run.err));
            // Back in the boot ROM: the next run can start at once.
            QTRY_COMPARE(sim.state(i).where, QString("ROM"));
        }
    }
    Flash again(QStringList(args).replaceInStrings(QString::number(kSlowBaud), "2000000"));
    QCOMPARE(again.finish(), 0);
    for (int i = 0; i < stations; ++i)
        QCOMPARE(sim.flash(i).left(a.size()), a);
}

void tst_vq_flash_line::lostPort()
{
    SimFixture sim({"--fault", "disconnect=3"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    Flash run({"--port", sim.portPath(), image("l.bin", randomBytes(100000, 25)) + "@0x0"});
    QCOMPARE(run.finish(), 1);
    QVERIFY2(run.err.contains("串口已断开！"), qPrintable(run.err));
    QVERIFY2(run.err.contains("下载失败，错误代码为：0x409"), qPrintable(run.err));
    QVERIFY2(!run.err.contains("QSerialPort") && !run.err.contains("not open"), qPrintable(run.err));
}

void tst_vq_flash_line::eraseBeforeWriting()
{
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QByteArray a = randomBytes(10000, 26);
    const QByteArray b = randomBytes(5000, 27);
    Flash first({"--port", sim.portPath(), image("ea.bin", a) + "@0x0", "--reset"});
    QCOMPARE(first.finish(), 0);
    QCOMPARE(sim.flash().left(a.size()), a);
    Flash second({"--port", sim.portPath(), image("eb.bin", b) + "@0x20000", "--erase"});
    QCOMPARE(second.finish(), 0);
    QCOMPARE(sim.flash().left(a.size()), QByteArray(a.size(), char(0xFF)));
    QCOMPARE(sim.flash().mid(0x20000, b.size()), b);
}

void tst_vq_flash_line::refusedBeforeAnyByte_data()
{
    const QString data = image("r.bin", randomBytes(100 * 1024, 28));
    const QString small = image("small.bin", randomBytes(8192, 29));
    const QString empty = image("empty.bin", QByteArray());
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("why");
    QTest::newRow("baud below 9600") << QStringList{"--baud", "9599", data + "@0"} << "outside";
    QTest::newRow("baud above 3000000") << QStringList{"--baud", "3000001", data + "@0"} << "outside";
    QTest::newRow("overlapping images") << QStringList{data + "@0x0", small + "@0x10000"} << "overlap";
    QTest::newRow("image past 4 GiB") << QStringList{small + "@0xfffff000"} << "32-bit";
    QTest::newRow("empty image") << QStringList{data + "@0", empty + "@0x80000"} << "empty";
    QTest::newRow("nothing to do") << QStringList{} << "nothing to do";
    QTest::newRow("port twice") << QStringList{"--port", "PTY", data + "@0"} << "twice";
    QTest::newRow("record not writable") << QStringList{"--record", work.filePath("no/such/dir/r.csv"), data + "@0"}
                                         << "record";
    QTest::newRow("ports and all ports") << QStringList{"--all-ports", data + "@0"} << "exclude";
    // Each chip's own value: where it goes and what it is, checked whole.
    QTest::newRow("serial in an image's sector") << QStringList{data + "@0", "--serial-at", "0x18000"} << "overlap";
    QTest::newRow("serial address unaligned") << QStringList{data + "@0", "--serial-at", "0x3ff010"} << "0x1000";
    QTest::newRow("serial start past its bytes")
        << QStringList{data + "@0", "--serial-at", "3ff000", "--serial-start", "256", "--serial-bytes", "1"}
        << "does not fit";
    QTest::newRow("serial option without an address") << QStringList{data + "@0", "--serial-start", "5"}
                                                       << "goes with --serial-at";
    const QString lists[] = {image("bad.txt", "# MACs\n00:11:22:33:44:55\n\n00:11:22:33:44:zz\n"),
                             image("twice.txt", "00:11:22:33:44:55\n00:11:22:33:44:56\n00-11-22-33-44-55\n"),
                             image("short.txt", "00:11:22:33:44:55\n00:11:22:33:44\n")};
    QTest::newRow("serial list, a malformed line") << QStringList{data + "@0", "--serial-at", "3ff000",
                                                                  "--serial-list", lists[0]}
                                                   << "line 4: not a value of hex bytes";
    QTest::newRow("serial list, a value twice") << QStringList{data + "@0", "--serial-at", "3ff000",
                                                               "--serial-list", lists[1]}
                                                << "line 3: the value of line 1 again";
    QTest::newRow("serial list, values of two lengths") << QStringList{data + "@0", "--serial-at", "3ff000",
                                                                       "--serial-list", lists[2]}
                                                        << "line 2: not as long";
}

void tst_vq_flash_line::refusedBeforeAnyByte()
{
    QFETCH(QStringList, args);
    QFETCH(QString, why);
    // A bare pseudo-terminal: whatever vq_flash would send to a chip can be
    // read back on its other side.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0);
    QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
    const QString pty = QString::fromLocal8Bit(ptsname(master));
    // Held open here, so that a close by vq_flash cannot hang the line up.
    const int slave = ::open(ptsname(master), O_RDWR | O_NOCTTY);
    QVERIFY(slave >= 0);
    Flash run(QStringList{"--port", pty} + args.replaceInStrings(QRegularExpression("^PTY$"), pty));
    QCOMPARE(run.finish(), 2);
    QVERIFY2(run.err.contains(why), qPrintable(run.err));
    fcntl(master, F_SETFL, O_NONBLOCK);
    char byte;
    QCOMPARE(::read(master, &byte, 1), ssize_t(-1));
    QCOMPARE(errno, EAGAIN);
    ::close(slave);
    ::close(master);
}

void tst_vq_flash_line::reportsWhatHappened_data()
{
    QTest::addColumn<QString>("scenario");
    for (const char *name : {"lever held down", "port lost while waiting", "image changed during the run",
                             "stop during a chip erase", "stop while probing a silent chip",
                             "second opener by another name", "all ports: stale and excluded left out",
                             "port given as a relative path"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

// What a line controller and the record are told is what happened to the
// chips: one result per chip, its own identity, the bytes the run started
// with, a stop as a stop, and only the ports meant.
void tst_vq_flash_line::reportsWhatHappened()
{
    QFETCH(QString, scenario);
    const QByteArray a = randomBytes(40000, 31);
    const QString img = image("w.bin", a);
    const QString record = work.filePath(QTest::currentDataTag() + QStringLiteral(".csv"));
    // A chip result arrives within this long in every scenario below.
    constexpr int kChipMs = 60000;

    if (scenario == "lever held down" || scenario == "port lost while waiting"
        || scenario == "image changed during the run") {
        SimFixture sim({"--fixture-pressed"});
        QVERIFY2(sim.ok(), qPrintable(sim.error()));
        Flash run({"--continuous", "--reset", "--json", "--record", record, "--port", sim.portPath(), img + "@0x1000"});
        QTRY_COMPARE_WITH_TIMEOUT(run.events("waiting").size(), 1, kChipMs);
        if (scenario == "lever held down") {
            QCOMPARE(sim.request("NEXTCHIP hold").value(0), QStringLiteral("OK"));
            QTRY_COMPARE_WITH_TIMEOUT(run.events("waiting").size(), 2, kChipMs);
            // Long enough for several more chips if a held lever counted.
            QTest::qWait(3000);
            QCOMPARE(run.events("result").size(), 2);
            QCOMPARE(run.err.count("请松开治具"), 1);
            // Released for as long as an operator's hand takes to the next board.
            QCOMPARE(sim.request("SETDSR 0").value(0), QStringLiteral("OK"));
            QTest::qWait(1000);
        } else if (scenario == "port lost while waiting") {
            QCOMPARE(sim.request("UNPLUG").value(0), QStringLiteral("OK"));
            QTRY_VERIFY_WITH_TIMEOUT(run.stderrSoFar().contains("串口已断开，等待串口重新连接"), kChipMs);
            QTest::qWait(1000);
            QCOMPARE(sim.request("PLUG").value(0), QStringLiteral("OK"));
            QTRY_VERIFY_WITH_TIMEOUT(run.stderrSoFar().contains("串口已重新连接"), kChipMs);
        } else {
            QVERIFY(writeFile(img, a.left(5000)));
        }
        QCOMPARE(sim.request("NEXTCHIP").value(0), QStringLiteral("OK"));
        QTRY_COMPARE_WITH_TIMEOUT(run.events("waiting").size(), scenario == "lever held down" ? 3 : 2, kChipMs);
        QVERIFY(run.signal(SIGINT));
        QCOMPARE(run.finish(), 0);
        QCOMPARE(sim.flash().mid(0x1000, a.size()), a);
        const QList<QJsonObject> results = run.events("result");
        const QList<QStringList> rows = recordRows(record);
        QString why;
        QVERIFY2(resultsAgree(results, rows, &why), qPrintable(why));
        QSet<QString> uids;
        for (const QJsonObject &o : results) {
            QCOMPARE(o.value("bytes").toInt(), a.size());
            QCOMPARE(o.value("codeHex").toString(), QStringLiteral("0x0"));
            uids.insert(o.value("uid").toString());
        }
        QCOMPARE(uids.size(), results.size());
        return;
    }

    if (scenario.startsWith("stop")) {
        const bool erase = scenario == "stop during a chip erase";
        // A whole-chip erase of 12 s, or a chip that never answers.
        SimFixture sim(erase ? QStringList{"--flash-timing", "0,0,12000000"} : QStringList{"--fault", "silent"});
        QVERIFY2(sim.ok(), qPrintable(sim.error()));
        Flash run({"--json", "--port", sim.portPath(), img + "@0x0", erase ? "--erase" : "--reset"});
        if (erase)
            QTRY_COMPARE_WITH_TIMEOUT(sim.state().where, QStringLiteral("RAM"), kChipMs);
        QTRY_COMPARE_WITH_TIMEOUT(run.events("start").size(), 1, kChipMs);
        // Well into the erase, or into the probing.
        QTest::qWait(1500);
        QVERIFY(run.signal(SIGINT));
        QCOMPARE(run.finish(), 1);
        const QList<QJsonObject> results = run.events("result");
        QCOMPARE(results.size(), 1);
        QCOMPARE(results.first().value("code").toInt(), erase ? 0x407e8 : 0x202e8);
        QCOMPARE(results.first().value("codeHex").toString(), erase ? QStringLiteral("0x407e8") : QStringLiteral("0x202e8"));
        if (erase)
            QTRY_COMPARE(sim.state().where, QStringLiteral("ROM"));
        return;
    }

    if (scenario == "second opener by another name") {
        SimFixture sim({"--pace"});
        QVERIFY2(sim.ok(), qPrintable(sim.error()));
        const QByteArray big = randomBytes(256 * 1024, 32);
        Flash first({"--baud", "230400", "--port", sim.portPath(), image("big.bin", big) + "@0x0"});
        QTRY_VERIFY_WITH_TIMEOUT(sim.flash().left(16384) == big.left(16384), kChipMs);
        Flash second({"--port", QFileInfo(sim.portPath()).canonicalFilePath(), img + "@0x100000"});
        QCOMPARE(second.finish(), 1);
        QVERIFY2(second.err.contains("串口已被其他程序占用") && second.err.contains("串口打开失败！"),
                 qPrintable(second.err));
        QCOMPARE(first.finish(), 0);
        QCOMPARE(sim.flash().left(big.size()), big);
        return;
    }

    if (scenario == "all ports: stale and excluded left out") {
        SimFixture sim({}, 2);
        QVERIFY2(sim.ok(), qPrintable(sim.error()));
        // What a killed simulator leaves: its link, now to some other device,
        // and its socket file without a listener. A station there would
        // give a result of its own.
        QVERIFY(QFile::link("/dev/null", sim.dir() + "/COM7"));
        QVERIFY(writeFile(sim.dir() + "/COM7.ctl", QByteArray()));
        Flash run({"--all-ports", "--exclude", sim.portName(1), "--json", img + "@0x0"}, sim.dir());
        QCOMPARE(run.finish(), 0);
        const QList<QJsonObject> results = run.events("result");
        QCOMPARE(results.size(), 1);
        QCOMPARE(results.first().value("port").toString(), sim.portName(0));
        QCOMPARE(sim.flash(1).left(a.size()), QByteArray(a.size(), char(0xFF)));
        return;
    }

    // A port given as a path relative to the working folder.
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QFileInfo dir(sim.dir());
    Flash run({"--port", dir.fileName() + "/" + sim.portName(), img + "@0x0"}, QString(), dir.path());
    QCOMPARE(run.finish(), 0);
    QCOMPARE(sim.flash().left(a.size()), a);
}

QTEST_GUILESS_MAIN(tst_vq_flash_line)
#include "tst_vq_flash_line.moc"
