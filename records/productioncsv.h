#pragma once
#include <QByteArray>
#include <QString>

struct productionRow;

// The production record people and scripts read: one CSV line per chip,
// UTF-8 with a byte-order mark so that spreadsheet programs read the
// Chinese headers. The factory window and vq_flash write the same columns.
// One field as CSV quotes it: in double quotes, doubled inside, when it holds
// a comma, a quote or a line end.
QString csvField(QString field);

QByteArray productionCsvHeader();
QByteArray productionCsvRow(const productionRow &row);

// Appends the row's line. A file that does not end in a line end (a row cut
// short elsewhere) gets one first, so the new row never joins the cut one;
// an empty file gets the header first, exactly once however many writers
// start on it; a line written only in part is cut off again. false, with
// the reason, when the line is not whole in the file.
bool appendProductionCsv(const QString &path, const productionRow &row, QString *error);
