#pragma once
#include <QByteArray>
#include <QString>

struct chipRecord;

// The production record: one CSV line per chip, UTF-8 with a byte-order mark
// so that spreadsheet programs read the Chinese headers. The factory window
// and vq_flash write the same columns; `station` counts from 1.
QByteArray productionRecordHeader();
QByteArray productionRecordRow(int station, const chipRecord &record);

// Appends the chip's line, with the header first when the file is empty.
// The line leaves in one unbuffered write, so a crash leaves whole lines.
// False when the file cannot be opened or written.
bool appendProductionRecord(const QString &path, int station, const chipRecord &record);
