// vq_records: searches the production records of a line (its SQLite file)
// or of the whole factory (the PostgreSQL server), and sums them up.
#include "productioncsv.h"
#include "recordstore.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTimeZone>

#include <cstdio>

namespace {
constexpr int kExitOk = 0;
constexpr int kExitNothing = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: vq_records [--db FILE | --server [CONFIG]] [filters] [--format table|csv|json]\n"
    "                  [--summary] [--limit N]\n"
    "\n"
    "Lists the chips of the production records, newest first, or sums them up.\n"
    "\n"
    "  --db FILE         a line's database (default log/production.db)\n"
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
    "  --result R        good or failed\n"
    "  --sha256 HASH     chips that got an image with this SHA-256\n"
    "  --format F        table (default), csv or json\n"
    "  --limit N         at most N chips, the newest\n"
    "  --summary         per hour good / failed / yield, failure codes ranked, yield\n"
    "                    per station, over the chips the filters select\n"
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

QString table(const QStringList &head, const QList<QStringList> &rows, const QVector<bool> &rightAligned)
{
    QVector<int> width(head.size());
    for (int c = 0; c < head.size(); ++c) {
        width[c] = widthOf(head.at(c));
        for (const QStringList &r : rows)
            width[c] = std::max(width[c], widthOf(r.at(c)));
    }
    QString text;
    const auto line = [&](const QStringList &cells) {
        QString l;
        for (int c = 0; c < cells.size(); ++c) {
            const QString pad(width[c] - widthOf(cells.at(c)), QLatin1Char(' '));
            const bool last = c == cells.size() - 1;
            l += rightAligned.value(c) ? pad + cells.at(c) : cells.at(c) + (last ? QString() : pad);
            if (!last)
                l += QStringLiteral("  ");
        }
        text += l + QLatin1Char('\n');
    };
    line(head);
    for (const QStringList &r : rows)
        line(r);
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

void printRows(const QVector<productionRow> &rows, const QString &format)
{
    if (format == QLatin1String("json")) {
        QJsonArray all;
        for (const productionRow &r : rows) {
            QJsonArray images;
            for (const imageFacts &i : r.images)
                images.append(QJsonObject{{QStringLiteral("file"), i.fileName},
                                          {QStringLiteral("size"), i.size},
                                          {QStringLiteral("address"), static_cast<qint64>(i.address)},
                                          {QStringLiteral("sha256"), QString::fromLatin1(i.sha256)}});
            all.append(QJsonObject{{QStringLiteral("id"), r.id},
                                   {QStringLiteral("time"), timeText(r)},
                                   {QStringLiteral("host"), r.host},
                                   {QStringLiteral("line"), r.line},
                                   {QStringLiteral("station"), r.station},
                                   {QStringLiteral("port"), r.port},
                                   {QStringLiteral("model"), r.model},
                                   {QStringLiteral("flashId"), r.flashId},
                                   {QStringLiteral("uid"), r.uid},
                                   {QStringLiteral("operation"), r.operation},
                                   {QStringLiteral("ok"), r.ok},
                                   {QStringLiteral("code"), static_cast<qint64>(r.code)},
                                   {QStringLiteral("text"), r.text},
                                   {QStringLiteral("firstCode"), static_cast<qint64>(r.firstCode)},
                                   {QStringLiteral("seconds"), r.seconds},
                                   {QStringLiteral("bytes"), r.bytes},
                                   {QStringLiteral("baud"), static_cast<qint64>(r.baud)},
                                   {QStringLiteral("highSpeed"), r.highSpeed},
                                   {QStringLiteral("toolVersion"), r.toolVersion},
                                   {QStringLiteral("images"), images}});
        }
        out(stdout, QString::fromUtf8(QJsonDocument(all).toJson(QJsonDocument::Indented)));
        return;
    }
    if (format == QLatin1String("csv")) {
        QString text = QStringLiteral("id,time,host,line,station,port,model,flash_id,uid,operation,ok,code,text,"
                                      "first_code,seconds,bytes,baud,high_speed,tool_version,images\r\n");
        for (const productionRow &r : rows) {
            const QStringList f{r.id, timeText(r), r.host, r.line, QString::number(r.station), r.port, r.model,
                                r.flashId, r.uid, r.operation, QString::number(r.ok ? 1 : 0), hex(r.code), r.text,
                                hex(r.firstCode), QString::number(r.seconds, 'f', 2), QString::number(r.bytes),
                                QString::number(r.baud), QString::number(r.highSpeed ? 1 : 0), r.toolVersion,
                                imagesText(r, true)};
            QStringList q;
            for (const QString &s : f)
                q << csvField(s);
            text += q.join(QLatin1Char(',')) + QStringLiteral("\r\n");
        }
        out(stdout, text);
        return;
    }
    QList<QStringList> cells;
    for (const productionRow &r : rows)
        cells << QStringList{r.localTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
                             r.line,
                             QString::number(r.station),
                             r.port,
                             r.uid.isEmpty() ? QStringLiteral("-") : r.uid,
                             r.flashId.isEmpty() ? QStringLiteral("-") : r.flashId,
                             r.operation,
                             hex(r.code),
                             r.text,
                             imagesText(r, false)};
    out(stdout, table({QStringLiteral("time"), QStringLiteral("line"), QStringLiteral("station"),
                       QStringLiteral("port"), QStringLiteral("uid"), QStringLiteral("flash id"),
                       QStringLiteral("operation"), QStringLiteral("code"), QStringLiteral("result"),
                       QStringLiteral("images")},
                      cells, {false, false, true}));
}

void printSummary(const recordSummary &s, const QString &format)
{
    const auto hourText = [](qint64 ms) {
        return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd hh:00"));
    };
    if (format == QLatin1String("json")) {
        QJsonArray hours, failures, stations;
        for (const hourCount &h : s.hours)
            hours.append(QJsonObject{{QStringLiteral("hour"), QDateTime::fromMSecsSinceEpoch(h.hourMs).toString(Qt::ISODate)},
                                     {QStringLiteral("good"), h.good},
                                     {QStringLiteral("failed"), h.failed}});
        for (const failureCount &f : s.failures)
            failures.append(QJsonObject{{QStringLiteral("code"), static_cast<qint64>(f.code)},
                                        {QStringLiteral("text"), f.text},
                                        {QStringLiteral("count"), f.count}});
        for (const stationCount &c : s.stations)
            stations.append(QJsonObject{{QStringLiteral("line"), c.line},
                                        {QStringLiteral("station"), c.station},
                                        {QStringLiteral("good"), c.good},
                                        {QStringLiteral("failed"), c.failed}});
        out(stdout, QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("hours"), hours},
                                                                {QStringLiteral("failures"), failures},
                                                                {QStringLiteral("stations"), stations}})
                                          .toJson(QJsonDocument::Indented)));
        return;
    }
    if (format == QLatin1String("csv")) {
        QString text = QStringLiteral("section,key,good,failed,count,text\r\n");
        for (const hourCount &h : s.hours)
            text += QStringLiteral("hour,%1,%2,%3,,\r\n").arg(hourText(h.hourMs)).arg(h.good).arg(h.failed);
        for (const failureCount &f : s.failures)
            text += QStringLiteral("failure,%1,,,%2,%3\r\n").arg(hex(f.code)).arg(f.count).arg(csvField(f.text));
        for (const stationCount &c : s.stations)
            text += QStringLiteral("station,%1,%2,%3,,\r\n").arg(csvField(c.line + QLatin1Char('/') + QString::number(c.station))).arg(c.good).arg(c.failed);
        out(stdout, text);
        return;
    }
    QList<QStringList> hours, failures, stations;
    for (const hourCount &h : s.hours)
        hours << QStringList{hourText(h.hourMs), QString::number(h.good), QString::number(h.failed),
                             yieldText(h.good, h.failed)};
    for (const failureCount &f : s.failures)
        failures << QStringList{QString::number(f.count), hex(f.code), f.text};
    for (const stationCount &c : s.stations)
        stations << QStringList{c.line, QString::number(c.station), QString::number(c.good),
                                QString::number(c.failed), yieldText(c.good, c.failed)};
    out(stdout, table({QStringLiteral("hour"), QStringLiteral("good"), QStringLiteral("failed"), QStringLiteral("yield")},
                      hours, {false, true, true, true})
                    + QLatin1Char('\n')
                    + table({QStringLiteral("failures"), QStringLiteral("code"), QStringLiteral("result")}, failures,
                            {true, false, false})
                    + QLatin1Char('\n')
                    + table({QStringLiteral("line"), QStringLiteral("station"), QStringLiteral("good"),
                             QStringLiteral("failed"), QStringLiteral("yield")},
                            stations, {false, true, true, true, true}));
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const QStringList args = app.arguments().mid(1);
    QString databasePath = QStringLiteral("log/production.db");
    bool useServer = false;
    QString serverConfig = recordServerConfigPath();
    QString format = QStringLiteral("table");
    bool summary = false;
    recordFilter filter;
    const auto usage = [](const QString &error) {
        out(stderr, QStringLiteral("vq_records: ") + error + QLatin1Char('\n') + QString::fromUtf8(kUsage));
        return kExitUsage;
    };
    static const QStringList valued{QStringLiteral("--db"),      QStringLiteral("--uid"),     QStringLiteral("--flash-id"),
                                    QStringLiteral("--station"), QStringLiteral("--line"),    QStringLiteral("--from"),
                                    QStringLiteral("--to"),      QStringLiteral("--result"),  QStringLiteral("--sha256"),
                                    QStringLiteral("--format"),  QStringLiteral("--limit")};
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            out(stdout, QString::fromUtf8(kUsage));
            return kExitOk;
        }
        if (a == QLatin1String("--summary")) {
            summary = true;
            continue;
        }
        if (a == QLatin1String("--server")) {
            useServer = true;
            if (i + 1 < args.size() && !args.at(i + 1).startsWith(QLatin1String("--")))
                serverConfig = args.at(++i);
            continue;
        }
        if (!valued.contains(a))
            return usage(QStringLiteral("unknown option \"%1\"").arg(a));
        if (i + 1 >= args.size())
            return usage(a + QStringLiteral(" needs a value"));
        const QString v = args.at(++i);
        bool good = true;
        if (a == QLatin1String("--db"))
            databasePath = v;
        else if (a == QLatin1String("--uid"))
            filter.uid = v;
        else if (a == QLatin1String("--flash-id"))
            filter.flashId = v;
        else if (a == QLatin1String("--line"))
            filter.line = v;
        else if (a == QLatin1String("--sha256"))
            filter.sha256 = v;
        else if (a == QLatin1String("--station"))
            good = (filter.station = v.toInt(&good)) > 0 && good;
        else if (a == QLatin1String("--limit"))
            good = (filter.limit = v.toInt(&good)) > 0 && good;
        else if (a == QLatin1String("--from"))
            good = parseTime(v, &filter.fromMs);
        else if (a == QLatin1String("--to"))
            good = parseTime(v, &filter.toMs);
        else if (a == QLatin1String("--result")) {
            good = v == QLatin1String("good") || v == QLatin1String("failed");
            filter.outcome = v == QLatin1String("good") ? recordFilter::result::good : recordFilter::result::failed;
        } else if (a == QLatin1String("--format")) {
            format = v;
            good = v == QLatin1String("table") || v == QLatin1String("csv") || v == QLatin1String("json");
        }
        if (!good)
            return usage(QStringLiteral("bad value \"%1\" for %2").arg(v, a));
    }

    QString error;
    std::unique_ptr<recordQuery> query;
    if (useServer) {
        recordServer server;
        if (!readRecordServer(serverConfig, &server, &error) || !server.valid()) {
            out(stderr, QStringLiteral("vq_records: %1\n")
                            .arg(error.isEmpty() ? QStringLiteral("no server configured in ") + serverConfig : error));
            return kExitNothing;
        }
        query = recordQuery::openServer(server, &error);
    } else {
        query = recordQuery::openLocal(databasePath, &error);
    }
    if (!query) {
        out(stderr, QStringLiteral("vq_records: %1\n").arg(error));
        return kExitNothing;
    }
    if (summary) {
        recordSummary s;
        if (!query->summary(filter, &s, &error)) {
            out(stderr, QStringLiteral("vq_records: %1\n").arg(error));
            return kExitNothing;
        }
        printSummary(s, format);
        return s.hours.isEmpty() ? kExitNothing : kExitOk;
    }
    QVector<productionRow> rows;
    if (!query->find(filter, &rows, &error)) {
        out(stderr, QStringLiteral("vq_records: %1\n").arg(error));
        return kExitNothing;
    }
    printRows(rows, format);
    return rows.isEmpty() ? kExitNothing : kExitOk;
}
