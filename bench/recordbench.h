#pragma once
#include <QStringList>

// The production records: 32 stations finishing in one 50 ms poll, rows per
// second into SQLite and up to a throw-away PostgreSQL server, and the
// summary over a million rows on each.
int benchRecords(int rows, int summaryRows);
