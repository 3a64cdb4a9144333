#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>

// Counter values may be as wide as the widest value written (16 bytes).
__extension__ typedef unsigned __int128 serialCounter;

// Where each chip's own value comes from: a counter (start, step, width and
// how it is written) or a list file of values consumed line by line. The
// value goes to flash at `address`, in a 4 KiB sector no image touches.
struct serialRule {
    enum class source { counter, list };
    // Binary little or big endian, or ASCII digits zero-padded to `bytes`
    // characters (hex digits in upper case, as labels print them).
    enum class format { le, be, dec, hex };

    source kind = source::counter;
    uint32_t address = 0;
    serialCounter start = 0;
    serialCounter step = 1;
    int bytes = 4;
    format written = format::le;
    // List mode: the file, its values in order and the SHA-256 of its bytes.
    QString listPath;
    QVector<QByteArray> list;
    QByteArray listSha256;

    // What names the sequence: the parameters that make the values (or the
    // list's hash). The address is where, not what: moving it keeps the
    // sequence.
    QString key() const;
    // The value of the sequence's index `seq`: its bytes in flash order and,
    // in counter mode, its number in decimal. false past the end (a list
    // used up, a counter past what its bytes hold).
    bool valueAt(qint64 seq, QByteArray *bytes, QString *number) const;
    // How the operator reads a value of this rule: a counter's number (hex
    // with 0x, decimal for the dec format), a list value as hex bytes.
    QString textOf(const QByteArray &bytes, const QString &number) const;
    // Bytes every value takes in flash.
    int size() const { return kind == source::list && !list.isEmpty() ? list.first().size() : bytes; }
};

constexpr int kMaxCounterBytes = 16;
// A list value takes at most the sector it is written to.
constexpr int kMaxListBytes = 4096;

// "123" or "0x7b"; false for anything else or more than 128 bits.
bool parseSerialCounter(const QString &text, serialCounter *value);
QString counterDecimal(serialCounter value);
// Lower-case hex digits, without 0x.
QString counterHex(serialCounter value);
bool parseSerialFormat(const QString &text, serialRule::format *format);
QString serialFormatName(serialRule::format format);

// What keeps a counter rule from starting: a width outside 1 to 16, a step
// that does not move, a start its bytes cannot hold. Each front end says it
// in its own words.
enum class serialFault { none, badBytes, badStep, startTooWide };
serialFault checkCounterRule(const serialRule &rule);

// Reads a list file into the rule: one value per line as hex bytes (":",
// "-" and blanks between them allowed), every value the same length; blank
// lines and lines starting with "#" are skipped. A value listed twice would
// be given twice, so it is refused like a malformed line.
struct serialListProblem {
    enum class kind { none, unreadable, noValues, malformed, tooLong, lengthDiffers, repeated };
    kind what = kind::none;
    int line = 0;        // from 1; 0 for the file as a whole
    int otherLine = 0;   // the line the value or the length came from first
    explicit operator bool() const { return what != kind::none; }
};
serialListProblem loadSerialList(const QString &path, serialRule *rule);
// The problem in the operator's words ("序列号列表文件第3行不是十六进制字节").
QString serialListProblemText(const serialListProblem &p);
// The SHA-256 (lower-case hex) of a file's bytes; empty when unreadable.
QByteArray fileSha256(const QString &path);

// Lower-case hex of a value's bytes, as rows keep it.
QString serialHex(const QByteArray &bytes);
// What a search for a value the operator typed compares: hex bytes (the
// separators and a 0x dropped) and counter numbers in decimal.
struct serialSearch {
    QStringList hex;
    QStringList numbers;
    bool empty() const { return hex.isEmpty() && numbers.isEmpty(); }
};
serialSearch serialSearchOf(const QString &typed);
