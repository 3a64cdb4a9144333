#pragma once
#include <QByteArray>
#include <QString>
#include <QVector>

class QSqlDatabase;
class QSqlQuery;
struct productionRow;
struct recordServer;

// The SQL shared by the store, the uploader and the queries; nothing outside
// records/ speaks SQL.

// Opens (with create: makes, folder and all) a line's database under the
// connection name, in WAL mode, at the current schema version. A file of
// another program is refused untouched.
bool openLocalDatabase(const QString &path, const QString &connection, bool create, QSqlDatabase *db,
                       QString *error);
// Opens a line's database only to read it: no schema step, no lock, never a
// write; a file without our tables is refused. version: its schema version.
bool openLocalReader(const QString &path, const QString &connection, QSqlDatabase *db, int *version,
                     QString *error);
// Opens the factory's database; the password comes from PGPASSWORD or
// .pgpass through libpq and is never seen here. A writer (prepare) brings the
// tables to the current version; a reader only reads the version.
bool openServerDatabase(const recordServer &server, const QString &connection, bool prepare, QSqlDatabase *db,
                        int *version, QString *error);
// Whether a server's refusal came from its login (a wrong password, an
// unknown user or database) rather than from the way to it.
bool isLoginRefusal(const QString &error);

// Which file a path names now (its device and inode in one word), 0 when it
// names none. A database deleted or replaced under an open connection shows
// as a change.
quint64 fileIdentity(const QString &path);
// Gives up a line's connection whose file is no longer at its path, without
// closing it: SQLite removes "-wal" and "-shm" by name when it closes the
// last connection of a file, and those names may by now belong to the new
// file. The connection stays open, unused, until the process ends, as after
// a crash, which SQLite is made for.
void retireConnection(const QString &connection);
// Copies every row (with its images and sent mark) that the open database
// `from` holds into the line's database at toPath, leaving rows it has
// already alone; copied: how many were new there.
bool copyRowsTo(QSqlDatabase &from, const QString &toPath, qint64 *copied, QString *error);
// Moves what the WAL holds into the database and cuts the WAL back to
// nothing, where no reader holds it: a disk nearly full gets its space back.
void checkpointWal(QSqlDatabase &db);

// One row with its images in a transaction of its own, on a line. A row
// already there is left as it is.
bool insertRow(QSqlDatabase &db, const productionRow &row, QString *error);
// Rows with their images on the server, inside the caller's transaction,
// a statement for many rows at a time; rows already there are left alone.
bool insertRows(QSqlDatabase &db, const QVector<productionRow> &rows, QString *error);

// The oldest unsent rows of a line, in the order they were appended.
bool readUnsent(QSqlDatabase &db, int limit, QVector<productionRow> *rows, qint64 *lastSeq, QString *error);
bool markSent(QSqlDatabase &db, qint64 lastSeq, QString *error);
// -1 when the count cannot be read: unknown is not none.
qint64 countUnsent(QSqlDatabase db);

// A settled serial value of a sequence the server leases, as the factory
// keeps it.
struct serialRow {
    QString rule;
    qint64 seq = 0;
    QString value;
    QString number;
    QString state;
    QString recordId;
    QString uid;
    qint64 timeMs = 0;
    QString host;
    QString line;
    int station = 0;
};
// The line's used and void values of leased sequences the server has not
// had yet; the line's own sequences stay on the line.
bool readUnsentSerials(QSqlDatabase &db, int limit, QVector<serialRow> *rows, QString *error);
// On the server, inside the caller's transaction; a value it has is left
// as it is (a settled value does not change).
bool insertSerials(QSqlDatabase &db, const QVector<serialRow> &rows, QString *error);
bool markSerialsSent(QSqlDatabase &db, const QVector<serialRow> &rows, QString *error);

// The select list of a row at a schema version: columns the version lacks
// come as the values of "not recorded".
QString rowColumns(int version);
// Reads rowColumns from the query's current row, images not included.
productionRow rowFromQuery(const QSqlQuery &q);
constexpr int kRowColumnCount = 37;
bool loadImages(QSqlDatabase &db, productionRow *row, QString *error);
// A row's images as one value of a select (for a search that streams: no
// query per row), and that value read back.
QString imagesColumn(bool server);
void imagesFromColumn(const QString &value, productionRow *row);
