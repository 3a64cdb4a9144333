#include "recordstore.h"
#include "serverrefusal.h"

#include "chipinfo.h"
#include "productioncsv.h"
#include "recordschema.h"
#include "recordsql.h"
#include "tranthread.h"

#include <QCoreApplication>
#include <QDate>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>
#include <QUuid>
#include <QVariant>

#ifndef VQ_TOOL_VERSION
#define VQ_TOOL_VERSION "v0.0.0"
#endif

namespace {
// A failed local write is tried again this often: a full disk freed by the
// operator is used again within the second, without a row waiting on him.
constexpr int kLocalRetryMs = 1000;
// The server's retries start quickly, for a restart, and back off to a
// pace that costs a factory server nothing while it is down for hours.
constexpr int kFirstBackoffMs = 500;
constexpr int kLastBackoffMs = 10000;
// Rows per server transaction: one round of several hundred rows keeps a
// line's backlog after a long outage to a few seconds.
constexpr int kUploadBatch = 500;

QString newConnectionName(const char *what)
{
    static std::atomic<int> counter{0};
    return QStringLiteral("vq_records_%1_%2").arg(QLatin1String(what)).arg(++counter);
}
} // namespace

QDateTime productionRow::localTime() const
{
    return QDateTime::fromMSecsSinceEpoch(timeMs, Qt::OffsetFromUTC, utcOffset);
}

recordOrigin defaultOrigin()
{
    const QString host = QSysInfo::machineHostName();
    return {host, host, QStringLiteral(VQ_TOOL_VERSION)};
}

productionRow rowOf(const chipRecord &record, int station, bool ok, const recordOrigin &origin)
{
    productionRow row;
    row.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QDateTime when = record.finished.isValid() ? record.finished : QDateTime::currentDateTime();
    row.timeMs = when.toMSecsSinceEpoch();
    row.utcOffset = when.offsetFromUtc();
    row.host = origin.host;
    row.line = origin.line.isEmpty() ? origin.host : origin.line;
    row.station = station;
    row.port = record.portName;
    row.model = record.model;
    row.flashId = record.flashId;
    row.uid = record.flashUid;
    // vq_flash's erase-only run is a download job without images.
    const bool erase = record.erase || (record.files.isEmpty() && record.images.isEmpty());
    row.operation = erase ? QStringLiteral("erase") : QStringLiteral("download");
    row.ok = ok;
    row.code = record.code;
    row.text = record.text;
    row.firstCode = record.firstCode;
    row.seconds = record.seconds;
    row.bytes = record.bytesWritten;
    row.baud = record.baudRate;
    row.highSpeed = record.highSpeed;
    row.toolVersion = origin.toolVersion;
    row.images = record.images;
    // A job that never read its images still names them: the file names
    // are kept, without a size or hash that nobody measured.
    if (row.images.isEmpty()) {
        for (const QString &file : record.files) {
            imageFacts facts;
            facts.fileName = file;
            row.images.append(facts);
        }
    }
    return row;
}

QString recordServerConfigPath()
{
    return configDir() + QStringLiteral("/records.json");
}

bool readRecordServer(const QString &path, recordServer *server, QString *error)
{
    *server = recordServer();
    QFile file(path);
    if (!file.exists())
        return true;
    QJsonParseError parse{};
    const QJsonDocument doc = file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll(), &parse)
                                                             : QJsonDocument();
    const QJsonObject o = doc.object();
    server->host = o.value(QStringLiteral("host")).toString();
    server->port = o.value(QStringLiteral("port")).toInt(5432);
    server->database = o.value(QStringLiteral("database")).toString();
    server->user = o.value(QStringLiteral("user")).toString();
    if (doc.isObject() && server->valid() && server->port > 0 && server->port < 65536)
        return true;
    *server = recordServer();
    if (error)
        *error = QStringLiteral("记录服务器配置无效（需要 host、port、database、user）：")
            + QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    return false;
}

QString syncState::text() const
{
    if (localFailing)
        return QStringLiteral("记录：本地写入失败，等待重试");
    if (!serverConfigured)
        return QStringLiteral("记录：仅本地");
    if (waiting == 0)
        return QStringLiteral("记录：已同步");
    return QStringLiteral("记录：待上传 %1 条").arg(waiting) + (serverReachable ? QString()
                                                                              : QStringLiteral("（服务器不可达）"));
}

// ---------------------------------------------------------------------------
// The writer: owns the line's database connection on its own thread.

class recordStore::writer : public QObject
{
public:
    // The timers are children, so that they move to the thread with it.
    writer(recordStore *store, const recordStoreOptions &options) : store(store), options(options), retry(this)
    {
        retry.setSingleShot(true);
        retry.setInterval(kLocalRetryMs);
        connect(&retry, &QTimer::timeout, this, [this] { drain(); });
    }
    ~writer() override { close(); }

    void take(const productionRow &row)
    {
        // While the database refuses rows, the CSV does not wait for it.
        const bool behind = !queue.isEmpty();
        if (behind)
            writeCsv(row);
        queue.append({row, behind});
        drain();
    }

    void close()
    {
        if (connection.isEmpty())
            return;
        QSqlDatabase::database(connection, false).close();
        QSqlDatabase::removeDatabase(connection);
        connection.clear();
    }

private:
    struct queued {
        productionRow row;
        bool csvDone;
    };

    bool open(QString *error)
    {
        if (!connection.isEmpty())
            return true;
        const QString name = newConnectionName("writer");
        bool good;
        {
            QSqlDatabase db;
            good = openLocalDatabase(options.databasePath, name, true, &db, error);
        }
        if (!good) {
            QSqlDatabase::removeDatabase(name);
            return false;
        }
        connection = name;
        return true;
    }

    bool commit(const productionRow &row, QString *error)
    {
        if (!open(error))
            return false;
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        if (!insertRow(db, row, error)) {
            // A connection that met a full disk may hold a half-done
            // transaction or a broken file handle; a fresh one starts clean.
            db = QSqlDatabase();
            close();
            return false;
        }
        return true;
    }

    void drain()
    {
        while (!queue.isEmpty()) {
            queued &next = queue.first();
            QString error;
            const bool stored = commit(next.row, &error);
            // The CSV line follows the commit: a line in the CSV is a row in
            // the database, whenever the process is killed. A row the
            // database cannot take yet still gets its line, once.
            if (!next.csvDone) {
                next.csvDone = true;
                writeCsv(next.row);
            }
            if (!stored) {
                store->localFailing.store(true);
                say(QStringLiteral("生产记录无法写入数据库（%1）：%2，稍后重试")
                        .arg(QDir::toNativeSeparators(QFileInfo(options.databasePath).absoluteFilePath()), error),
                    dbProblem, true);
                emit store->stateChanged();
                retry.start();
                return;
            }
            queue.removeFirst();
            store->committed.fetch_add(1);
            if (store->hasServer)
                store->waiting.fetch_add(1);
            if (store->localFailing.exchange(false))
                dbProblem.clear();
            store->kickUpload();
            emit store->stateChanged();
        }
    }

    void writeCsv(const productionRow &row)
    {
        QString path = options.csvPath;
        if (path.isEmpty() && !options.csvDailyFolder.isEmpty()) {
            QDir().mkpath(options.csvDailyFolder);
            path = options.csvDailyFolder + QLatin1Char('/')
                + row.localTime().date().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".csv");
        }
        if (path.isEmpty())
            return;
        QString error;
        if (appendProductionCsv(path, row, &error)) {
            csvProblem.clear();
            return;
        }
        say(QStringLiteral("生产记录无法写入：%1（%2）")
                .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()), error),
            csvProblem, true);
    }

    // One line when writing starts to fail, however the reason is worded
    // on later tries, until a write succeeds again: a full disk during a
    // busy hour is one line in the log, not one per chip.
    void say(const QString &text, QString &last, bool local)
    {
        if (!last.isEmpty())
            return;
        last = text;
        emit store->problem(text, local);
    }

    recordStore *store;
    const recordStoreOptions options;
    QString connection;
    QList<queued> queue;
    QTimer retry;
    QString dbProblem;
    QString csvProblem;
};

// ---------------------------------------------------------------------------
// The uploader: its own connections to the line's file and to the server,
// on its own thread, so that a server that takes seconds to answer holds up
// nothing but itself.

class recordStore::uploader : public QObject
{
public:
    uploader(recordStore *store, const recordStoreOptions &options) : store(store), options(options), timer(this)
    {
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, this, [this] { round(); });
    }
    ~uploader() override
    {
        closeServer();
        closeLocal();
    }

    // A row was committed: send it now, unless the server is being waited
    // out, in which case it goes with the next try.
    void kick()
    {
        if (backoffMs == 0 && !timer.isActive())
            timer.start(0);
    }

private:
    void round()
    {
        QString error;
        if (!openLocal(&error)) {
            // The writer has not made the file yet; it kicks once it has.
            backoff();
            return;
        }
        if (server.isEmpty() && !openServer(&error)) {
            fail(error);
            return;
        }
        QSqlDatabase local = QSqlDatabase::database(localName, false);
        QSqlDatabase remote = QSqlDatabase::database(server, false);
        QVector<productionRow> rows;
        qint64 lastSeq = 0;
        if (!readUnsent(local, kUploadBatch, &rows, &lastSeq, &error)) {
            closeLocal();
            backoff();
            return;
        }
        if (!rows.isEmpty()) {
            bool good = remote.transaction() && insertRows(remote, rows, &error);
            if (!good || !remote.commit()) {
                if (good || error.isEmpty())
                    error = remote.lastError().text();
                remote.rollback();
                remote = QSqlDatabase();
                local = QSqlDatabase();
                closeServer();
                fail(error);
                return;
            }
            // Should this fail the rows go again later; the server keeps
            // the first copy of each.
            if (!markSent(local, lastSeq, &error)) {
                local = QSqlDatabase();
                closeLocal();
                backoff();
                return;
            }
        }
        store->waiting.store(countUnsent(local));
        store->counted.store(true);
        store->reachable.store(true);
        backoffMs = 0;
        problem.clear();
        emit store->stateChanged();
        if (rows.size() == kUploadBatch)
            timer.start(0);
    }

    void fail(const QString &error)
    {
        store->reachable.store(false);
        if (!localName.isEmpty()) {
            store->waiting.store(countUnsent(QSqlDatabase::database(localName, false)));
            store->counted.store(true);
        }
        const QString text = serverRefusalLine(options.server.host, options.server.port, error);
        if (text != problem) {
            problem = text;
            emit store->problem(text, false);
        }
        emit store->stateChanged();
        backoff();
    }

    void backoff()
    {
        backoffMs = backoffMs == 0 ? kFirstBackoffMs : std::min(backoffMs * 2, kLastBackoffMs);
        timer.start(backoffMs);
    }

    bool openLocal(QString *error)
    {
        if (!localName.isEmpty())
            return true;
        const QString name = newConnectionName("upload_local");
        bool good;
        {
            QSqlDatabase db;
            good = openLocalDatabase(options.databasePath, name, false, &db, error);
        }
        if (!good) {
            QSqlDatabase::removeDatabase(name);
            return false;
        }
        localName = name;
        return true;
    }

    bool openServer(QString *error)
    {
        const QString name = newConnectionName("upload_server");
        bool good;
        {
            QSqlDatabase db;
            good = openServerDatabase(options.server, name, &db, error);
        }
        if (!good) {
            QSqlDatabase::removeDatabase(name);
            return false;
        }
        server = name;
        return true;
    }

    void closeLocal()
    {
        if (localName.isEmpty())
            return;
        QSqlDatabase::database(localName, false).close();
        QSqlDatabase::removeDatabase(localName);
        localName.clear();
    }

    void closeServer()
    {
        if (server.isEmpty())
            return;
        QSqlDatabase::database(server, false).close();
        QSqlDatabase::removeDatabase(server);
        server.clear();
    }

    recordStore *store;
    const recordStoreOptions options;
    QString localName;
    QString server;
    QTimer timer;
    int backoffMs = 0;
    QString problem;
};

// ---------------------------------------------------------------------------

recordStore::recordStore(const recordStoreOptions &options, QObject *parent)
    : QObject(parent), hasServer(options.server.valid())
{
    writeThread = std::make_unique<QThread>();
    writeThread->setObjectName(QStringLiteral("record writer"));
    w = new writer(this, options);
    w->moveToThread(writeThread.get());
    writeThread->start();
    if (hasServer) {
        uploadThread = std::make_unique<QThread>();
        uploadThread->setObjectName(QStringLiteral("record uploader"));
        u = new uploader(this, options);
        u->moveToThread(uploadThread.get());
        uploadThread->start();
        // Rows left unsent by an earlier run go first.
        kickUpload();
    }
}

recordStore::~recordStore()
{
    // Queued rows are ahead of this call in the writer's queue: when it
    // runs, each has had its try.
    writer *ending = w;
    QMetaObject::invokeMethod(
        w, [ending] { delete ending; }, Qt::BlockingQueuedConnection);
    w = nullptr;
    writeThread->quit();
    writeThread->wait();
    if (u) {
        uploader *last = u;
        QMetaObject::invokeMethod(
            u, [last] { delete last; }, Qt::BlockingQueuedConnection);
        u = nullptr;
        uploadThread->quit();
        uploadThread->wait();
    }
}

void recordStore::append(const productionRow &row)
{
    appended.fetch_add(1);
    writer *to = w;
    QMetaObject::invokeMethod(
        w, [to, row] { to->take(row); }, Qt::QueuedConnection);
}

void recordStore::kickUpload()
{
    if (!u)
        return;
    uploader *to = u;
    QMetaObject::invokeMethod(
        u, [to] { to->kick(); }, Qt::QueuedConnection);
}

syncState recordStore::state() const
{
    syncState s;
    s.serverConfigured = hasServer;
    s.waiting = waiting.load() + (appended.load() - committed.load());
    s.serverReachable = reachable.load();
    s.localFailing = localFailing.load();
    return s;
}

bool recordStore::flushLocal(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    // A disk that refuses rows gets two more tries, not the whole time: an
    // exit does not wait on it, and the problem has been said.
    QDeadlineTimer failing(QDeadlineTimer::Forever);
    while (committed.load() < appended.load()) {
        if (!localFailing.load())
            failing = QDeadlineTimer(QDeadlineTimer::Forever);
        else if (failing.isForever())
            failing.setRemainingTime(2 * kLocalRetryMs + kLocalRetryMs / 2);
        if (deadline.hasExpired() || failing.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

bool recordStore::flushUpload(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    if (!flushLocal(timeoutMs))
        return false;
    while (hasServer && (!counted.load() || waiting.load() > 0)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}
