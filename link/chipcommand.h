#pragma once
#include <QList>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>

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

    // Takes a chip in its boot ROM to a chip whose flash holds the files;
    // returns a result code, 0 on success.
    uint32_t programFlash(uint32_t burnBaudRate, const QList<uint32_t> &startAddrs, const QStringList &files,
                          int eraseAll, bool highSpeed);

    // done + the sender's fraction, read as one consistent pair: steps
    // finished so far, of (number of files + 1).
    float progress() const;

    Serial *serial = nullptr;
    ymodemSender *ymodem;
    chipInfo *catalogue;
    std::atomic<float> done{0.0f};
    std::atomic<bool> stopFlag{false};
    QString flashUid;
    QString flashId;
    // The model the last programming run identified; empty until one did.
    QString chipModel;

private:
    void sendLine(const QByteArray &line, bool restartTimer = false);
    bool replyWait(const QByteArray &pass, const QByteArray &fail, uint32_t budget);
    bool identify(QString &model, uint32_t budget);
    // Moves done to a new whole step and the fraction back to 0 without a
    // poller ever seeing a mix of the old and the new pair.
    void setStep(float steps);

    std::atomic<uint32_t> progressSeq{0};
};
