// vq_records: searches the production records of a line (its SQLite file)
// or of the whole factory (the PostgreSQL server), and sums them up.
#include "productioncsv.h"
#include "recordstore.h"
#include "serialrule.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTimeZone>

#include <cstdio>
#include <unistd.h>

namespace {
constexpr int kExitOk = 0;
constexpr int kExitNothing = 1;
constexpr int kExitUsage = 2;
// Rows a table shows on a terminal without --limit.
constexpr int kTerminalRows = 1000;

const char kUsage[] =
    "usage: vq_records [--db FILE | --server [CONFIG]] [filters] [--format table|csv|json]\n"
    "                  [--summary] [--limit N]\n"
    "\n"
    "Lists the chips of the production records, newest first, or sums them up.\n"
    "\n"
    "  --db FILE         a line's database (default: the line's own, log/production.db\n"
    "                    beside the programs, or in the user's data folder where\n"
    "                    that cannot be written, as vq_flash and the window keep it)\n"
    "  --server [CONFIG] the factory's PostgreSQL server named in CONFIG (default\n"
    "                    config/records.json beside this program); the password\n"
    "                    comes from PGPASSWORD or ~/.pgpass\n"
    "  --uid UID         one chip by its flash UID\n"
    "  --flash-id ID     chips with this flash ID\n"
    "  --station N       one station (from 1)\n"
    "  --line NAME       one line\n"
    "  --from TIME       from TIME on (yyyy-MM-dd, yyyy-MM-dd hh:mm[:ss], local time\n"
    "                    unless an offset or Z follows)\n"
    "  --to TIME         before TIME\n"
    "  --result R        good or failed (stopped runs and erases are neither)\n"
    "  --sha256 HASH     chips that got an image with this SHA-256\n"
    "  --serial VALUE    the chip that got this serial value: its bytes in hex as\n"
    "                    written to flash (\":\", \"-\" and blanks allowed), or a\n"
    "                    counter's number (decimal or 0x hex)\n"
    "  --order ORDER     chips of one production order\n"
    "  --format F        table (default), csv or json\n"
    "  --limit N         at most N chips, the newest (a table on a terminal shows\n"
    "                    the newest 1000 without it; csv and json show all)\n"
    "  --summary         per hour good / failed / yield, failure codes ranked, yield\n"
    "                    per station, over the chips the filters select; stopped\n"
    "                    runs and erases are counted apart, outside the yield; the\n"
    "                    serial values used and void on those lines, stations and\n"
    "                    times; and per production order good / failed / stopped /\n"
    "                    yield and the quantity left\n"
    "\n"
    "Exit status: 0 chips found, 1 none (or the records cannot be read), 2 bad\n"
    "arguments.\n";

void out(FILE *stream, const QString &text)
{
    fputs(text.toUtf8().constData(), stream);
    fflush(stream);
}

bool parseTime(const QString &text, qint64 *ms)
{
    static const QStringList formats{QStringLiteral("yyyy-MM-dd hh:mm:ss"), QStringLiteral("yyyy-MM-dd hh:mm"),
                                     QStringLiteral("yyyy-MM-ddThh:mm:ss"), QStringLiteral("yyyy-MM-ddThh:mm")};
    QDateTime t = QDateTime::fromString(text, Qt::ISODate);
    if (!t.isValid()) {
        for (const QString &f : formats) {
            t = QDateTime::fromString(text, f);
            if (t.isValid())
                break;
        }
    }
    if (!t.isValid()) {
        const QDate d = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
        if (d.isValid())
            t = d.startOfDay();
    }
    if (!t.isValid())
        return false;
    *ms = t.toMSecsSinceEpoch();
    return true;
}

QString hex(uint32_t code)
{
    return QStringLiteral("0x") + QString::number(code, 16);
}

QString timeText(const productionRow &r)
{
    return r.localTime().toString(Qt::ISODate);
}

QString yieldText(qint64 good, qint64 failed)
{
    const qint64 all = good + failed;
    return all == 0 ? QStringLiteral("-") : QString::number(100.0 * good / all, 'f', 1) + QLatin1Char('%');
}

// Display width: a CJK character takes two columns in a terminal.
int widthOf(const QString &s)
{
    int w = 0;
    for (const QChar c : s)
        w += c.unicode() >= 0x1100 ? 2 : 1;
    return w;
}

// Column widths from the rows at hand; rows that come later are printed
// with them, wider cells simply pushing the rest of their line along.
QVector<int> widthsOf(const QStringList &head, const QList<QStringList> &rows)
{
    QVector<int> width(head.size());
    for (int c = 0; c < head.size(); ++c) {
        width[c] = widthOf(head.at(c));
        for (const QStringList &r : rows)
            width[c] = std::max(width[c], widthOf(r.at(c)));
    }
    return width;
}

QString tableLine(const QStringList &cells, const QVector<int> &width, const QVector<bool> &rightAligned)
{
    QString l;
    for (int c = 0; c < cells.size(); ++c) {
        const QString pad(std::max(0, width[c] - widthOf(cells.at(c))), QLatin1Char(' '));
        const bool last = c == cells.size() - 1;
        l += rightAligned.value(c) ? pad + cells.at(c) : cells.at(c) + (last ? QString() : pad);
        if (!last)
            l += QStringLiteral("  ");
    }
    return l + QLatin1Char('\n');
}

QString table(const QStringList &head, const QList<QStringList> &rows, const QVector<bool> &rightAligned)
{
    const QVector<int> width = widthsOf(head, rows);
    QString text = tableLine(head, width, rightAligned);
    for (const QStringList &r : rows)
        text += tableLine(r, width, rightAligned);
    return text;
}

QString imagesText(const productionRow &r, bool full)
{
    QStringList parts;
    for (const imageFacts &i : r.images) {
        if (full)
            parts << QStringLiteral("%1:%2:0x%3:%4")
                         .arg(i.fileName)
                         .arg(i.size)
                         .arg(QString::number(i.address, 16), QString::fromLatin1(i.sha256));
        else
            parts << i.fileName + (i.sha256.isEmpty() ? QString() : QLatin1Char(' ') + QString::fromLatin1(i.sha256.left(12)));
    }
    return parts.join(QLatin1Char(';'));
}

// The serial columns come last, after the columns scripts of earlier
// releases read by position.
const char kCsvHeader[] = "id,time,host,line,station,port,model,flash_id,uid,operation,ok,code,text,"
                          "first_code,seconds,bytes,baud,high_speed,tool_version,images,serial,serial_number,order,operator\r\n";

// Writes rows as they come, in one of the three formats: nothing is kept
// but the first screenful a table needs for its column widths.
class rowPrinter
{
public:
    explicit rowPrinter(const QString &format) : format(format) {}

    void add(const productionRow &r)
    {
        ++count;
        if (format == QLatin1String("json")) {
            QByteArray object = QJsonDocument(rowToJson(r)).toJson(QJsonDocument::Indented);
            object.chop(1);
            object.replace('\n', "\n    ");
            write((count == 1 ? QByteArray("[\n    ") : QByteArray(",\n    ")) + object);
        } else if (format == QLatin1String("csv")) {
            if (count == 1)
                write(kCsvHeader);
            const QStringList f{r.id, timeText(r), r.host, r.line, QString::number(r.station), r.port, r.model,
                                r.flashId, r.uid, r.operation, QString::number(r.ok ? 1 : 0), hex(r.code), r.text,
                                hex(r.firstCode), QString::number(r.seconds, 'f', 2), QString::number(r.bytes),
                                QString::number(r.baud), QString::number(r.highSpeed ? 1 : 0), r.toolVersion,
                                imagesText(r, true), r.serial, r.serialNumber,
                                r.order, r.operatorName};
            QStringList q;
            for (const QString &field : f)
                q << csvField(field);
            write((q.join(QLatin1Char(',')) + QStringLiteral("\r\n")).toUtf8());
        } else {
            const QStringList cells{r.localTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
                                    r.line,
                                    r.order.isEmpty() ? QStringLiteral("-") : r.order,
                                    QString::number(r.station),
                                    r.port,
                                    r.uid.isEmpty() ? QStringLiteral("-") : r.uid,
                                    r.flashId.isEmpty() ? QStringLiteral("-") : r.flashId,
                                    r.operation,
                                    hex(r.code),
                                    r.text,
                                    imagesText(r, false),
                                    r.serial.isEmpty() ? QStringLiteral("-") : r.serial};
            if (!width.isEmpty()) {
                write(tableLine(cells, width, kRight).toUtf8());
                return;
            }
            held << cells;
            if (held.size() == kWidthRows)
                flushHeld();
        }
    }

    // Ends the output; the number of rows written.
    qint64 finish()
    {
        if (format == QLatin1String("json"))
            write(count == 0 ? QByteArray("[\n]\n") : QByteArray("\n]\n"));
        else if (format == QLatin1String("csv") && count == 0)
            write(kCsvHeader);
        else if (format == QLatin1String("table") && width.isEmpty())
            flushHeld();
        fflush(stdout);
        return count;
    }

private:
    // A terminal's screenful and a little more: enough to size the columns.
    static constexpr int kWidthRows = 200;
    const QVector<bool> kRight{false, false, false, true};
    const QStringList kHead{QStringLiteral("time"),      QStringLiteral("line"), QStringLiteral("order"), QStringLiteral("station"),
                            QStringLiteral("port"),      QStringLiteral("uid"),  QStringLiteral("flash id"),
                            QStringLiteral("operation"), QStringLiteral("code"), QStringLiteral("result"),
                            QStringLiteral("images"),    QStringLiteral("serial")};

    void flushHeld()
    {
        width = widthsOf(kHead, held);
        QString text = tableLine(kHead, width, kRight);
        for (const QStringList &cells : qAsConst(held))
            text += tableLine(cells, width, kRight);
        held.clear();
        write(text.toUtf8());
    }

    static void write(const QByteArray &bytes) { fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout); }

    const QString format;
    qint64 count = 0;
    QList<QStringList> held;
    QVector<int> width;
};

QString hourText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd hh:00"));
}

// Good chips an order still wants; -1 for an order without a limit.
qint64 orderLeft(const orderCount &o)
{
    return o.quantity > 0 ? std::max<qint64>(0, o.quantity - o.good) : -1;
}

void printSummaryJson(const recordSummary &s)
{
    const auto countsJson = [](QJsonObject o, const chipCounts &c) {
        o.insert(QStringLiteral("good"), c.good);
        o.insert(QStringLiteral("failed"), c.failed);
        o.insert(QStringLiteral("stopped"), c.stopped);
        o.insert(QStringLiteral("erased"), c.erased);
        return o;
    };
    QJsonArray hours, failures, stations, orders;
    for (const orderCount &o : s.orders) {
        QJsonObject one = countsJson({{QStringLiteral("order"), o.order}, {QStringLiteral("quantity"), o.quantity}}, o);
        one.insert(QStringLiteral("left"), orderLeft(o) < 0 ? QJsonValue() : QJsonValue(orderLeft(o)));
        orders.append(one);
    }
    for (const hourCount &h : s.hours)
        hours.append(countsJson(
            {{QStringLiteral("hour"), QDateTime::fromMSecsSinceEpoch(h.hourMs).toString(Qt::ISODate)}}, h));
    for (const failureCount &f : s.failures)
        failures.append(QJsonObject{{QStringLiteral("code"), static_cast<qint64>(f.code)},
                                    {QStringLiteral("text"), f.text},
                                    {QStringLiteral("count"), f.count}});
    for (const stationCount &c : s.stations)
        stations.append(countsJson(
            {{QStringLiteral("line"), c.line}, {QStringLiteral("station"), c.station}}, c));
    out(stdout, QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("hours"), hours},
                                                            {QStringLiteral("failures"), failures},
                                                            {QStringLiteral("stations"), stations},
                                                            {QStringLiteral("serials"),
                                                             QJsonObject{{QStringLiteral("used"), s.serialsUsed},
                                                                         {QStringLiteral("void"), s.serialsVoid}}},
                                                            {QStringLiteral("orders"), orders}})
                                      .toJson(QJsonDocument::Indented)));
}

void printSummaryCsv(const recordSummary &s)
{
    QString text = QStringLiteral("section,key,good,failed,stopped,erased,count,text\r\n");
    const auto counts = [](const chipCounts &c) {
        return QStringLiteral("%1,%2,%3,%4").arg(c.good).arg(c.failed).arg(c.stopped).arg(c.erased);
    };
    for (const hourCount &h : s.hours)
        text += QStringLiteral("hour,%1,%2,,\r\n").arg(hourText(h.hourMs), counts(h));
    for (const failureCount &f : s.failures)
        text += QStringLiteral("failure,%1,,,,,%2,%3\r\n").arg(hex(f.code)).arg(f.count).arg(csvField(f.text));
    for (const stationCount &c : s.stations)
        text += QStringLiteral("station,%1,%2,,\r\n")
                    .arg(csvField(c.line + QLatin1Char('/') + QString::number(c.station)), counts(c));
    if (s.serialsUsed + s.serialsVoid > 0)
        text += QStringLiteral("serials,used,,,,,%1,\r\nserials,void,,,,,%2,\r\n").arg(s.serialsUsed).arg(s.serialsVoid);
    // An order's count is the quantity left (empty without a limit).
    for (const orderCount &o : s.orders)
        text += QStringLiteral("order,%1,%2,%3,\r\n")
                    .arg(csvField(o.order), counts(o), orderLeft(o) < 0 ? QString() : QString::number(orderLeft(o)));
    out(stdout, text);
}

void printSummaryTable(const recordSummary &s)
{
    const auto countsText = [](const chipCounts &c) {
        return QStringList{QString::number(c.good), QString::number(c.failed), QString::number(c.stopped),
                           QString::number(c.erased), yieldText(c.good, c.failed)};
    };
    QList<QStringList> hours, failures, stations;
    for (const hourCount &h : s.hours)
        hours << QStringList{hourText(h.hourMs)} + countsText(h);
    for (const failureCount &f : s.failures)
        failures << QStringList{QString::number(f.count), hex(f.code), f.text};
    for (const stationCount &c : s.stations)
        stations << QStringList{c.line, QString::number(c.station)} + countsText(c);
    QList<QStringList> orders;
    for (const orderCount &o : s.orders)
        orders << QStringList{o.order, QString::number(o.good), QString::number(o.failed), QString::number(o.stopped),
                              yieldText(o.good, o.failed),
                              o.quantity > 0 ? QString::number(o.quantity) : QStringLiteral("-"),
                              orderLeft(o) < 0 ? QStringLiteral("-") : QString::number(orderLeft(o))};
    const QStringList counts{QStringLiteral("good"), QStringLiteral("failed"), QStringLiteral("stopped"),
                             QStringLiteral("erased"), QStringLiteral("yield")};
    out(stdout, table(QStringList{QStringLiteral("hour")} + counts, hours, {false, true, true, true, true, true})
                    + QLatin1Char('\n')
                    + table({QStringLiteral("failures"), QStringLiteral("code"), QStringLiteral("result")}, failures,
                            {true, false, false})
                    + QLatin1Char('\n')
                    + table(QStringList{QStringLiteral("line"), QStringLiteral("station")} + counts, stations,
                            {false, true, true, true, true, true, true})
                    + (s.serialsUsed + s.serialsVoid > 0
                           ? QStringLiteral("\nserial values  used %1  void %2\n").arg(s.serialsUsed).arg(s.serialsVoid)
                           : QString())
                    + (orders.isEmpty()
                           ? QString()
                           : QLatin1Char('\n')
                                 + table({QStringLiteral("order"), QStringLiteral("good"), QStringLiteral("failed"),
                                          QStringLiteral("stopped"), QStringLiteral("yield"), QStringLiteral("quantity"),
                                          QStringLiteral("left")},
                                         orders, {false, true, true, true, true, true, true})));
}

void printSummary(const recordSummary &s, const QString &format)
{
    if (format == QLatin1String("json"))
        printSummaryJson(s);
    else if (format == QLatin1String("csv"))
        printSummaryCsv(s);
    else
        printSummaryTable(s);
}
// What the command line asks for.
struct searchOptions {
    QString databasePath;
    bool useServer = false;
    QString serverConfig = recordServerConfigPath();
    QString format = QStringLiteral("table");
    bool summary = false;
    recordFilter filter;
};

// -1 when the search is to run, else the exit status (help given, or a bad
// argument said).
int parseArguments(const QStringList &args, searchOptions *o)
{
    const auto usage = [](const QString &error) {
        out(stderr, QStringLiteral("vq_records: ") + error + QLatin1Char('\n') + QString::fromUtf8(kUsage));
        return kExitUsage;
    };
    static const QStringList valued{QStringLiteral("--db"),      QStringLiteral("--uid"),     QStringLiteral("--flash-id"),
                                    QStringLiteral("--station"), QStringLiteral("--line"),    QStringLiteral("--from"),
                                    QStringLiteral("--to"),      QStringLiteral("--result"),  QStringLiteral("--sha256"),
                                    QStringLiteral("--format"),  QStringLiteral("--limit"),   QStringLiteral("--serial"),
                                    QStringLiteral("--order")};
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            out(stdout, QString::fromUtf8(kUsage));
            return kExitOk;
        }
        if (a == QLatin1String("--summary")) {
            o->summary = true;
            continue;
        }
        if (a == QLatin1String("--server")) {
            o->useServer = true;
            if (i + 1 < args.size() && !args.at(i + 1).startsWith(QLatin1String("--")))
                o->serverConfig = args.at(++i);
            continue;
        }
        if (!valued.contains(a))
            return usage(QStringLiteral("unknown option \"%1\"").arg(a));
        if (i + 1 >= args.size())
            return usage(a + QStringLiteral(" needs a value"));
        const QString v = args.at(++i);
        bool good = true;
        if (a == QLatin1String("--db"))
            o->databasePath = v;
        else if (a == QLatin1String("--uid"))
            o->filter.uid = v;
        else if (a == QLatin1String("--flash-id"))
            o->filter.flashId = v;
        else if (a == QLatin1String("--line"))
            o->filter.line = v;
        else if (a == QLatin1String("--sha256"))
            o->filter.sha256 = v;
        else if (a == QLatin1String("--serial"))
            good = !serialSearchOf(o->filter.serial = v).empty();
        else if (a == QLatin1String("--order"))
            o->filter.order = v;
        else if (a == QLatin1String("--station"))
            good = (o->filter.station = v.toInt(&good)) > 0 && good;
        else if (a == QLatin1String("--limit"))
            good = (o->filter.limit = v.toInt(&good)) > 0 && good;
        else if (a == QLatin1String("--from") || a == QLatin1String("--to")) {
            qint64 ms = 0;
            good = parseTime(v, &ms);
            (a == QLatin1String("--from") ? o->filter.fromMs : o->filter.toMs) = ms;
        } else if (a == QLatin1String("--result")) {
            good = v == QLatin1String("good") || v == QLatin1String("failed");
            o->filter.outcome = v == QLatin1String("good") ? recordFilter::result::good : recordFilter::result::failed;
        } else if (a == QLatin1String("--format")) {
            o->format = v;
            good = v == QLatin1String("table") || v == QLatin1String("csv") || v == QLatin1String("json");
        }
        if (!good)
            return usage(QStringLiteral("bad value \"%1\" for %2").arg(v, a));
    }
    return -1;
}

// The store to search: the factory's server, or a line's database (the
// line's own when none is named). Null once the reason is said.
std::unique_ptr<recordQuery> openStore(const searchOptions &o)
{
    QString error;
    std::unique_ptr<recordQuery> query;
    if (o.useServer) {
        recordServer server;
        if (!readRecordServer(o.serverConfig, &server, &error) || !server.valid()) {
            out(stderr, QStringLiteral("vq_records: %1\n")
                            .arg(error.isEmpty() ? QStringLiteral("no server configured in ") + o.serverConfig : error));
            return nullptr;
        }
        query = recordQuery::openServer(server, &error);
    } else {
        QString databasePath = o.databasePath;
        if (databasePath.isEmpty()) {
            // The line's own, found where vq_flash and the window put it.
            const lineLogFolder folder = lineLogFolderOf();
            if (!folder.note.isEmpty())
                out(stderr, QStringLiteral("vq_records: %1\n").arg(folder.note));
            databasePath = folder.path + QStringLiteral("/production.db");
        }
        query = recordQuery::openLocal(databasePath, &error);
    }
    if (!query)
        out(stderr, QStringLiteral("vq_records: %1\n").arg(error));
    return query;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    searchOptions o;
    const int parsed = parseArguments(app.arguments().mid(1), &o);
    if (parsed >= 0)
        return parsed;
    const std::unique_ptr<recordQuery> query = openStore(o);
    if (!query)
        return kExitNothing;
    QString error;
    if (o.summary) {
        recordSummary s;
        if (!query->summary(o.filter, &s, &error)) {
            out(stderr, QStringLiteral("vq_records: %1\n").arg(error));
            return kExitNothing;
        }
        printSummary(s, o.format);
        return s.hours.isEmpty() ? kExitNothing : kExitOk;
    }
    // A table on a terminal is for reading: a screenful of the newest rows,
    // not a million; a pipe or a file gets what it asked for.
    const bool capped = o.format == QLatin1String("table") && o.filter.limit == 0 && isatty(fileno(stdout));
    if (capped)
        o.filter.limit = kTerminalRows + 1;
    rowPrinter printer(o.format);
    qint64 seen = 0;
    const bool good = query->find(
        o.filter,
        [&](const productionRow &r) {
            if (++seen > kTerminalRows && capped)
                return false;
            printer.add(r);
            return true;
        },
        &error);
    const qint64 printed = printer.finish();
    if (capped && seen > kTerminalRows)
        out(stderr, QStringLiteral("vq_records: the newest %1 rows are shown; --limit N shows more, "
                                   "--format csv or json all of them\n")
                        .arg(kTerminalRows));
    if (!good) {
        out(stderr, QStringLiteral("vq_records: %1\n").arg(error));
        return kExitNothing;
    }
    return printed == 0 ? kExitNothing : kExitOk;
}
