#include "flashline.h"

#include "cfgfile.h"

#include <QCoreApplication>
#include <QEvent>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace jobStatus;

namespace {
// The stations are polled at the window's pace.
constexpr int kPollMs = 50;
// The live status is redrawn on every other poll: smooth to read, and light
// on a slow terminal or a remote session.
constexpr int kRedrawTicks = 2;
constexpr int kBarWidth = 20;
// When the terminal does not say how wide it is.
constexpr int kDefaultColumns = 80;
// At the end the server gets a few seconds for the last rows; what it has
// not taken by then goes with the next run.
constexpr int kLastUploadMs = 5000;
// Local rows are committed in milliseconds; this bounds a disk that hangs.
constexpr int kLastCommitMs = 20000;

// The lines of a chip's normal course; every other line of a job reports a
// problem and goes to standard error.
bool isCourseLine(const QString &text)
{
    static const QStringList course{QStringLiteral("Flash ID:"), QStringLiteral("Flash UID:"),
                                    QStringLiteral("未读取到Flash"), QStringLiteral("正在检测新芯片"),
                                    QStringLiteral("已检测到新芯片"), QStringLiteral("烧录成功！")};
    return std::any_of(course.cbegin(), course.cend(), [&](const QString &c) { return text.startsWith(c); });
}

QString hexCode(uint32_t code)
{
    return QStringLiteral("0x") + QString::number(code, 16);
}

// Columns a text takes on a terminal: wide (CJK) characters take two.
int displayWidth(QChar c)
{
    return c.unicode() >= 0x1100 ? 2 : 1;
}

QString fitColumns(const QString &text, int columns)
{
    int used = 0;
    for (int i = 0; i < text.size(); ++i) {
        used += displayWidth(text.at(i));
        if (used > columns)
            return text.left(i);
    }
    return text;
}

int terminalColumns(FILE *stream)
{
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return kDefaultColumns;
}

bool isTerminal(FILE *stream)
{
    return isatty(fileno(stream)) && qEnvironmentVariable("TERM") != QLatin1String("dumb");
}
} // namespace

flashLine::flashLine(const flashOptions &o, const QStringList &ports)
    : options(o)
    , single(o.ports.size() == 1 && !o.allPorts && !o.continuous)
    , human(o.json ? stderr : stdout)
    , live(isTerminal(human))
{
    for (int i = 0; i < ports.size(); ++i) {
        auto *s = new station;
        s->number = i + 1;
        s->port = ports.at(i);
        stations.append(s);
    }
    connect(&ticker, &QTimer::timeout, this, &flashLine::poll);

    recordStoreOptions store;
    store.databasePath = o.databasePath;
    store.csvPath = o.recordPath;
    QString problem;
    if (!readRecordServer(recordServerConfigPath(), &store.server, &problem))
        pending.append({stderr, QStringLiteral("vq_flash: ") + problem});
    origin = defaultOrigin();
    origin.line = lineName();
    records = std::make_unique<recordStore>(store);
    connect(records.get(), &recordStore::problem, this, [this](const QString &text, bool local) {
        pending.append({stderr, QStringLiteral("vq_flash: ") + text});
        recordFailed = recordFailed || local;
    });
}

flashLine::~flashLine()
{
    // The jobs' destructors stop and join their threads.
    qDeleteAll(stations);
}

void flashLine::start()
{
    // One copy of the images for every station, read before any chip is
    // touched, so that a file changed on disk mid-run changes nothing sent.
    uint32_t loadCode = 0;
    int failed = -1;
    const firmwareImageSet images = loadFirmwareImages(options.files, options.addresses, loadCode, failed);
    for (station *s : qAsConst(stations)) {
        s->job = std::make_unique<tranThread>();
        tranThread *job = s->job.get();
        job->setConfig(s->port, options.files, options.addresses, options.highSpeed, options.reset, options.continuous,
                       options.boot, options.baud);
        job->eraseBeforeWrite = options.erase;
        job->fastLoad = options.fastLoad;
        if (images)
            job->setImages(images);
        job->continueAfterFailure = true;
        connect(job, &tranThread::tranThreadLogSingal, this, &flashLine::line);
        if (options.json)
            json(*s, QStringLiteral("start"));
        job->start(QThread::TimeCriticalPriority);
    }
    ticker.start(kPollMs);
}

void flashLine::stop()
{
    if (stopRequested || done)
        return;
    stopRequested = true;
    pending.append({stderr, QStringLiteral("vq_flash: stopping; a running transfer ends with the stop code and its chip is rebooted")});
    if (!live)
        flushLines();
    for (station *s : qAsConst(stations)) {
        if (!s->job->isFinished())
            s->job->stopAndRecover();
    }
}

void flashLine::poll()
{
    ++ticks;
    QVector<int> seen(stations.size());
    for (int i = 0; i < stations.size(); ++i) {
        station &s = *stations.at(i);
        seen[i] = s.job->status.load();
        if (seen[i] == kBusy || seen[i] == kFailed || seen[i] == kSucceeded)
            s.percent = static_cast<int>(s.job->getProcess());
    }
    if (single && !live && stations.first()->percent != lastPercentShown && seen.first() != kIdle
        && seen.first() != kAcknowledged) {
        lastPercentShown = stations.first()->percent;
        print(human, QStringLiteral("%1%\n").arg(lastPercentShown));
    }
    // A job logs a chip's lines before it publishes the chip's result; with
    // the status read first, those lines are queued by now and come first.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    bool allEnded = true;
    for (int i = 0; i < stations.size(); ++i) {
        station &s = *stations.at(i);
        take(s, seen.at(i));
        // A continuous job that lingers takes no further chip (its port is
        // gone); a single-chip job lingers once its result is counted.
        if (!s.released && s.job->lingering() && seen.at(i) != kFailed && seen.at(i) != kSucceeded) {
            if (s.state != stationState::Good && s.state != stationState::Failed)
                s.state = stationState::Ended;
            release(s);
        }
        allEnded = allEnded && s.job->isFinished();
    }
    if (allEnded)
        return finish();
    if (!live)
        flushLines();
    else if (ticks % kRedrawTicks == 0 || !pending.isEmpty())
        drawStatus();
}

void flashLine::take(station &s, int seen)
{
    switch (seen) {
    case kBusy:
        s.state = stationState::Busy;
        break;
    case kFailed:
    case kSucceeded: {
        // The record belongs to the status just read; the acknowledgement
        // lands only on that status, so each chip is counted once.
        const chipRecord record = s.job->record();
        int expected = seen;
        if (!s.job->status.compare_exchange_strong(expected, kAcknowledged))
            break;
        count(s, record, seen == kSucceeded);
        if (!options.continuous)
            release(s);
        break;
    }
    case kWaitingChip: {
        int expected = seen;
        if (s.job->status.compare_exchange_strong(expected, kAcknowledged)) {
            s.state = stationState::Waiting;
            s.percent = 0;
            if (options.json)
                json(s, QStringLiteral("waiting"));
        }
        break;
    }
    case kFinished: {
        int expected = seen;
        s.job->status.compare_exchange_strong(expected, kAcknowledged);
        break;
    }
    default:
        break;
    }
}

void flashLine::count(station &s, const chipRecord &record, bool ok)
{
    s.hasRecord = true;
    s.last = record;
    ++(ok ? s.good : s.failed);
    s.state = ok ? stationState::Good : stationState::Failed;
    const QString prefix = single ? QString() : QLatin1Char('[') + s.port + QLatin1Char(']');
    if (record.portLost)
        pending.append({stderr, prefix + QStringLiteral("串口已断开！")});
    if (ok)
        pending.append({human, prefix + QStringLiteral("烧录成功！")});
    records->append(rowOf(record, s.number, ok, origin));
    if (options.json)
        json(s, QStringLiteral("result"), &record);
}

void flashLine::release(station &s)
{
    s.released = true;
    // Only the job's own flag: a chip it is still bringing back to its boot
    // ROM after the result must not have that cut short.
    s.job->stopFlag = true;
}

void flashLine::finish()
{
    if (done)
        return;
    done = true;
    ticker.stop();
    // Every counted chip is in the database before the summary is shown;
    // the store's problems, queued to this object, are shown with it.
    records->flushLocal(kLastCommitMs);
    records->flushUpload(kLastUploadMs);
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    if (live) {
        if (single) {
            drawStatus();
            drawnLines = 0;
        } else {
            eraseStatus();
            flushLines();
        }
    } else {
        flushLines();
    }
    if (options.json) {
        for (const station *s : qAsConst(stations))
            json(*s, QStringLiteral("end"));
    }
    if (!single)
        summary();
    else if (records->state().serverConfigured || records->state().localFailing)
        print(human, records->state().text() + QLatin1Char('\n'));
    const int status = exitStatus();
    if (options.json) {
        int good = 0, failed = 0;
        for (const station *s : qAsConst(stations)) {
            good += s->good;
            failed += s->failed;
        }
        const QJsonObject o{{QStringLiteral("event"), QStringLiteral("summary")},
                            {QStringLiteral("stations"), stations.size()},
                            {QStringLiteral("good"), good},
                            {QStringLiteral("failed"), failed},
                            {QStringLiteral("recordsWaiting"), records->state().waiting},
                            {QStringLiteral("records"), records->state().text()},
                            {QStringLiteral("exitStatus"), status}};
        print(stdout, QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
    }
    emit finished(status);
}

int flashLine::exitStatus() const
{
    if (recordFailed)
        return 1;
    for (const station *s : stations) {
        if (s->failed > 0 || (!options.continuous && s->good == 0))
            return 1;
    }
    return 0;
}

void flashLine::line(const QString &portLine)
{
    auto *job = qobject_cast<tranThread *>(sender());
    QString text = portLine;
    const QString prefix = job ? QLatin1Char('[') + job->portName + QLatin1Char(']') : QString();
    const QString bare = !prefix.isEmpty() && text.startsWith(prefix) ? text.mid(prefix.size()) : text;
    if (single)
        text = bare;
    pending.append({isCourseLine(bare) ? human : stderr, text});
    if (!live)
        flushLines();
}

void flashLine::print(FILE *stream, const QString &text)
{
    fputs(text.toUtf8().constData(), stream);
    fflush(stream);
}

void flashLine::flushLines()
{
    for (const pendingLine &l : qAsConst(pending))
        print(l.stream, l.text + QLatin1Char('\n'));
    pending.clear();
}

void flashLine::eraseStatus()
{
    if (drawnLines > 0)
        print(human, QStringLiteral("\x1b[%1A\r\x1b[J").arg(drawnLines));
    drawnLines = 0;
}

void flashLine::drawStatus()
{
    // The lines that came since the last drawing go above the block, which
    // is then drawn afresh below them.
    eraseStatus();
    flushLines();
    const int columns = terminalColumns(human) - 1;
    QString block;
    for (const station *s : qAsConst(stations))
        block += fitColumns(statusLine(*s), columns) + QLatin1Char('\n');
    print(human, block);
    drawnLines = stations.size();
}

QString flashLine::statusLine(const station &s) const
{
    QString state;
    switch (s.state) {
    case stationState::Starting: state = QStringLiteral("starting"); break;
    case stationState::Busy: state = QStringLiteral("busy"); break;
    case stationState::Good: state = QStringLiteral("ok"); break;
    case stationState::Failed: state = QStringLiteral("failed"); break;
    case stationState::Waiting: state = QStringLiteral("waiting"); break;
    case stationState::Ended: state = QStringLiteral("ended"); break;
    }
    if (stopRequested && !s.job->isFinished())
        state = QStringLiteral("stopping");
    const int filled = qBound(0, s.percent, 100) * kBarWidth / 100;
    QString text = QStringLiteral("%1 %2 %3 [%4%5] %6%")
                       .arg(s.number, 3)
                       .arg(s.port, -12)
                       .arg(state, -8)
                       .arg(QString(filled, QLatin1Char('#')), QString(kBarWidth - filled, QLatin1Char(' ')))
                       .arg(s.percent, 3);
    if (options.continuous)
        text += QStringLiteral("  good %1 failed %2").arg(s.good).arg(s.failed);
    if (s.hasRecord && s.state != stationState::Busy)
        text += QStringLiteral("  ") + hexCode(s.last.code) + QLatin1Char(' ') + s.last.text;
    return text;
}

void flashLine::summary()
{
    struct row {
        QStringList cells;
        QString text;
    };
    const QStringList head{QStringLiteral("station"), QStringLiteral("port"),    QStringLiteral("good"),
                           QStringLiteral("failed"),  QStringLiteral("code"),    QStringLiteral("seconds"),
                           QStringLiteral("flash ID"), QStringLiteral("UID")};
    QList<row> rows;
    int good = 0, failed = 0;
    for (const station *s : qAsConst(stations)) {
        good += s->good;
        failed += s->failed;
        const chipRecord &r = s->last;
        QString text = s->hasRecord ? r.text : s->state == stationState::Waiting ? QStringLiteral("no chip")
                                                                                 : QStringLiteral("stopped");
        rows.append({{QString::number(s->number), s->port, QString::number(s->good), QString::number(s->failed),
                      s->hasRecord ? hexCode(r.code) : QStringLiteral("-"),
                      s->hasRecord ? QString::number(r.seconds, 'f', 2) : QStringLiteral("-"),
                      r.flashId.isEmpty() ? QStringLiteral("-") : r.flashId,
                      r.flashUid.isEmpty() ? QStringLiteral("-") : r.flashUid},
                     text});
    }
    QVector<int> width(head.size());
    for (int c = 0; c < head.size(); ++c) {
        width[c] = head.at(c).size();
        for (const row &r : qAsConst(rows))
            width[c] = std::max(width[c], r.cells.at(c).size());
    }
    // Numbers right, names left; the result text last, where its wide
    // characters cannot push a column out of line.
    const auto format = [&](const QStringList &cells, const QString &text) {
        QString out;
        for (int c = 0; c < cells.size(); ++c) {
            const bool number = c == 0 || c == 2 || c == 3 || c == 5;
            out += (number ? cells.at(c).rightJustified(width[c]) : cells.at(c).leftJustified(width[c]))
                + QStringLiteral("  ");
        }
        return out + text + QLatin1Char('\n');
    };
    QString table = QLatin1Char('\n') + format(head, QStringLiteral("result"));
    for (const row &r : qAsConst(rows))
        table += format(r.cells, r.text);
    table += QStringLiteral("%1 stations, %2 chips good, %3 failed\n").arg(stations.size()).arg(good).arg(failed);
    table += records->state().text() + QLatin1Char('\n');
    print(human, table);
}

void flashLine::json(const station &s, const QString &event, const chipRecord *record)
{
    QJsonObject o{{QStringLiteral("station"), s.number},
                  {QStringLiteral("port"), s.port},
                  {QStringLiteral("event"), event}};
    if (record) {
        o.insert(QStringLiteral("code"), static_cast<qint64>(record->code));
        o.insert(QStringLiteral("codeHex"), hexCode(record->code));
        o.insert(QStringLiteral("text"), record->text);
        o.insert(QStringLiteral("flashId"), record->flashId);
        o.insert(QStringLiteral("uid"), record->flashUid);
        o.insert(QStringLiteral("seconds"), record->seconds);
        o.insert(QStringLiteral("model"), record->model);
        o.insert(QStringLiteral("bytes"), record->bytesWritten);
        o.insert(QStringLiteral("portLost"), record->portLost);
    }
    if (event == QLatin1String("end")) {
        o.insert(QStringLiteral("good"), s.good);
        o.insert(QStringLiteral("failed"), s.failed);
    }
    print(stdout, QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
}
