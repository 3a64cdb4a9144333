#pragma once
#include <QString>
#include <QStringList>

// The statistics window's day view over a store of `rows` production rows
// (made-up shifts of four lines of 32 stations, a day after another): from
// the window's construction to the day shown, the same with one line chosen,
// and a UID search. SQLite first, then a throw-away PostgreSQL server.
int benchStatisticsView(const QStringList &args);
int benchStatisticsViewServer(const QStringList &args);
// Writes today's shift (four lines of 32 stations) into a new line database
// at `path`, for a window that must have something to read.
bool writeShiftDatabase(const QString &path, QString *error);
