#include "recordschema.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace {
// Step n brings a line's database from version n to n + 1. A new version
// appends a step; shipped steps never change, since lines hold files made
// by them.
const QStringList localSteps[] = {
    {
        QStringLiteral("CREATE TABLE records ("
                       " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
                       " id TEXT NOT NULL UNIQUE,"
                       " time_ms INTEGER NOT NULL, utc_offset INTEGER NOT NULL,"
                       " host TEXT NOT NULL, line TEXT NOT NULL, station INTEGER NOT NULL, port TEXT NOT NULL,"
                       " model TEXT NOT NULL, flash_id TEXT NOT NULL, uid TEXT NOT NULL,"
                       " operation TEXT NOT NULL, ok INTEGER NOT NULL, code INTEGER NOT NULL, text TEXT NOT NULL,"
                       " first_code INTEGER NOT NULL, seconds REAL NOT NULL, bytes INTEGER NOT NULL,"
                       " baud INTEGER NOT NULL, high_speed INTEGER NOT NULL, tool_version TEXT NOT NULL,"
                       " sent INTEGER NOT NULL DEFAULT 0)"),
        QStringLiteral("CREATE TABLE images ("
                       " record_id TEXT NOT NULL REFERENCES records(id), idx INTEGER NOT NULL,"
                       " file_name TEXT NOT NULL, size INTEGER NOT NULL, address INTEGER NOT NULL,"
                       " sha256 TEXT NOT NULL, PRIMARY KEY (record_id, idx))"),
        // The summary reads only these indexes, never the table: a million
        // rows answer in a fraction of a second.
        QStringLiteral("CREATE INDEX records_hour ON records(time_ms, ok)"),
        QStringLiteral("CREATE INDEX records_failure ON records(ok, code, text)"),
        QStringLiteral("CREATE INDEX records_station ON records(line, station, ok)"),
        QStringLiteral("CREATE INDEX records_uid ON records(uid)"),
        QStringLiteral("CREATE INDEX records_flash_id ON records(flash_id)"),
        QStringLiteral("CREATE INDEX records_unsent ON records(seq) WHERE sent = 0"),
        QStringLiteral("CREATE INDEX images_sha256 ON images(sha256)"),
    },
    {
        // How the chip was made. Rows made before keep '' / 0 / NULL: not
        // recorded, which is not the same as "off".
        QStringLiteral("ALTER TABLE records ADD COLUMN fast_load TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN ram_code_file TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN ram_code_sha256 TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN flash_size INTEGER NOT NULL DEFAULT 0"),
        QStringLiteral("ALTER TABLE records ADD COLUMN rom_build TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN image_baud INTEGER NOT NULL DEFAULT 0"),
        QStringLiteral("ALTER TABLE records ADD COLUMN erase_before_write INTEGER"),
        QStringLiteral("ALTER TABLE records ADD COLUMN boot INTEGER"),
        QStringLiteral("ALTER TABLE records ADD COLUMN reset INTEGER"),
        QStringLiteral("ALTER TABLE records ADD COLUMN dsr_mode INTEGER"),
        // The summary tells stopped chips and erases from the counted ones
        // (operation, code) and reads one line's day through its own index
        // instead of walking all of that line's rows by station.
        QStringLiteral("DROP INDEX records_hour"),
        QStringLiteral("DROP INDEX records_failure"),
        QStringLiteral("DROP INDEX records_station"),
        QStringLiteral("CREATE INDEX records_time ON records(time_ms, operation, ok, code)"),
        QStringLiteral("CREATE INDEX records_line_time ON records(line, time_ms, station, operation, ok, code)"),
        QStringLiteral("CREATE INDEX records_station ON records(line, station, operation, ok, code)"),
        QStringLiteral("CREATE INDEX records_failure ON records(ok, code, text, operation)"),
    },
    {
        // The socket stays with a fixture when ttyUSB numbers change; rows
        // made before keep '': not recorded.
        QStringLiteral("ALTER TABLE records ADD COLUMN socket TEXT NOT NULL DEFAULT ''"),
    },
    {
        // Each chip's own value, and the values themselves: every one a
        // line has reserved, with what became of it, so that none is given
        // twice (see serialstore.h).
        QStringLiteral("ALTER TABLE records ADD COLUMN serial TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN serial_number TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("CREATE INDEX records_serial ON records(serial)"),
        QStringLiteral("CREATE INDEX records_serial_number ON records(serial_number)"),
        QStringLiteral("CREATE TABLE serials ("
                       " rule TEXT NOT NULL, seq INTEGER NOT NULL, value TEXT NOT NULL, number TEXT NOT NULL,"
                       " state TEXT NOT NULL, source TEXT NOT NULL, record_id TEXT NOT NULL, uid TEXT NOT NULL,"
                       " time_ms INTEGER NOT NULL, line TEXT NOT NULL, station INTEGER NOT NULL,"
                       " host TEXT NOT NULL, pid INTEGER NOT NULL, process_start TEXT NOT NULL,"
                       " sent INTEGER NOT NULL DEFAULT 0, PRIMARY KEY (rule, seq))"),
        QStringLiteral("CREATE INDEX serials_state ON serials(rule, source, state, seq)"),
        QStringLiteral("CREATE INDEX serials_reserved ON serials(host, pid) WHERE state = 'reserved'"),
        QStringLiteral("CREATE INDEX serials_unsent ON serials(sent) WHERE sent = 0"),
        QStringLiteral("CREATE INDEX serials_time ON serials(time_ms, line, station)"),
        QStringLiteral("CREATE TABLE serial_counters (rule TEXT PRIMARY KEY, next_seq INTEGER NOT NULL)"),
        QStringLiteral("CREATE TABLE serial_leases ("
                       " rule TEXT NOT NULL, source TEXT NOT NULL, first_seq INTEGER NOT NULL,"
                       " end_seq INTEGER NOT NULL, next_seq INTEGER NOT NULL, time_ms INTEGER NOT NULL,"
                       " PRIMARY KEY (rule, source, first_seq))"),
    },
    {
        // The production order each chip was made for; a line counts an
        // order's good chips through its index.
        QStringLiteral("ALTER TABLE records ADD COLUMN work_order TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN operator_name TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN order_sha256 TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN order_quantity INTEGER NOT NULL DEFAULT 0"),
        QStringLiteral("CREATE INDEX records_order ON records(work_order, operation, ok, code)"),
    },
};
constexpr int kLocalSteps = sizeof localSteps / sizeof localSteps[0];
static_assert(kLocalSteps == kRecordSchemaVersion, "one migration step per schema version");

// The server's steps, as the line's: step n brings it from version n to
// n + 1. Each statement may meet its work done by a tool of an earlier
// release that made the tables without the version row.
const QStringList serverSteps[] = {
    {
        QStringLiteral("CREATE TABLE IF NOT EXISTS records ("
                       " seq BIGSERIAL UNIQUE,"
                       " id UUID PRIMARY KEY,"
                       " time_ms BIGINT NOT NULL, utc_offset INTEGER NOT NULL,"
                       " host TEXT NOT NULL, line TEXT NOT NULL, station INTEGER NOT NULL, port TEXT NOT NULL,"
                       " model TEXT NOT NULL, flash_id TEXT NOT NULL, uid TEXT NOT NULL,"
                       " operation TEXT NOT NULL, ok INTEGER NOT NULL, code BIGINT NOT NULL, text TEXT NOT NULL,"
                       " first_code BIGINT NOT NULL, seconds DOUBLE PRECISION NOT NULL, bytes BIGINT NOT NULL,"
                       " baud BIGINT NOT NULL, high_speed INTEGER NOT NULL, tool_version TEXT NOT NULL,"
                       " received TIMESTAMPTZ NOT NULL DEFAULT now())"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS images ("
                       " record_id UUID NOT NULL REFERENCES records(id), idx INTEGER NOT NULL,"
                       " file_name TEXT NOT NULL, size BIGINT NOT NULL, address BIGINT NOT NULL,"
                       " sha256 TEXT NOT NULL, PRIMARY KEY (record_id, idx))"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_hour ON records(time_ms, ok)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_failure ON records(ok, code, text)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_station ON records(line, station, ok)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_uid ON records(uid)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_flash_id ON records(flash_id)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS images_sha256 ON images(sha256)"),
    },
    {
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS fast_load TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS ram_code_file TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS ram_code_sha256 TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS flash_size BIGINT NOT NULL DEFAULT 0"),
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS rom_build TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS image_baud BIGINT NOT NULL DEFAULT 0"),
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS erase_before_write INTEGER"),
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS boot INTEGER"),
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS reset INTEGER"),
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS dsr_mode INTEGER"),
        QStringLiteral("DROP INDEX IF EXISTS records_hour"),
        QStringLiteral("DROP INDEX IF EXISTS records_failure"),
        QStringLiteral("DROP INDEX IF EXISTS records_station"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_time ON records(time_ms, operation, ok, code)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_line_time"
                       " ON records(line, time_ms, station, operation, ok, code)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_station ON records(line, station, operation, ok, code)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_failure ON records(ok, code, text, operation)"),
    },
    {
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS socket TEXT NOT NULL DEFAULT ''"),
    },
    {
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS serial TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS serial_number TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_serial ON records(serial)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_serial_number ON records(serial_number)"),
        // The factory's sequences: where each rule's next lease starts, the
        // leases handed out, and the values the lines have settled.
        QStringLiteral("CREATE TABLE IF NOT EXISTS serial_counters (rule TEXT PRIMARY KEY, next_seq BIGINT NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS serial_leases ("
                       " rule TEXT NOT NULL, first_seq BIGINT NOT NULL, end_seq BIGINT NOT NULL,"
                       " host TEXT NOT NULL, line TEXT NOT NULL, time_ms BIGINT NOT NULL, PRIMARY KEY (rule, first_seq))"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS serials ("
                       " rule TEXT NOT NULL, seq BIGINT NOT NULL, value TEXT NOT NULL, number TEXT NOT NULL,"
                       " state TEXT NOT NULL, record_id TEXT NOT NULL, uid TEXT NOT NULL, time_ms BIGINT NOT NULL,"
                       " host TEXT NOT NULL, line TEXT NOT NULL, station INTEGER NOT NULL,"
                       " received TIMESTAMPTZ NOT NULL DEFAULT now(), PRIMARY KEY (rule, seq))"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS serials_time ON serials(time_ms, line, station)"),
    },
    {
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS work_order TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS operator_name TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS order_sha256 TEXT NOT NULL DEFAULT ''"),
        QStringLiteral("ALTER TABLE records ADD COLUMN IF NOT EXISTS order_quantity BIGINT NOT NULL DEFAULT 0"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_order ON records(work_order, operation, ok, code)"),
    },
};
constexpr int kServerSteps = sizeof serverSteps / sizeof serverSteps[0];
static_assert(kServerSteps == kRecordSchemaVersion, "one server step per schema version");

bool run(QSqlDatabase &db, const QString &sql, QString *error)
{
    QSqlQuery q(db);
    if (q.exec(sql))
        return true;
    if (error)
        *error = q.lastError().text();
    return false;
}
} // namespace

bool prepareLocalSchema(QSqlDatabase &db, QString *error, int target)
{
    // A file at our version needs no lock: a writer that reopens while
    // another program holds the file is not held up by the schema step.
    int current = 0;
    if (readSchemaVersion(db, false, &current, nullptr) && current == target)
        return true;
    // The version is read under the write lock: two programs opening a new
    // file together migrate it once.
    if (!run(db, QStringLiteral("BEGIN IMMEDIATE"), error))
        return false;
    QSqlQuery q(db);
    bool good = q.exec(QStringLiteral("PRAGMA user_version")) && q.next();
    if (!good && error)
        *error = q.lastError().text();
    const int version = good ? q.value(0).toInt() : 0;
    q.finish();
    if (good && version > kRecordSchemaVersion) {
        if (error)
            *error = QStringLiteral("数据库版本 %1 比本工具新（%2）").arg(version).arg(kRecordSchemaVersion);
        good = false;
    }
    // All steps and the new version mark commit together: a crash mid-way
    // leaves the file as it was.
    for (int step = version; good && step < target; ++step) {
        for (const QString &sql : localSteps[step])
            good = good && run(db, sql, error);
    }
    if (good && version < target)
        good = run(db, QStringLiteral("PRAGMA user_version = %1").arg(target), error);
    if (good && run(db, QStringLiteral("COMMIT"), error))
        return true;
    QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
    return false;
}

bool isOurDatabase(QSqlDatabase &db, QString *error)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT (SELECT count(*) FROM sqlite_master WHERE type = 'table'"
                               "  AND name NOT LIKE 'sqlite_%'),"
                               " (SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'records')"))
        || !q.next()) {
        if (error)
            *error = q.lastError().text();
        return false;
    }
    const int tables = q.value(0).toInt();
    const bool records = q.value(1).toInt() > 0;
    q.finish();
    int version = 0;
    if (!readSchemaVersion(db, false, &version, error))
        return false;
    // Nothing of a newer tool is changed, not even the journal mode.
    if (version > kRecordSchemaVersion) {
        if (error)
            *error = QStringLiteral("数据库版本 %1 比本工具新（%2）").arg(version).arg(kRecordSchemaVersion);
        return false;
    }
    // Another program's table named "records" has no version of ours.
    if (tables == 0 || (records && version > 0))
        return true;
    if (error)
        *error = QStringLiteral("不是生产记录数据库（其中是其他程序的表），未作任何改动");
    return false;
}

bool readSchemaVersion(QSqlDatabase &db, bool server, int *version, QString *error)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    const QString sql = server ? QStringLiteral("SELECT CASE WHEN to_regclass('schema_version') IS NULL THEN 0"
                                                " ELSE (SELECT coalesce(max(version), 0) FROM schema_version) END")
                               : QStringLiteral("PRAGMA user_version");
    if (!q.exec(sql) || !q.next()) {
        if (error)
            *error = q.lastError().text();
        return false;
    }
    *version = q.value(0).toInt();
    return true;
}

bool prepareServerSchema(QSqlDatabase &db, QString *error, int target)
{
    // Most opens find the tables made: nothing to change, nothing to lock.
    int version = 0;
    if (readSchemaVersion(db, true, &version, nullptr) && version == target)
        return true;
    // Several lines may start together against a fresh server; the lock
    // keeps their steps from racing each other.
    if (!db.transaction()) {
        if (error)
            *error = db.lastError().text();
        return false;
    }
    bool good = run(db, QStringLiteral("SELECT pg_advisory_xact_lock(571304)"), error)
        && run(db, QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)"), error)
        && readSchemaVersion(db, true, &version, error);
    if (good && version > kRecordSchemaVersion) {
        if (error)
            *error = QStringLiteral("服务器数据库版本 %1 比本工具新（%2）").arg(version).arg(kRecordSchemaVersion);
        good = false;
    }
    for (int step = version; good && step < target; ++step) {
        for (const QString &sql : serverSteps[step])
            good = good && run(db, sql, error);
    }
    if (good && version < target)
        good = run(db, QStringLiteral("DELETE FROM schema_version"), error)
            && run(db, QStringLiteral("INSERT INTO schema_version VALUES (%1)").arg(target), error);
    if (!good || !db.commit()) {
        if (good && error)
            *error = db.lastError().text();
        db.rollback();
        return false;
    }
    return true;
}
