// The statistics window's day view over a million production rows, on the
// line's SQLite file and on the factory's PostgreSQL server.
#include "statisticsbench.h"

#include "recordsql.h"
#include "shiftrows.h"
#include "statisticswindow.h"
#include "testutil.h"

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {
// Four lines of 32 stations, nine hours at a chip a minute: 69,120 rows a
// day, so a million rows are a fortnight of a large factory.
shiftPlan planOf(const QDate &day)
{
    shiftPlan plan;
    plan.day = day;
    plan.lines = QStringList{QStringLiteral("LINE-A"), QStringLiteral("LINE-B"), QStringLiteral("LINE-C"),
                             QStringLiteral("LINE-D")};
    plan.stations = 32;
    plan.seed = static_cast<quint32>(day.toJulianDay());
    return plan;
}

constexpr int kRowsPerDay = 4 * 32 * 9 * 60;
// Server rows go in batches, as the uploader sends them.
constexpr int kServerBatch = 500;

enum class store { line, server };

// Fills days ending with `last` until `rows` rows are in; returns a UID of
// the last day. A line commits a row at a time, as its writer does; the
// server takes them in batches, as its uploader sends them.
bool fill(QSqlDatabase &db, store where, qint64 rows, const QDate &last, QString *uid, QString *error)
{
    const int days = static_cast<int>((rows + kRowsPerDay - 1) / kRowsPerDay);
    qint64 written = 0;
    bool ok = true;
    QVector<productionRow> batch;
    const auto flush = [&] {
        ok = ok && db.transaction() && insertRows(db, batch, error) && db.commit();
        batch.clear();
    };
    // The shown day first: it is whole whatever the count.
    for (int d = 0; d < days && ok; ++d) {
        forEachShiftRow(planOf(last.addDays(-d)), [&](const productionRow &r) {
            if (!ok || written >= rows)
                return;
            ++written;
            if (d == 0 && uid->isEmpty())
                *uid = r.uid;
            if (where == store::line) {
                ok = insertRow(db, r, error);
                return;
            }
            batch.append(r);
            if (batch.size() == kServerBatch)
                flush();
        });
    }
    if (where == store::server && !batch.isEmpty())
        flush();
    return ok;
}

bool pumpUntil(const std::function<bool()> &done, int limitMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(1, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

struct viewTimes {
    double open = -1, line = -1, search = -1;
    QString error;
};

// One window: construction to the last day shown, one line chosen, a search.
viewTimes timeView(const QString &database, const recordServer &server, const QDate &day, const QString &uid)
{
    viewTimes t;
    QElapsedTimer clock;
    clock.start();
    statisticsWindow w(database, server);
    int shown = 0, found = 0;
    QObject::connect(&w, &statisticsWindow::dayShown, [&] { ++shown; });
    QObject::connect(&w, &statisticsWindow::searchShown, [&] { ++found; });
    // The window opens on today; the benchmark's day is the last one filled.
    w.findChild<QDateEdit *>(QStringLiteral("deDay"))->setDate(day);
    w.show();
    if (!pumpUntil([&] { return shown >= 1; }, 600000))
        return t;
    t.open = clock.nsecsElapsed() / 1e9;
    const QString status = w.findChild<QLabel *>(QStringLiteral("labelStatus"))->text();
    if (status.contains(QStringLiteral("无法")) || status.contains(QStringLiteral("失败")))
        t.error = status;

    auto *lines = w.findChild<QComboBox *>(QStringLiteral("cbLine"));
    lines->setCurrentIndex(std::min(1, lines->count() - 1));
    clock.restart();
    w.findChild<QPushButton *>(QStringLiteral("pbnRefresh"))->click();
    if (pumpUntil([&] { return shown >= 2; }, 600000))
        t.line = clock.nsecsElapsed() / 1e9;

    w.findChild<QLineEdit *>(QStringLiteral("leSearch"))->setText(uid);
    clock.restart();
    w.findChild<QPushButton *>(QStringLiteral("pbnSearch"))->click();
    if (pumpUntil([&] { return found >= 1; }, 600000))
        t.search = clock.nsecsElapsed() / 1e9;
    return t;
}

void report(const char *store, qint64 rows, double fillSeconds, const std::vector<viewTimes> &runs)
{
    std::vector<double> open, line, search;
    for (const viewTimes &t : runs) {
        open.push_back(t.open);
        line.push_back(t.line);
        search.push_back(t.search);
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    printf("records statistics %s: %lld rows (filled in %.1f s), day of %d rows: window to day shown %.3f s first, "
           "%.3f s median of %zu; one line %.3f s; UID search %.3f s%s%s\n",
           store, static_cast<long long>(rows), fillSeconds, static_cast<int>(std::min<qint64>(rows, kRowsPerDay)),
           runs.front().open, median(open),
           runs.size(), median(line), median(search), runs.front().error.isEmpty() ? "" : ", error: ",
           qPrintable(runs.front().error));
}

int rowsOf(const QStringList &args)
{
    const int i = args.indexOf(QStringLiteral("--view-rows"));
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1).toInt() : 1000000;
}
} // namespace

bool writeShiftDatabase(const QString &path, QString *error)
{
    // Filled in memory where it can be (a transaction per row), then copied.
    QTemporaryDir tmp(QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/vq_bench_XXXXXX")
                                                                 : QDir::tempPath() + QStringLiteral("/vq_bench_XXXXXX"));
    const QString filled = tmp.filePath(QStringLiteral("production.db"));
    bool ok;
    {
        QSqlDatabase db;
        QString uid;
        ok = openLocalDatabase(filled, QStringLiteral("shift"), true, &db, error)
             && fill(db, store::line, kRowsPerDay, QDate::currentDate(), &uid, error);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("shift"));
    QDir().mkpath(QFileInfo(path).absolutePath());
    return ok && QFile::copy(filled, path);
}

int benchStatisticsView(const QStringList &args)
{
    const qint64 rows = rowsOf(args);
    const QDate last = QDate::currentDate().addDays(-1);
    // The filling commits a transaction per row, as a line does; on a disk
    // that is an fsync each, hours for a million. Memory-backed when the
    // machine has it: the day view reads from the page cache either way.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/vq_bench_XXXXXX")
                                                                    : QString();
    QTemporaryDir tmp(base.isEmpty() ? QDir::tempPath() + QStringLiteral("/vq_bench_XXXXXX") : base);
    const QString path = tmp.filePath(QStringLiteral("production.db"));
    QString uid, error;
    QElapsedTimer clock;
    clock.start();
    bool ok;
    {
        QSqlDatabase db;
        ok = openLocalDatabase(path, QStringLiteral("fill"), true, &db, &error)
             && fill(db, store::line, rows, last, &uid, &error);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    if (!ok) {
        fprintf(stderr, "filling %s failed: %s\n", qPrintable(path), qPrintable(error));
        return 1;
    }
    const double fillSeconds = clock.nsecsElapsed() / 1e9;
    std::vector<viewTimes> runs;
    for (int i = 0; i < 3; ++i)
        runs.push_back(timeView(path, recordServer(), last, uid));
    report("sqlite", rows, fillSeconds, runs);
    fflush(stdout);

    if (args.contains(QStringLiteral("--no-server")))
        return 0;
    return benchStatisticsViewServer(args);
}

int benchStatisticsViewServer(const QStringList &args)
{
    const qint64 rows = rowsOf(args);
    const QDate last = QDate::currentDate().addDays(-1);
    // A throw-away server on a free loopback port, the records suite's own.
    PgServer pg;
    if (!pg.ok()) {
        printf("records statistics postgresql: no server: %s\n", qPrintable(pg.error()));
        return 1;
    }
    qputenv("PGPASSWORD", PgServer::kPassword);
    recordServer server;
    server.host = QStringLiteral("127.0.0.1");
    server.port = pg.port();
    server.database = QLatin1String(PgServer::kDatabase);
    server.user = QLatin1String(PgServer::kUser);
    QString uid, error;
    QElapsedTimer clock;
    clock.start();
    bool ok;
    {
        QSqlDatabase db;
        int version = 0;
        ok = openServerDatabase(server, QStringLiteral("fill"), true, &db, &version, &error)
             && fill(db, store::server, rows, last, &uid, &error);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    if (!ok) {
        fprintf(stderr, "filling the server failed: %s\n", qPrintable(error));
        return 1;
    }
    const double fillSeconds = clock.nsecsElapsed() / 1e9;
    std::vector<viewTimes> runs;
    for (int i = 0; i < 3; ++i)
        runs.push_back(timeView(QStringLiteral("/nonexistent/production.db"), server, last, uid));
    report("postgresql", rows, fillSeconds, runs);
    return 0;
}
