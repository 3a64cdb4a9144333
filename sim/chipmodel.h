#pragma once

#include "faults.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

struct ChipOptions {
    QByteArray model = "VQ5304";
    QByteArray romDate;          // empty: the model's own build date
    QByteArray ramCode;          // expected RAM-code image when checkRamCode
    bool checkRamCode = false;
    int64_t flashSize = 4 << 20;
    QString flashPath;           // empty: flash lives in memory only
    bool bootPulse = false;
    int64_t eraseNsPer4k = 0;
    int64_t programNsPer256 = 0;
    int64_t chipEraseNs = -1;    // negative: one sector erase per sector
    uint32_t uidSeed = 1;
};

// One simulated chip without any I/O: bytes go in with the time they arrived,
// replies come out with the time they may leave. Times are nanoseconds on
// any monotonic clock the caller likes, so tests can drive it with a fake one.
class ChipModel
{
public:
    enum State { Off, App, Rom, Ram, Hung };

    struct Output {
        int64_t at;
        QByteArray bytes;
    };

    explicit ChipModel(const ChipOptions &options);
    ~ChipModel();
    ChipModel(const ChipModel &) = delete;
    ChipModel &operator=(const ChipModel &) = delete;

    // Creates the flash file (all 0xFF) when a path is set.
    bool openFlash(QString *error);

    void addFault(const SimFault &fault);
    void clearFaults();

    void feed(const uint8_t *data, int length, int64_t now);
    void feed(const QByteArray &data, int64_t now)
    {
        feed(reinterpret_cast<const uint8_t *>(data.constData()), data.size(), now);
    }
    void tick(int64_t now);
    // The next time tick() has work, INT64_MAX when none.
    int64_t nextTimer() const;
    // How many more bytes must arrive before the chip can react to them.
    int bytesWanted() const;
    // Replies whose time has come, oldest first.
    std::vector<Output> takeOutput(int64_t now);

    void setDtr(bool level, int64_t now);
    void setRts(bool level, int64_t now);

    // The fixture swaps in another chip: its own UID, an erased flash and
    // the power-on state (boot ROM, or as the BOOT and reset lines say under
    // --boot-pulse). Faults stay armed.
    void replaceChip(uint32_t uidSeed, int64_t now);
    // The device vanishes from the host, as the disconnect fault makes it.
    void unplug(int64_t now);
    // The device is back after a disconnect, powered up afresh.
    void reconnect(int64_t now);
    // Whether the host has sent anything since the last replaceChip.
    bool heardHost() const { return m_heardHost; }

    State state() const { return m_state; }
    static const char *stateName(State s);
    int baud() const { return m_baud; }
    // The speed the chip listens at, at time t (a boot speed change may be
    // settling).
    int baudAt(int64_t t) const { return m_pendingBaud && t >= m_baudAt ? m_pendingBaud : m_baud; }
    int fileCount() const { return m_fileCount; }
    bool disconnected() const { return m_disconnected; }
    const QByteArray &flash() const { return m_flash; }

private:
    struct Rx {
        bool active = false;
        bool toFlash = false;
        enum Phase { WaitHeader, WaitData, WaitEndOfBatch } phase = WaitHeader;
        QByteArray packet;
        int packetLength = 0;    // 0: no packet in progress
        int stxLength = 0;       // 0: not yet known for this transfer
        int64_t stxGraceUntil = 0;
        int expected = 0;
        int ordinal = 0;
        int64_t fileSize = -1;
        int64_t received = 0;
        int eots = 0;
        int cTries = 0;
        int64_t nextC = 0;
        int64_t lastByte = 0;
        uint32_t base = 0;
        QByteArray ram;
        std::vector<bool> erased;
        int cans = 0;
    };

    void reset(State to, int64_t now);
    void takePendingBaud(int64_t now);
    State powerOnState() const;
    void push(const QByteArray &bytes, int64_t at);
    void reply(const QByteArray &text, int64_t at);
    void onByte(uint8_t b, int64_t now);
    void onLine(const QByteArray &line, int64_t now);
    void romCommand(const QByteArray &line, int64_t now);
    void ramCommand(const QByteArray &line, int64_t now);
    void startRx(bool toFlash, int64_t now);
    void endRx();
    void rxByte(uint8_t b, int64_t now);
    void rxPacket(int64_t now);
    bool injectBlockFault(int64_t now);
    void rxHeader(const uint8_t *data, int64_t now);
    void rxData(const uint8_t *data, int length, int64_t now);
    void rxFinished(int64_t now);
    void sendCancel(int64_t now);
    bool takeFault(SimFault::Kind kind, SimFault *found = nullptr);
    bool blockFault(SimFault::Kind kind);
    bool hasFault(SimFault::Kind kind) const;
    int64_t eraseSectors(int64_t from, int64_t to);
    void writeFlash(int64_t at, const uint8_t *data, int64_t length);
    void flushFlash(int64_t from, int64_t to);
    int64_t sectorEraseNs() const;
    int64_t programNs(int64_t bytes) const;
    int64_t chipEraseNs() const;
    QByteArray noise(int n);

    ChipOptions m_opt;
    State m_state = Rom;
    int m_baud = 115200;
    // A speed the boot ROM has been asked for and takes at m_baudAt.
    int m_pendingBaud = 0;
    int64_t m_baudAt = 0;
    int m_fileCount = 0;
    uint32_t m_startAddr = 0;
    bool m_dtr = false;
    bool m_rts = false;
    bool m_deaf = false;
    bool m_disconnected = false;
    bool m_heardHost = false;
    QByteArray m_line;
    Rx m_rx;
    std::vector<SimFault> m_faults;
    std::deque<Output> m_out;
    int64_t m_lastRelease = 0;
    int64_t m_flashTestAt = -1;
    bool m_flashTestFail = false;
    QByteArray m_flash;
    int m_flashFd = -1;
    std::mt19937 m_rng;
};
