// vq_flash as a user runs it: argument errors, and whole runs against the
// chip simulator.
#include "simfixture.h"
#include "testutil.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>

namespace {
QString program()
{
    return qEnvironmentVariable("VQ_BUILD_DIR") + QStringLiteral("/vq_flash");
}

ProgramRun runFlash(const QStringList &args)
{
    return runProgram(QStringList{program()} + args);
}
} // namespace

class tst_vq_flash : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void badArguments_data();
    void badArguments();
    void programsTwoImages_data();
    void programsTwoImages();
    void failureIsReported_data();
    void failureIsReported();

private:
    QString writeImage(const QString &name, const QByteArray &bytes);
    QTemporaryDir work;
};

void tst_vq_flash::initTestCase()
{
    QVERIFY(QFileInfo(program()).isExecutable());
    QVERIFY(work.isValid());
}

QString tst_vq_flash::writeImage(const QString &name, const QByteArray &bytes)
{
    const QString path = work.filePath(name);
    return writeFile(path, bytes) ? path : QString();
}

void tst_vq_flash::badArguments_data()
{
    const QString image = writeImage("ok.bin", "data");
    QTest::addColumn<QStringList>("args");
    QTest::newRow("nothing") << QStringList{};
    QTest::newRow("no port") << QStringList{image + "@0"};
    QTest::newRow("port without value") << QStringList{"--port"};
    QTest::newRow("unknown option") << QStringList{"--port", "/dev/null", "--fast"};
    QTest::newRow("baud not a number") << QStringList{"--port", "/dev/null", "--baud", "fast"};
    QTest::newRow("baud zero") << QStringList{"--port", "/dev/null", "--baud", "0"};
    QTest::newRow("file without address") << QStringList{"--port", "/dev/null", image};
    QTest::newRow("address not hex") << QStringList{"--port", "/dev/null", image + "@0x12g000"};
    QTest::newRow("address empty") << QStringList{"--port", "/dev/null", image + "@"};
    QTest::newRow("address unaligned") << QStringList{"--port", "/dev/null", image + "@0x1800"};
    QTest::newRow("address beyond 32 bits") << QStringList{"--port", "/dev/null", image + "@100000000"};
    QTest::newRow("missing file") << QStringList{"--port", "/dev/null", work.filePath("none.bin") + "@0"};
    QTest::newRow("address with two prefixes") << QStringList{"--port", "/dev/null", image + "@0x0x1000"};
    QTest::newRow("address with a sign") << QStringList{"--port", "/dev/null", image + "@+1000"};
    QTest::newRow("address after a blank") << QStringList{"--port", "/dev/null", image + "@ 1000"};
}

void tst_vq_flash::badArguments()
{
    QFETCH(QStringList, args);
    const ProgramRun r = runFlash(args);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("usage: vq_flash --port PORT"), qPrintable(r.err));
}

void tst_vq_flash::programsTwoImages_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("fellBack");
    QTest::newRow("RAM code at 115200") << QStringList() << QString() << false;
    QTest::newRow("fast load") << QStringList{"--fast-load", "--baud", "2000000"} << QString() << false;
    QTest::newRow("fast load, ROM keeps its speed") << QStringList{"--fast-load", "--baud", "2000000"}
                                                    << "boot-baud-ignored" << true;
}

void tst_vq_flash::programsTwoImages()
{
    QFETCH(QStringList, options);
    QFETCH(QString, fault);
    QFETCH(bool, fellBack);
    SimFixture sim(fault.isEmpty() ? QStringList{"--check-speed"} : QStringList{"--check-speed", "--fault", fault});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QByteArray a = randomBytes(50000, 11);
    const QByteArray b = randomBytes(16384 + 3, 12);
    const ProgramRun r = runFlash(QStringList{"--port", sim.portPath(), writeImage("a.bin", a) + "@0x0",
                                       writeImage("b.bin", b) + "@7f000", "--reset"}
                           + options);
    QVERIFY2(r.exitCode == 0, qPrintable(r.out + r.err));
    QCOMPARE(r.err.contains("芯片未在2000000波特率下应答，改用115200波特率加载RAM代码\n"), fellBack);
    QVERIFY(r.out.contains("100%\n"));
    QVERIFY(r.out.contains("Flash ID:"));
    QVERIFY(r.out.endsWith("烧录成功！\n"));
    const QByteArray flash = sim.flash();
    QCOMPARE(flash.mid(0, a.size()), a);
    QCOMPARE(flash.mid(0x7f000, b.size()), b);
    QTRY_COMPARE(sim.state().where, QStringLiteral("ROM"));
}

void tst_vq_flash::failureIsReported_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("lines");
    // A chip deaf until reset cannot be rebooted over the line; the operator
    // is told so.
    QTest::newRow("speed change refused") << "baud-ignored" << "x" << "下载失败，错误代码为：0x40300,设置芯片波特率出错\n"
                                                                 "芯片未能重启，请手动复位芯片！\n";
    // An empty image is now refused before the chip is touched (see
    // tst_vq_flash_line); a chip that cancels both attempts still gives the
    // stage line and the transfer line.
    QTest::newRow("transfer cancelled") << "cancel=1" << "y" << "下载失败，错误代码为：0x409f1,烧录Flash过程出错\n"
                                                              "传输文件时失败，错误代码为：0xf1,芯片发起烧录终止指令！\n"
                                                              "芯片已重启，回到下载模式。\n";
}

void tst_vq_flash::failureIsReported()
{
    QFETCH(QString, fault);
    QFETCH(QString, image);
    QFETCH(QString, lines);
    // Each fault acts once: given twice, it hits the retry too.
    SimFixture sim(fault.isEmpty() ? QStringList() : QStringList{"--fault", fault, "--fault", fault});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const ProgramRun r = runFlash({"--port", sim.portPath(), writeImage("f.bin", image.toLatin1()) + "@0x1000"});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.err, lines);
    QVERIFY(!r.out.contains("烧录成功！"));
}

QTEST_GUILESS_MAIN(tst_vq_flash)
#include "tst_vq_flash.moc"
