#pragma once
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QVector>
#include <QJsonObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "firmwareimage.h"

struct chipRecord;
class QSqlDatabase;
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
    // How the chip was made. Rows of older tools leave these empty, 0 or
    // unset: not recorded, which is not "off".
    QString fastLoad;        // "off", "used", or "fell-back" (RAM code at 115200)
    QString ramCodeFile;
    QByteArray ramCodeSha256;
    qint64 flashSize = 0;    // as the chip reported it
    QString romBuild;        // the boot ROM's own version line
    uint32_t imageBaud = 0;  // the speed the images really went at; 0: none sent
    std::optional<bool> eraseBeforeWrite;
    std::optional<bool> boot;
    std::optional<bool> reset;
    std::optional<bool> dsrMode;
    // The USB socket the port was plugged into (its name under
    // /dev/serial/by-path), which stays when port numbers change; empty
    // when unknown or in rows older than the column.
    QString socket;
    // The chip's own value where one went to it (empty: none, or a row of
    // an older tool): hex bytes in flash order, and a counter's number in
    // decimal (empty for a list value).
    QString serial;
    QString serialNumber;
    // The production order the chip was made for ('' in rows of no order,
    // and in rows older than the columns), who ran it, the SHA-256 of the
    // order file and the order's quantity (0: no limit).
    QString order;
    QString operatorName;
    QByteArray orderSha256;
    qint64 orderQuantity = 0;

    QDateTime localTime() const;
    // Neither good nor failed: a run the operator or the program stopped
    // (the stop's transfer code 0xE8), counted apart and out of the yield.
    bool stopped() const { return !ok && (code & 0xFF) == 0xE8; }
    bool isErase() const { return operation == QLatin1String("erase"); }
};

// The row as vq_records --format json shows it, and as a front end writes
// rows it could not store, so that they can be read back (rowFromJson).
QJsonObject rowToJson(const productionRow &row);
bool rowFromJson(const QJsonObject &object, productionRow *row);

// Where a line's rows come from: the parts of a row that are not the chip's.
struct recordOrigin {
    QString host;
    QString line;
    QString toolVersion;
    // The production order the chips are made for (empty: none), who ran
    // it, the order file's SHA-256 and its quantity (0: no limit).
    QString order = QString();
    QString operatorName = QString();
    QByteArray orderSha256 = QByteArray();
    qint64 orderQuantity = 0;
};
recordOrigin defaultOrigin();

// Makes the row of a counted chip: a fresh UUID, the chip's time in UTC
// with its offset.
productionRow rowOf(const chipRecord &record, int station, bool ok, const recordOrigin &origin);

// Where a line keeps its log/ (the production database, the daily log and
// the CSV): log/ in the programs' folder (the window works there), or, when
// that cannot be written (a read-only installation run by an ordinary user),
// log/ in the user's data folder. The window, vq_flash and vq_records find
// one line's records alike.
struct lineLogFolder {
    QString path;  // absolute
    QString note;  // when the user's folder is used: a Chinese line saying so, for the log once
};
// programFolder empty: QCoreApplication::applicationDirPath().
lineLogFolder lineLogFolderOf(const QString &programFolder = QString());

// The factory's PostgreSQL server, from a small JSON file (see
// recordServerConfigPath). The password is never here: libpq takes it from
// PGPASSWORD or a .pgpass file.
struct recordServer {
    QString host;
    int port = 5432;
    QString database;
    QString user;
    // Serial values a line takes from the server at a time ("serialLease",
    // optional): enough for a line to go on for a while when the server is
    // away, few enough that a line that stops leaves few unused.
    int serialLease = 32;
    bool valid() const { return !host.isEmpty() && !database.isEmpty(); }
};
QString recordServerConfigPath();  // configDir()/records.json
// false with a Chinese reason, naming the field, when the file exists but
// cannot be used (all four keys are needed, the port as a number, and
// "serialLease", when given, a number from 1 to 100000); a missing file is
// a line without a server (true, server not valid).
bool readRecordServer(const QString &path, recordServer *server, QString *error);

// What the window's status line and vq_flash's summary show.
struct syncState {
    // The way to the server as the uploader last found it.
    enum class link { none, notTried, reachable, unreachable, refused };
    link server = link::none;
    bool serverConfigured = false;  // server != none
    // Rows in the line's database not yet on the server, plus rows not yet
    // written; -1 while the count is unknown (not read yet, or unreadable).
    qint64 waiting = 0;
    bool localFailing = false;  // the last local write failed; rows wait in memory
    QString text() const;    // "记录：已同步", "记录：待上传 N 条", ...
};

struct recordStoreOptions {
    // Empty: the line's own database, log/production.db in lineLogFolderOf().
    QString databasePath;
    // The CSV beside the database: a fixed file, or one per local day in a
    // folder ("yyyy-MM-dd.csv"); both empty: no CSV.
    QString csvPath;
    QString csvDailyFolder;
    recordServer server;     // not valid: no uploads
};

// The database a store with these options writes to.
QString recordStorePath(const recordStoreOptions &options);

// The one way a front end records a chip. append() never waits: the row
// goes to a writer thread that commits it to SQLite (WAL, one transaction
// per row) and adds its CSV line; an uploader thread sends unsent rows to
// the server in order, marking them sent, with backoff while it is away.
// Before each transaction the writer checks that the path still names the
// file it has open: a database deleted or replaced under it is said once,
// and the rows the old file holds are copied into the file now at the path
// (a new one where there is none); the uploader follows.
class recordStore : public QObject
{
    Q_OBJECT

public:
    explicit recordStore(const recordStoreOptions &options, QObject *parent = nullptr);
    // Gives every appended row its tries until then; rows still unwritten
    // are lost, so a front end asks flushLocal and unwrittenRows first.
    // Unsent rows stay in the database for the next start.
    ~recordStore() override;

    void append(const productionRow &row);
    syncState state() const;
    QString databasePath() const { return path; }
    // Waits until every appended row is committed locally (true), or the
    // time is up (false), trying a disk that refuses them again and again
    // meanwhile. For exits and tests; a front end's timer never calls it.
    bool flushLocal(int timeoutMs);
    // The rows appended but not committed to the database yet, oldest first.
    // Call it on the store's thread; after a flushLocal that failed, these
    // are the rows a front end must not let go of.
    QVector<productionRow> unwrittenRows() const;
    // Waits until nothing waits for the server, or the time is up.
    bool flushUpload(int timeoutMs);

signals:
    // A Chinese line for the log: a write that failed (local), a server
    // that cannot be used, a database that was replaced, the user's folder
    // taking the place of the programs'. Each different problem is said
    // once, until it clears.
    void problem(const QString &text, bool local);
    void stateChanged();

private:
    void kickUpload();

    class writer;
    class uploader;
    QString folderNote;
    const QString path;
    std::unique_ptr<QThread> writeThread;
    std::unique_ptr<QThread> uploadThread;
    writer *w = nullptr;
    uploader *u = nullptr;
    // Appended rows, of which the writer has not committed the newest
    // appended - committed; the store's thread only.
    QList<productionRow> unwritten;
    std::atomic<qint64> appended{0};
    std::atomic<qint64> committed{0};
    // -1: unknown (see syncState::waiting).
    std::atomic<qint64> waiting{0};
    // The file the writer uses (its fileIdentity; 0: none yet). The
    // uploader reads only that file, and gives up its connection to one the
    // writer has left.
    std::atomic<quint64> adoptedFile{0};
    std::atomic<int> serverLink{0};  // a syncState::link
    std::atomic<bool> localFailing{false};
    bool hasServer = false;
};

// Which rows a search or a summary covers; empty fields do not filter.
struct recordFilter {
    QString uid;
    QString flashId;
    QString line;
    QString sha256;          // of any image of the row
    // The chip's own value as typed: hex bytes (separators allowed) or a
    // counter's number (decimal or 0x hex).
    QString serial;
    int station = 0;         // 0: every station
    std::optional<qint64> fromMs;  // UTC, inclusive
    std::optional<qint64> toMs;    // UTC, exclusive
    // good and failed as a summary counts them: stopped runs and erases are neither.
    enum class result { any, good, failed } outcome = result::any;
    int limit = 0;           // newest first; 0: every row
    QString order;           // one production order
    QString notHost;         // rows of every host but this one
};

// The chips of a summary's hour or station: good and failed are the counted
// downloads, the only ones in the yield; a stopped run and an erase are
// neither and are counted apart.
struct chipCounts {
    qint64 good = 0;
    qint64 failed = 0;
    qint64 stopped = 0;
    qint64 erased = 0;
};
struct hourCount : chipCounts {
    qint64 hourMs = 0;       // start of the UTC hour
};
struct failureCount {
    uint32_t code = 0;
    QString text;
    qint64 count = 0;
};
struct stationCount : chipCounts {
    QString line;
    int station = 0;
};
struct orderCount : chipCounts {
    QString order;
    qint64 quantity = 0;     // the largest its rows name; 0: no limit
};
struct recordSummary {
    QVector<hourCount> hours;           // oldest first
    QVector<failureCount> failures;     // most frequent first; failed downloads only
    QVector<stationCount> stations;     // by line, then station
    // Serial values settled over the same lines, stations, times and chip:
    // used (in a good chip) and void (perhaps in a failed or stopped one).
    qint64 serialsUsed = 0;
    qint64 serialsVoid = 0;
    QVector<orderCount> orders;         // by order; rows of no order are not in it
};

// Reads rows back, from a line's SQLite file (read-only: never a write, a
// lock or a schema step) or from the factory's server. One object per
// thread; a statistics window keeps its own.
class recordQuery
{
public:
    ~recordQuery();
    static std::unique_ptr<recordQuery> openLocal(const QString &databasePath, QString *error);
    static std::unique_ptr<recordQuery> openServer(const recordServer &server, QString *error);

    // Hands each selected row, images included, to `each` as it is read,
    // newest first, so that memory stays flat however many rows there are;
    // `each` returns false to stop.
    bool find(const recordFilter &filter, const std::function<bool(const productionRow &)> &each, QString *error);
    bool find(const recordFilter &filter, QVector<productionRow> *rows, QString *error);
    bool summary(const recordFilter &filter, recordSummary *summary, QString *error);
    // The summary's orders alone.
    bool orders(const recordFilter &filter, QVector<orderCount> *orders, QString *error);

private:
    recordQuery(const QString &connection, bool server, int version);
    bool serialCounts(QSqlDatabase &db, const recordFilter &filter, recordSummary *summary, QString *error);
    QString connection;
    bool server;
    int version;
};

// The good chips of a production order that the records hold: the line's
// database, and, when a server is configured, the other hosts' rows there
// (a line's own rows may not have reached it yet). A server that cannot be
// asked leaves its rows out and says so in note; a line's database that
// cannot be read is an error (no database yet: none made).
struct orderTally {
    qint64 good = 0;
    QString note;
};
bool tallyOrder(const QString &databasePath, const recordServer &server, const QString &order, const QString &host,
                orderTally *tally, QString *error);
