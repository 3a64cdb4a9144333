#include "serialrule.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QStringList>

namespace {
// A list of a million MAC addresses is some 18 MB; anything far larger is
// not a list of values.
constexpr qint64 kMaxListFileBytes = 256LL * 1024 * 1024;
constexpr int kDigitsShown = 16;

// The largest value a counter of this width and format can write.
serialCounter counterLimit(int bytes, serialRule::format format)
{
    const serialCounter all = ~serialCounter(0);
    switch (format) {
    case serialRule::format::dec: {
        serialCounter limit = 1;
        for (int i = 0; i < bytes; ++i)
            limit *= 10;
        return limit - 1;
    }
    case serialRule::format::hex:
        return bytes >= 32 ? all : (serialCounter(1) << (4 * bytes)) - 1;
    case serialRule::format::le:
    case serialRule::format::be:
        break;
    }
    return bytes >= 16 ? all : (serialCounter(1) << (8 * bytes)) - 1;
}

} // namespace

QString counterHex(serialCounter value)
{
    QString digits;
    do {
        digits.prepend(QLatin1Char("0123456789abcdef"[static_cast<int>(value & 0xF)]));
        value >>= 4;
    } while (value != 0);
    return digits;
}

namespace {
QByteArray encode(serialCounter value, int bytes, serialRule::format format)
{
    QByteArray out;
    switch (format) {
    case serialRule::format::le:
    case serialRule::format::be:
        for (int i = 0; i < bytes; ++i)
            out.append(static_cast<char>((value >> (8 * i)) & 0xFF));
        if (format == serialRule::format::be)
            std::reverse(out.begin(), out.end());
        return out;
    case serialRule::format::dec:
        out = counterDecimal(value).toLatin1();
        break;
    case serialRule::format::hex:
        out = counterHex(value).toUpper().toLatin1();
        break;
    }
    return QByteArray(bytes - out.size(), '0') + out;
}

// Hex bytes as a list file or an operator writes them: "00:1A-2B 3C".
QString withoutSeparators(QString text)
{
    static const QRegularExpression separators(QStringLiteral("[:\\-\\s]"));
    return text.remove(separators);
}

bool isHexBytes(const QString &digits)
{
    static const QRegularExpression hex(QStringLiteral("^(?:[0-9A-Fa-f]{2})+$"));
    return hex.match(digits).hasMatch();
}
} // namespace

bool parseSerialCounter(const QString &text, serialCounter *value)
{
    const QString t = text.trimmed();
    const bool hex = t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    const QString digits = hex ? t.mid(2) : t;
    static const QRegularExpression hexDigits(QStringLiteral("^[0-9A-Fa-f]+$"));
    static const QRegularExpression decDigits(QStringLiteral("^[0-9]+$"));
    if (!(hex ? hexDigits : decDigits).match(digits).hasMatch())
        return false;
    const serialCounter base = hex ? 16 : 10;
    serialCounter v = 0;
    for (const QChar c : digits) {
        const int d = QString(c).toInt(nullptr, 16);
        if (__builtin_mul_overflow(v, base, &v) || __builtin_add_overflow(v, serialCounter(d), &v))
            return false;
    }
    *value = v;
    return true;
}

QString counterDecimal(serialCounter value)
{
    QString digits;
    do {
        digits.prepend(QLatin1Char(static_cast<char>('0' + static_cast<int>(value % 10))));
        value /= 10;
    } while (value != 0);
    return digits;
}

bool parseSerialFormat(const QString &text, serialRule::format *format)
{
    static const std::pair<const char *, serialRule::format> names[] = {
        {"le", serialRule::format::le},
        {"be", serialRule::format::be},
        {"dec", serialRule::format::dec},
        {"hex", serialRule::format::hex},
    };
    for (const auto &n : names) {
        if (text == QLatin1String(n.first)) {
            *format = n.second;
            return true;
        }
    }
    return false;
}

QString serialFormatName(serialRule::format format)
{
    switch (format) {
    case serialRule::format::be: return QStringLiteral("be");
    case serialRule::format::dec: return QStringLiteral("dec");
    case serialRule::format::hex: return QStringLiteral("hex");
    case serialRule::format::le: break;
    }
    return QStringLiteral("le");
}

serialFault checkCounterRule(const serialRule &rule)
{
    if (rule.bytes < 1 || rule.bytes > kMaxCounterBytes)
        return serialFault::badBytes;
    if (rule.step == 0)
        return serialFault::badStep;
    if (rule.start > counterLimit(rule.bytes, rule.written))
        return serialFault::startTooWide;
    return serialFault::none;
}

QString serialRule::key() const
{
    if (kind == source::list)
        return QStringLiteral("list sha256=") + QString::fromLatin1(listSha256);
    return QStringLiteral("counter start=%1 step=%2 bytes=%3 format=%4")
        .arg(counterDecimal(start), counterDecimal(step))
        .arg(bytes)
        .arg(serialFormatName(written));
}

bool serialRule::valueAt(qint64 seq, QByteArray *out, QString *number) const
{
    if (seq < 0)
        return false;
    if (kind == source::list) {
        if (seq >= list.size())
            return false;
        *out = list.at(static_cast<int>(seq));
        number->clear();
        return true;
    }
    serialCounter offset = 0;
    serialCounter value = 0;
    if (__builtin_mul_overflow(serialCounter(seq), step, &offset) || __builtin_add_overflow(start, offset, &value)
        || value > counterLimit(bytes, written))
        return false;
    *out = encode(value, bytes, written);
    *number = counterDecimal(value);
    return true;
}

QString serialRule::textOf(const QByteArray &value, const QString &number) const
{
    serialCounter n = 0;
    if (kind == source::counter && parseSerialCounter(number, &n))
        return written == format::dec ? number : QStringLiteral("0x") + counterHex(n);
    QStringList pairs;
    for (int i = 0; i < value.size() && i < kDigitsShown; ++i)
        pairs << QString::number(static_cast<uchar>(value.at(i)), 16).rightJustified(2, QLatin1Char('0')).toUpper();
    QString text = pairs.join(QLatin1Char(':'));
    if (value.size() > kDigitsShown)
        text += QStringLiteral("…（%1 字节）").arg(value.size());
    return text;
}

QByteArray fileSha256(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return QByteArray();
    return hash.result().toHex();
}

serialListProblem loadSerialList(const QString &path, serialRule *rule)
{
    using kind = serialListProblem::kind;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxListFileBytes)
        return {kind::unreadable, 0, 0};
    const QByteArray text = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return {kind::unreadable, 0, 0};
    QVector<QByteArray> values;
    QHash<QByteArray, int> seen;
    int firstLine = 0;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromUtf8(lines.at(i)).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QString hex = withoutSeparators(line);
        if (!isHexBytes(hex))
            return {kind::malformed, i + 1, 0};
        const QByteArray value = QByteArray::fromHex(hex.toLatin1());
        if (value.size() > kMaxListBytes)
            return {kind::tooLong, i + 1, 0};
        if (!values.isEmpty() && value.size() != values.first().size())
            return {kind::lengthDiffers, i + 1, firstLine};
        if (seen.contains(value))
            return {kind::repeated, i + 1, seen.value(value)};
        if (values.isEmpty())
            firstLine = i + 1;
        seen.insert(value, i + 1);
        values.append(value);
    }
    if (values.isEmpty())
        return {kind::noValues, 0, 0};
    rule->kind = serialRule::source::list;
    rule->listPath = path;
    rule->list = values;
    rule->listSha256 = QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex();
    return {};
}

QString serialListProblemText(const serialListProblem &p)
{
    using kind = serialListProblem::kind;
    switch (p.what) {
    case kind::unreadable: return QStringLiteral("序列号列表文件无法读取");
    case kind::noValues: return QStringLiteral("序列号列表文件中没有序列号");
    case kind::malformed: return QStringLiteral("序列号列表文件第%1行不是十六进制字节").arg(p.line);
    case kind::tooLong: return QStringLiteral("序列号列表文件第%1行超过%2字节").arg(p.line).arg(kMaxListBytes);
    case kind::lengthDiffers:
        return QStringLiteral("序列号列表文件第%1行的长度与第%2行不同").arg(p.line).arg(p.otherLine);
    case kind::repeated: return QStringLiteral("序列号列表文件第%1行与第%2行重复").arg(p.line).arg(p.otherLine);
    case kind::none: break;
    }
    return QString();
}
QString serialHex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

serialSearch serialSearchOf(const QString &typed)
{
    serialSearch s;
    const QString t = typed.trimmed();
    QString hex = withoutSeparators(t);
    if (hex.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        hex = hex.mid(2);
    if (isHexBytes(hex))
        s.hex << hex.toLower();
    serialCounter n = 0;
    if (parseSerialCounter(t, &n))
        s.numbers << counterDecimal(n);
    return s;
}
