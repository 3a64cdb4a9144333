#pragma once
#include <QString>
#include <QStringList>

// The statistics window's day view over a store of `rows` production rows
// (made-up shifts of four lines of 32 stations, a day after another): from
// the window's construction to the day shown, the same with one line chosen,
// and a UID search. SQLite first; PostgreSQL in a throw-away server of
// pg_virtualenv when one can be started.
int benchStatisticsView(const QStringList &args);
// The PostgreSQL half, run inside pg_virtualenv (PGHOST, PGPORT, ...).
int benchStatisticsViewServer(const QStringList &args);
// Writes today's shift (four lines of 32 stations) into a new line database
// at `path`, for a window that must have something to read.
bool writeShiftDatabase(const QString &path, QString *error);
