#pragma once
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVector>
#include <atomic>
#include <cstdint>

#include "firmwareimage.h"

class Serial;
class chipCommand;

// Job states as the window sees them; only the window writes Acknowledged.
namespace jobStatus {
constexpr int kIdle = 0;
constexpr int kBusy = 1;
constexpr int kFailed = 2;
constexpr int kSucceeded = 3;
constexpr int kWaitingChip = 4;
constexpr int kAcknowledged = 5;
constexpr int kFinished = 6;
} // namespace jobStatus

// What a job knows of the chip it has just reported: one line of the
// production record.
struct chipRecord {
    QDateTime finished;
    QString portName;
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
};

// One whole programming job (download or erase) on one port, on a thread of
// its own. The window starts it, polls status and progress, and
// acknowledges each result by writing kAcknowledged.
class tranThread : public QThread
{
    Q_OBJECT

public:
    tranThread();
    ~tranThread() override;

    void setConfig(const QString &portName, const QStringList &filePaths, const QList<uint32_t> &fileAddrs,
                   bool highFlag, bool resetFlag, bool continueFlag, bool bootFlag, uint32_t baudRate);
    // The images every chip of the run gets, read once by the caller and
    // shared by all its stations. Without a set the job reads filePaths
    // itself when it starts.
    void setImages(const firmwareImageSet &set) { images = set; }
    // Raises or lowers the job's, the command layer's and the sender's stop
    // flags together.
    void setStopFlag(bool on);

    // The port as the job last saw it: the window's DSR label reads these
    // instead of the port, which belongs to the job's thread.
    bool portOpen() const { return linkOpen.load(std::memory_order_relaxed); }
    bool dsrAsserted() const { return dsrLevel.load(std::memory_order_relaxed); }

    // Ends a running job from another thread without touching its port: the
    // abort flags end the chip's run (a transfer with 0xE8), the job's own
    // thread brings the chip back to its boot ROM where it can, reports the
    // failure as usual and lingers. The window's stop() closes the port
    // instead and leaves the chip as it is.
    void stopAndRecover();
    // The job has stopped taking chips and waits only for its stop flag.
    bool lingering() const { return lingerFlag.load(); }

    // The chip behind status kFailed or kSucceeded. Read it after seeing one
    // of those with an acquiring load of status: the job leaves it alone
    // until the window has moved status on.
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
    std::atomic<bool> stopFlag{false};
    bool eraseFlag = false;
    std::atomic<int> status{jobStatus::kIdle};
    chipCommand *cmd;
    // Set before start(); the window leaves both off. A download job erases
    // the whole flash before the images are written; in continuous mode a
    // failed chip, once acknowledged, is followed by the next one instead of
    // ending the job.
    bool eraseBeforeWrite = false;
    bool continueAfterFailure = false;
    // Set before start(): the RAM code is loaded at the burn speed
    // (chipCommand::fastLoad).
    bool fastLoad = false;

public slots:
    void stop();
    uint32_t getProcess();

signals:
    void tranThreadLogSingal(QString s);

protected:
    void run() override;

private:
    void log(const QString &text);
    void downloadJob();
    void eraseJob();
    bool openLink();
    void enterBootRom();
    uint32_t programOnce();
    bool waitForNextChip();
    bool nextChip();
    bool nextChipAfterFailure();
    void bringChipBack();
    bool waitForPortBack();
    bool portGone() const;
    bool waitWhileStatus(int value);
    void linger();
    bool sampleDsr();
    void portOpenFailed();
    // Reboots the chip when asked; false (and the failure published) when
    // that failed.
    bool resetChip(double seconds);
    void publish(int result, uint32_t code, const QString &text, double seconds);
    qint64 bytesAcknowledged() const;

    bool modemLines = false;
    // Steps of the whole job (images + the RAM code), for getProcess on the
    // window's thread.
    std::atomic<int> stepCount{1};
    std::atomic<bool> linkOpen{false};
    std::atomic<bool> dsrLevel{false};
    std::atomic<bool> recoverFlag{false};
    std::atomic<bool> lingerFlag{false};
    chipRecord lastRecord;
    firmwareImageSet images;
    // The code of a failed first attempt that a retry followed.
    uint32_t firstAttemptCode = 0;
    // The fixture's lever has been let go since the last chip's result.
    bool releasedSinceChip = false;
};
