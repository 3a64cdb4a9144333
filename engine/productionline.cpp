#include "productionline.h"

#include "resultcodes.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QThread>

using namespace jobStatus;

namespace {
// Progress bars and DSR labels follow the jobs at this pace; results and
// ends do not wait for it, the jobs' signals bring them at once.
constexpr int kPollMs = 50;
// While a closing front end waits for its jobs without an event loop.
constexpr int kFinishNapMs = 5;

QString hex(uint32_t value)
{
    return QStringLiteral("0x") + QString::number(value, 16);
}

bool isStopCode(uint32_t code)
{
    return code != resultCode::kSuccess && (code & resultCode::kTransferMask) == resultCode::kTransferStopped;
}
} // namespace

productionLine::productionLine(recordStore *store, const recordOrigin &o, QObject *parent)
    : QObject(parent)
    , records(store)
    , origin(o)
{
    ticker.setInterval(kPollMs);
    connect(&ticker, &QTimer::timeout, this, &productionLine::poll);
}

productionLine::~productionLine()
{
    if (run != runState::idle)
        finishNow(0);
    // The jobs' destructors abandon and join what is still running.
    qDeleteAll(stations);
}

void productionLine::setCounters(const lineCounters &counters)
{
    count = counters;
    emit countersChanged();
}

bool productionLine::start(const QVector<lineStation> &list, const lineJob &j)
{
    if (run != runState::idle)
        return false;
    qDeleteAll(stations);
    stations.clear();
    job = j;
    orderGood = 0;
    orderReached = false;
    runOrigin = origin;
    runOrigin.order = j.order.name;
    runOrigin.operatorName = j.order.operatorName;
    runOrigin.orderSha256 = j.order.fileSha256;
    runOrigin.orderQuantity = j.order.quantity;
    run = runState::running;
    for (const lineStation &spec : list) {
        auto *s = new stationSlot;
        s->status.number = spec.number;
        s->status.port = spec.port;
        s->job = std::make_unique<tranThread>();
        tranThread *t = s->job.get();
        t->setConfig(spec.socket.isEmpty() ? spec.port : spec.socket, j.files, j.addresses, j.highSpeed, j.reset, j.fixture, j.boot, j.baud);
        t->eraseFlag = j.erase;
        t->eraseBeforeWrite = j.eraseBeforeWrite && !j.erase;
        t->fastLoad = j.fastLoad;
        t->continueAfterFailure = j.fixture && j.keepGoing && !j.erase;
        t->models = j.models;
        t->station = spec.number;
        if (!j.erase) {
            t->setImages(j.images);
            t->serials = j.serials.get();
        }
        const int index = stations.size();
        connect(t, &tranThread::jobLine, this,
                [this, index](lineKind kind, const QString &text) { emit lineLogged(index, kind, text); });
        connect(t, &tranThread::statusChanged, this, &productionLine::pollSoon);
        connect(t, &QThread::finished, this, &productionLine::pollSoon);
        stations.append(s);
    }
    for (stationSlot *s : qAsConst(stations))
        s->job->start(QThread::TimeCriticalPriority);
    ticker.start();
    if (stations.isEmpty())
        pollSoon();
    return true;
}

void productionLine::stop()
{
    if (run != runState::running)
        return;
    // What the jobs published before the stop is theirs to keep: a chip
    // that finished just before is a good chip, not a stopped one.
    poll();
    if (run == runState::idle)
        return;
    run = runState::stopping;
    for (stationSlot *s : qAsConst(stations)) {
        if (!s->ended)
            s->job->stop();
    }
    for (int i = 0; i < stations.size(); ++i)
        emit stationChanged(i);
}

void productionLine::abandon()
{
    if (run == runState::idle)
        return;
    if (run == runState::running)
        stop();
    for (stationSlot *s : qAsConst(stations)) {
        if (!s->ended)
            s->job->abandon();
    }
}

void productionLine::releaseAll()
{
    for (stationSlot *s : qAsConst(stations)) {
        if (!s->ended)
            s->job->release();
    }
}

void productionLine::finishNow(int timeoutMs)
{
    abandon();
    const QDeadlineTimer deadline(timeoutMs);
    while (run != runState::idle) {
        bool joined = true;
        for (stationSlot *s : qAsConst(stations))
            joined = s->job->wait(qMax<qint64>(0, qMin<qint64>(kFinishNapMs, deadline.remainingTime()))) && joined;
        poll();
        if (!joined && deadline.hasExpired())
            break;
    }
}

void productionLine::pollSoon()
{
    // Signals of several jobs in one burst make one poll.
    if (pollQueued)
        return;
    pollQueued = true;
    QMetaObject::invokeMethod(this, [this] {
        pollQueued = false;
        poll();
    }, Qt::QueuedConnection);
}

void productionLine::poll()
{
    if (polling || run == runState::idle)
        return;
    polling = true;
    // A job that has ended has published its last status: read in this
    // order, nothing it reported can be missed.
    QVector<bool> finished(stations.size());
    QVector<int> seen(stations.size());
    for (int i = 0; i < stations.size(); ++i) {
        finished[i] = stations.at(i)->job->isFinished();
        seen[i] = stations.at(i)->job->status.load(std::memory_order_acquire);
    }
    // A job logs a chip's lines before it publishes the chip's result; with
    // the status read first, those lines are queued by now and come first.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    for (int i = 0; i < stations.size(); ++i) {
        take(i, seen.at(i));
        stationSlot &s = *stations.at(i);
        if (finished.at(i) && !s.ended) {
            s.ended = true;
            s.status.activity = stationActivity::ended;
            s.status.portOpen = false;
            s.status.dsr = false;
            emit stationChanged(i);
        }
    }
    polling = false;
    if (allEnded())
        endRun();
}

void productionLine::take(int index, int seen)
{
    stationSlot &s = *stations.at(index);
    tranThread *t = s.job.get();
    stationStatus before = s.status;
    if (t->portOpen() || s.ended) {
        s.status.portOpen = t->portOpen();
        s.status.dsr = t->dsrAsserted();
    }
    switch (seen) {
    case kBusy:
        s.status.activity = stationActivity::busy;
        s.status.percent = static_cast<int>(t->getProcess());
        break;
    case kFailed:
    case kSucceeded: {
        // The record belongs to the status just read; the acknowledgement
        // lands only on that status, so each chip is counted once.
        const chipRecord record = t->record();
        s.status.percent = static_cast<int>(t->getProcess());
        int expected = seen;
        if (t->status.compare_exchange_strong(expected, kAcknowledged)) {
            countChip(index, seen, record);
            return;
        }
        break;
    }
    case kWaitingChip: {
        int expected = seen;
        if (t->status.compare_exchange_strong(expected, kAcknowledged))
            s.status.activity = stationActivity::waiting;
        break;
    }
    case kFinished: {
        int expected = seen;
        t->status.compare_exchange_strong(expected, kAcknowledged);
        break;
    }
    default:
        break;
    }
    if (before.activity != s.status.activity || before.percent != s.status.percent
        || before.portOpen != s.status.portOpen || before.dsr != s.status.dsr)
        emit stationChanged(index);
}

void productionLine::countChip(int index, int seen, const chipRecord &record)
{
    stationSlot &s = *stations.at(index);
    chipOutcome outcome = chipOutcome::failed;
    if (seen == kSucceeded)
        outcome = record.erase ? chipOutcome::erased : chipOutcome::good;
    else if (isStopCode(record.code))
        outcome = chipOutcome::stopped;
    switch (outcome) {
    case chipOutcome::good:
        ++count.good;
        ++count.total;
        ++s.status.good;
        ++orderGood;
        break;
    case chipOutcome::failed:
        ++count.failed;
        ++count.total;
        ++s.status.failed;
        break;
    case chipOutcome::stopped:
        ++count.stopped;
        ++s.status.stopped;
        break;
    case chipOutcome::erased:
        ++count.erased;
        break;
    }
    s.status.hasResult = true;
    s.status.outcome = outcome;
    s.status.last = record;
    // Between chips, whether or not a poll saw this one start.
    if (s.status.activity != stationActivity::ended)
        s.status.activity = stationActivity::idle;
    if (outcome == chipOutcome::failed && record.portLost)
        emit lineLogged(index, lineKind::error, QStringLiteral("串口已断开！"));
    // The retry's code alone would hide why the chip first failed; the row
    // keeps the first code in a field of its own.
    if (outcome == chipOutcome::failed && record.firstCode != 0)
        emit lineLogged(index, lineKind::error,
                        QStringLiteral("重试前的错误代码为：") + hex(record.firstCode) + QLatin1Char(',')
                            + resultText(record.firstCode & ~resultCode::kTransferMask));
    if (outcome == chipOutcome::stopped)
        emit lineLogged(index, lineKind::result, QStringLiteral("烧录被停止，错误代码为：") + hex(record.code));
    if (records) {
        const bool ok = outcome == chipOutcome::good || outcome == chipOutcome::erased;
        records->append(rowOf(record, s.status.number, ok, runOrigin));
    }
    emit countersChanged();
    emit stationChanged(index);
    emit chipCounted(index, outcome, record);
    // Said once, by the chip that completes the order; the chips still in
    // hand are its overrun, at most one per station.
    if (outcome == chipOutcome::good && orderComplete() && !orderReached) {
        orderReached = true;
        releaseAll();
        emit orderCompleted();
    }
}

bool productionLine::allEnded() const
{
    for (const stationSlot *s : stations) {
        if (!s->ended)
            return false;
    }
    return true;
}

void productionLine::endRun()
{
    ticker.stop();
    run = runState::idle;
    emit runEnded();
}
