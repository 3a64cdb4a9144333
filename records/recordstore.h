#pragma once
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QVector>
#include <atomic>
#include <cstdint>
#include <memory>

#include "firmwareimage.h"

struct chipRecord;
class QThread;

// One chip as the production database keeps it. The same columns live in
// the line's SQLite file and in the factory's PostgreSQL database; the
// UUID names a row in both, so sending a row twice stores it once.
struct productionRow {
    QString id;              // UUID without braces
    qint64 timeMs = 0;       // UTC, milliseconds since the epoch
    int utcOffset = 0;       // seconds east of UTC where the chip was made
    QString host;
    QString line;            // settings key "line_name", default the host name
    int station = 0;         // from 1
    QString port;
    QString model;
    QString flashId;
    QString uid;
    QString operation;       // "download" or "erase"
    bool ok = false;         // what the counters counted; code 0 alone does not say it
    uint32_t code = 0;
    QString text;
    uint32_t firstCode = 0;  // the first attempt's code when a retry followed
    double seconds = 0.0;
    qint64 bytes = 0;
    uint32_t baud = 0;
    bool highSpeed = false;
    QString toolVersion;
    QVector<imageFacts> images;

    QDateTime localTime() const;
};

// Where a line's rows come from: the parts of a row that are not the chip's.
struct recordOrigin {
    QString host;
    QString line;
    QString toolVersion;
};
recordOrigin defaultOrigin();

// Makes the row of a counted chip: a fresh UUID, the chip's time in UTC
// with its offset.
productionRow rowOf(const chipRecord &record, int station, bool ok, const recordOrigin &origin);

// The factory's PostgreSQL server, from a small JSON file (see
// recordServerConfigPath). The password is never here: libpq takes it from
// PGPASSWORD or a .pgpass file.
struct recordServer {
    QString host;
    int port = 5432;
    QString database;
    QString user;
    bool valid() const { return !host.isEmpty() && !database.isEmpty(); }
};
QString recordServerConfigPath();  // configDir()/records.json
// false with a Chinese reason when the file exists but cannot be used; a
// missing file is a line without a server (true, server not valid).
bool readRecordServer(const QString &path, recordServer *server, QString *error);

// What the window's status line and vq_flash's summary show.
struct syncState {
    bool serverConfigured = false;
    qint64 waiting = 0;      // rows in the local database not yet on the server
    bool serverReachable = false;
    bool localFailing = false;  // the last local write failed; rows wait in memory
    QString text() const;    // "记录：已同步", "记录：待上传 N 条", ...
};

struct recordStoreOptions {
    QString databasePath = QStringLiteral("log/production.db");
    // The CSV beside the database: a fixed file, or one per local day in a
    // folder ("yyyy-MM-dd.csv"); both empty: no CSV.
    QString csvPath;
    QString csvDailyFolder;
    recordServer server;     // not valid: no uploads
};

// The one way a front end records a chip. append() never waits: the row
// goes to a writer thread that commits it to SQLite (WAL, one transaction
// per row) and adds its CSV line; an uploader thread sends unsent rows to
// the server in order, marking them sent, with backoff while it is away.
class recordStore : public QObject
{
    Q_OBJECT

public:
    explicit recordStore(const recordStoreOptions &options, QObject *parent = nullptr);
    // Writes every appended row locally before returning; unsent rows stay
    // in the database for the next start.
    ~recordStore() override;

    void append(const productionRow &row);
    syncState state() const;
    // Waits until every appended row is committed locally (true), or the
    // time is up. For exits and tests; a front end's timer never calls it.
    bool flushLocal(int timeoutMs);
    // Waits until nothing waits for the server, or the time is up.
    bool flushUpload(int timeoutMs);

signals:
    // A Chinese line for the log: a write that failed (local), a server
    // that cannot be used. Each different problem is said once, until it
    // clears.
    void problem(const QString &text, bool local);
    void stateChanged();

private:
    void kickUpload();

    class writer;
    class uploader;
    std::unique_ptr<QThread> writeThread;
    std::unique_ptr<QThread> uploadThread;
    writer *w = nullptr;
    uploader *u = nullptr;
    std::atomic<qint64> appended{0};
    std::atomic<qint64> committed{0};
    std::atomic<qint64> waiting{0};
    // The uploader has looked at the line's database at least once.
    std::atomic<bool> counted{false};
    std::atomic<bool> reachable{false};
    std::atomic<bool> localFailing{false};
    bool hasServer = false;
};

// Which rows a search or a summary covers; empty fields do not filter.
struct recordFilter {
    QString uid;
    QString flashId;
    QString line;
    QString sha256;          // of any image of the row
    int station = 0;         // 0: every station
    qint64 fromMs = 0;       // UTC, inclusive; 0: no lower bound
    qint64 toMs = 0;         // UTC, exclusive; 0: no upper bound
    enum class result { any, good, failed } outcome = result::any;
    int limit = 0;           // newest first; 0: every row
};

struct hourCount {
    qint64 hourMs = 0;       // start of the UTC hour
    qint64 good = 0;
    qint64 failed = 0;
};
struct failureCount {
    uint32_t code = 0;
    QString text;
    qint64 count = 0;
};
struct stationCount {
    QString line;
    int station = 0;
    qint64 good = 0;
    qint64 failed = 0;
};
struct recordSummary {
    QVector<hourCount> hours;           // oldest first
    QVector<failureCount> failures;     // most frequent first
    QVector<stationCount> stations;     // by line, then station
};

// Reads rows back, from a line's SQLite file or the factory's server. One
// object per thread; a statistics window keeps its own.
class recordQuery
{
public:
    ~recordQuery();
    static std::unique_ptr<recordQuery> openLocal(const QString &databasePath, QString *error);
    static std::unique_ptr<recordQuery> openServer(const recordServer &server, QString *error);

    bool find(const recordFilter &filter, QVector<productionRow> *rows, QString *error);
    bool summary(const recordFilter &filter, recordSummary *summary, QString *error);

private:
    explicit recordQuery(const QString &connection);
    QString connection;
};
