#include "recordsql.h"

#include "recordschema.h"
#include "recordstore.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QThread>
#include <QVariant>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {
// A row's columns by the schema version that brought them, and what rows of
// older versions read as in their place: not recorded ('', 0 or NULL).
struct columnGroup {
    int since;
    const char *columns;
    const char *absent;
};
const columnGroup kColumnGroups[] = {
    {1,
     "id, time_ms, utc_offset, host, line, station, port, model, flash_id, uid, operation, ok, code, text, "
     "first_code, seconds, bytes, baud, high_speed, tool_version",
     nullptr},
    {2,
     "fast_load, ram_code_file, ram_code_sha256, flash_size, rom_build, image_baud, erase_before_write, boot, reset, "
     "dsr_mode",
     "'', '', '', 0, '', 0, NULL, NULL, NULL, NULL"},
    {3, "socket", "''"},
    {4, "serial, serial_number", "'', ''"},
    {kOrderSchemaVersion, "work_order, operator_name, order_sha256, order_quantity", "'', '', '', 0"},
};

// Every column a row is written with.
const QString &allColumns()
{
    static const QString columns = rowColumns(kRecordSchemaVersion);
    return columns;
}
// A second process on the same line (the window and vq_flash) or the
// uploader may hold the write lock for a moment; a row waits rather than
// fails.
constexpr int kBusyTimeoutMs = 10000;
constexpr int kWalRetryMs = 10;
// A server that does not answer is given this long before the uploader
// backs off; it runs on its own thread, so only its rows wait.
constexpr int kConnectTimeoutSeconds = 5;
// A row writes about a dozen pages (the row, its images, their indexes):
// checkpointing every 256 pages and cutting the WAL back to 1 MiB after it
// keeps a line's WAL small instead of growing to SQLite's 4 MiB default,
// which a nearly full disk may not have.
constexpr int kWalCheckpointPages = 256;
constexpr int kWalKeptBytes = 1 << 20;

bool fail(const QSqlQuery &q, QString *error)
{
    if (error)
        *error = q.lastError().text();
    return false;
}

// A null QString binds as NULL; every text column is NOT NULL, and an
// unknown UID is an empty one.
QVariant text(const QString &s)
{
    return s.isNull() ? QVariant(QStringLiteral("")) : QVariant(s);
}

QVariant flag(const std::optional<bool> &value)
{
    return value ? QVariant(*value ? 1 : 0) : QVariant(QVariant::Int);
}

std::optional<bool> flagOf(const QVariant &value)
{
    return value.isNull() ? std::nullopt : std::optional<bool>(value.toInt() != 0);
}

bool execOn(QSqlDatabase &db, const QString &sql, QString *error)
{
    QSqlQuery q(db);
    return q.exec(sql) || fail(q, error);
}

// Two programs (or the record writer and the serial values) opening a new
// file at once: the switch to WAL needs the file to itself, and SQLite
// refuses it at once, without its busy wait, while the other connection
// holds the file for a moment. It is asked again meanwhile.
bool switchToWal(QSqlDatabase &db, QString *error)
{
    const QDeadlineTimer deadline(kBusyTimeoutMs);
    for (;;) {
        QSqlQuery q(db);
        if (q.exec(QStringLiteral("PRAGMA journal_mode = WAL")))
            return true;
        const QString code = q.lastError().nativeErrorCode();
        if (deadline.hasExpired() || (code != QLatin1String("5") && code != QLatin1String("6")))
            return fail(q, error);
        QThread::msleep(kWalRetryMs);
    }
}

bool sqliteAvailable(QString *error)
{
    if (QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        return true;
    *error = QStringLiteral("缺少 Qt 的 SQLite 驱动（libqt5sql5-sqlite）");
    return false;
}

QString nativePath(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}
} // namespace

bool openLocalDatabase(const QString &path, const QString &connection, bool create, QSqlDatabase *db,
                       QString *error)
{
    if (!sqliteAvailable(error))
        return false;
    if (!create && !QFileInfo::exists(path)) {
        *error = QStringLiteral("没有数据库文件：") + nativePath(path);
        return false;
    }
    if (create)
        QDir().mkpath(QFileInfo(path).absolutePath());
    *db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db->setDatabaseName(path);
    db->setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
    if (!db->open()) {
        *error = db->lastError().text();
        return false;
    }
    // Before anything is written: another program's file keeps its journal
    // mode and gets no tables of ours.
    // WAL: readers (the uploader, a search) never block the writer. FULL:
    // a committed row survives a power cut as well as a killed process.
    return isOurDatabase(*db, error) && switchToWal(*db, error)
        && execOn(*db, QStringLiteral("PRAGMA synchronous = FULL"), error)
        && execOn(*db, QStringLiteral("PRAGMA wal_autocheckpoint = %1").arg(kWalCheckpointPages), error)
        && execOn(*db, QStringLiteral("PRAGMA journal_size_limit = %1").arg(kWalKeptBytes), error)
        && prepareLocalSchema(*db, error);
}

bool openLocalReader(const QString &path, const QString &connection, QSqlDatabase *db, int *version,
                     QString *error)
{
    if (!sqliteAvailable(error))
        return false;
    if (!QFileInfo(path).isFile()) {
        *error = QStringLiteral("没有数据库文件：") + nativePath(path);
        return false;
    }
    *db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db->setDatabaseName(path);
    // Read-only: a search never creates, migrates or locks what it reads;
    // in WAL mode a line writing at the same time does not hold it up.
    db->setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
    if (!db->open()) {
        *error = db->lastError().text();
        return false;
    }
    QSqlQuery q(*db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'records'"))
        || !q.next())
        return fail(q, error);
    const bool records = q.value(0).toInt() > 0;
    q.finish();
    if (!readSchemaVersion(*db, false, version, error))
        return false;
    if (records && *version > 0)
        return true;
    *error = QStringLiteral("不是生产记录数据库（没有生产记录表）：") + nativePath(path);
    return false;
}

bool openServerDatabase(const recordServer &server, const QString &connection, bool prepare, QSqlDatabase *db,
                        int *version, QString *error)
{
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        *error = QStringLiteral("缺少 Qt 的 PostgreSQL 驱动（libqt5sql5-psql）");
        return false;
    }
    *db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
    db->setHostName(server.host);
    db->setPort(server.port);
    db->setDatabaseName(server.database);
    db->setUserName(server.user);
    db->setConnectOptions(
        QStringLiteral("connect_timeout=%1;application_name=vq_records").arg(kConnectTimeoutSeconds));
    if (!db->open()) {
        *error = db->lastError().text();
        return false;
    }
    if (prepare && !prepareServerSchema(*db, error))
        return false;
    if (!readSchemaVersion(*db, true, version, error))
        return false;
    if (*version > 0)
        return true;
    *error = QStringLiteral("服务器上还没有生产记录表（第一条产线连接时建立）");
    return false;
}

bool isLoginRefusal(const QString &error)
{
    // libpq's texts; the server's SQLSTATE does not reach us through Qt's
    // driver when the connection itself is refused.
    static const char *const refusals[] = {"password authentication failed", "no password supplied",
                                           "authentication failed", "no pg_hba.conf entry",
                                           "does not exist"};
    return std::any_of(std::begin(refusals), std::end(refusals),
                       [&](const char *r) { return error.contains(QLatin1String(r), Qt::CaseInsensitive); });
}

quint64 fileIdentity(const QString &path)
{
    constexpr quint64 kSomeFile = quint64(1) << 63;
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return (static_cast<quint64>(st.st_ino) ^ (static_cast<quint64>(st.st_dev) << 40)) | kSomeFile;
#else
    // Windows does not let a file that SQLite holds open be deleted or
    // replaced: the path names the open file as long as it exists.
    return QFileInfo::exists(path) ? kSomeFile : 0;
#endif
}

void retireConnection(const QString &connection)
{
    // Copies that are never destroyed keep the connection from closing;
    // Qt's own list of connections keeps its entry.
    static auto *retired = new QList<QSqlDatabase>;
    retired->append(QSqlDatabase::database(connection, false));
}

bool copyRowsTo(QSqlDatabase &from, const QString &toPath, qint64 *copied, QString *error)
{
    // The old file may have no path any more; the new one has, so the old
    // connection reaches both.
    QSqlQuery attach(from);
    if (!attach.prepare(QStringLiteral("ATTACH DATABASE ? AS fresh")))
        return fail(attach, error);
    attach.addBindValue(toPath);
    if (!attach.exec())
        return fail(attach, error);
    const QString columns = allColumns() + QStringLiteral(", sent");
    bool good = execOn(from, QStringLiteral("BEGIN IMMEDIATE"), error);
    if (good) {
        QSqlQuery rows(from);
        good = rows.exec(QStringLiteral("INSERT OR IGNORE INTO fresh.records (%1) SELECT %1 FROM main.records"
                                        " ORDER BY seq")
                             .arg(columns))
            || fail(rows, error);
        *copied = good ? rows.numRowsAffected() : 0;
        // The serial values go along: a line that forgot what it reserved
        // would give those values again.
        good = good
            && execOn(from, QStringLiteral("INSERT OR IGNORE INTO fresh.images SELECT * FROM main.images"), error)
            && execOn(from, QStringLiteral("INSERT OR IGNORE INTO fresh.serials SELECT * FROM main.serials"), error)
            && execOn(from,
                      QStringLiteral("INSERT INTO fresh.serial_counters SELECT * FROM main.serial_counters WHERE true"
                                     " ON CONFLICT (rule) DO UPDATE SET next_seq = max(next_seq, excluded.next_seq)"),
                      error)
            && execOn(from,
                      QStringLiteral("INSERT INTO fresh.serial_leases SELECT * FROM main.serial_leases WHERE true"
                                     " ON CONFLICT (rule, source, first_seq) DO UPDATE"
                                     " SET next_seq = max(next_seq, excluded.next_seq)"),
                      error)
            && execOn(from, QStringLiteral("COMMIT"), error);
        if (!good)
            QSqlQuery(from).exec(QStringLiteral("ROLLBACK"));
    }
    QSqlQuery(from).exec(QStringLiteral("DETACH DATABASE fresh"));
    return good;
}

void checkpointWal(QSqlDatabase &db)
{
    QSqlQuery(db).exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
}

namespace {
QVariantList valuesOf(const productionRow &row)
{
    return {text(row.id), QVariant(row.timeMs), QVariant(row.utcOffset), text(row.host), text(row.line),
            QVariant(row.station), text(row.port), text(row.model), text(row.flashId), text(row.uid),
            text(row.operation), QVariant(row.ok ? 1 : 0), QVariant(static_cast<qint64>(row.code)), text(row.text),
            QVariant(static_cast<qint64>(row.firstCode)), QVariant(row.seconds), QVariant(row.bytes),
            QVariant(static_cast<qint64>(row.baud)), QVariant(row.highSpeed ? 1 : 0), text(row.toolVersion),
            text(row.fastLoad), text(row.ramCodeFile), text(QString::fromLatin1(row.ramCodeSha256)),
            QVariant(row.flashSize), text(row.romBuild), QVariant(static_cast<qint64>(row.imageBaud)),
            flag(row.eraseBeforeWrite), flag(row.boot), flag(row.reset), flag(row.dsrMode), text(row.socket),
            text(row.serial), text(row.serialNumber), text(row.order), text(row.operatorName),
            text(QString::fromLatin1(row.orderSha256)), QVariant(row.orderQuantity)};
}

QVariantList imageValues(const productionRow &row, int index)
{
    const imageFacts &f = row.images.at(index);
    return {text(row.id), index, text(f.fileName), f.size, static_cast<qint64>(f.address),
            text(QString::fromLatin1(f.sha256))};
}

// "(?,?,?),(?,?,?)" for count rows of width values.
QString tuples(int count, int width)
{
    const QString one = QStringLiteral("(?") + QStringLiteral(",?").repeated(width - 1) + QLatin1Char(')');
    QString all = one;
    for (int i = 1; i < count; ++i)
        all += QLatin1Char(',') + one;
    return all;
}

bool execBound(QSqlQuery &q, const QString &sql, const QVariantList &values, QString *error)
{
    if (!q.prepare(sql))
        return fail(q, error);
    for (const QVariant &v : values)
        q.addBindValue(v);
    return q.exec() || fail(q, error);
}

constexpr int kImageColumnCount = 6;
const char kImageColumns[] = "record_id, idx, file_name, size, address, sha256";
// Rows per statement on the server: one round trip for many rows, well
// below the protocol's limit of 65535 values.
constexpr int kRowsPerStatement = 100;
} // namespace

bool insertRow(QSqlDatabase &db, const productionRow &row, QString *error)
{
    // IMMEDIATE takes the write lock at once, so a busy file is waited for
    // here rather than failing at the first write.
    if (!execOn(db, QStringLiteral("BEGIN IMMEDIATE"), error))
        return false;
    bool good;
    {
        QSqlQuery q(db);
        good = execBound(q,
                         QStringLiteral("INSERT INTO records (%1) VALUES %2 ON CONFLICT DO NOTHING")
                             .arg(allColumns(), tuples(1, kRowColumnCount)),
                         valuesOf(row), error);
        if (good && q.numRowsAffected() != 0) {
            for (int i = 0; good && i < row.images.size(); ++i) {
                QSqlQuery image(db);
                good = execBound(image,
                                 QStringLiteral("INSERT INTO images (%1) VALUES %2 ON CONFLICT DO NOTHING")
                                     .arg(QLatin1String(kImageColumns), tuples(1, kImageColumnCount)),
                                 imageValues(row, i), error);
            }
        }
    }
    if (good && execOn(db, QStringLiteral("COMMIT"), error))
        return true;
    QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
    return false;
}

bool insertRows(QSqlDatabase &db, const QVector<productionRow> &rows, QString *error)
{
    for (int start = 0; start < rows.size(); start += kRowsPerStatement) {
        const QVector<productionRow> part = rows.mid(start, kRowsPerStatement);
        QVariantList values;
        for (const productionRow &r : part)
            values += valuesOf(r);
        QSqlQuery q(db);
        // The ids the server did not have yet: only their images are new.
        if (!execBound(q,
                       QStringLiteral("INSERT INTO records (%1) VALUES %2 ON CONFLICT DO NOTHING RETURNING id")
                           .arg(allColumns(), tuples(part.size(), kRowColumnCount)),
                       values, error))
            return false;
        QSet<QString> fresh;
        while (q.next())
            fresh.insert(q.value(0).toString());
        values.clear();
        int images = 0;
        for (const productionRow &r : part) {
            if (!fresh.contains(r.id))
                continue;
            for (int i = 0; i < r.images.size(); ++i, ++images)
                values += imageValues(r, i);
        }
        QSqlQuery image(db);
        if (images > 0
            && !execBound(image,
                          QStringLiteral("INSERT INTO images (%1) VALUES %2 ON CONFLICT DO NOTHING")
                              .arg(QLatin1String(kImageColumns), tuples(images, kImageColumnCount)),
                          values, error))
            return false;
    }
    return true;
}

QString rowColumns(int version)
{
    QStringList parts;
    for (const columnGroup &group : kColumnGroups)
        parts << QLatin1String(version >= group.since ? group.columns : group.absent);
    return parts.join(QStringLiteral(", "));
}

productionRow rowFromQuery(const QSqlQuery &q)
{
    productionRow r;
    r.id = q.value(0).toString();
    r.timeMs = q.value(1).toLongLong();
    r.utcOffset = q.value(2).toInt();
    r.host = q.value(3).toString();
    r.line = q.value(4).toString();
    r.station = q.value(5).toInt();
    r.port = q.value(6).toString();
    r.model = q.value(7).toString();
    r.flashId = q.value(8).toString();
    r.uid = q.value(9).toString();
    r.operation = q.value(10).toString();
    r.ok = q.value(11).toInt() != 0;
    r.code = static_cast<uint32_t>(q.value(12).toLongLong());
    r.text = q.value(13).toString();
    r.firstCode = static_cast<uint32_t>(q.value(14).toLongLong());
    r.seconds = q.value(15).toDouble();
    r.bytes = q.value(16).toLongLong();
    r.baud = static_cast<uint32_t>(q.value(17).toLongLong());
    r.highSpeed = q.value(18).toInt() != 0;
    r.toolVersion = q.value(19).toString();
    r.fastLoad = q.value(20).toString();
    r.ramCodeFile = q.value(21).toString();
    r.ramCodeSha256 = q.value(22).toString().toLatin1();
    r.flashSize = q.value(23).toLongLong();
    r.romBuild = q.value(24).toString();
    r.imageBaud = static_cast<uint32_t>(q.value(25).toLongLong());
    r.eraseBeforeWrite = flagOf(q.value(26));
    r.boot = flagOf(q.value(27));
    r.reset = flagOf(q.value(28));
    r.dsrMode = flagOf(q.value(29));
    r.socket = q.value(30).toString();
    r.serial = q.value(31).toString();
    r.serialNumber = q.value(32).toString();
    r.order = q.value(33).toString();
    r.operatorName = q.value(34).toString();
    r.orderSha256 = q.value(35).toString().toLatin1();
    r.orderQuantity = q.value(36).toLongLong();
    return r;
}

bool loadImages(QSqlDatabase &db, productionRow *row, QString *error)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT file_name, size, address, sha256 FROM images WHERE record_id = ? ORDER BY idx"));
    q.addBindValue(row->id);
    if (!q.exec())
        return fail(q, error);
    row->images.clear();
    while (q.next()) {
        imageFacts f;
        f.fileName = q.value(0).toString();
        f.size = q.value(1).toLongLong();
        f.address = static_cast<uint32_t>(q.value(2).toLongLong());
        f.sha256 = q.value(3).toString().toLatin1();
        row->images.append(f);
    }
    return true;
}

QString imagesColumn(bool server)
{
    // Every field is hex or decimal, so the separators cannot occur inside
    // one, whatever a file is called; the order is restored from idx.
    return server ? QStringLiteral("(SELECT string_agg(idx || ':' || encode(convert_to(file_name, 'UTF8'), 'hex')"
                                   " || ':' || size || ':' || address || ':' || sha256, ';')"
                                   " FROM images WHERE record_id = records.id)")
                  : QStringLiteral("(SELECT group_concat(idx || ':' || hex(file_name) || ':' || size || ':' || address"
                                   " || ':' || sha256, ';') FROM images WHERE record_id = records.id)");
}

void imagesFromColumn(const QString &value, productionRow *row)
{
    QVector<QPair<int, imageFacts>> found;
    for (const QStringRef &part : value.splitRef(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QVector<QStringRef> f = part.split(QLatin1Char(':'));
        if (f.size() != 5)
            continue;
        imageFacts facts;
        facts.fileName = QString::fromUtf8(QByteArray::fromHex(f.at(1).toLatin1()));
        facts.size = f.at(2).toLongLong();
        facts.address = static_cast<uint32_t>(f.at(3).toLongLong());
        facts.sha256 = f.at(4).toLatin1();
        found.append({f.at(0).toInt(), facts});
    }
    std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    row->images.clear();
    for (const auto &f : found)
        row->images.append(f.second);
}

bool readUnsent(QSqlDatabase &db, int limit, QVector<productionRow> *rows, qint64 *lastSeq, QString *error)
{
    rows->clear();
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1, seq FROM records WHERE sent = 0 ORDER BY seq LIMIT ?")
                  .arg(allColumns()));
    q.addBindValue(limit);
    if (!q.exec())
        return fail(q, error);
    while (q.next()) {
        rows->append(rowFromQuery(q));
        *lastSeq = q.value(kRowColumnCount).toLongLong();
    }
    q.finish();
    for (productionRow &r : *rows)
        if (!loadImages(db, &r, error))
            return false;
    return true;
}

bool markSent(QSqlDatabase &db, qint64 lastSeq, QString *error)
{
    // Rows appended meanwhile have a higher seq: every unsent row up to
    // lastSeq was in the batch just sent.
    QSqlQuery q(db);
    q.prepare(QStringLiteral("UPDATE records SET sent = 1 WHERE sent = 0 AND seq <= ?"));
    q.addBindValue(lastSeq);
    return q.exec() || fail(q, error);
}

qint64 countUnsent(QSqlDatabase db)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT count(*) FROM records WHERE sent = 0")) || !q.next())
        return -1;
    return q.value(0).toLongLong();
}

bool readUnsentSerials(QSqlDatabase &db, int limit, QVector<serialRow> *rows, QString *error)
{
    rows->clear();
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT rule, seq, value, number, state, record_id, uid, time_ms, host, line, station"
                             " FROM serials WHERE sent = 0 AND source <> '' AND state IN ('used', 'void') LIMIT ?"));
    q.addBindValue(limit);
    if (!q.exec())
        return fail(q, error);
    while (q.next())
        rows->append({q.value(0).toString(), q.value(1).toLongLong(), q.value(2).toString(), q.value(3).toString(),
                      q.value(4).toString(), q.value(5).toString(), q.value(6).toString(), q.value(7).toLongLong(),
                      q.value(8).toString(), q.value(9).toString(), q.value(10).toInt()});
    return true;
}

bool insertSerials(QSqlDatabase &db, const QVector<serialRow> &rows, QString *error)
{
    constexpr int kWidth = 11;
    for (int start = 0; start < rows.size(); start += kRowsPerStatement) {
        const QVector<serialRow> part = rows.mid(start, kRowsPerStatement);
        QVariantList values;
        for (const serialRow &r : part)
            values << text(r.rule) << r.seq << text(r.value) << text(r.number) << text(r.state) << text(r.recordId)
                   << text(r.uid) << r.timeMs << text(r.host) << text(r.line) << r.station;
        QSqlQuery q(db);
        if (!execBound(q,
                       QStringLiteral("INSERT INTO serials (rule, seq, value, number, state, record_id, uid, time_ms,"
                                      " host, line, station) VALUES %1 ON CONFLICT DO NOTHING")
                           .arg(tuples(part.size(), kWidth)),
                       values, error))
            return false;
    }
    return true;
}

bool markSerialsSent(QSqlDatabase &db, const QVector<serialRow> &rows, QString *error)
{
    // A value settled again meanwhile (given back, then used) has another
    // state by now and goes with the next round.
    if (rows.isEmpty())
        return true;
    if (!execOn(db, QStringLiteral("BEGIN IMMEDIATE"), error))
        return false;
    bool good = true;
    for (const serialRow &r : rows) {
        QSqlQuery q(db);
        good = execBound(q, QStringLiteral("UPDATE serials SET sent = 1 WHERE rule = ? AND seq = ? AND state = ?"),
                         {r.rule, r.seq, r.state}, error);
        if (!good)
            break;
    }
    if (good && execOn(db, QStringLiteral("COMMIT"), error))
        return true;
    QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
    return false;
}
