// vq_flash and the ports of a line PC: what --list-ports tells of each port,
// what a station says when a port is not its to open, and stations named by
// the USB socket their adapter is plugged into.
#include "simfixture.h"
#include "testutil.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <unistd.h>

namespace {
QList<QJsonObject> jsonLines(const QString &text)
{
    QList<QJsonObject> objects;
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        objects << QJsonDocument::fromJson(line.toUtf8()).object();
    return objects;
}
} // namespace

class tst_vq_flash_ports : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void portStates_data();
    void portStates();
    void socketsFollowTheChips_data();
    void socketsFollowTheChips();

private:
    QStringList flash(const QStringList &args) const
    {
        return QStringList{qEnvironmentVariable("VQ_BUILD_DIR") + QStringLiteral("/vq_flash")} + args;
    }
    QProcessEnvironment env(const SimFixture &sim) const
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("VQ_SIM_PORT_DIR"), sim.dir());
        e.insert(QStringLiteral("VQ_PORT_BY_PATH_DIR"), sim.dir() + QStringLiteral("/by-path"));
        return e;
    }

    QTemporaryDir work;
    QString image;
    QByteArray bytes;
};

void tst_vq_flash_ports::initTestCase()
{
    QVERIFY(work.isValid());
    // Another user runs vq_flash here: it reads the image and writes its
    // production database.
    QVERIFY(openToEveryone(work.path()));
    bytes = randomBytes(30000, 26);
    image = work.filePath("app.bin");
    QVERIFY(writeFile(image, bytes));
}

void tst_vq_flash_ports::portStates_data()
{
    QTest::addColumn<portBlock>("block");
    QTest::addColumn<bool>("nobody");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("owner");
    // What the station says before "串口打开失败！", with the device and
    // the holder's pid in place of {device} and {pid}.
    QTest::addColumn<QStringList>("why");
    // The simulator holds its own end of every chip: that is no holder.
    QTest::newRow("free") << portBlock::None << false << "free" << QString() << QString() << QStringList();
    QTest::newRow("only its owner may open it")
        << portBlock::OwnerOnly << true << "no-permission" << QString() << "root"
        << QStringList{"当前用户没有 {device} 的读写权限（只有其所有者 root 可以读写）"};
    QTest::newRow("the group dialout may")
        << portBlock::GroupDialout << true << "no-permission" << "dialout" << "root"
        << QStringList{"当前用户没有 {device} 的读写权限（属于 dialout 组），请将用户加入 dialout 组后重新登录"};
    QTest::newRow("held by another process")
        << portBlock::Held << false << "busy" << QString() << QString()
        << QStringList{"串口已被其他程序占用：COM1", "串口被进程 flock(pid {pid}) 占用"};
}

void tst_vq_flash_ports::portStates()
{
    QFETCH(portBlock, block);
    QFETCH(bool, nobody);
    QFETCH(QString, state);
    QFETCH(QString, group);
    QFETCH(QString, owner);
    QFETCH(QStringList, why);
    if (nobody && ::getuid() != 0)
        QSKIP("needs root, to change the device and to run vq_flash as nobody");
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    QVERIFY(openToEveryone(sim.dir()));
    const QByteArray before = sim.flash();
    PortBlocker blocker(sim.portPath(), block);
    QVERIFY2(blocker.ok(), qPrintable(blocker.error()));
    auto command = [&](const QStringList &args) { return nobody ? asNobody(flash(args)) : flash(args); };

    const ProgramRun listed = runProgram(command({"--list-ports", "--json"}), env(sim), work.path());
    QCOMPARE(listed.exitCode, 0);
    const QList<QJsonObject> ports = jsonLines(listed.out);
    QCOMPARE(ports.size(), 1);
    const QJsonObject port = ports.first();
    QCOMPARE(port.value("name").toString(), sim.portName());
    QCOMPARE(port.value("device").toString(), blocker.device());
    QCOMPARE(port.value("state").toString(), state);
    QCOMPARE(port.value("group").toString(), group);
    QCOMPARE(port.value("owner").toString(), owner);
    const QJsonObject holder = port.value("holder").toObject();
    QCOMPARE(holder.value("pid").toVariant().toLongLong(), block == portBlock::Held ? blocker.holderPid() : 0);

    const QString db = work.filePath(QTest::currentDataTag() + QStringLiteral(".db"));
    const ProgramRun flashed = runProgram(command({"--port", sim.portName(), "--db", db, image + "@0"}),
                            env(sim), work.path());
    if (why.isEmpty()) {
        QVERIFY2(flashed.exitCode == 0, qPrintable(flashed.err));
        QCOMPARE(sim.flash().left(bytes.size()), bytes);
        return;
    }
    QCOMPARE(flashed.exitCode, 1);
    QString expected;
    for (const QString &line : qAsConst(why))
        expected += blocker.fillIn(line) + QLatin1Char('\n');
    QCOMPARE(flashed.err, expected + QStringLiteral("串口打开失败！\n"));
    QCOMPARE(sim.flash(), before);
}

void tst_vq_flash_ports::socketsFollowTheChips_data()
{
    // The names each chip's port comes back with after its hub was
    // replugged (none: as first enumerated).
    QTest::addColumn<QStringList>("renamed");
    QTest::addColumn<int>("target");
    QTest::newRow("as enumerated") << QStringList() << 2;
    QTest::newRow("hub replugged, other order") << QStringList{"COM13", "COM11", "COM14", "COM12"} << 2;
}

void tst_vq_flash_ports::socketsFollowTheChips()
{
    QFETCH(QStringList, renamed);
    QFETCH(int, target);
    SimFixture sim({}, 4);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    for (int chip = 0; chip < renamed.size(); ++chip)
        QVERIFY(sim.unplug(chip));
    for (int chip = 0; chip < renamed.size(); ++chip)
        QVERIFY(sim.plugAs(chip, renamed.at(chip)));

    // Each port beside the socket of its chip, lowest port first.
    QList<int> byPort{0, 1, 2, 3};
    std::sort(byPort.begin(), byPort.end(), [&](int a, int b) {
        return sim.portName(a).mid(3).toInt() < sim.portName(b).mid(3).toInt();
    });
    const ProgramRun listed = runProgram(flash({"--list-ports"}), env(sim), work.path());
    QCOMPARE(listed.exitCode, 0);
    const QStringList lines = listed.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 5);
    QVERIFY2(lines.first().startsWith("port") && lines.first().contains("socket"), qPrintable(listed.out));
    for (int row = 0; row < 4; ++row) {
        const int chip = byPort.at(row);
        const QStringList fields = lines.at(row + 1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QCOMPARE(fields.value(0), sim.portName(chip));
        QCOMPARE(fields.value(1), QFileInfo(sim.portPath(chip)).canonicalFilePath());
        QCOMPARE(fields.value(2), sim.socketName(chip));
        QCOMPARE(fields.value(5), QStringLiteral("free"));
    }
    const QList<QJsonObject> ports = jsonLines(runProgram(flash({"--list-ports", "--json"}), env(sim), work.path()).out);
    QCOMPARE(ports.size(), 4);
    for (int row = 0; row < 4; ++row) {
        QCOMPARE(ports.at(row).value("name").toString(), sim.portName(byPort.at(row)));
        QCOMPARE(ports.at(row).value("socket").toString(), sim.socketName(byPort.at(row)));
    }

    // A station named by its socket reaches the chip in that socket, under
    // whatever name its port came back.
    QList<QByteArray> before;
    for (int chip = 0; chip < 4; ++chip)
        before << sim.flash(chip);
    const ProgramRun flashed = runProgram(flash({"--port", sim.socketName(target), "--db", work.filePath("production.db"),
                                   image + "@0", "--boot"}),
                            env(sim), work.path());
    QVERIFY2(flashed.exitCode == 0, qPrintable(flashed.out + flashed.err));
    for (int chip = 0; chip < 4; ++chip) {
        if (chip == target)
            QCOMPARE(sim.flash(chip).left(bytes.size()), bytes);
        else
            QCOMPARE(sim.flash(chip), before.at(chip));
    }
}

QTEST_GUILESS_MAIN(tst_vq_flash_ports)
#include "tst_vq_flash_ports.moc"
