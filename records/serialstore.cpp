#include "serialstore.h"

#include "recordsql.h"
#include "resultcodes.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include <atomic>

namespace {
// A place already in the table (left by the server's counter when this
// line also counted on its own, or by a copy of an older file) is passed
// over; this many in a row would mean the table is not what it seems.
constexpr int kTakenPlaces = 1000;
// A lease taken by another station of the line meanwhile is found at the
// second look; a third means the server hands out leases this line cannot
// use (a rule whose values ran out).
constexpr int kLeaseTries = 2;

QString newConnectionName(const char *what)
{
    static std::atomic<int> counter{0};
    return QStringLiteral("vq_serials_%1_%2").arg(QLatin1String(what)).arg(++counter);
}

bool failed(const QSqlQuery &q, QString *error)
{
    if (error)
        *error = q.lastError().text();
    return false;
}

bool exec(QSqlQuery &q, const QString &sql, const QVariantList &values, QString *error)
{
    if (!q.prepare(sql))
        return failed(q, error);
    for (const QVariant &v : values)
        q.addBindValue(v);
    return q.exec() || failed(q, error);
}

bool exec(QSqlDatabase &db, const QString &sql, const QVariantList &values, QString *error)
{
    QSqlQuery q(db);
    return exec(q, sql, values, error);
}

// Every text column is NOT NULL; an unknown UID is an empty one.
QString text(const QString &s)
{
    return s.isNull() ? QStringLiteral("") : s;
}

QString serverSource(const recordServer &server)
{
    return server.valid() ? QStringLiteral("%1:%2/%3").arg(server.host).arg(server.port).arg(server.database)
                          : QStringLiteral("");
}

QByteArray procLine(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray();
}
} // namespace

QString processStamp(qint64 pid)
{
    // A process is named by its start, in clock ticks since this boot, and
    // the boot itself: a pid reused after a restart is another process.
    const QByteArray stat = procLine(QStringLiteral("/proc/%1/stat").arg(pid));
    const int end = stat.lastIndexOf(')');
    if (end < 0)
        return QString();
    // After the command's name: state (field 3) ... starttime (field 22).
    const QList<QByteArray> fields = stat.mid(end + 2).split(' ');
    const QByteArray boot = procLine(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    if (fields.size() < 20 || boot.isEmpty())
        return QString();
    return QString::fromLatin1(boot + '/' + fields.at(19));
}

// ---------------------------------------------------------------------------

class serialStore::worker : public QObject
{
public:
    worker(const QString &path, const recordServer &server, const serialRule &rule, const recordOrigin &origin)
        : path(path), server(server), source(serverSource(server)), rule(rule), ruleKey(rule.key()), origin(origin),
          pid(QCoreApplication::applicationPid()), stamp(processStamp(pid))
    {
        // As rows name it: the host while the line has no name.
        if (this->origin.line.isEmpty())
            this->origin.line = origin.host;
        if (rule.kind == serialRule::source::list) {
            const QFileInfo list(rule.listPath);
            listSize = list.size();
            listModified = list.lastModified();
        }
    }
    ~worker() override
    {
        closeServer();
        if (!connection.isEmpty()) {
            QSqlDatabase::database(connection, false).close();
            QSqlDatabase::removeDatabase(connection);
        }
    }

    bool open(QString *error, int *voided)
    {
        if (!openLocal(error))
            return false;
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!exec(q,
                  QStringLiteral("SELECT DISTINCT pid, process_start FROM serials"
                                 " WHERE state = 'reserved' AND host = ?"),
                  {origin.host}, error))
            return false;
        QList<QPair<qint64, QString>> gone;
        while (q.next()) {
            const qint64 other = q.value(0).toLongLong();
            const QString start = q.value(1).toString();
            if (start.isEmpty() || processStamp(other) != start)
                gone.append({other, start});
        }
        q.finish();
        int made = 0;
        for (const auto &g : gone) {
            QSqlQuery v(db);
            if (!exec(v,
                      QStringLiteral("UPDATE serials SET state = 'void', time_ms = ?, sent = 0"
                                     " WHERE state = 'reserved' AND host = ? AND pid = ? AND process_start = ?"),
                      {QDateTime::currentMSecsSinceEpoch(), origin.host, g.first, g.second}, error))
                return false;
            made += v.numRowsAffected();
        }
        if (voided)
            *voided = made;
        return true;
    }

    chipSerial reserve(int station)
    {
        chipSerial value;
        value.address = rule.address;
        QString error;
        if (!listUnchanged()) {
            value.refusal = resultCode::kSerialListChanged;
            return value;
        }
        if (!openLocal(&error)) {
            value.refusal = resultCode::kSerialNotReserved;
            value.detail = QStringLiteral("序列号无法预留：") + error;
            return value;
        }
        for (int lease = 0;; ++lease) {
            const place got = takePlace(station, &value, &error);
            if (got == place::taken) {
                value.granted = true;
                value.hex = serialHex(value.bytes);
                value.text = rule.textOf(value.bytes, value.number);
                return value;
            }
            if (got == place::usedUp) {
                value.refusal = resultCode::kSerialUsedUp;
                return value;
            }
            if (got == place::failed) {
                value.refusal = resultCode::kSerialNotReserved;
                value.detail = QStringLiteral("序列号无法预留：") + error;
                return value;
            }
            if (lease == kLeaseTries) {
                value.refusal = resultCode::kSerialUsedUp;
                return value;
            }
            if (!takeLease(&error)) {
                value.refusal = resultCode::kSerialServerAway;
                value.detail = QStringLiteral("序列号服务器 %1:%2 不可达：%3")
                                   .arg(server.host)
                                   .arg(server.port)
                                   .arg(error.trimmed());
                return value;
            }
        }
    }

    bool settle(const chipSerial &value, serialUse use, const QString &rowId, const QString &uid)
    {
        QString error;
        if (!openLocal(&error))
            return false;
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        // A settlement a power cut takes back leaves its value reserved,
        // which the next start makes void: never given twice. It does not
        // wait for the disk; the reservation does (and the chip's row,
        // written after it, takes it to the disk with its own).
        durable(db, false);
        const bool back = use == serialUse::returned;
        const QString state = back ? QStringLiteral("free") : use == serialUse::used ? QStringLiteral("used")
                                                                                      : QStringLiteral("void");
        QSqlQuery q(db);
        // Only this process's reservation: one the store made void after
        // the process was taken for gone stays void.
        return exec(q,
                    QStringLiteral("UPDATE serials SET state = ?, record_id = ?, uid = ?, time_ms = ?, sent = 0"
                                   " WHERE rule = ? AND seq = ? AND state = 'reserved' AND host = ? AND pid = ?"
                                   " AND process_start = ?"),
                    {state, text(back ? QString() : rowId), text(back ? QString() : uid),
                     QDateTime::currentMSecsSinceEpoch(), ruleKey, value.seq, origin.host, pid, stamp},
                    &error)
            && q.numRowsAffected() == 1;
    }

private:
    enum class place { taken, usedUp, needLease, failed };

    void durable(QSqlDatabase &db, bool full)
    {
        if (full == synchronousFull)
            return;
        QSqlQuery(db).exec(full ? QStringLiteral("PRAGMA synchronous = FULL") : QStringLiteral("PRAGMA synchronous = NORMAL"));
        synchronousFull = full;
    }

    bool openLocal(QString *error)
    {
        if (!connection.isEmpty() && fileIdentity(path) != identity && !followFile(error))
            return false;
        if (!connection.isEmpty())
            return true;
        QString name;
        if (!connectLocal(&name, error))
            return false;
        connection = name;
        identity = fileIdentity(path);
        synchronousFull = true;
        return true;
    }

    bool connectLocal(QString *name, QString *error)
    {
        *name = newConnectionName("local");
        bool good;
        {
            QSqlDatabase db;
            good = openLocalDatabase(path, *name, true, &db, error);
        }
        if (good)
            return true;
        QSqlDatabase::database(*name, false).close();
        QSqlDatabase::removeDatabase(*name);
        return false;
    }

    // The database was deleted or replaced under the line: what the old
    // file knows of the values goes to the file now at the path before the
    // next value, or the line would give them again.
    bool followFile(QString *error)
    {
        QString fresh;
        if (!connectLocal(&fresh, error))
            return false;
        QSqlDatabase::database(fresh, false).close();
        QSqlDatabase::removeDatabase(fresh);
        QSqlDatabase old = QSqlDatabase::database(connection, false);
        qint64 copied = 0;
        if (!copyRowsTo(old, path, &copied, error))
            return false;
        old = QSqlDatabase();
        retireConnection(connection);
        connection.clear();
        return true;
    }

    bool listUnchanged()
    {
        if (rule.kind != serialRule::source::list)
            return true;
        const QFileInfo list(rule.listPath);
        if (list.exists() && list.size() == listSize && list.lastModified() == listModified)
            return true;
        // Touched, perhaps copied over with the same values: only other
        // bytes are a change.
        if (fileSha256(rule.listPath) != rule.listSha256)
            return false;
        listSize = list.size();
        listModified = list.lastModified();
        return true;
    }

    // One place for the chip in one transaction: a value given back first,
    // then the next of the line's counter, or of its lease.
    place takePlace(int station, chipSerial *value, QString *error)
    {
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        durable(db, true);
        if (!exec(db, QStringLiteral("BEGIN IMMEDIATE"), {}, error))
            return place::failed;
        place got = pickPlace(db, station, value, error);
        if (got == place::taken && !exec(db, QStringLiteral("COMMIT"), {}, error))
            got = place::failed;
        if (got != place::taken)
            QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return got;
    }

    place pickPlace(QSqlDatabase &db, int station, chipSerial *value, QString *error)
    {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!exec(q,
                  QStringLiteral("SELECT seq FROM serials WHERE rule = ? AND source = ? AND state = 'free'"
                                 " ORDER BY seq LIMIT 1"),
                  {ruleKey, source}, error))
            return place::failed;
        if (q.next()) {
            const qint64 seq = q.value(0).toLongLong();
            q.finish();
            if (!rule.valueAt(seq, &value->bytes, &value->number))
                return place::usedUp;
            value->seq = seq;
            return exec(db,
                        QStringLiteral("UPDATE serials SET state = 'reserved', time_ms = ?, line = ?, station = ?,"
                                       " host = ?, pid = ?, process_start = ? WHERE rule = ? AND seq = ?"),
                        {QDateTime::currentMSecsSinceEpoch(), origin.line, station, origin.host, pid, stamp, ruleKey,
                         seq},
                        error)
                ? place::taken
                : place::failed;
        }
        q.finish();
        for (int skipped = 0; skipped < kTakenPlaces; ++skipped) {
            qint64 seq = 0;
            const place next = source.isEmpty() ? ownPlace(db, &seq, error) : leasedPlace(db, &seq, error);
            if (next != place::taken)
                return next;
            if (!rule.valueAt(seq, &value->bytes, &value->number))
                return place::usedUp;
            QSqlQuery insert(db);
            if (!exec(insert,
                      QStringLiteral("INSERT INTO serials (rule, seq, value, number, state, source, record_id, uid,"
                                     " time_ms, line, station, host, pid, process_start)"
                                     " VALUES (?, ?, ?, ?, 'reserved', ?, '', '', ?, ?, ?, ?, ?, ?)"
                                     " ON CONFLICT DO NOTHING"),
                      {ruleKey, seq, serialHex(value->bytes), text(value->number), source,
                       QDateTime::currentMSecsSinceEpoch(), origin.line, station, origin.host, pid, stamp},
                      error))
                return place::failed;
            if (insert.numRowsAffected() == 1) {
                value->seq = seq;
                return place::taken;
            }
        }
        *error = QStringLiteral("too many places of the rule already taken");
        return place::failed;
    }

    // The next place of the line's own counter, moved on at once.
    place ownPlace(QSqlDatabase &db, qint64 *seq, QString *error)
    {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!exec(q,
                  QStringLiteral("INSERT INTO serial_counters (rule, next_seq) VALUES (?, 1)"
                                 " ON CONFLICT (rule) DO UPDATE SET next_seq = next_seq + 1 RETURNING next_seq - 1"),
                  {ruleKey}, error)
            || !q.next())
            return place::failed;
        *seq = q.value(0).toLongLong();
        return place::taken;
    }

    place leasedPlace(QSqlDatabase &db, qint64 *seq, QString *error)
    {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!exec(q,
                  QStringLiteral("SELECT first_seq, next_seq FROM serial_leases WHERE rule = ? AND source = ?"
                                 " AND next_seq < end_seq ORDER BY first_seq LIMIT 1"),
                  {ruleKey, source}, error))
            return place::failed;
        if (!q.next())
            return place::needLease;
        const qint64 first = q.value(0).toLongLong();
        *seq = q.value(1).toLongLong();
        q.finish();
        return exec(db,
                    QStringLiteral("UPDATE serial_leases SET next_seq = next_seq + 1 WHERE rule = ? AND source = ?"
                                   " AND first_seq = ?"),
                    {ruleKey, source, first}, error)
            ? place::taken
            : place::failed;
    }

    // A block of places from the factory's counter, in one server
    // transaction, then kept in the line's file. A lease the server has
    // handed out but the line failed to keep is lost, never handed twice.
    bool takeLease(QString *error)
    {
        for (int attempt = 0; attempt < 2; ++attempt) {
            // A connection the server dropped (a restart) is found out at
            // its first statement; a fresh one is tried once.
            if (attempt > 0 || serverConnection.isEmpty()) {
                closeServer();
                if (!openServer(error))
                    return false;
            }
            qint64 first = 0;
            if (leaseFromServer(&first, error)) {
                QSqlDatabase db = QSqlDatabase::database(connection, false);
                return exec(db,
                            QStringLiteral("INSERT INTO serial_leases (rule, source, first_seq, end_seq, next_seq,"
                                           " time_ms) VALUES (?, ?, ?, ?, ?, ?)"),
                            {ruleKey, source, first, first + server.serialLease, first,
                             QDateTime::currentMSecsSinceEpoch()},
                            error);
            }
        }
        closeServer();
        return false;
    }

    bool leaseFromServer(qint64 *first, QString *error)
    {
        QSqlDatabase db = QSqlDatabase::database(serverConnection, false);
        if (!db.transaction()) {
            *error = db.lastError().text();
            return false;
        }
        QSqlQuery q(db);
        q.setForwardOnly(true);
        bool good = exec(q,
                         QStringLiteral("INSERT INTO serial_counters (rule, next_seq) VALUES (?, ?)"
                                        " ON CONFLICT (rule) DO UPDATE"
                                        " SET next_seq = serial_counters.next_seq + EXCLUDED.next_seq"
                                        " RETURNING next_seq"),
                         {ruleKey, server.serialLease}, error)
            && q.next();
        if (good) {
            *first = q.value(0).toLongLong() - server.serialLease;
            q.finish();
            good = exec(db,
                        QStringLiteral("INSERT INTO serial_leases (rule, first_seq, end_seq, host, line, time_ms)"
                                       " VALUES (?, ?, ?, ?, ?, ?)"),
                        {ruleKey, *first, *first + server.serialLease, origin.host, origin.line,
                         QDateTime::currentMSecsSinceEpoch()},
                        error);
        }
        if (good && db.commit())
            return true;
        if (good)
            *error = db.lastError().text();
        db.rollback();
        return false;
    }

    bool openServer(QString *error)
    {
        const QString name = newConnectionName("server");
        bool good;
        {
            QSqlDatabase db;
            int version = 0;
            good = openServerDatabase(server, name, true, &db, &version, error);
        }
        if (!good) {
            QSqlDatabase::database(name, false).close();
            QSqlDatabase::removeDatabase(name);
            return false;
        }
        serverConnection = name;
        return true;
    }

    void closeServer()
    {
        if (serverConnection.isEmpty())
            return;
        QSqlDatabase::database(serverConnection, false).close();
        QSqlDatabase::removeDatabase(serverConnection);
        serverConnection.clear();
    }

    const QString path;
    const recordServer server;
    const QString source;
    const serialRule rule;
    const QString ruleKey;
    recordOrigin origin;
    const qint64 pid;
    const QString stamp;
    QString connection;
    quint64 identity = 0;
    // As openLocalDatabase leaves a connection.
    bool synchronousFull = true;
    QString serverConnection;
    qint64 listSize = -1;
    QDateTime listModified;
};

// ---------------------------------------------------------------------------

serialStore::serialStore(const QString &databasePath, const recordServer &server, const serialRule &rule,
                         const recordOrigin &origin)
    : thread(std::make_unique<QThread>())
{
    thread->setObjectName(QStringLiteral("serial values"));
    w = new worker(databasePath, server, rule, origin);
    w->moveToThread(thread.get());
    thread->start();
}

serialStore::~serialStore()
{
    worker *ending = w;
    QMetaObject::invokeMethod(w, [ending] { delete ending; }, Qt::BlockingQueuedConnection);
    thread->quit();
    thread->wait();
}

bool serialStore::open(QString *error, int *voided)
{
    bool good = false;
    QMetaObject::invokeMethod(w, [&] { good = w->open(error, voided); }, Qt::BlockingQueuedConnection);
    return good;
}

chipSerial serialStore::reserve(int station)
{
    chipSerial value;
    QMetaObject::invokeMethod(w, [&] { value = w->reserve(station); }, Qt::BlockingQueuedConnection);
    return value;
}

bool serialStore::settle(const chipSerial &value, serialUse use, const QString &rowId, const QString &uid)
{
    bool good = false;
    QMetaObject::invokeMethod(w, [&] { good = w->settle(value, use, rowId, uid); }, Qt::BlockingQueuedConnection);
    return good;
}

QString nextSerialText(const QString &databasePath, const recordServer &server, const serialRule &rule,
                       bool *usedUp)
{
    if (usedUp)
        *usedUp = false;
    const QString ruleKey = rule.key();
    const QString source = serverSource(server);
    qint64 seq = source.isEmpty() ? 0 : -1;
    const QString name = newConnectionName("next");
    {
        QSqlDatabase db;
        int version = 0;
        QString error;
        // A line without a database yet, or one of an older tool, has given
        // nothing: its next value is the rule's first.
        if (QFileInfo::exists(databasePath) && openLocalReader(databasePath, name, &db, &version, &error)
            && version >= 4) {
            QSqlQuery q(db);
            q.setForwardOnly(true);
            const QString next =
                source.isEmpty()
                    ? QStringLiteral("SELECT coalesce((SELECT next_seq FROM serial_counters WHERE rule = ?), 0)")
                    : QStringLiteral("SELECT coalesce((SELECT next_seq FROM serial_leases WHERE rule = ? AND"
                                     " source = ? AND next_seq < end_seq ORDER BY first_seq LIMIT 1), -1)");
            if (exec(q,
                     QStringLiteral("SELECT coalesce((SELECT min(seq) FROM serials WHERE rule = ? AND source = ?"
                                    " AND state = 'free'), (%1))")
                         .arg(next),
                     source.isEmpty() ? QVariantList{ruleKey, source, ruleKey}
                                      : QVariantList{ruleKey, source, ruleKey, source},
                     &error)
                && q.next())
                seq = q.value(0).toLongLong();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    QByteArray bytes;
    QString number;
    if (seq < 0)
        return QString();
    if (!rule.valueAt(seq, &bytes, &number)) {
        if (usedUp)
            *usedUp = true;
        return QString();
    }
    return rule.textOf(bytes, number);
}
