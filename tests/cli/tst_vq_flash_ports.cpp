// vq_flash and the ports of a line PC: what --list-ports tells of each port,
// what a station says when a port is not its to open, and stations named by
// the USB socket their adapter is plugged into.
#include "simfixture.h"
#include "testutil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <unistd.h>

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
    // vq_flash with `args`, as nobody or as ourselves, on the simulator's
    // ports and sockets.
    ProgramRun flash(const SimFixture &sim, const QStringList &args, bool nobody = false)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VQ_SIM_PORT_DIR"), sim.dir());
        env.insert(QStringLiteral("VQ_PORT_BY_PATH_DIR"), sim.socketDir());
        const QStringList command = QStringList{builtProgram(QStringLiteral("vq_flash"))} + args;
        return runProgram(nobody ? asNobody(command) : command, env, work.path());
    }
    QStringList writeImage() { return {"--db", work.filePath(QTest::currentDataTag() + QStringLiteral(".db")), image + "@0"}; }

    QTemporaryDir work;
    QString image;
    QByteArray bytes;
};

void tst_vq_flash_ports::initTestCase()
{
    // Another user runs vq_flash here: it reads the image and writes its
    // production database.
    QVERIFY(work.isValid() && openToEveryone(work.path()));
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
    // What the station says before "串口打开失败！" (PortBlocker::fillIn).
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
    QVERIFY(blocker.ok());

    const ProgramRun listed = flash(sim, {"--list-ports", "--json"}, nobody);
    QCOMPARE(listed.exitCode, 0);
    const QJsonObject port = QJsonDocument::fromJson(listed.out.toUtf8()).object();
    QCOMPARE(listed.out.count('\n'), 1);
    QCOMPARE(port.value("name").toString(), sim.portName());
    QCOMPARE(port.value("device").toString(), blocker.device());
    QCOMPARE(port.value("socket").toString(), sim.socketName());
    QCOMPARE(port.value("state").toString(), state);
    QCOMPARE(port.value("group").toString(), group);
    QCOMPARE(port.value("owner").toString(), owner);
    QCOMPARE(port.value("holder").toObject().value("pid").toVariant().toLongLong(),
             block == portBlock::Held ? blocker.holderPid() : 0);

    const ProgramRun flashed = flash(sim, QStringList{"--port", sim.portName()} + writeImage(), nobody);
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
    // The names the chips' ports come back with after their hub was
    // replugged (none: as first enumerated), and so the chips in the order
    // of their ports.
    QTest::addColumn<QStringList>("renamed");
    QTest::addColumn<QList<int>>("order");
    QTest::newRow("as enumerated") << QStringList() << QList<int>{0, 1, 2, 3};
    QTest::newRow("hub replugged, other order") << QStringList{"COM13", "COM11", "COM14", "COM12"}
                                                << QList<int>{1, 3, 0, 2};
}

void tst_vq_flash_ports::socketsFollowTheChips()
{
    QFETCH(QStringList, renamed);
    QFETCH(QList<int>, order);
    SimFixture sim({}, 4);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    for (int chip = 0; chip < renamed.size(); ++chip)
        QVERIFY(sim.unplug(chip));
    for (int chip = 0; chip < renamed.size(); ++chip)
        QVERIFY(sim.plugAs(chip, renamed.at(chip)));

    const ProgramRun listed = flash(sim, {"--list-ports"});
    QCOMPARE(listed.exitCode, 0);
    const QStringList lines = listed.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 5);
    for (int row = 0; row < 4; ++row) {
        const int chip = order.at(row);
        QCOMPARE(lines.at(row + 1).split(QLatin1Char(' '), Qt::SkipEmptyParts),
                 (QStringList{sim.portName(chip), QFileInfo(sim.portPath(chip)).canonicalFilePath(), sim.socketName(chip),
                              "-", "-", "free"}));
    }

    // A station named by its socket reaches the chip in that socket, under
    // whatever name its port came back.
    const int target = order.first();
    QList<QByteArray> before;
    for (int chip = 0; chip < 4; ++chip)
        before << sim.flash(chip);
    const QStringList args = writeImage();
    const ProgramRun flashed = flash(sim, QStringList{"--port", sim.socketName(target), "--boot"} + args);
    QVERIFY2(flashed.exitCode == 0, qPrintable(flashed.err));
    for (int chip = 0; chip < 4; ++chip)
        QCOMPARE(sim.flash(chip), chip == target ? bytes + before.at(chip).mid(bytes.size()) : before.at(chip));
    // Its row keeps the socket apart from the port's present name.
    const ProgramRun found
        = runProgram({builtProgram("vq_records"), "--db", args.at(1), "--format", "json"});
    const QJsonObject row = QJsonDocument::fromJson(found.out.toUtf8()).array().at(0).toObject();
    QCOMPARE(row.value("socket").toString(), sim.socketName(target));
    QCOMPARE(row.value("port").toString(), sim.portName(target));
}

QTEST_GUILESS_MAIN(tst_vq_flash_ports)
#include "tst_vq_flash_ports.moc"
