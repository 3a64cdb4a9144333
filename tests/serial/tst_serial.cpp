// Every chip its own value: vq_flash and the factory window write it after
// the images, each value once, and the simulated flashes are read back
// byte for byte against the production rows; failures give values back or
// void them, a killed line gives none twice, and lines sharing the
// factory's server never meet.
#include "appglobals.h"
#include "factoryrig.h"
#include "recordstore.h"
#include "simfixture.h"
#include "recordrows.h"
#include "testutil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtEndian>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {
constexpr int kWaitMs = 120000;
constexpr uint32_t kAt = 0x3ff000;

// Every row of a query on a line's database, its columns joined by '|'.
QStringList sqlite(const QString &database, const QString &sql)
{
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peek"));
        db.setDatabaseName(database);
        QSqlQuery q(db);
        if (db.open() && q.exec(sql)) {
            while (q.next()) {
                QStringList columns;
                for (int c = 0; c < q.record().count(); ++c)
                    columns << q.value(c).toString();
                rows << columns.join(QLatin1Char('|'));
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("peek"));
    return rows;
}

QString hexOf(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

QString le32(uint32_t value)
{
    QByteArray b(4, '\0');
    qToLittleEndian(value, b.data());
    return hexOf(b);
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// The value each chip holds at the serial address, as hex.
QStringList valuesInFlash(const SimFixture &sim, int size)
{
    QStringList values;
    for (int i = 0; i < sim.count(); ++i)
        values << hexOf(sim.flash(i).mid(kAt, size));
    return values;
}

// The factory window's settings of a first start, with a serial rule.
QByteArray windowSettings(const QMap<QString, QString> &serial)
{
    QJsonObject o{{"baud_rate", "921600"}, {"lock_flag", "0"}, {"reset_flag", "0"}, {"high_flag", "0"},
                  {"continue_flag", "0"}, {"boot_flag", "0"}, {"all_cnt", "0"}, {"ok_cnt", "0"}, {"err_cnt", "0"}};
    for (auto it = serial.cbegin(); it != serial.cend(); ++it)
        o.insert(it.key(), it.value());
    return QJsonDocument(o).toJson();
}

// The window's serial keys for a command line's --serial-* options.
QMap<QString, QString> serialKeys(const QStringList &args)
{
    QMap<QString, QString> keys{{"serial_flag", "1"}, {"serial_mode", "counter"}};
    for (int i = 0; i + 1 < args.size(); i += 2) {
        QString key = args.at(i).mid(2).replace('-', '_');
        QString value = args.at(i + 1);
        if (key == "serial_at")
            key = "serial_addr";
        if (key == "serial_list")
            keys.insert("serial_mode", "list");
        keys.insert(key, value);
    }
    return keys;
}
} // namespace

class tst_serial : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyChipItsValue_data();
    void everyChipItsValue();
    void failedChips_data();
    void failedChips();
    void listChangedDuringRun();
    void killedLine_data();
    void killedLine();
    void factoryServer_data();
    void factoryServer();

private:
    QString file(const QString &name, const QByteArray &bytes);
    // One run of the window over the simulator's chips; its database.
    QString runWindow(const SimFixture &sim, int stations, const QString &image, const QStringList &serialArgs);
    QString serverConfig(int lease);

    QTemporaryDir work;
    QString image;
    std::unique_ptr<PgServer> server;
    int windows = 0;
};

void tst_serial::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY(copyShippedConfig(work.filePath("config")));
    qputenv("VQ_CONFIG_DIR", QFile::encodeName(work.filePath("config")));
    image = file("app.bin", randomBytes(20000, 24));
    server = std::make_unique<PgServer>();
    QVERIFY2(server->ok(), qPrintable(server->error()));
    qputenv("PGPASSWORD", PgServer::kPassword);
}

QString tst_serial::file(const QString &name, const QByteArray &bytes)
{
    const QString path = work.filePath(name);
    return writeFile(path, bytes) ? path : QString();
}

QString tst_serial::serverConfig(int lease)
{
    QJsonObject o = QJsonDocument::fromJson(server->config()).object();
    o.insert("serialLease", lease);
    writeFile(work.filePath("config/records.json"), QJsonDocument(o).toJson());
    return work.filePath("config/records.json");
}

QString tst_serial::runWindow(const SimFixture &sim, int stations, const QString &imagePath,
                              const QStringList &serialArgs)
{
    // A line PC of its own: settings, counters and log/.
    FactoryRig rig(sim, stations, windowSettings(serialKeys(serialArgs)),
                   work.filePath(QStringLiteral("window%1").arg(++windows)));
    rig.drive->setImages({imagePath + "@0"});
    if (!rig.ready || !rig.run())
        qWarning("the window's run did not end");
    return rig.database();
}

void tst_serial::everyChipItsValue_data()
{
    QTest::addColumn<bool>("window");
    QTest::addColumn<int>("stations");
    QTest::addColumn<QStringList>("serialArgs");
    // The values the good chips hold, as hex bytes in flash order; the
    // chips beyond them are refused with "序列号已用完".
    QTest::addColumn<QStringList>("values");

    QStringList eight;
    for (uint32_t i = 0; i < 8; ++i)
        eight << le32(0x10000000 + i);
    const QStringList counter{"--serial-at", "0x3ff000", "--serial-start", "0x10000000"};
    QTest::newRow("8 stations, 4 bytes little endian") << false << 8 << counter << eight;
    QTest::newRow("factory window, 4 stations") << true << 4 << counter << QStringList(eight.mid(0, 4));
    QTest::newRow("big endian, step 3, 2 bytes")
        << false << 3
        << QStringList{"--serial-at", "3ff000", "--serial-start", "0xfff0", "--serial-step", "3", "--serial-bytes",
                       "2", "--serial-format", "be"}
        << QStringList{"fff0", "fff3", "fff6"};
    QTest::newRow("decimal digits") << false << 2
                                    << QStringList{"--serial-at", "3ff000", "--serial-start", "99", "--serial-bytes",
                                                   "8", "--serial-format", "dec"}
                                    << QStringList{hexOf("00000099"), hexOf("00000100")};
    QTest::newRow("hex digits") << false << 2
                                << QStringList{"--serial-at", "3ff000", "--serial-start", "0xabc", "--serial-bytes",
                                               "6", "--serial-format", "hex"}
                                << QStringList{hexOf("000ABC"), hexOf("000ABD")};
    QTest::newRow("counter past its one byte") << false << 3
                                               << QStringList{"--serial-at", "3ff000", "--serial-start", "0xf0",
                                                              "--serial-step", "14", "--serial-bytes", "1"}
                                               << QStringList{"f0", "fe"};
    const QString macs = file("macs.txt", "# two MAC addresses\n\n00:1A:2B:3C:4D:5E\r\n00-1a-2b-3c-4d-5f\n");
    QTest::newRow("list with fewer lines than chips")
        << false << 4 << QStringList{"--serial-at", "3ff000", "--serial-list", macs}
        << QStringList{"001a2b3c4d5e", "001a2b3c4d5f"};
    QTest::newRow("factory window, list used up")
        << true << 3 << QStringList{"--serial-at", "3ff000", "--serial-list", macs}
        << QStringList{"001a2b3c4d5e", "001a2b3c4d5f"};
}

// Each good chip holds its own value at the address, and its row says so;
// a chip that cannot have one is refused before it is touched and the
// other stations go on.
void tst_serial::everyChipItsValue()
{
    QFETCH(bool, window);
    QFETCH(int, stations);
    QFETCH(QStringList, serialArgs);
    QFETCH(QStringList, values);
    SimFixture sim({}, stations);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const int size = QByteArray::fromHex(values.first().toLatin1()).size();
    QString database = work.filePath(QStringLiteral("every-%1.db").arg(QTest::currentDataTag()));
    const bool refusals = values.size() < stations;
    if (window) {
        database = runWindow(sim, stations, image, serialArgs);
    } else {
        Flash run(QStringList{"--all-ports", "--json", "--db", database, image + "@0"} + serialArgs, sim.dir());
        QCOMPARE(run.finish(), refusals ? 1 : 0);
        QCOMPARE(run.err.count("下载失败，错误代码为：0x40d00,序列号已用完\n"), stations - values.size());
        QStringList reported;
        for (const QJsonObject &o : run.events("result"))
            if (o.value("code").toInt() == 0)
                reported << o.value("serial").toString();
        QCOMPARE(sorted(reported), sorted(values));
    }
    QStringList held;
    for (const QString &v : valuesInFlash(sim, size))
        if (v != QString(size * 2, 'f'))
            held << v;
    QCOMPARE(sorted(held), sorted(values));
    QStringList recorded;
    int refused = 0;
    for (const productionRow &r : rowsIn(database)) {
        if (r.ok)
            recorded << r.serial;
        refused += r.code == 0x40d00 && r.serial.isEmpty() && r.uid.isEmpty() ? 1 : 0;
        // The row's value is the one in that chip's flash.
        for (int i = 0; r.ok && i < stations; ++i)
            if (r.port == sim.portName(i))
                QCOMPARE(hexOf(sim.flash(i).mid(kAt, size)), r.serial);
    }
    QCOMPARE(sorted(recorded), sorted(values));
    QCOMPARE(refused, stations - values.size());
    QCOMPARE(sqlite(database, "SELECT count(*) FROM serials WHERE state = 'used'").value(0),
             QString::number(values.size()));
}

void tst_serial::failedChips_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("inChip");
    QTest::addColumn<QString>("secondValue");
    // The first start address is refused: nothing of the value reached the
    // chip, so the next chip gets it.
    QTest::newRow("fails before the value's transfer") << "addr-fail-always" << "free" << false << le32(0x500);
    // The chip takes every file, then miscounts them: the value is in a
    // chip that failed, and is never given again.
    QTest::newRow("fails after the value's transfer") << "filecount-off" << "void" << true << le32(0x501);
    // The chip refuses the value's own transfer (the second file): none of
    // it is in the flash, but the chip may have taken part of it, so the
    // value is never given again.
    QTest::newRow("fails during the value's transfer") << "nak-always=2:1" << "void" << false << le32(0x501);
}

void tst_serial::failedChips()
{
    QFETCH(QString, fault);
    QFETCH(QString, state);
    QFETCH(bool, inChip);
    QFETCH(QString, secondValue);
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QString database = work.filePath(QStringLiteral("failed-%1.db").arg(fault));
    const QStringList args{"--all-ports", "--json", "--db", database, image + "@0", "--serial-at", "3ff000",
                           "--serial-start", "0x500"};
    QVERIFY(sim.addFault(fault));
    Flash first(args, sim.dir());
    QCOMPARE(first.finish(), 1);
    QCOMPARE(sqlite(database, "SELECT number, state FROM serials"), QStringList{"1280|" + state});
    QCOMPARE(hexOf(sim.flash().mid(kAt, 4)) == le32(0x500), inChip);
    const bool voided = state == QLatin1String("void");
    const productionRow failed = rowsIn(database).value(0);
    QCOMPARE(failed.serial, voided ? le32(0x500) : QString());
    const ProgramRun summary = runProgram({builtProgram("vq_records"), "--db", database,
                                           "--summary", "--format", "json"});
    QCOMPARE(QJsonDocument::fromJson(summary.out.toUtf8()).object().value("serials").toObject().value("void").toInt(),
             voided ? 1 : 0);

    QVERIFY(sim.clearFaults());
    Flash second(args, sim.dir());
    QCOMPARE(second.finish(), 0);
    QCOMPARE(hexOf(sim.flash().mid(kAt, 4)), secondValue);
    const ProgramRun found = runProgram({builtProgram("vq_records"), "--db", database,
                                         "--serial", secondValue == le32(0x500) ? "0x500" : "0x501",
                                         "--format", "json"});
    QCOMPARE(QJsonDocument::fromJson(found.out.toUtf8()).array().size(), 1);
}

// The list is read once, at the start; a file changed under a running line
// refuses the next chip rather than guess which values it now means.
void tst_serial::listChangedDuringRun()
{
    SimFixture sim({"--fixture-pressed"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QString list = file("changing.txt", "0a0b0c\n0a0b0d\n0a0b0e\n");
    Flash run({"--continuous", "--json", "--db", work.filePath("changing.db"), "--port", sim.portPath(),
               image + "@0", "--serial-at", "3ff000", "--serial-list", list},
              sim.dir());
    QTRY_COMPARE_WITH_TIMEOUT(run.events("waiting").size(), 1, kWaitMs);
    QCOMPARE(hexOf(sim.flash().mid(kAt, 3)), QString("0a0b0c"));
    QVERIFY(writeFile(list, "0a0b0d\n0a0b0e\n"));
    QCOMPARE(sim.request("NEXTCHIP").value(0), QString("OK"));
    QTRY_COMPARE_WITH_TIMEOUT(run.events("waiting").size(), 2, kWaitMs);
    QVERIFY(run.signal(SIGINT));
    QCOMPARE(run.finish(), 1);
    const QList<QJsonObject> results = run.events("result");
    QCOMPARE(results.size(), 2);
    QCOMPARE(results.at(1).value("text").toString(), QString("序列号列表文件已改变"));
    QCOMPARE(hexOf(sim.flash().mid(kAt, 3)), QString("ffffff"));
}

void tst_serial::killedLine_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed : {241u, 242u, 243u})
        QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(seed))) << seed;
}

// A line killed at a random moment, its chips taken off and fresh ones put
// in, then run again: no value is in two flashes, and none the killed run
// reserved is given again.
void tst_serial::killedLine()
{
    QFETCH(quint32, seed);
    constexpr int kStations = 4;
    SimFixture sim({"--pace"}, kStations);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QString database = work.filePath(QStringLiteral("killed-%1.db").arg(seed));
    const QStringList args{"--all-ports", "--json", "--db", database, file("big.bin", randomBytes(64 * 1024, seed)) + "@0",
                           "--serial-at", "3ff000", "--serial-start", QString::number(seed * 1000)};
    QRandomGenerator rng(seed);
    QStringList everyValue;
    for (int round = 0; round < 2; ++round) {
        Flash killed(args, sim.dir());
        QTest::qWait(static_cast<int>(rng.bounded(100, 3500)));
        killed.p.kill();
        killed.p.waitForFinished();
        for (int i = 0; i < kStations; ++i) {
            const QString v = hexOf(sim.flash(i).mid(kAt, 4));
            if (v != "ffffffff")
                everyValue << v;
            QVERIFY(sim.request("NEXTCHIP", i).value(0) == "OK");
        }
    }
    Flash last(args, sim.dir());
    QCOMPARE(last.finish(), 0);
    everyValue += valuesInFlash(sim, 4);
    QCOMPARE(QSet<QString>(everyValue.begin(), everyValue.end()).size(), everyValue.size());
    // Whatever the killed runs left reserved is void by now; no value
    // sits in a chip while the line holds it free.
    QCOMPARE(sqlite(database, "SELECT count(*) FROM serials WHERE state = 'reserved'"), QStringList{"0"});
    for (const QString &v : everyValue)
        QVERIFY2(sqlite(database, "SELECT state FROM serials WHERE value = '" + v + "'").value(0) != "free",
                 qPrintable(v));
}

void tst_serial::factoryServer_data()
{
    QTest::addColumn<QString>("scenario");
    // A rule of its own per scenario: the server's counter starts afresh.
    QTest::addColumn<uint>("start");
    uint start = 0x7000;
    for (const char *s : {"two lines at once", "server away, lease left", "server away, lease spent",
                          "server away, new line"})
        QTest::newRow(s) << QString::fromLatin1(s) << (start += 0x100);
}

void tst_serial::factoryServer()
{
    QFETCH(QString, scenario);
    QFETCH(uint, start);
    constexpr int kChips = 8;
    SimFixture sim({}, kChips);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QString rule = QStringLiteral("rule LIKE '%start=%1 %'").arg(start);
    const QStringList serial{image + "@0", "--serial-at", "3ff000", "--serial-start", QString::number(start)};
    const auto line = [&](const QString &db, int from, int count) {
        QStringList args{"--json", "--db", work.filePath(db)};
        for (int i = from; i < from + count; ++i)
            args << "--port" << sim.portName(i);
        return args + serial;
    };
    if (scenario == "two lines at once") {
        // A lease per chip, so that the two lines take turns at the server.
        serverConfig(1);
        Flash a(line("line-a.db", 0, 4), sim.dir());
        Flash b(line("line-b.db", 4, 4), sim.dir());
        QCOMPARE(a.finish(), 0);
        QCOMPARE(b.finish(), 0);
        const QStringList values = valuesInFlash(sim, 4);
        QCOMPARE(QSet<QString>(values.begin(), values.end()).size(), kChips);
        QCOMPARE(server->psql("SELECT count(*) FROM serial_leases WHERE " + rule), QString::number(kChips));
        // The settled values reach the server with the rows.
        QCOMPARE(server->psql("SELECT count(*) FROM serials WHERE state = 'used' AND " + rule),
                 QString::number(kChips));
        return;
    }
    const bool spent = scenario.endsWith("spent");
    serverConfig(spent ? 2 : 32);
    const QString own = QStringLiteral("away-%1.db").arg(start);
    Flash first(line(own, 0, 2), sim.dir());
    QCOMPARE(first.finish(), 0);
    QVERIFY(server->stop());
    Flash next(line(scenario.endsWith("new line") ? QStringLiteral("new-%1.db").arg(start) : own, 2, 2), sim.dir());
    const bool refused = spent || scenario.endsWith("new line");
    QCOMPARE(next.finish(), refused ? 1 : 0);
    QVERIFY(server->start());
    QCOMPARE(next.err.count("下载失败，错误代码为：0x40e00,序列号服务器不可达，没有可用的序列号\n"), refused ? 2 : 0);
    // The two stations reserve in whichever order they reach the store.
    QSet<QString> given, expected;
    for (int i = 2; i < 4; ++i) {
        given.insert(hexOf(sim.flash(i).mid(kAt, 4)));
        expected.insert(refused ? QString("ffffffff") : le32(start + i));
    }
    QCOMPARE(given, expected);
}

QTEST_MAIN(tst_serial)
#include "tst_serial.moc"
