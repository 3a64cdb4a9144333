#pragma once
#include <QString>

// What the records server's refusal means, in the operator's words: libpq
// and the server speak English (or the server's language), the line does
// not. The server's own text is said after it, for whoever sets the server
// up. Empty when the text names no cause this knows.
QString serverRefusalReason(const QString &serverText);

// The line for the log: the server, the reason, what happens to the rows,
// then the server's own text on one line.
QString serverRefusalLine(const QString &host, int port, const QString &serverText);
