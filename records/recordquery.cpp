#include "recordsql.h"
#include "recordstore.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace {
QString queryConnectionName()
{
    static std::atomic<int> counter{0};
    return QStringLiteral("vq_records_query_%1").arg(++counter);
}

// The WHERE clause of a filter and its values, in order.
struct whereClause {
    QString sql;
    QVariantList values;
};

whereClause whereOf(const recordFilter &f)
{
    QStringList parts;
    whereClause w;
    // UIDs and flash IDs are hex; whoever types one may use either case.
    const auto either = [&](const char *column, const QString &value) {
        parts << QStringLiteral("%1 IN (?, ?, ?)").arg(QLatin1String(column));
        w.values << value << value.toUpper() << value.toLower();
    };
    if (!f.uid.isEmpty())
        either("uid", f.uid);
    if (!f.flashId.isEmpty())
        either("flash_id", f.flashId);
    if (!f.line.isEmpty()) {
        parts << QStringLiteral("line = ?");
        w.values << f.line;
    }
    if (f.station > 0) {
        parts << QStringLiteral("station = ?");
        w.values << f.station;
    }
    if (f.fromMs != 0) {
        parts << QStringLiteral("time_ms >= ?");
        w.values << f.fromMs;
    }
    if (f.toMs != 0) {
        parts << QStringLiteral("time_ms < ?");
        w.values << f.toMs;
    }
    if (f.outcome != recordFilter::result::any)
        parts << QStringLiteral("ok = %1").arg(f.outcome == recordFilter::result::good ? 1 : 0);
    if (!f.sha256.isEmpty()) {
        parts << QStringLiteral("id IN (SELECT record_id FROM images WHERE sha256 = ?)");
        w.values << f.sha256.toLower();
    }
    if (!parts.isEmpty())
        w.sql = QStringLiteral(" WHERE ") + parts.join(QStringLiteral(" AND "));
    return w;
}

bool run(QSqlQuery &q, const QString &sql, const QVariantList &values, QString *error)
{
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        if (error)
            *error = q.lastError().text();
        return false;
    }
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (q.exec())
        return true;
    if (error)
        *error = q.lastError().text();
    return false;
}
} // namespace

recordQuery::recordQuery(const QString &connection) : connection(connection) {}

recordQuery::~recordQuery()
{
    QSqlDatabase::database(connection, false).close();
    QSqlDatabase::removeDatabase(connection);
}

std::unique_ptr<recordQuery> recordQuery::openLocal(const QString &databasePath, QString *error)
{
    const QString name = queryConnectionName();
    bool good;
    {
        QSqlDatabase db;
        good = openLocalDatabase(databasePath, name, false, &db, error);
    }
    if (!good) {
        QSqlDatabase::removeDatabase(name);
        return nullptr;
    }
    return std::unique_ptr<recordQuery>(new recordQuery(name));
}

std::unique_ptr<recordQuery> recordQuery::openServer(const recordServer &server, QString *error)
{
    const QString name = queryConnectionName();
    bool good;
    {
        QSqlDatabase db;
        good = openServerDatabase(server, name, &db, error);
    }
    if (!good) {
        QSqlDatabase::removeDatabase(name);
        return nullptr;
    }
    return std::unique_ptr<recordQuery>(new recordQuery(name));
}

bool recordQuery::find(const recordFilter &filter, QVector<productionRow> *rows, QString *error)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    const whereClause w = whereOf(filter);
    QString sql = QStringLiteral("SELECT %1 FROM records%2 ORDER BY time_ms DESC, seq DESC")
                      .arg(QLatin1String(kRowColumns), w.sql);
    if (filter.limit > 0)
        sql += QStringLiteral(" LIMIT %1").arg(filter.limit);
    QSqlQuery q(db);
    if (!run(q, sql, w.values, error))
        return false;
    rows->clear();
    while (q.next())
        rows->append(rowFromQuery(q));
    q.finish();
    for (productionRow &r : *rows)
        if (!loadImages(db, &r, error))
            return false;
    return true;
}

bool recordQuery::summary(const recordFilter &filter, recordSummary *summary, QString *error)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    const whereClause w = whereOf(filter);
    *summary = recordSummary();
    // The hour is the UTC hour: lines in different time zones add up.
    QSqlQuery hours(db);
    if (!run(hours,
             QStringLiteral("SELECT time_ms / 3600000, sum(ok), count(*) - sum(ok) FROM records%1"
                            " GROUP BY time_ms / 3600000 ORDER BY 1")
                 .arg(w.sql),
             w.values, error))
        return false;
    while (hours.next())
        summary->hours.append({hours.value(0).toLongLong() * 3600000, hours.value(1).toLongLong(),
                               hours.value(2).toLongLong()});

    const QString failedWhere = w.sql.isEmpty() ? QStringLiteral(" WHERE ok = 0") : w.sql + QStringLiteral(" AND ok = 0");
    QSqlQuery failures(db);
    if (!run(failures,
             QStringLiteral("SELECT code, text, count(*) FROM records%1 GROUP BY code, text ORDER BY 3 DESC, 1, 2")
                 .arg(failedWhere),
             w.values, error))
        return false;
    while (failures.next())
        summary->failures.append({static_cast<uint32_t>(failures.value(0).toLongLong()), failures.value(1).toString(),
                                  failures.value(2).toLongLong()});

    QSqlQuery stations(db);
    if (!run(stations,
             QStringLiteral("SELECT line, station, sum(ok), count(*) - sum(ok) FROM records%1"
                            " GROUP BY line, station ORDER BY 1, 2")
                 .arg(w.sql),
             w.values, error))
        return false;
    while (stations.next())
        summary->stations.append({stations.value(0).toString(), stations.value(1).toInt(),
                                  stations.value(2).toLongLong(), stations.value(3).toLongLong()});
    return true;
}
