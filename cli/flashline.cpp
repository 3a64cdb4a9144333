#include "flashline.h"

#include "cfgfile.h"
#include "serialstore.h"

#include <QCoreApplication>
#include <QEvent>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
// The live status is redrawn this often: smooth to read, and light on a
// slow terminal or a remote session.
constexpr int kRedrawMs = 100;
constexpr int kBarWidth = 20;
// When the terminal does not say how wide it is.
constexpr int kDefaultColumns = 80;
// At the end the server gets a few seconds for the last rows; what it has
// not taken by then goes with the next run.
constexpr int kLastUploadMs = 5000;
// Local rows are committed in milliseconds. A disk that refuses them (full,
// or the file locked by another program) is given this long to take them
// before the rows are printed instead, so that none is lost.
constexpr int kLastCommitMs = 30000;
constexpr int kDrainPollMs = 50;

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

flashLine::flashLine(const flashOptions &o, const QStringList &stationPorts)
    : options(o)
    , single(o.ports.size() == 1 && !o.allPorts && !o.continuous)
    , human(o.json ? stderr : stdout)
    , live(isTerminal(human))
    , ports(stationPorts)
    , toldWaiting(stationPorts.size(), false)
{
    recordStoreOptions store;
    store.databasePath = o.databasePath;
    store.csvPath = o.recordPath;
    QString problem;
    if (!readRecordServer(recordServerConfigPath(), &store.server, &problem))
        queue(stderr, QStringLiteral("vq_flash: ") + problem);
    server = store.server;
    origin = defaultOrigin();
    origin.line = lineName();
    // Before the store makes a file that is not a database yet.
    if (!o.orderPath.isEmpty()
        && !tallyOrder(recordStorePath(store), store.server, o.order.name, origin.host, &orderBefore, &orderReadError))
        orderReadError = QStringLiteral("vq_flash: 无法读取工单进度：") + orderReadError;
    records = std::make_unique<recordStore>(store);
    connect(records.get(), &recordStore::problem, this, [this](const QString &text, bool local) {
        Q_UNUSED(local)
        queue(stderr, QStringLiteral("vq_flash: ") + text);
        if (!live)
            flushLines();
    });
    line = std::make_unique<productionLine>(records.get(), origin);
    connect(line.get(), &productionLine::stationChanged, this, &flashLine::stationChanged);
    connect(line.get(), &productionLine::chipCounted, this, &flashLine::counted);
    connect(line.get(), &productionLine::lineLogged, this, &flashLine::logged);
    connect(line.get(), &productionLine::runEnded, this, &flashLine::finish);
    connect(line.get(), &productionLine::orderCompleted, this, &flashLine::orderCompleted);
    connect(&redraw, &QTimer::timeout, this, &flashLine::tick);
    connect(&drainTimer, &QTimer::timeout, this, &flashLine::drain);
}

flashLine::~flashLine() = default;

bool flashLine::orderJob(lineJob *job)
{
    const workOrder &order = options.order;
    if (!orderReadError.isEmpty()) {
        print(stderr, orderReadError + QLatin1Char('\n'));
        return false;
    }
    if (!orderBefore.note.isEmpty())
        print(stderr, QStringLiteral("vq_flash: ") + orderBefore.note + QLatin1Char('\n'));
    if (order.quantity > 0 && orderBefore.good >= order.quantity) {
        print(stderr, QStringLiteral("vq_flash: 工单已完成：%1（已完成 %2 / %3），未烧录任何芯片\n")
                          .arg(order.name)
                          .arg(orderBefore.good)
                          .arg(order.quantity));
        return false;
    }
    *job = jobFor(order, options.operatorName, orderBefore.good);
    // A fixture station of vq_flash runs until it is stopped.
    job->keepGoing = order.dsr;
    return true;
}

void flashLine::orderCompleted()
{
    queue(stderr, QStringLiteral("工单已完成：%1（已完成 %2 / %3），各工位烧完手中的芯片后停止")
                      .arg(options.order.name)
                      .arg(line->orderDone())
                      .arg(options.order.quantity));
    if (options.json) {
        print(stdout, QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("event"), QStringLiteral("orderComplete")},
                                                                  {QStringLiteral("order"), options.order.name},
                                                                  {QStringLiteral("done"), line->orderDone()},
                                                                  {QStringLiteral("quantity"), options.order.quantity}})
                                            .toJson(QJsonDocument::Compact))
                          + QLatin1Char('\n'));
    }
    if (!live)
        flushLines();
}

bool flashLine::start()
{
    lineJob job;
    // A completed order touches nothing, not even the serial values.
    if (!options.orderPath.isEmpty() && !orderJob(&job))
        return false;
    if (options.serialOn) {
        auto serials = std::make_shared<serialStore>(records->databasePath(), server, options.serial, origin);
        QString error;
        int voided = 0;
        if (!serials->open(&error, &voided)) {
            print(stderr, QStringLiteral("vq_flash: the serial values cannot be kept in %1: %2\n")
                              .arg(records->databasePath(), error));
            return false;
        }
        if (voided > 0)
            queue(stderr, QStringLiteral("vq_flash: %1 serial values reserved by a process that is gone are void").arg(voided));
        job.serials = serials;
    }
    // An order's job has its images, read and checked when it was loaded.
    if (options.orderPath.isEmpty()) {
        // One copy of the images for every station, read before any chip is
        // touched, so that a file changed on disk mid-run changes nothing sent.
        uint32_t loadCode = 0;
        int failed = -1;
        job.images = loadFirmwareImages(options.files, options.addresses, loadCode, failed);
        // --erase alone erases; with images it erases before writing them.
        job.erase = options.erase && options.files.isEmpty();
        job.files = options.files;
        job.addresses = options.addresses;
        job.baud = options.baud;
        job.highSpeed = options.highSpeed;
        job.reset = options.reset;
        job.boot = options.boot;
        job.fixture = options.continuous;
        // A fixture station of vq_flash runs until it is stopped.
        job.keepGoing = true;
        job.eraseBeforeWrite = options.erase;
        job.fastLoad = options.fastLoad;
    }
    QVector<lineStation> stations;
    for (int i = 0; i < ports.size(); ++i)
        stations.append({i + 1, ports.at(i), QString()});
    if (options.json) {
        for (int i = 0; i < ports.size(); ++i)
            json(i, QStringLiteral("start"));
    }
    line->start(stations, job);
    redraw.start(kRedrawMs);
    return true;
}

void flashLine::stop()
{
    if (draining) {
        // The operator will not wait for a disk: what it has not taken yet
        // is printed.
        drainCut = true;
        return;
    }
    if (done)
        return;
    ++stopRequests;
    if (stopRequests == 1) {
        queue(stderr, QStringLiteral("vq_flash: stopping; a running transfer ends with the stop code and its chip is rebooted"));
        line->stop();
    } else {
        queue(stderr, QStringLiteral("vq_flash: stopping at once; chips are left as they are"));
        line->abandon();
    }
    if (!live)
        flushLines();
}

void flashLine::stationChanged(int index)
{
    const stationStatus &s = line->station(index);
    if (s.activity != stationActivity::waiting)
        toldWaiting[index] = false;
    else if (!toldWaiting.at(index)) {
        toldWaiting[index] = true;
        if (options.json)
            json(index, QStringLiteral("waiting"));
    }
    if (single && !live && s.percent != lastPercentShown
        && (s.activity == stationActivity::busy || s.activity == stationActivity::idle)) {
        lastPercentShown = s.percent;
        print(human, QStringLiteral("%1%\n").arg(lastPercentShown));
    }
}

void flashLine::counted(int index, chipOutcome outcome, const chipRecord &record)
{
    if (outcome == chipOutcome::good)
        queue(human, prefix(index) + QStringLiteral("烧录成功！"));
    else if (outcome == chipOutcome::erased)
        queue(human, prefix(index) + QStringLiteral("擦除成功！"));
    if (options.json)
        json(index, QStringLiteral("result"), &record);
    if (!live)
        flushLines();
}

void flashLine::logged(int index, lineKind kind, const QString &text)
{
    // The chip's course goes where the results go; what went wrong, or
    // needs the operator, goes to standard error.
    const bool course = kind == lineKind::progress || kind == lineKind::result;
    queue(course ? human : stderr, prefix(index) + text);
    if (!live)
        flushLines();
}

QString flashLine::prefix(int index) const
{
    return single ? QString() : QLatin1Char('[') + ports.value(index) + QLatin1Char(']');
}

void flashLine::tick()
{
    if (live)
        drawStatus();
}

void flashLine::finish()
{
    if (done)
        return;
    done = true;
    redraw.stop();
    // Every counted chip is in the database before the summary is shown,
    // unless the disk refuses it for longer than a line waits.
    draining = true;
    drainClock.start();
    drainTimer.start(kDrainPollMs);
    drain();
}

void flashLine::drain()
{
    if (!records->flushLocal(0) && !drainCut && !drainClock.hasExpired(kLastCommitMs))
        return;
    drainTimer.stop();
    draining = false;
    const QVector<productionRow> left = records->unwrittenRows();
    if (left.isEmpty())
        records->flushUpload(kLastUploadMs);
    unwrittenAtEnd = left.size();
    // The store's problems, queued to this object, are shown with the end.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    for (const productionRow &row : left)
        queue(stderr, QString::fromUtf8(QJsonDocument(rowToJson(row)).toJson(QJsonDocument::Compact)));
    if (!left.isEmpty())
        queue(stderr, QStringLiteral("vq_flash: %1 条生产记录未能写入数据库，其内容见上方的 JSON 行").arg(left.size()));
    conclude();
}

void flashLine::conclude()
{
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
        for (int i = 0; i < ports.size(); ++i)
            json(i, QStringLiteral("end"));
    }
    if (!single)
        summary();
    else if (records->state().serverConfigured || records->state().localFailing)
        print(human, records->state().text() + QLatin1Char('\n'));
    const int status = exitStatus();
    if (options.json) {
        const lineCounters &c = line->counters();
        QJsonObject o{{QStringLiteral("event"), QStringLiteral("summary")},
                            {QStringLiteral("stations"), ports.size()},
                            {QStringLiteral("good"), static_cast<qint64>(c.good)},
                            {QStringLiteral("failed"), static_cast<qint64>(c.failed)},
                            {QStringLiteral("stopped"), static_cast<qint64>(c.stopped)},
                            {QStringLiteral("recordsWaiting"), records->state().waiting},
                            {QStringLiteral("records"), records->state().text()},
                            {QStringLiteral("exitStatus"), status}};
        if (!options.orderPath.isEmpty()) {
            o.insert(QStringLiteral("order"), options.order.name);
            o.insert(QStringLiteral("orderDone"), line->orderDone());
            o.insert(QStringLiteral("orderQuantity"), options.order.quantity);
        }
        print(stdout, QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
    }
    emit finished(status);
}

int flashLine::exitStatus() const
{
    if (unwrittenAtEnd > 0)
        return 1;
    for (int i = 0; i < line->stationCount(); ++i) {
        const stationStatus &s = line->station(i);
        // An erase that worked is what an erase-only command was for.
        const bool succeeded = s.good > 0 || (s.hasResult && s.outcome == chipOutcome::erased);
        if (s.failed > 0 || (!options.continuous && !succeeded))
            return 1;
    }
    return 0;
}

void flashLine::print(FILE *stream, const QString &text)
{
    fputs(text.toUtf8().constData(), stream);
    fflush(stream);
}

void flashLine::queue(FILE *stream, const QString &text)
{
    pending.append({stream, text});
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
    for (int i = 0; i < line->stationCount(); ++i)
        block += fitColumns(statusLine(i), columns) + QLatin1Char('\n');
    print(human, block);
    drawnLines = line->stationCount();
}

QString flashLine::statusLine(int index) const
{
    const stationStatus &s = line->station(index);
    QString state;
    switch (s.activity) {
    case stationActivity::starting: state = QStringLiteral("starting"); break;
    case stationActivity::busy: state = QStringLiteral("busy"); break;
    case stationActivity::waiting: state = QStringLiteral("waiting"); break;
    case stationActivity::idle:
    case stationActivity::ended:
        state = !s.hasResult ? QStringLiteral("ended")
              : s.outcome == chipOutcome::good || s.outcome == chipOutcome::erased ? QStringLiteral("ok")
              : s.outcome == chipOutcome::stopped ? QStringLiteral("stopped")
                                                  : QStringLiteral("failed");
        break;
    }
    if (stopping() && s.activity != stationActivity::ended)
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
    if (s.hasResult && s.activity != stationActivity::busy)
        text += QStringLiteral("  ") + hexCode(s.last.code) + QLatin1Char(' ') + s.last.text;
    return text;
}

void flashLine::summary()
{
    struct row {
        QStringList cells;
        QString text;
    };
    QStringList head{QStringLiteral("station"), QStringLiteral("port"),    QStringLiteral("good"),
                     QStringLiteral("failed"),  QStringLiteral("code"),    QStringLiteral("seconds"),
                     QStringLiteral("flash ID"), QStringLiteral("UID")};
    if (options.serialOn)
        head << QStringLiteral("serial");
    QList<row> rows;
    for (int i = 0; i < line->stationCount(); ++i) {
        const stationStatus &s = line->station(i);
        const chipRecord &r = s.last;
        const QString text = s.hasResult ? r.text
                           : s.activity == stationActivity::waiting || options.continuous ? QStringLiteral("no chip")
                                                                                           : QStringLiteral("stopped");
        QStringList cells{QString::number(s.number), s.port, QString::number(s.good), QString::number(s.failed),
                          s.hasResult ? hexCode(r.code) : QStringLiteral("-"),
                          s.hasResult ? QString::number(r.seconds, 'f', 2) : QStringLiteral("-"),
                          r.flashId.isEmpty() ? QStringLiteral("-") : r.flashId,
                          r.flashUid.isEmpty() ? QStringLiteral("-") : r.flashUid};
        // The last chip's value; a void one is marked, since it is in a chip
        // that did not pass.
        if (options.serialOn)
            cells << (r.serialText.isEmpty() ? QStringLiteral("-")
                                             : r.serialText + (s.outcome == chipOutcome::good ? QString()
                                                                                               : QStringLiteral(" (void)")));
        rows.append({cells, text});
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
    const lineCounters &c = line->counters();
    table += QStringLiteral("%1 stations, %2 chips good, %3 failed").arg(ports.size()).arg(c.good).arg(c.failed);
    if (c.stopped > 0)
        table += QStringLiteral(", %1 stopped").arg(c.stopped);
    if (!options.orderPath.isEmpty())
        table += QStringLiteral("\norder %1: %2 good of %3").arg(options.order.name).arg(line->orderDone())
                     .arg(options.order.quantity == 0 ? QStringLiteral("no limit") : QString::number(options.order.quantity));
    table += QLatin1Char('\n') + records->state().text() + QLatin1Char('\n');
    print(human, table);
}

void flashLine::json(int index, const QString &event, const chipRecord *record)
{
    QJsonObject o{{QStringLiteral("station"), index + 1},
                  {QStringLiteral("port"), ports.value(index)},
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
        o.insert(QStringLiteral("stopped"), line->station(index).outcome == chipOutcome::stopped);
        if (options.serialOn) {
            o.insert(QStringLiteral("serial"), record->serial);
            o.insert(QStringLiteral("serialNumber"), record->serialNumber);
            o.insert(QStringLiteral("serialText"), record->serialText);
        }
    }
    if (event == QLatin1String("end")) {
        const stationStatus &s = line->station(index);
        o.insert(QStringLiteral("good"), s.good);
        o.insert(QStringLiteral("failed"), s.failed);
        o.insert(QStringLiteral("stopped"), s.stopped);
    }
    print(stdout, QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
}
