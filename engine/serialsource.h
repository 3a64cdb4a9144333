#pragma once
#include <QByteArray>
#include <QString>
#include <cstdint>

// One chip's own value (a serial number, a MAC address, a key) as a job
// writes it: reserved before the chip is touched, settled once its result
// is known.
struct chipSerial {
    bool granted = false;
    // Not granted: the result code the chip fails with, and, for the log,
    // what the store said when the code alone does not (empty otherwise).
    uint32_t refusal = 0;
    QString detail;
    uint32_t address = 0;
    QByteArray bytes;   // in flash order
    QString hex;        // the bytes in lower-case hex, as rows keep them
    QString number;     // a counter's number in decimal; empty for a list value
    QString text;       // as the operator reads it
    qint64 seq = -1;    // the value's place in its sequence
};

// What became of a reserved value. used: the chip is good. voided: its
// transfer had started, so it may be in a chip that failed or was stopped;
// it is never given again. returned: the chip failed before the value's
// transfer started; the next chip may have it.
enum class serialUse { used, voided, returned };

// Where a line's jobs get their values, shared by every station of a run
// and called from their threads. Both calls commit before they return: a
// value is never in a chip without being reserved, and a killed process
// leaves only reservations, which its successor makes void.
class chipSerialSource
{
public:
    virtual ~chipSerialSource() = default;
    virtual chipSerial reserve(int station) = 0;
    // false when the store could not take the outcome; the value then stays
    // reserved, which keeps it from being given again.
    virtual bool settle(const chipSerial &value, serialUse use, const QString &rowId, const QString &uid) = 0;
};
