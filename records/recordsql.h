#pragma once
#include <QString>
#include <QVector>

class QSqlDatabase;
class QSqlQuery;
struct productionRow;
struct recordServer;

// The SQL shared by the store, the uploader and the queries; nothing outside
// records/ speaks SQL.

// Opens (with create: makes, folder and all) a line's database under the
// connection name, in WAL mode, at the current schema version.
bool openLocalDatabase(const QString &path, const QString &connection, bool create, QSqlDatabase *db,
                       QString *error);
// Opens the factory's database; the password comes from PGPASSWORD or
// .pgpass through libpq and is never seen here.
bool openServerDatabase(const recordServer &server, const QString &connection, QSqlDatabase *db, QString *error);

// One row with its images in a transaction of its own, on a line. A row
// already there is left as it is.
bool insertRow(QSqlDatabase &db, const productionRow &row, QString *error);
// Rows with their images on the server, inside the caller's transaction,
// a statement for many rows at a time; rows already there are left alone.
bool insertRows(QSqlDatabase &db, const QVector<productionRow> &rows, QString *error);

// The oldest unsent rows of a line, in the order they were appended.
bool readUnsent(QSqlDatabase &db, int limit, QVector<productionRow> *rows, qint64 *lastSeq, QString *error);
bool markSent(QSqlDatabase &db, qint64 lastSeq, QString *error);
qint64 countUnsent(QSqlDatabase db);

extern const char kRowColumns[];
// Reads kRowColumns from the query's current row, images not included.
productionRow rowFromQuery(const QSqlQuery &q);
bool loadImages(QSqlDatabase &db, productionRow *row, QString *error);
