#pragma once
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>

#include "firmwareimage.h"
#include "stoprequest.h"

class Serial;
class chipInfo;
class ymodemSender;

// The boot ROM's and the RAM code's text commands over one Serial. Every
// command clears the receive buffer, sends one line, and waits for its
// reply marker while the thread's events keep flowing.
class chipCommand
{
public:
    chipCommand();
    ~chipCommand();
    chipCommand(const chipCommand &) = delete;
    chipCommand &operator=(const chipCommand &) = delete;

    void setSerial(Serial *link);

    bool eraseFlash(uint32_t address, uint32_t length);
    bool eraseChip();
    bool upgradeFile(const QString &filePath, uint32_t &code);
    bool upgradeImage(const QByteArray &bytes, uint32_t &code);
    bool setStartAddr(uint32_t address);
    bool getFileCount(uint32_t &count);
    bool rebootChip();
    bool flashTest(QString &text);
    bool getFlashInfo(QString &id);
    bool getFlashUid(QString &uid);
    bool getVersion(QString &model);
    bool probeVersion(QString &model);
    bool setBootBaudRate(uint32_t baudRate);
    bool setBurnBaudRate(uint32_t baudRate);
    bool downloadRamCode(uint32_t address, const QString &filePath, uint32_t &code);
    bool downloadRamCode(uint32_t address, const QByteArray &bytes, uint32_t &code);

    // Takes a chip in its boot ROM to a chip whose flash holds the files;
    // returns a result code, 0 on success.
    uint32_t programFlash(uint32_t burnBaudRate, const QList<uint32_t> &startAddrs, const QStringList &files,
                          int eraseAll, bool highSpeed);
    // The same with the images already read: every chip of a run gets the
    // bytes the run started with, whatever happens to the files meanwhile.
    uint32_t programFlash(uint32_t burnBaudRate, const firmwareImageSet &images, int eraseAll, bool highSpeed);

    // Whether the last run left the chip outside its boot ROM (in its RAM
    // code, or in a transfer or an erase), where the next run could not
    // start without a reboot.
    bool chipAwayFromRom() const;
    // A stop cut an erase's wait short; the chip listens once it is done.
    bool erasing() const { return eraseRunning; }
    // How many of the last programFlash's images had their "upgrade"
    // exchange begun: from then on the image may be in the chip, whatever
    // the run's end.
    int filesStarted() const { return startedFiles; }

    // After a run that the stop request ended: brings the chip back to its
    // boot ROM where it can, giving way only to an abandon. A chip left in
    // its RAM code gets "reboot\r\n" at the speed it listens at (a transfer
    // the stop cut short is cancelled first); a boot ROM raised for the fast
    // load gets the boot baudrate line back to 115200 at the speed it listens
    // at; the port then goes back to the boot ROM's 115200 baud, as it does
    // for a chip still in its boot ROM. A closed port is opened again; a lost
    // one is not. True when the boot ROM answered a version probe, so that a
    // new programFlash can start on this chip. Runs on the thread that owns
    // the Serial, like every command.
    bool rebootAfterStop();

    // done + the sender's fraction, read as one consistent pair: steps
    // finished so far, of (number of files + 1).
    float progress() const;

    Serial *serial = nullptr;
    ymodemSender *ymodem;
    chipInfo *catalogue;
    std::atomic<float> done{0.0f};
    // The job's one stop request; the sender reads the same one.
    stopRequest stop;
    QString flashUid;
    QString flashId;
    // The flash size the RAM code reported with the ID (0: not reported).
    qint64 flashSize = 0;
    // The model the last programming run identified; empty until one did.
    QString chipModel;

    // How the last programFlash made the chip, for its production record.
    enum class ramLoad { Standard, Raised, FellBack };
    // Standard: at the boot ROM's 115200 without fast load (or with nothing
    // to gain from it); Raised: at the burn speed; FellBack: fast load was
    // asked for and the RAM code went at 115200 after all.
    ramLoad ramLoadWay = ramLoad::Standard;
    QString ramCodeFile;        // file name of the RAM code sent
    QByteArray ramCodeSha256;   // lower-case hex of the bytes sent
    QString romBuild;           // the boot ROM's version line, as it said it
    uint32_t imageBaud = 0;     // the speed the images went at; 0: none sent

    // programFlash raises the boot ROM to the burn speed (at most
    // linkTiming::kFastLoadMaxBaud) and loads the RAM code at that speed. A
    // ROM that does not answer there gets the RAM code at 115200 as without
    // it, after a line through noteLine. Off unless the caller sets it.
    bool fastLoad = false;
    // The models a run may program (a production order's); a chip that
    // identifies as another fails with kChipModelMismatch before its RAM
    // code is loaded. Empty: any model of the catalogue.
    QStringList allowedModels;
    // Lines for the operator that are not a result (the fast load's
    // fallback); called on the run's thread.
    std::function<void(const QString &)> noteLine;

    // Where the last programFlash spent its time, in nanoseconds per phase,
    // so that a chip's time can be split without tracing the line.
    enum class runPhase { Probe, SpeedChange, RamLoad, Identity, Transfer, End, Count };
    std::array<qint64, static_cast<size_t>(runPhase::Count)> phaseNs{};

private:
    // What a reply wait came to: the success marker, the failure marker, or
    // nothing (budget spent, port closed, or a stop).
    enum class Verdict { Pass, Fail, NoAnswer };
    // Where the chip is, as far as this object's own commands took it.
    enum class ChipPlace { Unknown, BootRom, RamCode };

    void sendLine(const QByteArray &line, bool restartTimer = false);
    bool replyWait(const QByteArray &pass, const QByteArray &fail, uint32_t budget);
    bool eraseWait(int64_t allowanceMs);
    bool identify(QString &model, uint32_t budget);
    // Probes for the boot ROM as a run starts, freeing one that an earlier
    // host left behind; 0 or the run's failure code.
    uint32_t findBootRom(QString &model);
    uint32_t runProgram(uint32_t burnBaudRate, const firmwareImageSet &images, int eraseAll, bool highSpeed);
    // A failed step is tried again only on an open port and without a stop.
    bool mayRetry() const;
    // Probes until the boot ROM answers or the deadline passes.
    bool bootRomAnswers(const QDeadlineTimer &deadline);
    // The boot ROM taken to baudRate for the RAM-code load, or, when it does
    // not answer there, back at 115200 and answering; false when it answers
    // at neither, or on a stop.
    bool raiseBootSpeed(uint32_t baudRate);
    // The raised boot ROM back at 115200 after a failed load there; false
    // when it does not answer at 115200.
    bool lowerBootSpeed();
    void note(const QString &text);
    // Moves done to a new whole step and the fraction back to 0 without a
    // poller ever seeing a mix of the old and the new pair.
    void setStep(float steps);
    // Books the time since the last call to the phase that was running.
    void enterPhase(runPhase next);

    std::atomic<uint32_t> progressSeq{0};
    Verdict lastVerdict = Verdict::NoAnswer;
    ChipPlace chipPlace = ChipPlace::Unknown;
    // The boot ROM's version line from the last probe it answered.
    QString bootRomLine;
    // The speed the chip was last heard at, and one it was asked to switch
    // to without having answered at it yet (0: none).
    uint32_t chipBaud = 115200;
    uint32_t switchingBaud = 0;
    // A transfer the stop request ended: the receiver still waits for blocks.
    bool transferOpen = false;
    // An erase whose wait a stop cut short may run on until then.
    QDeadlineTimer eraseBusy{QDeadlineTimer::Forever};
    bool eraseRunning = false;
    int startedFiles = 0;
    QElapsedTimer phaseClock;
    runPhase phaseNow = runPhase::Count;
};
