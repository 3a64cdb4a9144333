// The production records: what vq_flash leaves in the database (checked
// against sha256sum and against a kill), the store on a full disk, the
// factory's PostgreSQL server going away and coming back, the CSV with
// several writers, and vq_records' answers.
#include "productioncsv.h"
#include "recordstore.h"
#include "simfixture.h"
#include "testutil.h"
#include "tranthread.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>
#include <future>
#include <sys/resource.h>

namespace {
// Generous: the machine may be busy with other work.
constexpr int kRunMs = 180000;

QString build(const QString &program)
{
    return qEnvironmentVariable("VQ_BUILD_DIR") + QLatin1Char('/') + program;
}

// A program's exit code and output; -1 when it crashed or hung.
struct ran {
    int code = -1;
    QByteArray out;
    QString err;
};

ran runProgram(const QString &program, const QStringList &args, const QProcessEnvironment &env =
                                                                    QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    ran r;
    if (!p.waitForFinished(kRunMs))
        p.kill();
    p.waitForFinished();
    r.out = p.readAllStandardOutput();
    r.err = QString::fromUtf8(p.readAllStandardError());
    if (p.exitStatus() == QProcess::NormalExit)
        r.code = p.exitCode();
    return r;
}

QVector<productionRow> rowsIn(const QString &database)
{
    QString error;
    QVector<productionRow> rows;
    const auto query = recordQuery::openLocal(database, &error);
    if (query)
        query->find(recordFilter(), &rows, &error);
    return rows;
}

// One SQL value from a line's database, on a connection of its own.
QString sqlite(const QString &database, const QString &sql)
{
    QString value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peek"));
        db.setDatabaseName(database);
        QSqlQuery q(db);
        if (db.open() && q.exec(sql) && q.next())
            value = q.value(0).toString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("peek"));
    return value;
}

// The CSV's lines after the header, each checked to have every column.
int wholeCsvRows(const QString &path, QString *why)
{
    const QByteArray raw = readFile(path);
    if (raw.count(QByteArray("\xEF\xBB\xBF")) != 1 || !raw.startsWith("\xEF\xBB\xBF")) {
        *why = QStringLiteral("not one header");
        return -1;
    }
    const QList<QByteArray> lines = raw.split('\n');
    if (!lines.last().isEmpty()) {
        *why = QStringLiteral("last line unfinished");
        return -1;
    }
    for (const QByteArray &l : lines.mid(1, lines.size() - 2)) {
        if (l.count(',') != 11 || !l.endsWith('\r')) {
            *why = QStringLiteral("broken line: ") + QString::fromUtf8(l);
            return -1;
        }
    }
    return lines.size() - 2;
}

productionRow madeUpRow(int n, const QString &line = QStringLiteral("L1"))
{
    chipRecord chip;
    chip.finished = QDateTime::currentDateTime();
    chip.portName = QStringLiteral("ttyS%1").arg(n);
    chip.flashUid = QStringLiteral("UID%1").arg(n);
    chip.code = n % 2 ? 0x409f1 : 0;
    chip.text = n % 2 ? QStringLiteral("烧录Flash过程出错") : QStringLiteral("下载成功");
    chip.images = {{QStringLiteral("app.bin"), 4096, 0x1000, "ab"}};
    return rowOf(chip, n % 4 + 1, n % 2 == 0, {QStringLiteral("host"), line, QStringLiteral("v3.0.2")});
}

void setFileSizeLimit(rlim_t bytes)
{
    rlimit limit{bytes, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
}
} // namespace

class tst_records : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup() { setFileSizeLimit(RLIM_INFINITY); }
    void frontEnd_data();
    void frontEnd();
    void localFaults_data();
    void localFaults();
    void factoryServer_data();
    void factoryServer();
    void csvWriters_data();
    void csvWriters();
    void search_data();
    void search();

private:
    QString image(const QString &name, const QByteArray &bytes);
    bool writeServerConfig();

    QTemporaryDir work;
    std::unique_ptr<PgServer> server;
    QString serverConfig;
};

void tst_records::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY(copyShippedConfig(work.filePath("config")));
    qputenv("VQ_CONFIG_DIR", QFile::encodeName(work.filePath("config")));
    // A file that grows past the limit set below fails its write, as on a
    // full disk, instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    server = std::make_unique<PgServer>();
    QVERIFY2(server->ok(), qPrintable(server->error()));
    serverConfig = work.filePath("server.json");
    QVERIFY(writeFile(serverConfig, server->config()));
}

QString tst_records::image(const QString &name, const QByteArray &bytes)
{
    const QString path = work.filePath(name);
    return writeFile(path, bytes) ? path : QString();
}

void tst_records::frontEnd_data()
{
    QTest::addColumn<int>("stations");
    QTest::addColumn<bool>("kill");
    QTest::newRow("16 stations, images hashed") << 16 << false;
    QTest::newRow("killed right after the results") << 4 << true;
}

// vq_flash's database holds every chip its CSV shows, with what was sent.
void tst_records::frontEnd()
{
    QFETCH(int, stations);
    QFETCH(bool, kill);
    SimFixture sim({}, stations);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).left(2);
    const QString a = image(tag + "a.bin", randomBytes(40000, 51));
    const QString b = image(tag + "b.bin", randomBytes(9000, 52));
    const QString db = work.filePath(tag + ".db");
    const QString csv = work.filePath(tag + ".csv");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VQ_SIM_PORT_DIR", sim.dir());
    QProcess flash;
    flash.setProcessEnvironment(env);
    flash.start(build("vq_flash"), {"--all-ports", "--json", "--db", db, "--record", csv, a + "@0x1000", b + "@0x20000"});
    QString why;
    if (kill) {
        // The CSV line comes after the row's commit: whatever it shows, the
        // database must hold after a SIGKILL.
        QTRY_COMPARE_WITH_TIMEOUT(wholeCsvRows(csv, &why), stations, kRunMs);
        flash.kill();
    }
    // A line that ends a few milliseconds after its last chip may be gone
    // before the kill.
    QVERIFY(flash.state() == QProcess::NotRunning || flash.waitForFinished(kRunMs));
    QCOMPARE(sqlite(db, "PRAGMA integrity_check"), QString("ok"));
    QCOMPARE(wholeCsvRows(csv, &why), stations);

    const ran sums = runProgram("sha256sum", {a, b});
    QCOMPARE(sums.code, 0);
    const QList<QByteArray> sumLines = sums.out.split('\n');
    const QVector<productionRow> rows = rowsIn(db);
    QCOMPARE(rows.size(), stations);
    QSet<int> seen;
    for (const productionRow &r : rows) {
        seen.insert(r.station);
        QVERIFY2(r.ok, qPrintable(r.text));
        QVERIFY(!r.uid.isEmpty());
        QCOMPARE(r.images.size(), 2);
        QCOMPARE(r.images.at(0).address, 0x1000u);
        QCOMPARE(r.images.at(1).size, 9000);
        QCOMPARE(r.images.at(0).sha256, sumLines.at(0).left(64));
        QCOMPARE(r.images.at(1).sha256, sumLines.at(1).left(64));
    }
    QCOMPARE(seen.size(), stations);
}

void tst_records::localFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("rowsAfter");
    QTest::newRow("disk full, then space again") << "full" << 6;
    QTest::newRow("database of a newer tool") << "newer" << 0;
    QTest::newRow("database folder cannot be made") << "folder" << 0;
}

// A write that fails is said once, leaves no partial row, and the rows that
// waited land once the disk takes them; the CSV goes on meanwhile.
void tst_records::localFaults()
{
    QFETCH(QString, fault);
    QFETCH(int, rowsAfter);
    QTemporaryDir dir;
    recordStoreOptions o;
    o.databasePath = dir.filePath("log/production.db");
    o.csvPath = dir.filePath("record.csv");
    if (fault == "newer") {
        QVERIFY(QDir().mkpath(dir.filePath("log")));
        sqlite(o.databasePath, "PRAGMA user_version = 99");
    } else if (fault == "folder") {
        QVERIFY(writeFile(dir.filePath("log"), "a file where the folder should be"));
    }
    auto store = std::make_unique<recordStore>(o);
    QSignalSpy problems(store.get(), &recordStore::problem);
    QString why;
    if (fault == "full") {
        store->append(madeUpRow(0));
        store->append(madeUpRow(1));
        QVERIFY(store->flushLocal(kRunMs));
        setFileSizeLimit(QFileInfo(o.csvPath).size() + 40);
        for (int n = 2; n < 5; ++n)
            store->append(madeUpRow(n));
        QTRY_VERIFY_WITH_TIMEOUT(store->state().localFailing, kRunMs);
        QCOMPARE(wholeCsvRows(o.csvPath, &why), 2);
        setFileSizeLimit(RLIM_INFINITY);
        store->append(madeUpRow(5));
        QVERIFY(store->flushLocal(kRunMs));
        QVERIFY(!store->state().localFailing);
        QCOMPARE(wholeCsvRows(o.csvPath, &why), 3);
    } else {
        store->append(madeUpRow(0));
        QTRY_VERIFY_WITH_TIMEOUT(store->state().localFailing, kRunMs);
        QCOMPARE(wholeCsvRows(o.csvPath, &why), 1);
        if (fault == "newer")
            QCOMPARE(sqlite(o.databasePath, "PRAGMA user_version"), QString("99"));
    }
    // Said, and not once per chip.
    QTRY_VERIFY(!problems.isEmpty());
    for (const QList<QVariant> &p : qAsConst(problems))
        QVERIFY(p.at(1).toBool());
    QVERIFY2(problems.size() <= 2, qPrintable(problems.last().at(0).toString()));
    store.reset();
    if (fault == "full") {
        QCOMPARE(rowsIn(o.databasePath).size(), rowsAfter);
        QCOMPARE(sqlite(o.databasePath, "PRAGMA integrity_check"), QString("ok"));
    }
}

void tst_records::factoryServer_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("lines");
    QTest::addColumn<bool>("restart");
    QTest::addColumn<int>("onServer");
    QTest::addColumn<int>("lastWaitMs");
    QTest::newRow("two lines, server stopped mid-run") << PgServer::kPassword << 2 << true << 40 << kRunMs;
    QTest::newRow("wrong password") << "not-the-password" << 1 << false << 0 << 4000;
}

// Two lines record at once while the server goes down and comes back:
// every row arrives once, in each line's order; with a wrong password the
// rows stay in the line's database and the reason is said once.
void tst_records::factoryServer()
{
    QFETCH(QString, password);
    QFETCH(int, lines);
    QFETCH(bool, restart);
    QFETCH(int, onServer);
    QFETCH(int, lastWaitMs);
    constexpr int kChips = 40;
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).left(3);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PGPASSWORD", password);
    QList<std::shared_ptr<QProcess>> writers;
    for (int l = 0; l < lines; ++l) {
        auto p = std::make_shared<QProcess>();
        p->setProcessEnvironment(env);
        p->start(build("tests/records_writer"),
                 {"--db", work.filePath(QStringLiteral("%1%2.db").arg(tag).arg(l)), "--line",
                  QStringLiteral("%1%2").arg(tag).arg(l), "--count", QString::number(kChips), "--interval", "30",
                  "--server-config", serverConfig, "--upload-wait", QString::number(lastWaitMs)});
        writers << p;
    }
    QByteArray progress;
    const auto appended = [&](int n) {
        progress += writers.first()->readAllStandardOutput();
        return progress.contains("appended " + QByteArray::number(n) + "\n");
    };
    if (restart) {
        QTRY_VERIFY_WITH_TIMEOUT(appended(10), kRunMs);
        QVERIFY2(server->stop(), qPrintable(server->error()));
        QTRY_VERIFY_WITH_TIMEOUT(appended(25), kRunMs);
        QVERIFY2(server->start(), qPrintable(server->error()));
    }
    for (int l = 0; l < lines; ++l) {
        QProcess &p = *writers.at(l);
        QVERIFY(p.waitForFinished(kRunMs));
        QCOMPARE(p.exitCode(), 0);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY(!err.contains(password));
        const QString line = QStringLiteral("%1%2").arg(tag).arg(l);
        const QString db = work.filePath(line + ".db");
        QCOMPARE(rowsIn(db).size(), kChips);
        QCOMPARE(sqlite(db, "SELECT count(*) FROM records WHERE sent = 0"), QString::number(kChips - onServer));
        QCOMPARE(server->psql(QStringLiteral("SELECT count(*), count(DISTINCT id) FROM records WHERE line = '%1'")
                                  .arg(line)),
                 QStringLiteral("%1|%1").arg(onServer));
        if (onServer == 0) {
            QCOMPARE(err.count("password authentication failed"), 1);
            continue;
        }
        // Arrival order is the order the line made them in.
        const QStringList uids =
            server->psql(QStringLiteral("SELECT uid FROM records WHERE line = '%1' ORDER BY seq").arg(line))
                .split('\n');
        QStringList expected;
        for (int n = 0; n < kChips; ++n)
            expected << QStringLiteral("%1-%2").arg(line).arg(n, 4, 10, QLatin1Char('0'));
        QCOMPARE(uids, expected);
    }
}

void tst_records::csvWriters_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("writers");
    QTest::addColumn<int>("rows");
    QTest::newRow("eight writers on fresh empty files") << QByteArray() << 8 << 2;
    QTest::newRow("file ending in a cut row") << QByteArray("\xEF\xBB\xBFh\r\n2026,1,COM1,VQ571M,c8") << 1 << 50;
}

// Writers that start together on a new file leave one header and whole
// lines; a row cut short before never swallows the next one.
void tst_records::csvWriters()
{
    QFETCH(QByteArray, before);
    QFETCH(int, writers);
    QFETCH(int, rows);
    constexpr int kFiles = 100;
    QTemporaryDir dir;
    for (int file = 0; file < kFiles; ++file) {
        const QString path = dir.filePath(QStringLiteral("r%1.csv").arg(file));
        QVERIFY(writeFile(path, before));
        std::promise<void> go;
        const std::shared_future<void> started = go.get_future().share();
        std::vector<std::future<int>> running;
        for (int w = 0; w < writers; ++w)
            running.push_back(std::async(std::launch::async, [&path, started, rows] {
                started.wait();
                int written = 0;
                for (int n = 0; n < rows; ++n)
                    written += appendProductionCsv(path, madeUpRow(n), nullptr) ? 1 : 0;
                return written;
            }));
        go.set_value();
        for (std::future<int> &f : running)
            QCOMPARE(f.get(), rows);
        const QList<QByteArray> lines = readFile(path).split('\n');
        QCOMPARE(readFile(path).count(QByteArray("\xEF\xBB\xBF")), 1);
        QCOMPARE(lines.size(), writers * rows + (before.isEmpty() ? 2 : 3));
        for (const QByteArray &l : lines.mid(before.isEmpty() ? 1 : 2, writers * rows))
            QCOMPARE(l.count(','), 11);
    }
}

void tst_records::search_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expected");
    // Rows: n = 0..11 on line S1, n odd failed (0x409f1); station n % 4 + 1.
    QTest::newRow("by UID, other case") << "local" << QStringList{"--uid", "uid7"} << "UID7";
    QTest::newRow("one station's failures") << "local" << QStringList{"--station", "2", "--result", "failed"}
                                            << "UID9,UID5,UID1";
    QTest::newRow("by image hash") << "local" << QStringList{"--sha256", "CD", "--limit", "2"} << "UID11,UID10";
    QTest::newRow("before a time") << "local" << QStringList{"--to", "2001-01-01"} << "";
    QTest::newRow("summary") << "local" << QStringList{"--summary"}
                             << "hours 6/6; failures 0x409f1 6; stations S1/1 3/0,S1/2 0/3,S1/3 3/0,S1/4 0/3";
    QTest::newRow("server, by UID") << "server" << QStringList{"--uid", "UID3"} << "UID3";
    QTest::newRow("server, summary") << "server" << QStringList{"--summary", "--line", "S1"}
                                     << "hours 6/6; failures 0x409f1 6; stations S1/1 3/0,S1/2 0/3,S1/3 3/0,S1/4 0/3";
}

// vq_records over a line's file and over the server finds the same chips
// and sums them up alike.
void tst_records::search()
{
    QFETCH(QString, source);
    QFETCH(QStringList, args);
    QFETCH(QString, expected);
    const QString db = work.filePath("search.db");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PGPASSWORD", PgServer::kPassword);
    if (!QFileInfo::exists(db)) {
        qputenv("PGPASSWORD", PgServer::kPassword);
        recordStoreOptions o;
        o.databasePath = db;
        QString error;
        QVERIFY(readRecordServer(serverConfig, &o.server, &error));
        recordStore store(o);
        for (int n = 0; n < 12; ++n) {
            productionRow r = madeUpRow(n, "S1");
            r.images.first().sha256 = n >= 10 ? "cd" : "ab";
            store.append(r);
        }
        QVERIFY(store.flushUpload(kRunMs));
    }
    QStringList all = QStringList{"--format", "json"} + args;
    all += source == "local" ? QStringList{"--db", db} : QStringList{"--server", serverConfig};
    const ran r = runProgram(build("vq_records"), all, env);
    QCOMPARE(r.code, expected.isEmpty() ? 1 : 0);
    const QJsonDocument doc = QJsonDocument::fromJson(r.out);
    QString got;
    if (doc.isArray()) {
        QStringList uids;
        for (const QJsonValue &v : doc.array())
            uids << v.toObject().value("uid").toString();
        got = uids.join(',');
    } else if (doc.isObject()) {
        qint64 good = 0, failed = 0;
        for (const QJsonValue &h : doc.object().value("hours").toArray()) {
            good += h.toObject().value("good").toInt();
            failed += h.toObject().value("failed").toInt();
        }
        QStringList failures, stations;
        for (const QJsonValue &f : doc.object().value("failures").toArray())
            failures << QStringLiteral("0x%1 %2")
                            .arg(QString::number(f.toObject().value("code").toInt(), 16))
                            .arg(f.toObject().value("count").toInt());
        for (const QJsonValue &s : doc.object().value("stations").toArray())
            stations << QStringLiteral("%1/%2 %3/%4")
                            .arg(s.toObject().value("line").toString())
                            .arg(s.toObject().value("station").toInt())
                            .arg(s.toObject().value("good").toInt())
                            .arg(s.toObject().value("failed").toInt());
        got = QStringLiteral("hours %1/%2; failures %3; stations %4")
                  .arg(good)
                  .arg(failed)
                  .arg(failures.join(','), stations.join(','));
    }
    QVERIFY2(got == expected, qPrintable(got + " | " + r.err));
}

QTEST_GUILESS_MAIN(tst_records)
#include "tst_records.moc"
