#pragma once
#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVector>
#include <atomic>
#include <cstdint>

#include "firmwareimage.h"
#include "serialsource.h"
#include "portlist.h"
#include "stoprequest.h"

class Serial;
class chipCommand;

// Job states as its line controller sees them; only the controller writes
// Acknowledged.
namespace jobStatus {
constexpr int kIdle = 0;
constexpr int kBusy = 1;
constexpr int kFailed = 2;
constexpr int kSucceeded = 3;
constexpr int kWaitingChip = 4;
constexpr int kAcknowledged = 5;
constexpr int kFinished = 6;
} // namespace jobStatus

// What a line of a job's log is, so that a front end places it by its kind
// and never by its wording.
enum class lineKind {
    progress,  // the normal course of a chip
    result,    // a chip's outcome
    warning,   // something the operator should know; the work goes on
    error,     // why a chip failed
};
Q_DECLARE_METATYPE(lineKind)

// What a job knows of the chip it has just reported: one line of the
// production record.
struct chipRecord {
    QDateTime finished;
    QString portName;   // the device's name, also when the job was given its socket's
    QString socket;     // the USB socket the port was in when the job opened it; empty: none known
    QString model;      // empty when the chip was never identified
    QString flashId;
    QString flashUid;
    uint32_t code = 0;  // result code; 0 with a text means a failure after the run (the reset)
    QString text;       // what the code means to the operator
    double seconds = 0.0;
    qint64 bytesWritten = 0;
    QStringList files;
    bool erase = false;
    // The device went away while the job had it open.
    bool portLost = false;
    // What the run sent: one entry per image, in order (empty for an erase).
    QVector<imageFacts> images;
    // The code of the first attempt when a retry followed it (0: no retry,
    // or the first attempt was the one reported).
    uint32_t firstCode = 0;
    uint32_t baudRate = 0;
    bool highSpeed = false;
    // How the chip was made: the run's facts (chipCommand) and the job's
    // options. fastLoad is empty in a record no run made.
    QString fastLoad;  // "off", "used" or "fell-back"
    QString ramCodeFile;
    QByteArray ramCodeSha256;
    qint64 flashSize = 0;
    QString romBuild;
    uint32_t imageBaud = 0;
    bool eraseBeforeWrite = false;
    bool boot = false;
    bool reset = false;
    bool dsrMode = false;
    // The row's name, made with the record, so that the chip's serial value
    // points at the row that will be stored.
    QString rowId;
    // The chip's own value where it went to the chip (used, or void because
    // it may be in a chip that failed); empty when none did.
    QString serial;         // hex bytes in flash order
    QString serialNumber;   // a counter's number in decimal
    QString serialText;     // as the operator reads it
};

// One whole programming job (download or erase) on one port, on a thread of
// its own. Its line controller starts it, polls status and progress, and
// acknowledges each result by writing kAcknowledged; the job ends by itself
// once it has nothing more to do (its chip acknowledged, its fixture's run
// stopped, or a failure that ends the station).
class tranThread : public QThread
{
    Q_OBJECT

public:
    tranThread();
    ~tranThread() override;

    // Also clears the stop request of an earlier run: call it before start().
    void setConfig(const QString &portName, const QStringList &filePaths, const QList<uint32_t> &fileAddrs,
                   bool highFlag, bool resetFlag, bool continueFlag, bool bootFlag, uint32_t baudRate);
    // The images every chip of the run gets, read once by the caller and
    // shared by all its stations. Without a set the job reads filePaths
    // itself when it starts.
    void setImages(const firmwareImageSet &set) { images = set; }

    // The job's one stop request, from any thread. release: take no further
    // chip. stop: end the chip in hand with the stop code (its result is
    // published first), then bring the chip back to its boot ROM where it
    // can. abandon: the same without bringing it back. A request only ever
    // climbs, and wakes every wait of the job at once.
    void release();
    void abandon();
    stopRequest::level stopLevel() const;

    // The port as the job last saw it: a DSR label reads these instead of
    // the port, which belongs to the job's thread.
    bool portOpen() const { return linkOpen.load(std::memory_order_relaxed); }
    bool dsrAsserted() const { return dsrLevel.load(std::memory_order_relaxed); }

    // The chip behind status kFailed or kSucceeded. Read it after seeing one
    // of those with an acquiring load of status: the job leaves it alone
    // until the controller has moved status on (or for good, once the job
    // has ended).
    chipRecord record() const { return lastRecord; }

    Serial *serial = nullptr;
    QString portName;
    QStringList filePaths;
    QList<uint32_t> fileAddrs;
    bool highFlag = false;
    bool resetFlag = false;
    bool continueFlag = false;
    uint32_t baudRate = 115200;
    bool bootFlag = false;
    bool eraseFlag = false;
    std::atomic<int> status{jobStatus::kIdle};
    chipCommand *cmd;
    // Set before start(). A download job erases the whole flash before the
    // images are written; in continuous mode a failed chip, once
    // acknowledged, is followed by the next one instead of ending the job.
    bool eraseBeforeWrite = false;
    bool continueAfterFailure = false;
    // Set before start(): the RAM code is loaded at the burn speed
    // (chipCommand::fastLoad).
    bool fastLoad = false;
    // Set before start() when every chip gets a value of its own, written
    // after the images; the station number goes with each reservation.
    chipSerialSource *serials = nullptr;
    int station = 0;
    // Set before start(): the chip models the run may program (empty: any).
    QStringList models;

public slots:
    void stop();
    uint32_t getProcess();

signals:
    // Queued to the controller; a line carries no port, the controller
    // knows whose it is.
    void jobLine(lineKind kind, const QString &text);
    // status has moved: a controller polls at once instead of at its pace.
    void statusChanged();

protected:
    void run() override;

private:
    void log(lineKind kind, const QString &text);
    void setStatus(int value);
    void downloadJob();
    void eraseJob();
    bool openLink();
    void enterBootRom();
    uint32_t programOnce();
    bool waitForNextChip();
    bool firstChip();
    bool nextChip();
    bool nextChipAfterFailure();
    void bringChipBack();
    bool waitForPortBack();
    bool portGone() const;
    bool waitWhileStatus(int value);
    bool released() const;
    bool sampleDsr();
    bool leverSwappedSinceChip();
    void portOpenFailed();
    // Reboots the chip when asked; false (and the failure published) when
    // that failed.
    bool resetChip(double seconds);
    void publish(int result, uint32_t code, const QString &text, double seconds);
    // A download's failure: its lines, then its result.
    void publishFailure(uint32_t code, double seconds);
    qint64 bytesAcknowledged() const;
    // Reserves the chip's value and adds it to the chip's images; false
    // (and the refusal published) when the chip cannot have one.
    bool takeSerial();
    // Gives the reserved value its outcome as the chip's result is made.
    void settleSerial(int result, chipRecord &record);

    bool modemLines = false;
    // Where the port was when the job last opened it: what its chips'
    // records say of their port.
    portPlace place;
    // Steps of the whole job (images + the RAM code), for getProcess on the
    // controller's thread.
    std::atomic<int> stepCount{1};
    std::atomic<bool> linkOpen{false};
    std::atomic<bool> dsrLevel{false};
    chipRecord lastRecord;
    firmwareImageSet images;
    // What the chip in hand gets: the run's images and its own value.
    firmwareImageSet chipImages;
    chipSerial chipValue;
    // The value's transfer has begun on this chip, in some attempt.
    bool valueSent = false;
    // The code of a failed first attempt that a retry followed.
    uint32_t firstAttemptCode = 0;
    // The fixture's lever has been let go since the last chip's result.
    bool releasedSinceChip = false;
    // The driver's DSR transition count at the last result (-1: uncounted).
    qint64 dsrChangesAtChip = -1;
};
