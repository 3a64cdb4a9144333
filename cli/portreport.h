#pragma once
#include <QString>

// What --list-ports prints: one line a port (a table for people, one JSON
// object a line with --json).
QString portReport(bool json);
