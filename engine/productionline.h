#pragma once
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>
#include <cstdint>
#include <memory>

#include "firmwareimage.h"
#include "recordstore.h"
#include "tranthread.h"

// The production order a run makes chips for: its rows carry it, and the
// run takes no further chip once the order has its quantity of good ones.
struct lineOrder {
    QString name;  // empty: the run belongs to no order
    QString operatorName;
    QByteArray fileSha256;
    qint64 quantity = 0;  // 0: no limit
    // Good chips of the order before this run, as the records counted them.
    qint64 doneBefore = 0;
};

// What every station of a run does.
struct lineJob {
    // A whole-chip erase instead of a download.
    bool erase = false;
    QStringList files;
    QList<uint32_t> addresses;
    // Read once for the run; every station sends these bytes.
    firmwareImageSet images;
    uint32_t baud = 921600;
    bool highSpeed = false;
    bool reset = false;
    bool boot = false;
    // Each chip waits for the fixture's lever (DSR), also the first.
    bool fixture = false;
    // A fixture station goes on to the next chip after a failed one.
    bool keepGoing = false;
    bool eraseBeforeWrite = false;
    bool fastLoad = false;
    // Each chip's own value, written after the images (null: none); the
    // stations reserve and settle their values through it.
    std::shared_ptr<chipSerialSource> serials;
    // The chip models the stations may program; empty: any.
    QStringList models;
    lineOrder order;
};

struct lineStation {
    int number = 0;  // from 1, the row's station
    QString port;    // the name the station is shown by
    // A station pinned to a USB socket reaches its port through the socket,
    // so that it stays with its fixture when adapters re-enumerate during
    // the run; empty: through the port's name.
    QString socket;
};

// What a counted chip came to. Stopped chips (their code ends in 0xE8) and
// erases are recorded but are not finished chips: they count neither as
// good nor as failed.
enum class chipOutcome { good, failed, stopped, erased };

struct lineCounters {
    quint64 total = 0;    // good + failed
    quint64 good = 0;
    quint64 failed = 0;
    quint64 stopped = 0;
    quint64 erased = 0;
};

// What a station is doing; its last result is kept apart from it, so that
// a front end can show that result until the station's next chip. idle:
// between a result and whatever the job does next.
enum class stationActivity { starting, busy, idle, waiting, ended };

struct stationStatus {
    int number = 0;
    QString port;
    stationActivity activity = stationActivity::starting;
    int percent = 0;
    bool portOpen = false;
    bool dsr = false;
    bool hasResult = false;
    chipOutcome outcome = chipOutcome::failed;
    chipRecord last;
    int good = 0;
    int failed = 0;
    int stopped = 0;
};

// The one production line under every front end: it starts a job per
// station, takes each job's results through the status handshake, decides
// what each chip counts as, records it, keeps the counters and stops the
// run the same way whoever asks. A front end (the factory window,
// vq_flash, the benchmarks) only renders what it emits. Lives on the
// thread of its front end.
class productionLine : public QObject
{
    Q_OBJECT

public:
    enum class runState { idle, running, stopping };

    productionLine(recordStore *records, const recordOrigin &origin, QObject *parent = nullptr);
    ~productionLine() override;

    // Starts one job per station; false when a run is still on.
    bool start(const QVector<lineStation> &stations, const lineJob &job);
    // One meaning of a stop, whoever asks: results already published are
    // counted first; every chip in hand ends with its stop code and is
    // recorded as stopped; the chips are then brought back to their boot
    // ROM where they can. runEnded follows once every job has ended.
    void stop();
    // As stop, without bringing the chips back: a second stop, or a
    // window that closes.
    void abandon();
    // Stations finish the chip in hand and take no further one.
    void releaseAll();
    // Abandons the run and waits up to timeoutMs for its jobs, counting and
    // recording every chip they report, without returning to the event
    // loop: for a window that is closing or a destructor.
    void finishNow(int timeoutMs);

    runState state() const { return run; }
    bool erasing() const { return job.erase; }
    int stationCount() const { return stations.size(); }
    const stationStatus &station(int index) const { return stations.at(index)->status; }

    const lineCounters &counters() const { return count; }
    void setCounters(const lineCounters &counters);

    // Good chips of the last run's order: those before it and its own.
    qint64 orderDone() const { return job.order.doneBefore + orderGood; }
    // The last run's order has its quantity (never, without a limit).
    bool orderComplete() const { return job.order.quantity > 0 && orderDone() >= job.order.quantity; }

signals:
    // Something a front end shows of this station changed.
    void stationChanged(int index);
    // A chip was counted and its row handed to the record store.
    void chipCounted(int index, chipOutcome outcome, const chipRecord &record);
    // A line of a station's job or of the line itself about that station.
    void lineLogged(int index, lineKind kind, const QString &text);
    void countersChanged();
    // Every job of the run has ended and every chip it reported is counted.
    void runEnded();
    // The run's order has just reached its quantity: the stations finish
    // the chips in hand and take no further one.
    void orderCompleted();

private:
    struct stationSlot {
        stationStatus status;
        std::unique_ptr<tranThread> job;
        bool ended = false;
    };

    void poll();
    void pollSoon();
    void take(int index, int seen);
    void countChip(int index, int seen, const chipRecord &record);
    void endRun();
    bool allEnded() const;

    recordStore *records;
    recordOrigin origin;
    // The origin with the run's order: what the run's rows carry.
    recordOrigin runOrigin;
    QVector<stationSlot *> stations;
    lineJob job;
    qint64 orderGood = 0;
    bool orderReached = false;
    lineCounters count;
    runState run = runState::idle;
    QTimer ticker;
    bool polling = false;
    bool pollQueued = false;
};
