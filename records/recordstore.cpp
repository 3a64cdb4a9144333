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
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QSysInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>
#include <QUuid>
#include <QVariant>

#include <cmath>

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
// How often an idle writer looks whether its file is still at its path, so
// that a database deleted while the line pauses is made again before the
// next power cut, not only at the next chip. A stat() costs nothing.
constexpr int kFileWatchMs = 2000;
// A lease larger than this would leave more values unused, when a line
// stops for good, than a factory would want to lose.
constexpr int kMaxSerialLease = 100000;

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
    recordOrigin origin;
    origin.host = QSysInfo::machineHostName();
    origin.line = origin.host;
    origin.toolVersion = QStringLiteral(VQ_TOOL_VERSION);
    return origin;
}

productionRow rowOf(const chipRecord &record, int station, bool ok, const recordOrigin &origin)
{
    productionRow row;
    row.id = record.rowId.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : record.rowId;
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
    row.fastLoad = record.fastLoad;
    row.ramCodeFile = record.ramCodeFile;
    row.ramCodeSha256 = record.ramCodeSha256;
    row.flashSize = record.flashSize;
    row.romBuild = record.romBuild;
    row.imageBaud = record.imageBaud;
    row.socket = record.socket;
    // A record that did not come from a job's run (fastLoad unset) does
    // not know the run's options either.
    if (!record.fastLoad.isEmpty()) {
        row.eraseBeforeWrite = record.eraseBeforeWrite;
        row.boot = record.boot;
        row.reset = record.reset;
        row.dsrMode = record.dsrMode;
    }
    row.serial = record.serial;
    row.serialNumber = record.serialNumber;
    row.order = origin.order;
    row.operatorName = origin.operatorName;
    row.orderSha256 = origin.orderSha256;
    row.orderQuantity = origin.orderQuantity;
    return row;
}

namespace {
QJsonValue flagJson(const std::optional<bool> &value)
{
    return value ? QJsonValue(*value) : QJsonValue();
}

std::optional<bool> flagFromJson(const QJsonValue &value)
{
    return value.isBool() ? std::optional<bool>(value.toBool()) : std::nullopt;
}
} // namespace

QJsonObject rowToJson(const productionRow &r)
{
    QJsonArray images;
    for (const imageFacts &i : r.images)
        images.append(QJsonObject{{QStringLiteral("file"), i.fileName},
                                  {QStringLiteral("size"), i.size},
                                  {QStringLiteral("address"), static_cast<qint64>(i.address)},
                                  {QStringLiteral("sha256"), QString::fromLatin1(i.sha256)}});
    return QJsonObject{{QStringLiteral("id"), r.id},
                       {QStringLiteral("time"), r.localTime().toString(Qt::ISODate)},
                       {QStringLiteral("host"), r.host},
                       {QStringLiteral("line"), r.line},
                       {QStringLiteral("station"), r.station},
                       {QStringLiteral("port"), r.port},
                       {QStringLiteral("model"), r.model},
                       {QStringLiteral("flashId"), r.flashId},
                       {QStringLiteral("uid"), r.uid},
                       {QStringLiteral("operation"), r.operation},
                       {QStringLiteral("ok"), r.ok},
                       {QStringLiteral("code"), static_cast<qint64>(r.code)},
                       {QStringLiteral("text"), r.text},
                       {QStringLiteral("firstCode"), static_cast<qint64>(r.firstCode)},
                       {QStringLiteral("seconds"), r.seconds},
                       {QStringLiteral("bytes"), r.bytes},
                       {QStringLiteral("baud"), static_cast<qint64>(r.baud)},
                       {QStringLiteral("highSpeed"), r.highSpeed},
                       {QStringLiteral("toolVersion"), r.toolVersion},
                       {QStringLiteral("images"), images},
                       {QStringLiteral("fastLoad"), r.fastLoad},
                       {QStringLiteral("ramCodeFile"), r.ramCodeFile},
                       {QStringLiteral("ramCodeSha256"), QString::fromLatin1(r.ramCodeSha256)},
                       {QStringLiteral("flashSize"), r.flashSize},
                       {QStringLiteral("romBuild"), r.romBuild},
                       {QStringLiteral("imageBaud"), static_cast<qint64>(r.imageBaud)},
                       {QStringLiteral("eraseBeforeWrite"), flagJson(r.eraseBeforeWrite)},
                       {QStringLiteral("boot"), flagJson(r.boot)},
                       {QStringLiteral("reset"), flagJson(r.reset)},
                       {QStringLiteral("dsrMode"), flagJson(r.dsrMode)},
                       {QStringLiteral("socket"), r.socket},
                       {QStringLiteral("serial"), r.serial},
                       {QStringLiteral("serialNumber"), r.serialNumber},
                       {QStringLiteral("order"), r.order},
                       {QStringLiteral("operator"), r.operatorName},
                       {QStringLiteral("orderSha256"), QString::fromLatin1(r.orderSha256)},
                       {QStringLiteral("orderQuantity"), r.orderQuantity}};
}

bool rowFromJson(const QJsonObject &o, productionRow *row)
{
    const QDateTime when = QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODate);
    const QString id = o.value(QStringLiteral("id")).toString();
    if (!when.isValid() || QUuid::fromString(id).isNull())
        return false;
    productionRow r;
    r.id = id;
    r.timeMs = when.toMSecsSinceEpoch();
    r.utcOffset = when.offsetFromUtc();
    const auto text = [&](const char *key) { return o.value(QLatin1String(key)).toString(); };
    const auto number = [&](const char *key) { return static_cast<qint64>(o.value(QLatin1String(key)).toDouble()); };
    r.host = text("host");
    r.line = text("line");
    r.station = static_cast<int>(number("station"));
    r.port = text("port");
    r.model = text("model");
    r.flashId = text("flashId");
    r.uid = text("uid");
    r.operation = text("operation");
    r.ok = o.value(QStringLiteral("ok")).toBool();
    r.code = static_cast<uint32_t>(number("code"));
    r.text = text("text");
    r.firstCode = static_cast<uint32_t>(number("firstCode"));
    r.seconds = o.value(QStringLiteral("seconds")).toDouble();
    r.bytes = number("bytes");
    r.baud = static_cast<uint32_t>(number("baud"));
    r.highSpeed = o.value(QStringLiteral("highSpeed")).toBool();
    r.toolVersion = text("toolVersion");
    for (const QJsonValue &v : o.value(QStringLiteral("images")).toArray()) {
        const QJsonObject i = v.toObject();
        r.images.append({i.value(QStringLiteral("file")).toString(),
                         static_cast<qint64>(i.value(QStringLiteral("size")).toDouble()),
                         static_cast<uint32_t>(i.value(QStringLiteral("address")).toDouble()),
                         i.value(QStringLiteral("sha256")).toString().toLatin1()});
    }
    r.fastLoad = text("fastLoad");
    r.ramCodeFile = text("ramCodeFile");
    r.ramCodeSha256 = text("ramCodeSha256").toLatin1();
    r.flashSize = number("flashSize");
    r.romBuild = text("romBuild");
    r.imageBaud = static_cast<uint32_t>(number("imageBaud"));
    r.eraseBeforeWrite = flagFromJson(o.value(QStringLiteral("eraseBeforeWrite")));
    r.boot = flagFromJson(o.value(QStringLiteral("boot")));
    r.reset = flagFromJson(o.value(QStringLiteral("reset")));
    r.dsrMode = flagFromJson(o.value(QStringLiteral("dsrMode")));
    r.socket = text("socket");
    r.serial = text("serial");
    r.serialNumber = text("serialNumber");
    r.order = text("order");
    r.operatorName = text("operator");
    r.orderSha256 = text("orderSha256").toLatin1();
    r.orderQuantity = number("orderQuantity");
    *row = r;
    return true;
}

lineLogFolder lineLogFolderOf(const QString &programFolder)
{
    const QString base = programFolder.isEmpty() ? QCoreApplication::applicationDirPath() : programFolder;
    const QString own = QDir::cleanPath(QDir(base).absoluteFilePath(QStringLiteral("log")));
    const QFileInfo ownInfo(own);
    // The same test for every program, reader or writer, and nothing made
    // to find out: vq_records must come to the folder vq_flash wrote to.
    const bool writable = ownInfo.exists() ? ownInfo.isDir() && ownInfo.isWritable() : QFileInfo(base).isWritable();
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (writable || data.isEmpty())
        return {own, QString()};
    const QString user = QDir::cleanPath(data + QStringLiteral("/vq_download_tool/log"));
    return {user, QStringLiteral("程序文件夹中的日志文件夹无法写入（%1），日志和生产记录改存在：%2")
                      .arg(QDir::toNativeSeparators(own), QDir::toNativeSeparators(user))};
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
    const auto text = [&](const char *key, QString *value) {
        *value = o.value(QLatin1String(key)).toString();
        return value->isEmpty() ? QStringLiteral("缺少“%1”（须为非空文本）").arg(QLatin1String(key)) : QString();
    };
    recordServer read;
    QString why = doc.isObject() ? QString() : QStringLiteral("不是 JSON 对象");
    if (why.isEmpty())
        why = text("host", &read.host);
    // A port given as text may be a typing slip or an old habit; taking it
    // as the default would send the line's rows to another server.
    const QJsonValue port = o.value(QStringLiteral("port"));
    const double number = port.toDouble(-1);
    if (why.isEmpty() && (!port.isDouble() || number != std::floor(number) || number < 1 || number > 65535))
        why = QStringLiteral("“port”须为 1 到 65535 的数字");
    read.port = static_cast<int>(number);
    if (why.isEmpty())
        why = text("database", &read.database);
    if (why.isEmpty())
        why = text("user", &read.user);
    const QJsonValue lease = o.value(QStringLiteral("serialLease"));
    const double leaseSize = lease.toDouble(-1);
    if (why.isEmpty() && !lease.isUndefined()
        && (!lease.isDouble() || leaseSize != std::floor(leaseSize) || leaseSize < 1 || leaseSize > kMaxSerialLease))
        why = QStringLiteral("“serialLease”须为 1 到 %1 的数字").arg(kMaxSerialLease);
    if (!lease.isUndefined())
        read.serialLease = static_cast<int>(leaseSize);
    if (why.isEmpty()) {
        *server = read;
        return true;
    }
    if (error)
        *error = QStringLiteral("记录服务器配置无效（%1）：").arg(why)
            + QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    return false;
}

QString syncState::text() const
{
    if (localFailing)
        return QStringLiteral("记录：本地写入失败，等待重试");
    if (server == link::none)
        return QStringLiteral("记录：仅本地");
    const QString why = server == link::refused       ? QStringLiteral("（服务器拒绝登录）")
                        : server == link::unreachable ? QStringLiteral("（服务器不可达）")
                                                      : QString();
    if (waiting < 0)
        return QStringLiteral("记录：待上传条数未知") + why;
    if (waiting == 0)
        return QStringLiteral("记录：已同步");
    return QStringLiteral("记录：待上传 %1 条").arg(waiting) + why;
}

namespace {
QString nativePath(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

// Closes a line's connection, or, when its file is no longer at the path,
// gives it up without closing (see retireConnection).
void releaseConnection(const QString &connection, const QString &path, quint64 identity)
{
    if (fileIdentity(path) != identity) {
        retireConnection(connection);
        return;
    }
    QSqlDatabase::database(connection, false).close();
    QSqlDatabase::removeDatabase(connection);
}
} // namespace

// ---------------------------------------------------------------------------
// The writer: owns the line's database connection on its own thread.

class recordStore::writer : public QObject
{
public:
    // The timers are children, so that they move to the thread with it.
    writer(recordStore *store, const recordStoreOptions &options)
        : store(store), options(options), path(store->path), retry(this), watch(this)
    {
        retry.setSingleShot(true);
        retry.setInterval(kLocalRetryMs);
        connect(&retry, &QTimer::timeout, this, [this] { drain(); });
        watch.setInterval(kFileWatchMs);
        connect(&watch, &QTimer::timeout, this, [this] {
            QString error;
            if (queue.isEmpty())
                followFile(&error);
        });
    }
    ~writer() override
    {
        // Rows the old file holds go to the new one before the end, where
        // the path allows it.
        QString error;
        followFile(&error);
        close();
    }

    // The database is opened before the first row, so that the uploader
    // finds the rows an earlier run left unsent; a failure is said with the
    // first row that meets it.
    void start()
    {
        QString error;
        open(&error);
        watch.start();
    }

    void take(const productionRow &row)
    {
        // While the database refuses rows, the CSV does not wait for it.
        const bool behind = !queue.isEmpty();
        if (behind)
            writeCsv(row);
        queue.append({row, behind});
        drain();
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
            good = openLocalDatabase(path, name, true, &db, error);
        }
        if (!good) {
            QSqlDatabase::removeDatabase(name);
            return false;
        }
        adopt(name);
        return true;
    }

    void adopt(const QString &name)
    {
        connection = name;
        identity = fileIdentity(path);
        walIdentity = 0;
        shmIdentity = 0;
        if (store->adoptedFile.exchange(identity) != identity) {
            // A file the uploader has not counted: unknown until it has.
            if (store->hasServer)
                store->waiting.store(-1);
            store->kickUpload();
        }
    }

    void close()
    {
        if (connection.isEmpty())
            return;
        releaseConnection(connection, path, identity);
        connection.clear();
    }

    // Whether the path still names the open file; where it does not, the
    // rows of the old file are copied into the file now at the path, or a
    // new one made there, and that file is used from now on.
    bool followFile(QString *error)
    {
        if (connection.isEmpty() || fileIdentity(path) == identity)
            return true;
        // The WAL and shared-memory files at the path, when they are still
        // the old file's, would be taken for the new file's own.
        if (walIdentity != 0 && fileIdentity(path + QStringLiteral("-wal")) == walIdentity)
            QFile::remove(path + QStringLiteral("-wal"));
        if (shmIdentity != 0 && fileIdentity(path + QStringLiteral("-shm")) == shmIdentity)
            QFile::remove(path + QStringLiteral("-shm"));
        const bool made = !QFileInfo::exists(path);
        const QString name = newConnectionName("writer");
        bool good;
        qint64 copied = 0;
        {
            QSqlDatabase fresh;
            QSqlDatabase old = QSqlDatabase::database(connection, false);
            good = openLocalDatabase(path, name, true, &fresh, error) && copyRowsTo(old, path, &copied, error);
        }
        if (!good) {
            QSqlDatabase::database(name, false).close();
            QSqlDatabase::removeDatabase(name);
            *error = QStringLiteral("生产记录数据库已被删除或替换，路径上的文件无法使用（%1），原有记录仍保存在内存中的连接里")
                         .arg(error->trimmed());
            return false;
        }
        retireConnection(connection);
        adopt(name);
        emit store->problem(QStringLiteral("生产记录数据库已被删除或替换，已新建：%1（%2原数据库的 %3 条记录）")
                                .arg(nativePath(path), made ? QStringLiteral("复制了") : QStringLiteral("并入了"))
                                .arg(copied),
                            false);
        emit store->stateChanged();
        return true;
    }

    bool commit(const productionRow &row, QString *error)
    {
        if (!open(error) || !followFile(error))
            return false;
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        if (!insertRow(db, row, error)) {
            // What the WAL holds goes into the database first: on a nearly
            // full disk that gives the space back. A connection that met a
            // full disk may hold a half-done transaction or a broken file
            // handle; a fresh one starts clean.
            checkpointWal(db);
            db = QSqlDatabase();
            close();
            return false;
        }
        // The files beside the database are known to be its own once a
        // row has gone through them.
        if (walIdentity == 0) {
            walIdentity = fileIdentity(path + QStringLiteral("-wal"));
            shmIdentity = fileIdentity(path + QStringLiteral("-shm"));
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
                say(QStringLiteral("生产记录无法写入数据库（%1）：%2，稍后重试").arg(nativePath(path), error),
                    dbProblem, true);
                emit store->stateChanged();
                retry.start();
                return;
            }
            queue.removeFirst();
            store->committed.fetch_add(1);
            if (store->hasServer) {
                // A count that is unknown stays unknown until the uploader
                // has read it.
                qint64 known = store->waiting.load();
                while (known >= 0 && !store->waiting.compare_exchange_weak(known, known + 1)) {
                }
            }
            if (store->localFailing.exchange(false))
                dbProblem.clear();
            store->kickUpload();
            emit store->stateChanged();
        }
    }

    void writeCsv(const productionRow &row)
    {
        QString csv = options.csvPath;
        if (csv.isEmpty() && !options.csvDailyFolder.isEmpty()) {
            QDir().mkpath(options.csvDailyFolder);
            csv = options.csvDailyFolder + QLatin1Char('/')
                + row.localTime().date().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".csv");
        }
        if (csv.isEmpty())
            return;
        QString error;
        if (appendProductionCsv(csv, row, &error)) {
            csvProblem.clear();
            return;
        }
        say(QStringLiteral("生产记录无法写入：%1（%2）").arg(nativePath(csv), error), csvProblem, true);
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
    const QString path;
    QString connection;
    // The file the connection belongs to, and its WAL and shared-memory
    // files once known.
    quint64 identity = 0;
    quint64 walIdentity = 0;
    quint64 shmIdentity = 0;
    QList<queued> queue;
    QTimer retry;
    QTimer watch;
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
    uploader(recordStore *store, const recordStoreOptions &options)
        : store(store), options(options), path(store->path), timer(this)
    {
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, this, [this] { round(); });
    }
    ~uploader() override
    {
        closeServer();
        closeLocal();
    }

    // A row was committed, or the writer took a new file: look now, unless
    // the server is being waited out, in which case it goes with the next
    // try.
    void kick()
    {
        if (!serverBackoff)
            timer.start(0);
    }

private:
    void round()
    {
        serverBackoff = false;
        QString error;
        if (!openLocal(&error)) {
            // The writer has not taken the file at the path yet; it kicks
            // once it has.
            timer.start(kLocalRetryMs);
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
            local = QSqlDatabase();
            closeLocal();
            timer.start(kLocalRetryMs);
            return;
        }
        // The settled values of leased sequences go with the rows.
        QVector<serialRow> serials;
        if (!readUnsentSerials(local, kUploadBatch, &serials, &error)) {
            local = QSqlDatabase();
            closeLocal();
            timer.start(kLocalRetryMs);
            return;
        }
        if (!rows.isEmpty() || !serials.isEmpty()) {
            bool good = remote.transaction() && insertRows(remote, rows, &error)
                && insertSerials(remote, serials, &error);
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
            if (!markSent(local, lastSeq, &error) || !markSerialsSent(local, serials, &error)) {
                local = QSqlDatabase();
                closeLocal();
                timer.start(kLocalRetryMs);
                return;
            }
        }
        countWaiting(local);
        store->serverLink.store(static_cast<int>(syncState::link::reachable));
        backoffMs = 0;
        problem.clear();
        emit store->stateChanged();
        if (rows.size() == kUploadBatch || serials.size() == kUploadBatch)
            timer.start(0);
    }

    void fail(const QString &error)
    {
        const bool refused = isLoginRefusal(error);
        store->serverLink.store(static_cast<int>(refused ? syncState::link::refused : syncState::link::unreachable));
        if (!localName.isEmpty())
            countWaiting(QSqlDatabase::database(localName, false));
        // The operator's words first, the server's own text after them.
        const QString said = serverRefusalLine(options.server.host, options.server.port, error);
        if (said != problem) {
            problem = said;
            emit store->problem(said, false);
        }
        emit store->stateChanged();
        backoffMs = backoffMs == 0 ? kFirstBackoffMs : std::min(backoffMs * 2, kLastBackoffMs);
        serverBackoff = true;
        timer.start(backoffMs);
    }

    // A count from a file the writer has just left would say "nothing
    // waits" for rows that are all in the new one.
    void countWaiting(const QSqlDatabase &local)
    {
        const qint64 count = countUnsent(local);
        if (localIdentity == store->adoptedFile.load())
            store->waiting.store(count);
        else
            kick();
    }

    bool openLocal(QString *error)
    {
        // A connection to a file the writer has left is given up; its rows
        // are in the writer's new file.
        const quint64 adopted = store->adoptedFile.load();
        if (!localName.isEmpty() && localIdentity != adopted)
            closeLocal();
        if (!localName.isEmpty())
            return true;
        // Only the file the writer has taken: one it has not looked at may
        // still have the old file's WAL beside it.
        const quint64 now = fileIdentity(path);
        if (adopted == 0 || now != adopted) {
            *error = QStringLiteral("waiting for the writer");
            return false;
        }
        const QString name = newConnectionName("upload_local");
        bool good;
        {
            QSqlDatabase db;
            good = openLocalDatabase(path, name, false, &db, error);
        }
        if (!good) {
            QSqlDatabase::removeDatabase(name);
            return false;
        }
        localName = name;
        localIdentity = now;
        return true;
    }

    bool openServer(QString *error)
    {
        const QString name = newConnectionName("upload_server");
        bool good;
        {
            QSqlDatabase db;
            int version = 0;
            good = openServerDatabase(options.server, name, true, &db, &version, error);
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
        releaseConnection(localName, path, localIdentity);
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
    const QString path;
    QString localName;
    quint64 localIdentity = 0;
    QString server;
    QTimer timer;
    int backoffMs = 0;
    // The timer waits out the server, not the line's file.
    bool serverBackoff = false;
    QString problem;
};

// ---------------------------------------------------------------------------

namespace {
QString storePath(const recordStoreOptions &options, QString *note)
{
    if (!options.databasePath.isEmpty())
        return options.databasePath;
    const lineLogFolder folder = lineLogFolderOf();
    *note = folder.note;
    return folder.path + QStringLiteral("/production.db");
}
} // namespace

QString recordStorePath(const recordStoreOptions &options)
{
    QString note;
    return storePath(options, &note);
}

recordStore::recordStore(const recordStoreOptions &options, QObject *parent)
    : QObject(parent), path(storePath(options, &folderNote)), waiting(options.server.valid() ? -1 : 0),
      serverLink(static_cast<int>(options.server.valid() ? syncState::link::notTried : syncState::link::none)),
      hasServer(options.server.valid())
{
    // Said once the front end listens: its connections come after this.
    if (!folderNote.isEmpty())
        QMetaObject::invokeMethod(this, [this] { emit problem(folderNote, false); }, Qt::QueuedConnection);
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
    }
    writer *to = w;
    QMetaObject::invokeMethod(w, [to] { to->start(); }, Qt::QueuedConnection);
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
    // The writer commits in the order of appending: the rows it has not
    // committed are always the newest ones kept here.
    while (unwritten.size() > appended.load() - committed.load())
        unwritten.removeFirst();
    unwritten.append(row);
    appended.fetch_add(1);
    writer *to = w;
    QMetaObject::invokeMethod(
        w, [to, row] { to->take(row); }, Qt::QueuedConnection);
}

QVector<productionRow> recordStore::unwrittenRows() const
{
    const qint64 left = appended.load() - committed.load();
    return unwritten.mid(unwritten.size() - static_cast<int>(left)).toVector();
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
    s.server = static_cast<syncState::link>(serverLink.load());
    s.serverConfigured = hasServer;
    const qint64 unsent = waiting.load();
    s.waiting = unsent < 0 ? -1 : unsent + (appended.load() - committed.load());
    s.localFailing = localFailing.load();
    return s;
}

bool recordStore::flushLocal(int timeoutMs)
{
    // The writer keeps trying a disk that refuses rows; this waits the
    // whole time given, since every row it leaves is the caller's to keep.
    QDeadlineTimer deadline(timeoutMs);
    while (committed.load() < appended.load()) {
        if (deadline.hasExpired())
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
    while (hasServer && waiting.load() != 0) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}
