#pragma once
// Every row of a line's database, newest first, as the record search reads
// them; empty when the file cannot be read.
#include "recordstore.h"

#include <QString>
#include <QVector>

inline QVector<productionRow> rowsIn(const QString &database)
{
    QString error;
    QVector<productionRow> rows;
    const auto query = recordQuery::openLocal(database, &error);
    if (query)
        query->find(recordFilter(), &rows, &error);
    return rows;
}
