#include "recordsql.h"

#include "recordschema.h"
#include "recordstore.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

const char kRowColumns[] = "id, time_ms, utc_offset, host, line, station, port, model, flash_id, uid, operation, ok, "
                           "code, text, first_code, seconds, bytes, baud, high_speed, tool_version";

namespace {
// A second process on the same line (the window and vq_flash) or the
// uploader may hold the write lock for a moment; a row waits rather than
// fails.
constexpr int kBusyTimeoutMs = 10000;
// A server that does not answer is given this long before the uploader
// backs off; it runs on its own thread, so only its rows wait.
constexpr int kConnectTimeoutSeconds = 5;

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

bool execOn(QSqlDatabase &db, const QString &sql, QString *error)
{
    QSqlQuery q(db);
    return q.exec(sql) || fail(q, error);
}
} // namespace

bool openLocalDatabase(const QString &path, const QString &connection, bool create, QSqlDatabase *db,
                       QString *error)
{
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        *error = QStringLiteral("缺少 Qt 的 SQLite 驱动（libqt5sql5-sqlite）");
        return false;
    }
    if (!create && !QFileInfo::exists(path)) {
        *error = QStringLiteral("没有数据库文件：") + QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
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
    // WAL: readers (the uploader, a search) never block the writer. FULL:
    // a committed row survives a power cut as well as a killed process.
    return execOn(*db, QStringLiteral("PRAGMA journal_mode = WAL"), error)
        && execOn(*db, QStringLiteral("PRAGMA synchronous = FULL"), error) && prepareLocalSchema(*db, error);
}

bool openServerDatabase(const recordServer &server, const QString &connection, QSqlDatabase *db, QString *error)
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
    return prepareServerSchema(*db, error);
}

namespace {
QVariantList valuesOf(const productionRow &row)
{
    return {text(row.id), QVariant(row.timeMs), QVariant(row.utcOffset), text(row.host), text(row.line),
            QVariant(row.station), text(row.port), text(row.model), text(row.flashId), text(row.uid),
            text(row.operation), QVariant(row.ok ? 1 : 0), QVariant(static_cast<qint64>(row.code)), text(row.text),
            QVariant(static_cast<qint64>(row.firstCode)), QVariant(row.seconds), QVariant(row.bytes),
            QVariant(static_cast<qint64>(row.baud)), QVariant(row.highSpeed ? 1 : 0), text(row.toolVersion)};
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

constexpr int kRowColumnCount = 20;
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
                             .arg(QLatin1String(kRowColumns), tuples(1, kRowColumnCount)),
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
                           .arg(QLatin1String(kRowColumns), tuples(part.size(), kRowColumnCount)),
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

bool readUnsent(QSqlDatabase &db, int limit, QVector<productionRow> *rows, qint64 *lastSeq, QString *error)
{
    rows->clear();
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1, seq FROM records WHERE sent = 0 ORDER BY seq LIMIT ?")
                  .arg(QLatin1String(kRowColumns)));
    q.addBindValue(limit);
    if (!q.exec())
        return fail(q, error);
    while (q.next()) {
        rows->append(rowFromQuery(q));
        *lastSeq = q.value(20).toLongLong();
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
        return 0;
    return q.value(0).toLongLong();
}
