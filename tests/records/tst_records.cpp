// The production records: what vq_flash leaves in the database (checked
// against sha256sum, the simulator's flash and a kill) and where, the store
// on a full disk and with its file deleted or replaced under it, the
// factory's PostgreSQL server going away and coming back, a schema 1
// database brought forward, the CSV with several writers, and vq_records'
// answers as a reader that never writes.
#include "productioncsv.h"
#include "recordschema.h"
#include "recordsql.h"
#include "recordstore.h"
#include "simfixture.h"
#include "recordrows.h"
#include "testutil.h"
#include "tranthread.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <future>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

namespace {
// Generous: the machine may be busy with other work.
constexpr int kRunMs = 180000;

// A program's exit code and output; -1 when it crashed or hung.
struct ran {
    int code = -1;
    QByteArray out;
    QString err;
};

ran runProgram(const QString &program, const QStringList &args,
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(), const QString &cwd = QString())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(cwd);
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
    recordOrigin origin;
    origin.host = QStringLiteral("host");
    origin.line = line;
    origin.toolVersion = QStringLiteral("v3.0.2");
    return rowOf(chip, n % 4 + 1, n % 2 == 0, origin);
}

void setFileSizeLimit(rlim_t bytes)
{
    rlimit limit{bytes, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
}

QString sha256Of(const QString &path)
{
    return QString::fromLatin1(QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha256).toHex());
}

// A database as the tools of schema 1 made it, with rows in it.
const char *const kVersion1Tables[] = {
    "CREATE TABLE records (seq %1, id %2 NOT NULL UNIQUE, time_ms BIGINT NOT NULL, utc_offset INTEGER NOT NULL,"
    " host TEXT NOT NULL, line TEXT NOT NULL, station INTEGER NOT NULL, port TEXT NOT NULL, model TEXT NOT NULL,"
    " flash_id TEXT NOT NULL, uid TEXT NOT NULL, operation TEXT NOT NULL, ok INTEGER NOT NULL, code BIGINT NOT NULL,"
    " text TEXT NOT NULL, first_code BIGINT NOT NULL, seconds DOUBLE PRECISION NOT NULL, bytes BIGINT NOT NULL,"
    " baud BIGINT NOT NULL, high_speed INTEGER NOT NULL, tool_version TEXT NOT NULL %3)",
    "CREATE TABLE images (record_id %2 NOT NULL, idx INTEGER NOT NULL, file_name TEXT NOT NULL, size BIGINT NOT NULL,"
    " address BIGINT NOT NULL, sha256 TEXT NOT NULL, PRIMARY KEY (record_id, idx))",
    "CREATE INDEX records_hour ON records(time_ms, ok)",
    "CREATE INDEX records_failure ON records(ok, code, text)",
    "CREATE INDEX records_station ON records(line, station, ok)",
};

QStringList version1Sql(bool server, int rows)
{
    QStringList sql;
    for (const char *t : kVersion1Tables)
        sql << QString::fromLatin1(t)
                   .replace("%1", server ? "BIGSERIAL UNIQUE" : "INTEGER PRIMARY KEY AUTOINCREMENT")
                   .replace("%2", server ? "UUID" : "TEXT")
                   .replace("%3", server ? "" : ", sent INTEGER NOT NULL DEFAULT 0");
    for (int n = 0; n < rows; ++n) {
        const QString id = QStringLiteral("00000000-0000-4000-8000-%1").arg(n, 12, 10, QLatin1Char('0'));
        sql << QStringLiteral("INSERT INTO records (id, time_ms, utc_offset, host, line, station, port, model, flash_id,"
                              " uid, operation, ok, code, text, first_code, seconds, bytes, baud, high_speed,"
                              " tool_version) VALUES ('%1', %2, 28800, 'pc', 'OLD', 1, 'COM1', 'VQ571M', 'c8401600',"
                              " 'OLD%3', 'download', 1, 0, 'ok', 0, 9.5, 4096, 921600, 0, 'v3.0.1')")
                   .arg(id)
                   .arg(1700000000000 + n)
                   .arg(n)
            << QStringLiteral("INSERT INTO images VALUES ('%1', 0, 'old.bin', 4096, 4096, 'ab%2')").arg(id).arg(n);
    }
    if (server)
        sql << "CREATE TABLE schema_version (version INTEGER NOT NULL)" << "INSERT INTO schema_version VALUES (1)";
    else
        sql << "PRAGMA user_version = 1";
    return sql;
}

// The same database as schema 2 left it: the columns it added, filled in.
QStringList versionSql(int version, bool server, int rows)
{
    QStringList sql = version1Sql(server, rows);
    if (version == 1)
        return sql;
    sql.removeLast();
    for (const char *column : {"fast_load TEXT NOT NULL DEFAULT ''", "ram_code_file TEXT NOT NULL DEFAULT ''",
                               "ram_code_sha256 TEXT NOT NULL DEFAULT ''", "flash_size BIGINT NOT NULL DEFAULT 0",
                               "rom_build TEXT NOT NULL DEFAULT ''", "image_baud BIGINT NOT NULL DEFAULT 0",
                               "erase_before_write INTEGER", "boot INTEGER", "reset INTEGER", "dsr_mode INTEGER"})
        sql << QStringLiteral("ALTER TABLE records ADD COLUMN ") + QLatin1String(column);
    sql << "UPDATE records SET fast_load = 'off', boot = 1"
        << (server ? "INSERT INTO schema_version VALUES (2)" : "PRAGMA user_version = 2");
    return sql;
}

// Runs a program, as an ordinary user: "nobody" when the suite runs as
// root (root writes wherever it likes, so only another user meets a
// read-only folder).
ran runAsUser(bool ordinary, const QString &program, const QStringList &args, const QMap<QString, QString> &vars,
              const QString &cwd)
{
    QStringList command{QStringLiteral("env")};
    for (auto it = vars.cbegin(); it != vars.cend(); ++it)
        command << it.key() + QLatin1Char('=') + it.value();
    command << program << args;
    if (ordinary && ::getuid() == 0)
        command = QStringList{QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("nobody"),
                              QStringLiteral("--")}
                  + command;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("VQ_CONFIG_DIR"));
    return runProgram(command.first(), command.mid(1), env, cwd);
}

// A disk of its own, 1 MiB of tmpfs, mounted for the test's lifetime; only
// root may mount one.
class smallDisk
{
public:
    explicit smallDisk(const QString &path)
        : mountPoint(path)
    {
        mounted = QDir().mkpath(path) && ::getuid() == 0
                  && runProgram("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", path}).code == 0;
    }
    ~smallDisk()
    {
        if (mounted)
            runProgram("umount", {"-l", mountPoint});
    }
    bool ok() const { return mounted; }
    // Takes every free byte, as a disk that another program filled.
    bool fill() const
    {
        QFile filler(mountPoint + "/filler");
        if (!filler.open(QIODevice::WriteOnly))
            return false;
        const QByteArray chunk(4096, 'x');
        while (filler.write(chunk) == chunk.size() && filler.flush()) {
        }
        return true;
    }
    bool free() const { return QFile::remove(mountPoint + "/filler"); }

private:
    QString mountPoint;
    bool mounted = false;
};

// Lets anyone through a folder, and at a file.
bool openTo(const QString &path, bool writable)
{
    return ::chmod(QFile::encodeName(path).constData(), writable ? 0777 : 0755) == 0;
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
    void lineDatabase_data();
    void lineDatabase();
    void localFaults_data();
    void localFaults();
    void fileUnderTheLine_data();
    void fileUnderTheLine();
    void factoryServer_data();
    void factoryServer();
    void recordsJson_data();
    void recordsJson();
    void migration_data();
    void migration();
    void csvWriters_data();
    void csvWriters();
    void search_data();
    void search();
    void reader_data();
    void reader();
    void exitStatus_data();
    void exitStatus();
    void orderTally_data();
    void orderTally();

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
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("fastLoad");
    QTest::addColumn<int>("imageBaud");
    QTest::newRow("16 stations, images hashed") << 16 << false << QStringList() << QStringList() << "off" << 921600;
    QTest::newRow("killed right after the results") << 4 << true << QStringList() << QStringList() << "off" << 921600;
    // The ROM keeps 115200: the RAM code goes at that speed, the images
    // still at the burn speed, and the row says both.
    QTest::newRow("fast load, ROM keeps its speed")
        << 1 << false << QStringList{"--pace", "--fault", "boot-baud-ignored"}
        << QStringList{"--fast-load", "--baud", "2000000", "--erase"} << "fell-back" << 2000000;
}

// vq_flash's database holds every chip its CSV shows, with what was sent
// and how: the images' hashes, the RAM code's, the speed the images went at.
void tst_records::frontEnd()
{
    QFETCH(int, stations);
    QFETCH(bool, kill);
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, options);
    QFETCH(QString, fastLoad);
    QFETCH(int, imageBaud);
    SimFixture sim(simArgs, stations);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).left(2);
    const QByteArray imageA = randomBytes(40000, 51);
    const QString a = image(tag + "a.bin", imageA);
    const QString b = image(tag + "b.bin", randomBytes(9000, 52));
    const QString db = work.filePath(tag + ".db");
    const QString csv = work.filePath(tag + ".csv");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VQ_SIM_PORT_DIR", sim.dir());
    QProcess flash;
    flash.setProcessEnvironment(env);
    flash.start(builtProgram("vq_flash"), QStringList{"--all-ports", "--json", "--db", db, "--record", csv, a + "@0x1000",
                                               b + "@0x20000"} + options);
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
    QCOMPARE(QString::fromUtf8(flash.readAllStandardError()).contains("芯片未在2000000波特率下应答"),
             fastLoad == "fell-back");

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
        QCOMPARE(sim.flash(r.station - 1).mid(0x1000, imageA.size()), imageA);
        QCOMPARE(r.fastLoad, fastLoad);
        QCOMPARE(r.imageBaud, uint32_t(imageBaud));
        QCOMPARE(r.ramCodeFile, QString("VQ5304_RAM_BIN.bin"));
        QCOMPARE(QString::fromLatin1(r.ramCodeSha256), sha256Of(work.filePath("config/VQ5304_RAM_BIN.bin")));
        QVERIFY2(r.romBuild.startsWith("boot rom VQ5304 build "), qPrintable(r.romBuild));
        QVERIFY(r.flashSize > 0);
        QCOMPARE(r.eraseBeforeWrite, std::optional<bool>(options.contains("--erase")));
        QCOMPARE(r.dsrMode, std::optional<bool>(false));
    }
    QCOMPARE(seen.size(), stations);
}

void tst_records::lineDatabase_data()
{
    QTest::addColumn<bool>("readOnly");
    QTest::newRow("started from another folder") << false;
    QTest::newRow("read-only installation, ordinary user") << true;
}

// vq_flash and vq_records started from anywhere use the database beside the
// programs, the window's; where the installation cannot be written, both use
// the user's data folder, and the chip is programmed and recorded.
void tst_records::lineDatabase()
{
    QFETCH(bool, readOnly);
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    QTemporaryDir install, data, elsewhere;
    for (const char *program : {"vq_flash", "vq_records"})
        QVERIFY(QFile::copy(builtProgram(program), install.filePath(program)));
    QVERIFY(copyShippedConfig(install.filePath("config")));
    const QByteArray bytes = randomBytes(20000, 61);
    QVERIFY(writeFile(install.filePath("app.bin"), bytes));
    // The port, its control socket and the folders reach the other user.
    for (const QString &path : {sim.dir(), install.path(), install.filePath("config"), elsewhere.path()})
        QVERIFY(openTo(path, false));
    QVERIFY(openTo(sim.portPath(), true) && openTo(sim.portPath() + ".ctl", true) && openTo(data.path(), true));
    for (const QString &file : QDir(install.filePath("config")).entryList(QDir::Files))
        QVERIFY(::chmod(QFile::encodeName(install.filePath("config/" + file)).constData(), 0644) == 0);
    if (readOnly)
        QVERIFY(::chmod(QFile::encodeName(install.path()).constData(), 0555) == 0);
    const QMap<QString, QString> vars{{"HOME", data.path()}, {"XDG_DATA_HOME", data.path()}};
    const ran flashed = runAsUser(readOnly, install.filePath("vq_flash"),
                                  {"--port", sim.portPath(), install.filePath("app.bin@0x1000")}, vars, elsewhere.path());
    QVERIFY2(flashed.code == 0, qPrintable(flashed.err));
    QCOMPARE(sim.flash().mid(0x1000, bytes.size()), bytes);
    const QString expected = readOnly ? data.filePath("vq_download_tool/log/production.db")
                                      : install.filePath("log/production.db");
    QCOMPARE(flashed.err.count("日志和生产记录改存在"), readOnly ? 1 : 0);
    QCOMPARE(rowsIn(expected).size(), 1);
    QVERIFY(!QFileInfo::exists(elsewhere.filePath("log")));
    QCOMPARE(QFileInfo::exists(install.filePath("log")), !readOnly);
    // The search finds the chip from a third folder, the same way.
    const ran found = runAsUser(readOnly, install.filePath("vq_records"), {"--format", "json"}, vars, data.path());
    QVERIFY2(found.code == 0, qPrintable(found.err));
    QCOMPARE(QJsonDocument::fromJson(found.out).array().size(), 1);
    ::chmod(QFile::encodeName(install.path()).constData(), 0755);
}

void tst_records::localFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("rowsAfter");
    QTest::newRow("disk full, then space again") << "full" << 6;
    // The exit waits as long as it is given, and knows which rows it holds.
    QTest::newRow("disk full at exit, freed while it waits") << "full at exit" << 5;
    QTest::newRow("database of a newer tool") << "newer" << 0;
    QTest::newRow("another program's database") << "foreign" << 0;
    QTest::newRow("database folder cannot be made") << "folder" << 0;
}

// A write that fails is said once, leaves no partial row, and the rows that
// waited land once the disk takes them; the CSV goes on meanwhile. A file
// the store must not use is left as it was.
void tst_records::localFaults()
{
    QFETCH(QString, fault);
    QFETCH(int, rowsAfter);
    QTemporaryDir dir;
    recordStoreOptions o;
    o.databasePath = dir.filePath("log/production.db");
    o.csvPath = dir.filePath("record.csv");
    QVERIFY(QDir().mkpath(dir.filePath("log")));
    if (fault == "newer") {
        sqlite(o.databasePath, "PRAGMA user_version = 99");
    } else if (fault == "foreign") {
        sqlite(o.databasePath, "CREATE TABLE records (name TEXT)");
    } else if (fault == "folder") {
        QVERIFY(QDir(dir.filePath("log")).removeRecursively());
        QVERIFY(writeFile(dir.filePath("log"), "a file where the folder should be"));
    }
    const QByteArray before = readFile(o.databasePath);
    auto store = std::make_unique<recordStore>(o);
    QSignalSpy problems(store.get(), &recordStore::problem);
    QString why;
    if (fault.startsWith("full")) {
        store->append(madeUpRow(0));
        store->append(madeUpRow(1));
        QVERIFY(store->flushLocal(kRunMs));
        setFileSizeLimit(QFileInfo(o.csvPath).size() + 40);
        QStringList held;
        for (int n = 2; n < 5; ++n) {
            store->append(madeUpRow(n));
            held << store->unwrittenRows().last().id;
        }
        QTRY_VERIFY_WITH_TIMEOUT(store->state().localFailing, kRunMs);
        QCOMPARE(wholeCsvRows(o.csvPath, &why), 2);
        if (fault == "full at exit") {
            QVERIFY(!store->flushLocal(100));
            QStringList unwritten;
            for (const productionRow &r : store->unwrittenRows())
                unwritten << r.id;
            QCOMPARE(unwritten, held);
            std::thread freeing([] {
                QThread::msleep(4000);
                setFileSizeLimit(RLIM_INFINITY);
            });
            const bool flushed = store->flushLocal(kRunMs);
            freeing.join();
            QVERIFY(flushed);
            QVERIFY(store->unwrittenRows().isEmpty());
        } else {
            setFileSizeLimit(RLIM_INFINITY);
            store->append(madeUpRow(5));
            QVERIFY(store->flushLocal(kRunMs));
            QCOMPARE(wholeCsvRows(o.csvPath, &why), 3);
        }
        QVERIFY(!store->state().localFailing);
    } else {
        store->append(madeUpRow(0));
        QTRY_VERIFY_WITH_TIMEOUT(store->state().localFailing, kRunMs);
        QCOMPARE(wholeCsvRows(o.csvPath, &why), 1);
        QCOMPARE(readFile(o.databasePath), before);
        QVERIFY(!QFileInfo::exists(o.databasePath + "-wal"));
    }
    // Said, and not once per chip.
    QTRY_VERIFY(!problems.isEmpty());
    for (const QList<QVariant> &p : qAsConst(problems))
        QVERIFY(p.at(1).toBool());
    QVERIFY2(problems.size() <= 2, qPrintable(problems.last().at(0).toString()));
    store.reset();
    if (fault.startsWith("full")) {
        QCOMPARE(rowsIn(o.databasePath).size(), rowsAfter);
        QCOMPARE(sqlite(o.databasePath, "PRAGMA integrity_check"), QString("ok"));
    }
}

void tst_records::fileUnderTheLine_data()
{
    QTest::addColumn<QString>("what");
    QTest::newRow("database deleted") << "delete";
    QTest::newRow("database deleted with its WAL") << "delete all";
    QTest::newRow("replaced by another line's database") << "replace";
    // The store waits out the garbage with its rows, and goes on once the
    // path is free again.
    QTest::newRow("replaced by garbage, then garbage removed") << "garbage";
}

// A line's database deleted or replaced while the line writes and uploads:
// said once, every row in the file at the path, every row on the server once,
// and "已同步" only then.
void tst_records::fileUnderTheLine()
{
    QFETCH(QString, what);
    constexpr int kChips = 40;
    QTemporaryDir dir;
    const QString db = dir.filePath("production.db");
    const QString line = "U" + QString::number(qHash(QString::fromLatin1(QTest::currentDataTag())) % 100000);
    if (what == "replace") {
        recordStoreOptions o;
        o.databasePath = dir.filePath("other.db");
        recordStore other(o);
        for (int n = 0; n < 3; ++n)
            other.append(madeUpRow(n, "OTHER"));
        QVERIFY(other.flushLocal(kRunMs));
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PGPASSWORD", PgServer::kPassword);
    QProcess writer;
    writer.setProcessEnvironment(env);
    writer.start(builtProgram("tests/records_writer"),
                 {"--db", db, "--line", line, "--count", QString::number(kChips), "--interval", "30", "--server-config",
                  serverConfig, "--upload-wait", QString::number(kRunMs)});
    QByteArray progress;
    const auto appended = [&](int n) {
        progress += writer.readAllStandardOutput();
        return progress.contains("appended " + QByteArray::number(n) + "\n");
    };
    QTRY_VERIFY_WITH_TIMEOUT(appended(10), kRunMs);
    if (what.startsWith("delete")) {
        QVERIFY(QFile::remove(db));
        if (what == "delete all")
            QVERIFY(QFile::remove(db + "-wal") && QFile::remove(db + "-shm"));
    } else {
        const QString next = dir.filePath("next");
        if (what == "garbage")
            QVERIFY(writeFile(next, QByteArray(20000, 'x')));
        else
            QVERIFY(QFile::rename(dir.filePath("other.db"), next));
        QCOMPARE(std::rename(QFile::encodeName(next).constData(), QFile::encodeName(db).constData()), 0);
    }
    if (what == "garbage") {
        QTRY_VERIFY_WITH_TIMEOUT(appended(25), kRunMs);
        QVERIFY(QFile::remove(db));
    }
    QVERIFY(writer.waitForFinished(kRunMs));
    QCOMPARE(writer.exitCode(), 0);
    progress += writer.readAllStandardOutput();
    QVERIFY2(progress.endsWith("记录：已同步\n"), progress.right(200).constData());
    const QString err = QString::fromUtf8(writer.readAllStandardError());
    QVERIFY2(err.count("生产记录数据库已被删除或替换，已新建") == 1, qPrintable(err));
    QCOMPARE(sqlite(db, "PRAGMA integrity_check"), QString("ok"));
    QCOMPARE(sqlite(db, QStringLiteral("SELECT count(*) FROM records WHERE line = '%1' AND sent = 1").arg(line)),
             QString::number(kChips));
    QCOMPARE(server->psql(QStringLiteral("SELECT count(*), count(DISTINCT id) FROM records WHERE line = '%1'").arg(line)),
             QStringLiteral("%1|%1").arg(kChips));
    if (what == "replace")
        QCOMPARE(sqlite(db, "SELECT count(*) FROM records WHERE line = 'OTHER'"), QString("3"));
}

void tst_records::factoryServer_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("lines");
    QTest::addColumn<bool>("restart");
    QTest::addColumn<int>("onServer");
    QTest::addColumn<int>("lastWaitMs");
    QTest::addColumn<QString>("finalState");
    QTest::newRow("two lines, server stopped mid-run") << PgServer::kPassword << 2 << true << 40 << kRunMs
                                                       << "记录：已同步";
    QTest::newRow("wrong password") << "not-the-password" << 1 << false << 0 << 4000
                                    << "记录：待上传 40 条（服务器拒绝登录）";
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
    QFETCH(QString, finalState);
    constexpr int kChips = 40;
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).left(3);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PGPASSWORD", password);
    QList<std::shared_ptr<QProcess>> writers;
    for (int l = 0; l < lines; ++l) {
        auto p = std::make_shared<QProcess>();
        p->setProcessEnvironment(env);
        p->start(builtProgram("tests/records_writer"),
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
        const QString said = QString::fromUtf8((l == 0 ? progress : QByteArray()) + p.readAllStandardOutput());
        QVERIFY2(said.endsWith(finalState + "\n"), qPrintable(said.right(100)));
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

void tst_records::recordsJson_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("refusal");  // empty: taken
    QTest::newRow("as documented") << QByteArray(R"({"host": "10.0.0.5", "port": 55432, "database": "f", "user": "l"})")
                                   << "";
    // Taken as 5432 before: the rows would go to another server.
    QTest::newRow("port as text") << QByteArray(R"({"host": "10.0.0.5", "port": "55432", "database": "f", "user": "l"})")
                                  << "“port”";
    QTest::newRow("no user") << QByteArray(R"({"host": "10.0.0.5", "port": 55432, "database": "f"})") << "“user”";
}

// config/records.json is taken only whole; a refusal names the field.
void tst_records::recordsJson()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, refusal);
    const QString path = work.filePath("config-test.json");
    QVERIFY(writeFile(path, json));
    recordServer read;
    QString error;
    QCOMPARE(readRecordServer(path, &read, &error), refusal.isEmpty());
    QCOMPARE(read.valid(), refusal.isEmpty());
    QVERIFY2(refusal.isEmpty() ? read.port == 55432 : error.contains(refusal), qPrintable(error));
}

void tst_records::migration_data()
{
    QTest::addColumn<bool>("onServer");
    QTest::addColumn<int>("from");
    for (int from = 1; from < kRecordSchemaVersion; ++from) {
        QTest::newRow(qPrintable(QStringLiteral("line's SQLite file, schema %1").arg(from))) << false << from;
        QTest::newRow(qPrintable(QStringLiteral("factory's server, schema %1").arg(from))) << true << from;
    }
}

// A database of an older schema is read as it is, and brought to the
// current one in place by the first writer, step by step, every old row,
// field and image kept. Schemas 1 and 2 are made as their tools made them;
// later ones from those by the shipped steps.
void tst_records::migration()
{
    QFETCH(bool, onServer);
    QFETCH(int, from);
    constexpr int kOld = 3;
    QTemporaryDir dir;
    recordStoreOptions o;
    o.databasePath = dir.filePath("production.db");
    const QString legacy = QStringLiteral("legacy%1").arg(from);
    // The last schema made by hand, then the shipped steps up to `from`.
    const int made = qMin(from, 2);
    QString error;
    if (onServer) {
        server->psql("CREATE DATABASE " + legacy);
        for (const QString &sql : versionSql(made, true, kOld))
            server->psql(sql, legacy);
        QVERIFY(writeFile(dir.filePath("legacy.json"), server->config(legacy)));
        QVERIFY(readRecordServer(dir.filePath("legacy.json"), &o.server, &error));
        qputenv("PGPASSWORD", PgServer::kPassword);
        // Older tools' steps, up to the version they stopped at.
        {
            QSqlDatabase db;
            int version = 0;
            QVERIFY2(openServerDatabase(o.server, "older", false, &db, &version, &error)
                         && prepareServerSchema(db, &error, from),
                     qPrintable(error));
        }
        QSqlDatabase::removeDatabase("older");
    } else {
        for (const QString &sql : versionSql(made, false, kOld))
            sqlite(o.databasePath, sql);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "older");
            db.setDatabaseName(o.databasePath);
            QVERIFY2(db.open() && prepareLocalSchema(db, &error, from), qPrintable(error));
        }
        QSqlDatabase::removeDatabase("older");
        QCOMPARE(sqlite(o.databasePath, "PRAGMA user_version"), QString::number(from));
        // The search reads it without changing a byte, an order's search
        // included.
        const QByteArray before = readFile(o.databasePath);
        const ran found = runProgram(builtProgram("vq_records"), {"--db", o.databasePath, "--format", "json"});
        const QJsonArray rows = QJsonDocument::fromJson(found.out).array();
        QCOMPARE(rows.size(), kOld);
        QCOMPARE(rows.at(0).toObject().value("fastLoad").toString(), QString(from >= 2 ? "off" : ""));
        QCOMPARE(rows.at(0).toObject().value("socket").toString(), QString());
        QCOMPARE(runProgram(builtProgram("vq_records"), {"--db", o.databasePath, "--order", "WO-1"}).code, 1);
        QCOMPARE(readFile(o.databasePath), before);
    }
    productionRow fresh = madeUpRow(7, "NEW");
    fresh.fastLoad = "used";
    fresh.imageBaud = 2000000;
    fresh.boot = true;
    fresh.socket = "pci-0000:00:14.0-usb-0:1.3:1.0-port0";
    fresh.serial = "0d0c0b0a";
    fresh.serialNumber = "168496141";
    fresh.order = "WO-1";
    fresh.operatorName = "张三";
    fresh.orderSha256 = "cd";
    fresh.orderQuantity = 500;
    {
        recordStore store(o);
        store.append(fresh);
        QVERIFY(store.flushUpload(kRunMs));
    }
    QVector<productionRow> rows;
    const QString current = QString::number(kRecordSchemaVersion);
    if (onServer) {
        QCOMPARE(server->psql("SELECT max(version) FROM schema_version", legacy), current);
        const auto query = recordQuery::openServer(o.server, &error);
        QVERIFY2(query, qPrintable(error));
        QVERIFY(query->find(recordFilter(), &rows, &error));
    } else {
        QCOMPARE(sqlite(o.databasePath, "PRAGMA user_version"), current);
        rows = rowsIn(o.databasePath);
    }
    QCOMPARE(rows.size(), kOld + 1);
    QCOMPARE(rows.first().id, fresh.id);
    QCOMPARE(rows.first().fastLoad, QString("used"));
    QCOMPARE(rows.first().imageBaud, 2000000u);
    QCOMPARE(rows.first().boot, std::optional<bool>(true));
    QCOMPARE(rows.first().socket, fresh.socket);
    QCOMPARE(rows.first().serial, fresh.serial);
    QCOMPARE(rows.first().serialNumber, fresh.serialNumber);
    QCOMPARE(rows.first().order, fresh.order);
    QCOMPARE(rows.first().operatorName, fresh.operatorName);
    QCOMPARE(rows.first().orderSha256, fresh.orderSha256);
    QCOMPARE(rows.first().orderQuantity, fresh.orderQuantity);
    for (int n = 1; n <= kOld; ++n) {
        const productionRow &old = rows.at(n);
        QCOMPARE(old.uid, QStringLiteral("OLD%1").arg(kOld - n));
        QCOMPARE(old.images.size(), 1);
        QCOMPARE(old.images.first().sha256, QByteArray("ab") + QByteArray::number(kOld - n));
        // Not recorded then: not the same as off; what schema 2 recorded stays.
        QCOMPARE(old.fastLoad, QString(from >= 2 ? "off" : ""));
        QCOMPARE(old.boot, from >= 2 ? std::optional<bool>(true) : std::optional<bool>());
        QCOMPARE(old.socket, QString());
        QCOMPARE(old.serial, QString());
        QCOMPARE(old.order, QString());
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
    // Rows: n = 0..11 on line S1, n odd failed (0x409f1); station n % 4 + 1;
    // then a run stopped on station 1 (UID12) and an erase on station 2.
    QTest::newRow("by UID, other case") << "local" << QStringList{"--uid", "uid7"} << "UID7";
    QTest::newRow("one station's failures") << "local" << QStringList{"--station", "2", "--result", "failed"}
                                            << "UID9,UID5,UID1";
    QTest::newRow("by image hash") << "local" << QStringList{"--sha256", "CD", "--limit", "2"} << "UID11,UID10";
    QTest::newRow("before a time") << "local" << QStringList{"--to", "2001-01-01"} << "";
    // 0 is a time like any other, not "no bound".
    QTest::newRow("before the epoch") << "local" << QStringList{"--to", "1970-01-01T00:00:00Z"} << "";
    // Stopped and erased chips are neither good nor failed.
    QTest::newRow("summary") << "local" << QStringList{"--summary"}
                             << "hours 6/6/1/1; failures 0x409f1 6; stations S1/1 3/0/1/0,S1/2 0/3/0/1,S1/3 3/0/0/0,"
                                "S1/4 0/3/0/0";
    // Rows 0..5 are of order WO-A (5 wanted), 6 and 7 of WO-B (no limit).
    QTest::newRow("one order") << "local" << QStringList{"--order", "WO-A"} << "UID5,UID4,UID3,UID2,UID1,UID0";
    QTest::newRow("one order's summary") << "local" << QStringList{"--summary", "--order", "WO-A"}
                                         << "hours 3/3/0/0; orders WO-A 3/3/0 of 5, 2 left";
    QTest::newRow("server, by UID") << "server" << QStringList{"--uid", "UID3"} << "UID3";
    QTest::newRow("server, an order without a limit") << "server" << QStringList{"--summary", "--order", "WO-B"}
                                                      << "hours 1/1/0/0; orders WO-B 1/1/0 of 0, null left";
    QTest::newRow("server, summary") << "server" << QStringList{"--summary", "--line", "S1"}
                                     << "hours 6/6/1/1; failures 0x409f1 6; stations S1/1 3/0/1/0,S1/2 0/3/0/1,"
                                        "S1/3 3/0/0/0,S1/4 0/3/0/0";
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
        for (int n = 0; n < 14; ++n) {
            productionRow r = madeUpRow(n, "S1");
            r.images.first().sha256 = n >= 10 ? "cd" : "ab";
            r.order = n < 6 ? "WO-A" : n < 8 ? "WO-B" : "";
            r.orderQuantity = n < 6 ? 5 : 0;
            if (n >= 12) {
                r.ok = false;
                r.code = n == 12 ? 0x409e8 : 0;
                r.operation = n == 12 ? "download" : "erase";
                r.images.clear();
            }
            store.append(r);
        }
        QVERIFY(store.flushUpload(kRunMs));
    }
    QStringList all = QStringList{"--format", "json"} + args;
    all += source == "local" ? QStringList{"--db", db} : QStringList{"--server", serverConfig};
    const ran r = runProgram(builtProgram("vq_records"), all, env);
    QCOMPARE(r.code, expected.isEmpty() ? 1 : 0);
    const QJsonDocument doc = QJsonDocument::fromJson(r.out);
    QString got;
    if (doc.isArray()) {
        QStringList uids;
        for (const QJsonValue &v : doc.array())
            uids << v.toObject().value("uid").toString();
        got = uids.join(',');
    } else if (doc.isObject()) {
        qint64 good = 0, failed = 0, stopped = 0, erased = 0;
        for (const QJsonValue &h : doc.object().value("hours").toArray()) {
            good += h.toObject().value("good").toInt();
            failed += h.toObject().value("failed").toInt();
            stopped += h.toObject().value("stopped").toInt();
            erased += h.toObject().value("erased").toInt();
        }
        QStringList failures, stations;
        for (const QJsonValue &f : doc.object().value("failures").toArray())
            failures << QStringLiteral("0x%1 %2")
                            .arg(QString::number(f.toObject().value("code").toInt(), 16))
                            .arg(f.toObject().value("count").toInt());
        for (const QJsonValue &s : doc.object().value("stations").toArray())
            stations << QStringLiteral("%1/%2 %3/%4/%5/%6")
                            .arg(s.toObject().value("line").toString())
                            .arg(s.toObject().value("station").toInt())
                            .arg(s.toObject().value("good").toInt())
                            .arg(s.toObject().value("failed").toInt())
                            .arg(s.toObject().value("stopped").toInt())
                            .arg(s.toObject().value("erased").toInt());
        got = QStringLiteral("hours %1/%2/%3/%4; failures %5; stations %6")
                  .arg(good)
                  .arg(failed)
                  .arg(stopped)
                  .arg(erased)
                  .arg(failures.join(','), stations.join(','));
        if (args.contains("--order")) {
            QStringList orders;
            for (const QJsonValue &v : doc.object().value("orders").toArray()) {
                const QJsonObject o = v.toObject();
                orders << QStringLiteral("%1 %2/%3/%4 of %5, %6 left")
                              .arg(o.value("order").toString())
                              .arg(o.value("good").toInt())
                              .arg(o.value("failed").toInt())
                              .arg(o.value("stopped").toInt())
                              .arg(o.value("quantity").toInt())
                              .arg(o.value("left").isNull() ? QStringLiteral("null")
                                                            : QString::number(o.value("left").toInt()));
            }
            got = got.section(';', 0, 0) + "; orders " + orders.join(',');
        }
    }
    QVERIFY2(got == expected, qPrintable(got + " | " + r.err));
}

void tst_records::reader_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    // Another program holds the write lock, as a line does while it writes.
    QTest::newRow("during a write lock") << "locked" << 0 << "";
    QTest::newRow("empty file") << "empty" << 1 << "不是生产记录数据库";
    QTest::newRow("another program's SQLite file") << "foreign" << 1 << "不是生产记录数据库";
}

// A search reads what it finds and writes nothing: no wait for a writer, no
// tables or WAL put into a file that is not a line's database.
void tst_records::reader()
{
    QFETCH(QString, file);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    QTemporaryDir dir;
    const QString db = dir.filePath("production.db");
    QVERIFY(writeFile(db, QByteArray()));
    std::unique_ptr<QSqlDatabase> holder;
    if (file == "locked") {
        recordStoreOptions o;
        o.databasePath = db;
        {
            recordStore store(o);
            store.append(madeUpRow(1));
            QVERIFY(store.flushLocal(kRunMs));
        }
        holder = std::make_unique<QSqlDatabase>(QSqlDatabase::addDatabase("QSQLITE", "holder"));
        holder->setDatabaseName(db);
        QVERIFY(holder->open());
        QVERIFY(QSqlQuery(*holder).exec("BEGIN EXCLUSIVE"));
        QVERIFY(QSqlQuery(*holder).exec("DELETE FROM images"));
    } else if (file == "foreign") {
        sqlite(db, "CREATE TABLE t (x)");
    }
    const QByteArray before = readFile(db);
    const ran r = runProgram(builtProgram("vq_records"), {"--db", db, "--format", "json"});
    QCOMPARE(r.code, exitCode);
    QVERIFY2(said.isEmpty() ? r.err.isEmpty() : r.err.contains(said), qPrintable(r.err));
    if (file == "locked") {
        QCOMPARE(QJsonDocument::fromJson(r.out).array().size(), 1);
        QSqlQuery(*holder).exec("ROLLBACK");
        holder->close();
        holder.reset();
        QSqlDatabase::removeDatabase("holder");
    } else {
        QCOMPARE(readFile(db), before);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"production.db"});
    }
}

void tst_records::orderTally_data()
{
    QTest::addColumn<bool>("serverUp");
    QTest::addColumn<int>("good");
    QTest::addColumn<QString>("note");
    // This line's 2 good chips are on the server too: counted once.
    QTest::newRow("the other line's chips from the server") << true << 5 << "";
    QTest::newRow("server away: this line's own") << false << 2 << "记录服务器不可达";
}

// An order's good chips: the line's file, and the other lines' rows on the
// factory's server.
void tst_records::orderTally()
{
    QFETCH(bool, serverUp);
    QFETCH(int, good);
    QFETCH(QString, note);
    qputenv("PGPASSWORD", PgServer::kPassword);
    QTemporaryDir dir;
    const QString order = QStringLiteral("WO-T%1").arg(serverUp);
    recordServer factory;
    QString error;
    QVERIFY(readRecordServer(serverConfig, &factory, &error));
    // Line A made 2 good and 2 failed; line B, another PC, 3 good of the
    // order, 2 failed and one of another order.
    for (const char *host : {"A", "B"}) {
        recordStoreOptions o;
        o.databasePath = dir.filePath(QStringLiteral("%1.db").arg(QLatin1String(host)));
        o.server = factory;
        recordStore store(o);
        for (int n = 0; n < (host == QLatin1String("A") ? 4 : 7); ++n) {
            productionRow r = madeUpRow(n);
            r.host = QLatin1String(host);
            r.order = n == 6 ? QStringLiteral("WO-OTHER") : order;
            store.append(r);
        }
        QVERIFY(store.flushUpload(kRunMs));
    }
    if (!serverUp)
        factory.port = 1;
    ::orderTally tally;
    QVERIFY2(tallyOrder(dir.filePath("A.db"), factory, order, "A", &tally, &error), qPrintable(error));
    QCOMPARE(tally.good, qint64(good));
    QVERIFY2(note.isEmpty() ? tally.note.isEmpty() : tally.note.contains(note), qPrintable(tally.note));
}

QTEST_GUILESS_MAIN(tst_records)
#include "tst_records.moc"

void tst_records::exitStatus_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("rows");
    QTest::newRow("database locked longer than a write waits") << "locked" << 0 << 1;
    QTest::newRow("disk full, freed before the end") << "full, freed" << 0 << 1;
    QTest::newRow("disk still full when the operator stops waiting") << "full" << 1 << 0;
}

// vq_flash's exit status is the end state: every row written in the end
// gives 0, whatever went wrong on the way; a row the disk never took is
// printed on standard error, not dropped, and gives 1.
void tst_records::exitStatus()
{
    QFETCH(QString, fault);
    QFETCH(int, exitCode);
    QFETCH(int, rows);
    QTemporaryDir dir;
    QString folder = dir.path();
    std::unique_ptr<smallDisk> disk;
    if (fault.startsWith("full")) {
        disk = std::make_unique<smallDisk>(dir.filePath("disk"));
        if (!disk->ok())
            QSKIP("a full disk needs root, to mount a small tmpfs");
        QVERIFY(disk->fill());
        folder = dir.filePath("disk");
    }
    const QString db = folder + "/production.db";
    std::unique_ptr<QSqlDatabase> holder;
    if (fault == "locked") {
        holder = std::make_unique<QSqlDatabase>(QSqlDatabase::addDatabase("QSQLITE", "exit-holder"));
        holder->setDatabaseName(db);
        QVERIFY(holder->open());
        QVERIFY(QSqlQuery(*holder).exec("BEGIN EXCLUSIVE"));
    }
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    Flash run({"--port", sim.portPath(), "--json", "--db", db, image("exit.bin", randomBytes(6000, 53)) + "@0x1000"});
    QTRY_COMPARE_WITH_TIMEOUT(run.events("result").size(), 1, kRunMs);
    const QString uid = run.events("result").first().value("uid").toString();
    // The store has met the fault (a lock outlasts its wait of 10 s).
    QTRY_VERIFY_WITH_TIMEOUT(run.stderrSoFar().contains("vq_flash: "), kRunMs);
    if (holder) {
        QSqlQuery(*holder).exec("ROLLBACK");
        holder->close();
        holder.reset();
        QSqlDatabase::removeDatabase("exit-holder");
    } else if (fault == "full, freed") {
        QVERIFY(disk->free());
    } else {
        QVERIFY(run.signal(SIGINT));
    }
    const int status = run.finish();
    QVERIFY2(status == exitCode, qPrintable(run.err));
    QCOMPARE(rowsIn(db).size(), rows);
    QCOMPARE(run.err.contains("\"uid\":\"" + uid + "\""), rows == 0);
}
