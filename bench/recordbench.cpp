#include "recordbench.h"

#include "benchutil.h"
#include "recordstore.h"
#include "testutil.h"
#include "tranthread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {
// The filled rows span 30 days from here (2026-12-01 UTC).
constexpr qint64 kFillStartMs = 1796083200000;
constexpr qint64 kDayMs = 86400000;
// The factory window's progress poll, and its largest line.
constexpr int kPollMs = 50;
constexpr int kStations = 32;
constexpr int kPolls = 200;

double percentileOf(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

productionRow chip(int n)
{
    chipRecord c;
    c.finished = QDateTime::currentDateTime();
    c.portName = QStringLiteral("ttyUSB%1").arg(n % kStations);
    c.model = QStringLiteral("VQ571M");
    c.flashId = QStringLiteral("c8401600");
    c.flashUid = QStringLiteral("0x%1").arg(n, 32, 16, QLatin1Char('0'));
    c.code = n % 20 ? 0 : 0x409f1;
    c.text = n % 20 ? QStringLiteral("下载成功") : QStringLiteral("烧录Flash过程出错");
    c.images = {{QStringLiteral("app.bin"), 1048576, 0x10000,
                 "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"}};
    return rowOf(c, n % kStations + 1, n % 20 != 0, defaultOrigin());
}

// Fills a database with n rows in one statement: 30 days, 32 stations on 4
// lines, one chip in 20 failing with one of three codes.
bool fill(QSqlDatabase &db, bool server, int n, QString *error)
{
    const QString sqlite = QStringLiteral(
        "WITH RECURSIVE k(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM k WHERE n + 1 < %1)"
        " INSERT INTO records (id, time_ms, utc_offset, host, line, station, port, model, flash_id, uid, operation,"
        " ok, code, text, first_code, seconds, bytes, baud, high_speed, tool_version, sent)"
        " SELECT printf('%08x-0000-4000-8000-%012x', n, n), 1796083200000 + n * (2592000000 / %1), 28800,"
        " 'pc' || (n % 4), 'line' || (n % 4), n % 32 + 1, 'ttyUSB' || (n % 32), 'VQ571M', 'c8401600',"
        " printf('0x%032x', n), 'download', n % 20 != 0, CASE WHEN n % 20 = 0 THEN 264688 + n % 3 ELSE 0 END,"
        " CASE WHEN n % 20 = 0 THEN 'failed' ELSE 'ok' END, 0, 9.5, 1048576, 2000000, 0, 'v3.0.2', 1 FROM k");
    const QString postgres = QStringLiteral(
        "INSERT INTO records (id, time_ms, utc_offset, host, line, station, port, model, flash_id, uid, operation,"
        " ok, code, text, first_code, seconds, bytes, baud, high_speed, tool_version)"
        " SELECT md5(n::text)::uuid, 1796083200000 + n * (2592000000 / %1), 28800,"
        " 'pc' || (n % 4), 'line' || (n % 4), n % 32 + 1, 'ttyUSB' || (n % 32), 'VQ571M', 'c8401600',"
        " lpad(to_hex(n), 32, '0'), 'download', (n % 20 != 0)::int, CASE WHEN n % 20 = 0 THEN 264688 + n % 3 ELSE 0 END,"
        " CASE WHEN n % 20 = 0 THEN 'failed' ELSE 'ok' END, 0, 9.5, 1048576, 2000000, 0, 'v3.0.2'"
        " FROM generate_series(0, %1 - 1) AS n");
    QSqlQuery q(db);
    if (!q.exec((server ? postgres : sqlite).arg(n)) || (server && !q.exec(QStringLiteral("VACUUM ANALYZE records")))) {
        *error = q.lastError().text();
        return false;
    }
    return true;
}

double summaryMs(recordQuery *query, const recordFilter &filter, QString *error)
{
    if (!query)
        return -1;
    recordSummary s;
    // The first answer warms the caches, as any second look at a screen
    // would; the figure is the median of the next three.
    std::vector<double> ms;
    for (int round = 0; round < 4; ++round) {
        QElapsedTimer t;
        t.start();
        if (!query->summary(filter, &s, error))
            return -1;
        if (round > 0)
            ms.push_back(t.nsecsElapsed() / 1e6);
    }
    return percentileOf(ms, 0.5);
}

// One line's day of the filled database: the statistics window's and the
// README's `--summary --line L --from ...`.
recordFilter lineDay()
{
    recordFilter f;
    f.line = QStringLiteral("line1");
    f.fromMs = kFillStartMs + 10 * kDayMs;
    f.toMs = *f.fromMs + kDayMs;
    return f;
}

struct searchRun {
    double firstByteMs = -1;
    double seconds = 0;
    long peakRssKiB = 0;
    qint64 bytes = 0;
    int exitStatus = -1;
};

// vq_records to its end, its output read through a pipe as a reader would:
// when the first byte came, how much came, and (wait4) the child's peak
// resident memory.
bool runSearch(const QStringList &args, searchRun *r)
{
    std::vector<QByteArray> storage;
    std::vector<char *> argv = programArgv("vq_records", args, storage);
    int out[2];
    if (pipe(out) != 0)
        return false;
    QElapsedTimer clock;
    clock.start();
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(out[1]);
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        if (r->bytes == 0)
            r->firstByteMs = clock.nsecsElapsed() / 1e6;
        r->bytes += n;
    }
    ::close(out[0]);
    int status = 0;
    rusage ru{};
    if (wait4(pid, &status, 0, &ru) != pid)
        return false;
    r->seconds = clock.nsecsElapsed() / 1e9;
    r->peakRssKiB = ru.ru_maxrss;
    r->exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}
} // namespace

int benchRecords(int rows, int summaryRows)
{
    QTemporaryDir dir;
    recordStoreOptions local;
    local.databasePath = dir.filePath(QStringLiteral("log/production.db"));
    local.csvDailyFolder = dir.filePath(QStringLiteral("log"));

    // 32 stations report in one poll, every poll: the time the poll spends
    // handing the rows over, and how late the next poll fires.
    {
        recordStore store(local);
        std::vector<double> appendMs, lateMs;
        QElapsedTimer since;
        QTimer poll;
        int polls = 0, n = 0;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (polls > 0)
                lateMs.push_back(std::max(0.0, since.nsecsElapsed() / 1e6 - kPollMs));
            since.start();
            QElapsedTimer t;
            t.start();
            for (int s = 0; s < kStations; ++s)
                store.append(chip(n++));
            appendMs.push_back(t.nsecsElapsed() / 1e6);
            if (++polls == kPolls)
                QCoreApplication::quit();
        });
        poll.start(kPollMs);
        QCoreApplication::exec();
        QElapsedTimer drain;
        drain.start();
        store.flushLocal(600000);
        printf("records-poll: %d stations finishing in every 50 ms poll, %d polls: hand-over p50 %.3f ms p99 %.3f ms "
               "max %.3f ms, poll late p50 %.2f ms p99 %.2f ms max %.2f ms, writer behind by %.0f ms at the end\n",
               kStations, kPolls, percentileOf(appendMs, 0.5), percentileOf(appendMs, 0.99),
               *std::max_element(appendMs.begin(), appendMs.end()), percentileOf(lateMs, 0.5),
               percentileOf(lateMs, 0.99), *std::max_element(lateMs.begin(), lateMs.end()), drain.nsecsElapsed() / 1e6);
    }

    // Rows per second into SQLite: one transaction per row, synchronous.
    local.databasePath = dir.filePath(QStringLiteral("rate.db"));
    local.csvDailyFolder.clear();
    {
        recordStore store(local);
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < rows; ++i)
            store.append(chip(i));
        store.flushLocal(3600000);
        printf("records-sqlite: %d rows in %.2f s, %.0f rows/s (one transaction each, synchronous=FULL)\n", rows,
               t.nsecsElapsed() / 1e9, rows / (t.nsecsElapsed() / 1e9));
    }

    PgServer server;
    if (!server.ok()) {
        fprintf(stderr, "vq_bench records: %s\n", qPrintable(server.error()));
        return 1;
    }
    qputenv("PGPASSWORD", PgServer::kPassword);
    const QString config = dir.filePath(QStringLiteral("records.json"));
    writeFile(config, server.config());
    recordStoreOptions uploading = local;
    QString error;
    readRecordServer(config, &uploading.server, &error);
    {
        // The rows of the run above wait unsent; the uploader starts on them.
        QElapsedTimer t;
        t.start();
        recordStore store(uploading);
        store.flushUpload(3600000);
        printf("records-upload: %d rows to PostgreSQL on 127.0.0.1 in %.2f s, %.0f rows/s\n", rows,
               t.nsecsElapsed() / 1e9, rows / (t.nsecsElapsed() / 1e9));
    }

    const QString big = dir.filePath(QStringLiteral("big.db"));
    {
        // The store's own schema, then a million rows straight in.
        recordStoreOptions o;
        o.databasePath = big;
        recordStore store(o);
        store.append(chip(-1));
        store.flushLocal(60000);
    }
    bool filled;
    QSqlDatabase filling = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fill"));
    filling.setDatabaseName(big);
    filled = filling.open() && fill(filling, false, summaryRows, &error);
    std::unique_ptr<recordQuery> reader = filled ? recordQuery::openLocal(big, &error) : nullptr;
    // A line's file has no planner statistics: the index has to fit without.
    const double sqliteLineDayMs = summaryMs(reader.get(), lineDay(), &error);
    QSqlQuery(filling).exec(QStringLiteral("ANALYZE"));
    const double sqliteMs = summaryMs(reader.get(), recordFilter(), &error);
    reader.reset();
    filling.close();
    filling = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("fillpg"));
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(server.port());
        db.setDatabaseName(QLatin1String(PgServer::kDatabase));
        db.setUserName(QLatin1String(PgServer::kUser));
        filled = db.open() && fill(db, true, summaryRows, &error);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fillpg"));
    std::unique_ptr<recordQuery> remote = filled ? recordQuery::openServer(uploading.server, &error) : nullptr;
    const double serverMs = summaryMs(remote.get(), recordFilter(), &error);
    const double serverLineDayMs = summaryMs(remote.get(), lineDay(), &error);
    remote.reset();
    printf("records-summary: --summary over %d rows: SQLite %.0f ms, PostgreSQL %.0f ms\n", summaryRows, sqliteMs,
           serverMs);
    printf("records-summary-line-day: --summary --line L --from/--to one day over %d rows: SQLite %.1f ms, "
           "PostgreSQL %.1f ms\n",
           summaryRows, sqliteLineDayMs, serverLineDayMs);
    fflush(stdout);
    bool exported = true;
    for (const char *format : {"json", "csv", "table"}) {
        searchRun r;
        exported = runSearch({QStringLiteral("--db"), big, QStringLiteral("--format"), QLatin1String(format)}, &r)
            && r.exitStatus == 0 && exported;
        printf("records-export: vq_records --format %s over %d rows: first byte after %.0f ms, all in %.1f s, "
               "%.0f MB written, peak resident %.1f MiB\n",
               format, summaryRows, r.firstByteMs, r.seconds, r.bytes / 1e6, r.peakRssKiB / 1024.0);
        fflush(stdout);
    }
    const bool failed = sqliteMs < 0 || serverMs < 0 || sqliteLineDayMs < 0 || serverLineDayMs < 0 || !exported;
    if (failed)
        fprintf(stderr, "vq_bench records: %s\n", qPrintable(error));
    return failed ? 1 : 0;
}
