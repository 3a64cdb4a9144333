#include "recordschema.h"
#include "recordsql.h"
#include "recordstore.h"
#include "serialrule.h"

#include <QFileInfo>

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

// How a row counts in a summary: a stopped run (the stop's transfer code
// 0xE8) and an erase are neither good nor failed.
const char kErase[] = "operation = 'erase'";
const char kGood[] = "operation <> 'erase' AND ok = 1";
const char kStopped[] = "operation <> 'erase' AND ok = 0 AND (code & 255) = 232";
const char kFailed[] = "operation <> 'erase' AND ok = 0 AND (code & 255) <> 232";

// The WHERE clause of a filter and its values, in order.
struct whereClause {
    QString sql;
    QVariantList values;
};

// Rows whose value is the one typed, as its bytes or as a counter's
// number; a database from before values were kept has none.
QString serialCondition(const QString &typed, int version, QVariantList *values)
{
    const serialSearch s = serialSearchOf(typed);
    if (version < 4 || s.empty())
        return QStringLiteral("0 = 1");
    QStringList either;
    for (const QString &hex : s.hex) {
        either << QStringLiteral("serial = ?");
        *values << hex;
    }
    for (const QString &number : s.numbers) {
        either << QStringLiteral("serial_number = ?");
        *values << number;
    }
    return QLatin1Char('(') + either.join(QStringLiteral(" OR ")) + QLatin1Char(')');
}

whereClause whereOf(const recordFilter &f, int version)
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
    if (f.fromMs) {
        parts << QStringLiteral("time_ms >= ?");
        w.values << *f.fromMs;
    }
    if (f.toMs) {
        parts << QStringLiteral("time_ms < ?");
        w.values << *f.toMs;
    }
    if (f.outcome != recordFilter::result::any)
        parts << QStringLiteral("(%1)").arg(QLatin1String(f.outcome == recordFilter::result::good ? kGood : kFailed));
    if (!f.sha256.isEmpty()) {
        parts << QStringLiteral("id IN (SELECT record_id FROM images WHERE sha256 = ?)");
        w.values << f.sha256.toLower();
    }
    if (!f.serial.isEmpty())
        parts << serialCondition(f.serial, version, &w.values);
    if (!f.order.isEmpty() && version < kOrderSchemaVersion)
        parts << QStringLiteral("1 = 0");
    else if (!f.order.isEmpty()) {
        parts << QStringLiteral("work_order = ?");
        w.values << f.order;
    }
    if (!f.notHost.isEmpty()) {
        parts << QStringLiteral("host <> ?");
        w.values << f.notHost;
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

// The counts of a group in five figures that an index scan adds up cheaply
// (erases and stops are rare), from which readCounts derives the four.
QString sums()
{
    return QStringLiteral("count(*), sum(ok), count(*) FILTER (WHERE %1), count(*) FILTER (WHERE %1 AND ok = 1),"
                          " count(*) FILTER (WHERE %2)")
        .arg(QLatin1String(kErase), QLatin1String(kStopped));
}

void readCounts(const QSqlQuery &q, int first, chipCounts *c)
{
    const qint64 all = q.value(first).toLongLong();
    const qint64 ok = q.value(first + 1).toLongLong();
    const qint64 erased = q.value(first + 2).toLongLong();
    const qint64 erasedOk = q.value(first + 3).toLongLong();
    c->stopped = q.value(first + 4).toLongLong();
    c->erased = erased;
    c->good = ok - erasedOk;
    c->failed = all - ok - c->stopped - (erased - erasedOk);
}
} // namespace

recordQuery::recordQuery(const QString &connection, bool server, int version)
    : connection(connection), server(server), version(version)
{
}

recordQuery::~recordQuery()
{
    QSqlDatabase::database(connection, false).close();
    QSqlDatabase::removeDatabase(connection);
}

std::unique_ptr<recordQuery> recordQuery::openLocal(const QString &databasePath, QString *error)
{
    const QString name = queryConnectionName();
    bool good;
    int version = 0;
    {
        QSqlDatabase db;
        good = openLocalReader(databasePath, name, &db, &version, error);
    }
    if (!good) {
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
        return nullptr;
    }
    return std::unique_ptr<recordQuery>(new recordQuery(name, false, version));
}

std::unique_ptr<recordQuery> recordQuery::openServer(const recordServer &server, QString *error)
{
    const QString name = queryConnectionName();
    bool good;
    int version = 0;
    {
        QSqlDatabase db;
        good = openServerDatabase(server, name, false, &db, &version, error);
    }
    if (!good) {
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
        return nullptr;
    }
    return std::unique_ptr<recordQuery>(new recordQuery(name, true, version));
}

bool recordQuery::find(const recordFilter &filter, const std::function<bool(const productionRow &)> &each,
                       QString *error)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    const whereClause w = whereOf(filter, version);
    // One statement, images included: rows come as they are read, with no
    // query per row and nothing gathered first.
    QString sql = QStringLiteral("SELECT %1, %2 FROM records%3 ORDER BY time_ms DESC, seq DESC")
                      .arg(rowColumns(version), imagesColumn(server), w.sql);
    if (filter.limit > 0)
        sql += QStringLiteral(" LIMIT %1").arg(filter.limit);
    QSqlQuery q(db);
    if (!run(q, sql, w.values, error))
        return false;
    while (q.next()) {
        productionRow r = rowFromQuery(q);
        imagesFromColumn(q.value(kRowColumnCount).toString(), &r);
        if (!each(r))
            break;
    }
    // A connection that dropped half-way ends the rows early: that is a
    // failure, not the end of the result.
    if (q.lastError().isValid()) {
        if (error)
            *error = q.lastError().text();
        return false;
    }
    return true;
}

bool recordQuery::find(const recordFilter &filter, QVector<productionRow> *rows, QString *error)
{
    rows->clear();
    return find(
        filter,
        [rows](const productionRow &r) {
            rows->append(r);
            return true;
        },
        error);
}

bool recordQuery::summary(const recordFilter &filter, recordSummary *summary, QString *error)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    const whereClause w = whereOf(filter, version);
    *summary = recordSummary();
    // The hour is the UTC hour: lines in different time zones add up.
    QSqlQuery hours(db);
    if (!run(hours,
             QStringLiteral("SELECT time_ms / 3600000, %1 FROM records%2 GROUP BY time_ms / 3600000 ORDER BY 1")
                 .arg(sums(), w.sql),
             w.values, error))
        return false;
    while (hours.next()) {
        hourCount h;
        h.hourMs = hours.value(0).toLongLong() * 3600000;
        readCounts(hours, 1, &h);
        summary->hours.append(h);
    }

    const QString failed = QStringLiteral("(%1)").arg(QLatin1String(kFailed));
    const QString failedWhere = w.sql.isEmpty() ? QStringLiteral(" WHERE ") + failed : w.sql + QStringLiteral(" AND ") + failed;
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
             QStringLiteral("SELECT line, station, %1 FROM records%2 GROUP BY line, station ORDER BY 1, 2")
                 .arg(sums(), w.sql),
             w.values, error))
        return false;
    while (stations.next()) {
        stationCount c;
        c.line = stations.value(0).toString();
        c.station = stations.value(1).toInt();
        readCounts(stations, 2, &c);
        summary->stations.append(c);
    }
    return (version < 4 || serialCounts(db, filter, summary, error)) && orders(filter, &summary->orders, error);
}

bool recordQuery::serialCounts(QSqlDatabase &db, const recordFilter &filter, recordSummary *summary, QString *error)
{
    // The values' own table, which also holds those of chips a killed
    // process left without a row.
    recordFilter own;
    own.uid = filter.uid;
    own.line = filter.line;
    own.station = filter.station;
    own.fromMs = filter.fromMs;
    own.toMs = filter.toMs;
    const whereClause w = whereOf(own, version);
    QSqlQuery q(db);
    if (!run(q,
             QStringLiteral("SELECT count(*) FILTER (WHERE state = 'used'), count(*) FILTER (WHERE state = 'void')"
                            " FROM serials%1")
                 .arg(w.sql),
             w.values, error)
        || !q.next())
        return false;
    summary->serialsUsed = q.value(0).toLongLong();
    summary->serialsVoid = q.value(1).toLongLong();
    return true;
}

bool recordQuery::orders(const recordFilter &filter, QVector<orderCount> *orders, QString *error)
{
    orders->clear();
    if (version < kOrderSchemaVersion)
        return true;
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    const whereClause w = whereOf(filter, version);
    const QString ofOrders = QStringLiteral("work_order <> ''");
    QSqlQuery q(db);
    if (!run(q,
             QStringLiteral("SELECT work_order, max(order_quantity), %1 FROM records%2 GROUP BY work_order ORDER BY 1")
                 .arg(sums(), w.sql.isEmpty() ? QStringLiteral(" WHERE ") + ofOrders
                                              : w.sql + QStringLiteral(" AND ") + ofOrders),
             w.values, error))
        return false;
    while (q.next()) {
        orderCount c;
        c.order = q.value(0).toString();
        c.quantity = q.value(1).toLongLong();
        readCounts(q, 2, &c);
        orders->append(c);
    }
    return true;
}

bool tallyOrder(const QString &databasePath, const recordServer &server, const QString &order, const QString &host,
                orderTally *tally, QString *error)
{
    *tally = orderTally();
    recordFilter filter;
    filter.order = order;
    QVector<orderCount> counts;
    if (QFileInfo::exists(databasePath)) {
        const auto local = recordQuery::openLocal(databasePath, error);
        if (!local || !local->orders(filter, &counts, error))
            return false;
        tally->good = counts.isEmpty() ? 0 : counts.first().good;
    }
    if (!server.valid())
        return true;
    // Every row of this host is in its line's database, sent or not.
    filter.notHost = host;
    QString why;
    const auto remote = recordQuery::openServer(server, &why);
    if (remote && remote->orders(filter, &counts, &why)) {
        tally->good += counts.isEmpty() ? 0 : counts.first().good;
        return true;
    }
    tally->note = QStringLiteral("记录服务器不可达，工单进度只计本机的记录：") + why.trimmed();
    return true;
}
