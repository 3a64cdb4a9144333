#include "chipmodel.h"

#include "simcrc.h"

#include <QFile>
#include <QList>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t CRC_READY = 'C';

constexpr int kBootBaud = 115200;
constexpr int kSector = 4096;
constexpr int kPage = 256;
constexpr int kSmallBlock = 128;
constexpr int kOneK = 1024;
constexpr int kSixteenK = 16384;
constexpr int kFraming = 5;
// Longer lines than any command are line noise; dropping them keeps a
// babbling host from growing the buffer without bound.
constexpr int kMaxLine = 256;
// The chip's RAM holds the RAM code and its working data; an image larger
// than this could never run.
constexpr int kRamLimit = 512 * 1024;

constexpr int64_t kMs = 1000000;
// A receiver keeps offering "C" while the sender may not be listening yet;
// one second is the customary YMODEM interval.
constexpr int64_t kCIntervalNs = 1000 * kMs;
// After this many unanswered "C" the chip gives up and takes commands again.
constexpr int kCTries = 30;
// A packet whose bytes stop coming is dropped and NAKed, so a sender that
// lost bytes on the line resends instead of waiting forever.
constexpr int64_t kPacketTimeoutNs = 1000 * kMs;
// A sender that vanished mid-transfer (stopped without CAN) must not leave
// the chip deaf to commands for good.
constexpr int64_t kTransferIdleNs = 10000 * kMs;
// A 1 KiB STX block and the first 1 KiB of a 16 KiB one look alike; a sender
// of 16 KiB blocks writes the whole block at once, so the next byte follows
// within this time, while a 1 KiB sender waits for our ACK.
constexpr int64_t kStxGraceNs = 50 * kMs;
// What the RAM code's flash self-test takes before it reports.
constexpr int64_t kFlashTestNs = 2000 * kMs;
// The boot ROM takes the boot form of the baudrate line without a word: once
// what it was still sending has gone, it reprograms its UART, which takes
// this long; whatever arrives meanwhile is lost, at either speed.
constexpr int64_t kBootBaudSettleNs = 5 * kMs;

const char *const kUnknownDate = "Jan  1 1970/00:00:00";

struct ModelDate {
    const char *model;
    const char *date;
};
const ModelDate kRomDates[] = {
    {"VQ5304", "Aug  9 2021/16:16:40"},
    {"VQ571M", "Mar 14 2021/00:23:32"},
};

bool parseHex32(const QByteArray &text, uint32_t *out)
{
    if (!text.startsWith("0x") || text.size() < 3 || text.size() > 10)
        return false;
    bool ok = false;
    const qulonglong v = text.mid(2).toULongLong(&ok, 16);
    if (!ok || v > 0xFFFFFFFFull)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

} // namespace

ChipModel::ChipModel(const ChipOptions &options)
    : m_opt(options)
    , m_rng(options.uidSeed)
{
    if (m_opt.romDate.isEmpty()) {
        for (const ModelDate &d : kRomDates)
            if (m_opt.model == d.model)
                m_opt.romDate = d.date;
    }
    m_flash = QByteArray(static_cast<int>(m_opt.flashSize), char(0xFF));
    m_state = m_opt.bootPulse ? App : Rom;
}

ChipModel::State ChipModel::powerOnState() const
{
    if (!m_opt.bootPulse)
        return Rom;
    if (m_rts)
        return Off;
    return m_dtr ? Rom : App;
}

void ChipModel::replaceChip(uint32_t uidSeed, int64_t now)
{
    m_opt.uidSeed = uidSeed;
    m_flash.fill(char(0xFF));
    flushFlash(0, m_flash.size());
    m_heardHost = false;
    reset(powerOnState(), now);
}

void ChipModel::unplug(int64_t now)
{
    m_disconnected = true;
    reset(Off, now);
}

void ChipModel::reconnect(int64_t now)
{
    m_disconnected = false;
    reset(powerOnState(), now);
}

ChipModel::~ChipModel()
{
    if (m_flashFd >= 0)
        ::close(m_flashFd);
}

bool ChipModel::openFlash(QString *error)
{
    if (m_opt.flashPath.isEmpty())
        return true;
    m_flashFd = ::open(QFile::encodeName(m_opt.flashPath).constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_flashFd < 0) {
        if (error)
            *error = QStringLiteral("cannot create %1: %2").arg(m_opt.flashPath, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    flushFlash(0, m_flash.size());
    return true;
}

const char *ChipModel::stateName(State s)
{
    switch (s) {
    case Off: return "OFF";
    case App: return "APP";
    case Rom: return "ROM";
    case Ram: return "RAM";
    case Hung: return "HUNG";
    }
    return "OFF";
}

void ChipModel::addFault(const SimFault &fault)
{
    if (fault.kind == SimFault::InRam) {
        if (m_state == Rom || m_state == App)
            reset(Ram, m_lastRelease);
        return;
    }
    m_faults.push_back(fault);
}

void ChipModel::clearFaults()
{
    m_faults.clear();
}

bool ChipModel::hasFault(SimFault::Kind kind) const
{
    return std::any_of(m_faults.begin(), m_faults.end(), [kind](const SimFault &f) { return f.kind == kind; });
}

bool ChipModel::takeFault(SimFault::Kind kind, SimFault *found)
{
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (it->kind != kind)
            continue;
        if (found)
            *found = *it;
        if (!it->always)
            m_faults.erase(it);
        return true;
    }
    return false;
}

bool ChipModel::blockFault(SimFault::Kind kind)
{
    const int current = m_rx.phase == Rx::WaitHeader ? 0 : m_rx.ordinal + 1;
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (it->kind != kind || (it->block >= 0 && it->block != current) || it->ram == m_rx.toFlash
            || (it->file > 0 && it->file != m_fileCount + 1))
            continue;
        if (!it->always)
            m_faults.erase(it);
        return true;
    }
    return false;
}

void ChipModel::reset(State to, int64_t now)
{
    m_state = to;
    m_baud = kBootBaud;
    m_pendingBaud = 0;
    m_fileCount = 0;
    m_startAddr = 0;
    m_deaf = false;
    m_line.clear();
    m_rx = Rx();
    m_out.clear();
    m_flashTestAt = -1;
    m_lastRelease = std::max(m_lastRelease, now);
}

void ChipModel::setDtr(bool level, int64_t)
{
    m_dtr = level;
}

void ChipModel::setRts(bool level, int64_t now)
{
    const bool was = m_rts;
    m_rts = level;
    if (!m_opt.bootPulse)
        return;
    if (level)
        reset(Off, now);
    else if (was)
        reset(m_dtr ? Rom : App, now);
}

QByteArray ChipModel::noise(int n)
{
    static const QByteArray reserved = QByteArray("\x04\x06\x15\x18", 4) + "C";
    std::uniform_int_distribution<int> byte(0, 255);
    QByteArray out;
    while (out.size() < n) {
        const char c = char(byte(m_rng));
        if (!reserved.contains(c))
            out.append(c);
    }
    return out;
}

void ChipModel::push(const QByteArray &bytes, int64_t at)
{
    if (m_state == Hung || m_state == Off || m_state == App || hasFault(SimFault::Silent) || bytes.isEmpty())
        return;
    at = std::max(at, m_lastRelease);
    m_lastRelease = at;
    if (!m_out.empty() && m_out.back().at == at)
        m_out.back().bytes += bytes;
    else
        m_out.push_back({at, bytes});
}

void ChipModel::reply(const QByteArray &text, int64_t at)
{
    SimFault f;
    if (takeFault(SimFault::GarbageOnly, &f))
        push(noise(f.count), at);
    else if (takeFault(SimFault::Garbage, &f))
        push(noise(f.count) + text, at);
    else
        push(text, at);
}

std::vector<ChipModel::Output> ChipModel::takeOutput(int64_t now)
{
    std::vector<Output> out;
    while (!m_out.empty() && m_out.front().at <= now) {
        out.push_back(std::move(m_out.front()));
        m_out.pop_front();
    }
    return out;
}

int ChipModel::bytesWanted() const
{
    if (!m_rx.active || m_rx.packetLength == 0)
        return 1;
    if (m_rx.packetLength < 0)
        return m_rx.packet.size() < kOneK + kFraming ? kOneK + kFraming - m_rx.packet.size() : 1;
    return std::max(1, m_rx.packetLength - m_rx.packet.size());
}

int64_t ChipModel::nextTimer() const
{
    int64_t t = INT64_MAX;
    if (!m_out.empty())
        t = m_out.front().at;
    if (m_flashTestAt >= 0)
        t = std::min(t, m_flashTestAt);
    if (m_pendingBaud)
        t = std::min(t, m_baudAt);
    if (m_rx.active) {
        if (m_rx.stxGraceUntil)
            t = std::min(t, m_rx.stxGraceUntil);
        if (m_rx.packetLength != 0)
            t = std::min(t, m_rx.lastByte + kPacketTimeoutNs);
        else if (m_rx.phase == Rx::WaitHeader)
            t = std::min(t, m_rx.nextC);
        else
            t = std::min(t, m_rx.lastByte + kTransferIdleNs);
    }
    return t;
}

void ChipModel::takePendingBaud(int64_t now)
{
    if (m_pendingBaud && now >= m_baudAt) {
        m_baud = m_pendingBaud;
        m_pendingBaud = 0;
    }
}

void ChipModel::tick(int64_t now)
{
    takePendingBaud(now);
    if (m_flashTestAt >= 0 && now >= m_flashTestAt) {
        const int64_t at = m_flashTestAt;
        m_flashTestAt = -1;
        reply(m_flashTestFail ? QByteArray("\r\nflash test: error at pos 0x00000000\r\n")
                              : QByteArray("\r\nflash test: no error\r\n"), at);
    }
    if (!m_rx.active)
        return;
    if (m_rx.stxGraceUntil && now >= m_rx.stxGraceUntil) {
        const int64_t at = m_rx.stxGraceUntil;
        m_rx.stxGraceUntil = 0;
        m_rx.stxLength = kOneK;
        m_rx.packetLength = kOneK + kFraming;
        rxPacket(at);
        return;
    }
    if (m_rx.packetLength != 0) {
        if (now >= m_rx.lastByte + kPacketTimeoutNs) {
            m_rx.packet.clear();
            m_rx.packetLength = 0;
            m_rx.lastByte = now;
            push(QByteArray(1, char(NAK)), now);
        }
    } else if (m_rx.phase == Rx::WaitHeader) {
        if (now >= m_rx.nextC) {
            if (m_rx.cTries >= kCTries) {
                endRx();
                return;
            }
            push(QByteArray(1, char(CRC_READY)), m_rx.nextC);
            ++m_rx.cTries;
            m_rx.nextC += kCIntervalNs;
        }
    } else if (now >= m_rx.lastByte + kTransferIdleNs) {
        endRx();
    }
}

void ChipModel::feed(const uint8_t *data, int length, int64_t now)
{
    if (length > 0)
        m_heardHost = true;
    for (int i = 0; i < length && !m_disconnected; ++i)
        onByte(data[i], now);
}

void ChipModel::onByte(uint8_t b, int64_t now)
{
    if (m_state != Rom && m_state != Ram)
        return;
    takePendingBaud(now);
    if (m_deaf || m_pendingBaud)
        return;
    if (m_rx.active) {
        rxByte(b, now);
        return;
    }
    // Commands are printable ASCII. Anything else on the line is noise, or
    // the tail of a sender's cancel (CAN bytes) after a transfer ended: it
    // must not spoil the next command.
    if ((b < 0x20 || b > 0x7E) && b != '\r' && b != '\n')
        return;
    m_line.append(char(b));
    if (m_line.endsWith("\r\n")) {
        const QByteArray line = m_line.left(m_line.size() - 2);
        m_line.clear();
        onLine(line, now);
    } else if (b == '\n' || m_line.size() > kMaxLine) {
        // A line feed without its carriage return is not a command.
        m_line.clear();
    }
}

void ChipModel::onLine(const QByteArray &line, int64_t now)
{
    if (m_state == Rom)
        romCommand(line, now);
    else
        ramCommand(line, now);
}

void ChipModel::romCommand(const QByteArray &line, int64_t now)
{
    const QList<QByteArray> words = line.simplified().split(' ');
    const QByteArray cmd = words.value(0);
    if (cmd == "version") {
        const QByteArray date = hasFault(SimFault::WrongDate) ? QByteArray(kUnknownDate) : m_opt.romDate;
        reply("\r\nboot rom " + m_opt.model + " build " + date + "\r\n", now);
    } else if (cmd == "download") {
        if (words.size() == 4 && words[1] == "[rambin]")
            startRx(false, now);
    } else if (cmd == "baudrate") {
        const QByteArray arg = words.size() == 2 ? words[1] : QByteArray();
        const int open = arg.lastIndexOf('[');
        bool ok = false;
        const int baud = arg.startsWith("[boot][") && arg.endsWith(']') ? arg.mid(open + 1, arg.size() - open - 2).toInt(&ok)
                                                                         : 0;
        if (ok && baud > 0 && !hasFault(SimFault::BootBaudIgnored)) {
            if (hasFault(SimFault::BaudIgnored)) {
                m_deaf = true;
            } else {
                m_pendingBaud = baud;
                m_baudAt = std::max(now, m_lastRelease) + kBootBaudSettleNs;
            }
        }
    }
}

void ChipModel::ramCommand(const QByteArray &line, int64_t now)
{
    static const QByteArray pass = "\r\npppp\r\n";
    static const QByteArray fail = "\r\nffff\r\n";
    const QList<QByteArray> words = line.simplified().split(' ');
    const QByteArray cmd = words.value(0);
    if (cmd == "version") {
        reply("\r\nRAMCODE " + m_opt.model + "\r\n", now);
    } else if (cmd == "flash_info") {
        int log2 = 0;
        while ((int64_t(1) << (log2 + 1)) <= m_opt.flashSize)
            ++log2;
        const QByteArray id = "c840" + QByteArray::number(log2, 16).rightJustified(2, '0') + "00";
        reply("\r\nflash id:" + id + " size:" + QByteArray::number(qint64(m_opt.flashSize)) + " Byte\r\n", now);
    } else if (cmd == "flash_uid") {
        uint32_t x = m_opt.uidSeed * 2654435761u + 0x9E3779B9u;
        QByteArray hex;
        for (int i = 0; i < 4; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            hex += QByteArray::number(x, 16).rightJustified(8, '0');
        }
        reply("\r\nflash uid:0x" + hex + "\r\n", now);
    } else if (cmd == "baudrate") {
        bool ok = false;
        const int baud = words.value(1).toInt(&ok);
        if (ok && baud > 0 && words.size() == 2) {
            if (hasFault(SimFault::BaudIgnored))
                m_deaf = true;
            else
                m_baud = baud;
        }
    } else if (cmd == "ferase_all") {
        if (takeFault(SimFault::EraseFail) || words.size() != 1) {
            reply(fail, now);
            return;
        }
        m_flash.fill(char(0xFF));
        flushFlash(0, m_flash.size());
        reply(pass, now + chipEraseNs());
    } else if (cmd == "ferase") {
        uint32_t addr = 0, len = 0;
        // Sector erase only: an unaligned request means the host computed
        // the range wrongly, and erasing more than asked would lose data.
        const bool ok = words.size() == 3 && parseHex32(words[1], &addr) && parseHex32(words[2], &len)
            && addr % kSector == 0 && len % kSector == 0 && int64_t(addr) + len <= m_opt.flashSize;
        if (takeFault(SimFault::EraseFail) || !ok) {
            reply(fail, now);
            return;
        }
        const int64_t t = eraseSectors(addr, int64_t(addr) + len);
        reply(pass, now + t);
    } else if (cmd == "startaddr") {
        // Any 32-bit address is taken: the flash part ignores the address
        // bits above its size, so a write there wraps onto its start.
        uint32_t addr = 0;
        const bool ok = words.size() == 2 && parseHex32(words[1], &addr);
        if (takeFault(SimFault::AddrFail) || !ok) {
            reply(fail, now);
            return;
        }
        m_startAddr = addr;
        reply(pass, now);
    } else if (cmd == "upgrade") {
        startRx(true, now);
    } else if (cmd == "filecount") {
        SimFault f;
        int n = m_fileCount;
        if (takeFault(SimFault::FileCountOff, &f))
            n += f.count;
        reply("\r\nfc:" + QByteArray::number(n) + "\r\n", now);
    } else if (cmd == "reboot") {
        // A reboot is a reset like any other: with the straps wired, BOOT
        // decides where the chip comes up.
        reset(m_opt.bootPulse && !m_dtr ? App : Rom, now);
    } else if (cmd == "flash_test") {
        m_flashTestFail = hasFault(SimFault::FlashTestFail);
        m_flashTestAt = now + kFlashTestNs;
    } else if (!cmd.isEmpty()) {
        reply(fail, now);
    }
}

void ChipModel::startRx(bool toFlash, int64_t now)
{
    m_rx = Rx();
    m_rx.active = true;
    m_rx.toFlash = toFlash;
    // The RAM code's loader speaks 1 KiB blocks only; the flash receiver
    // takes both sizes and learns which from the first STX block.
    m_rx.stxLength = toFlash ? 0 : kOneK;
    m_rx.base = m_startAddr;
    m_rx.lastByte = now;
    if (toFlash)
        m_rx.erased.assign(static_cast<size_t>((m_opt.flashSize + kSector - 1) / kSector), false);
    push(QByteArray(1, char(CRC_READY)), now);
    m_rx.cTries = 1;
    m_rx.nextC = now + kCIntervalNs;
}

void ChipModel::endRx()
{
    m_rx = Rx();
    m_line.clear();
}

void ChipModel::sendCancel(int64_t now)
{
    push(QByteArray(5, char(CAN)), now);
    endRx();
}

void ChipModel::rxByte(uint8_t b, int64_t now)
{
    m_rx.lastByte = now;
    if (m_rx.packetLength == 0) {
        if (b != CAN)
            m_rx.cans = 0;
        switch (b) {
        case SOH:
            m_rx.packet = QByteArray(1, char(b));
            m_rx.packetLength = kSmallBlock + kFraming;
            break;
        case STX:
            m_rx.packet = QByteArray(1, char(b));
            m_rx.packetLength = m_rx.stxLength ? m_rx.stxLength + kFraming : -1;
            break;
        case EOT:
            if (m_rx.phase == Rx::WaitData) {
                if (++m_rx.eots == 1 && !blockFault(SimFault::EotAck)) {
                    push(QByteArray(1, char(NAK)), now);
                    return;
                }
                const bool early = m_rx.eots == 1;
                if (m_rx.toFlash && (m_rx.fileSize < 0 || m_rx.received == m_rx.fileSize))
                    ++m_fileCount;
                m_rx.phase = Rx::WaitEndOfBatch;
                push(early ? QByteArray(1, char(ACK)) : QByteArray("\x06" "C"), now);
            } else if (m_rx.phase == Rx::WaitEndOfBatch) {
                // Our answer to the second EOT got lost: give it again.
                push(QByteArray("\x06" "C"), now);
            }
            break;
        case CAN:
            // Two CAN in a row is the sender giving up.
            if (++m_rx.cans >= 2)
                endRx();
            break;
        default:
            break;
        }
        return;
    }
    m_rx.packet.append(char(b));
    if (m_rx.packetLength < 0) {
        const int got = m_rx.packet.size();
        if (got == kOneK + kFraming) {
            const auto *p = reinterpret_cast<const uint8_t *>(m_rx.packet.constData());
            const uint16_t crc = uint16_t(p[got - 2] << 8 | p[got - 1]);
            if (uint8_t(p[1] + p[2]) == 0xFF && simCrc16(p + 3, kOneK) == crc)
                m_rx.stxGraceUntil = now + kStxGraceNs;
            else
                m_rx.packetLength = kSixteenK + kFraming;
        } else if (got > kOneK + kFraming) {
            m_rx.stxGraceUntil = 0;
            m_rx.packetLength = kSixteenK + kFraming;
        }
        return;
    }
    if (m_rx.packet.size() == m_rx.packetLength)
        rxPacket(now);
}

void ChipModel::rxPacket(int64_t now)
{
    const QByteArray packet = m_rx.packet;
    m_rx.packet.clear();
    m_rx.packetLength = 0;
    if (packet.size() == kSixteenK + kFraming && m_rx.stxLength == 0)
        m_rx.stxLength = kSixteenK;
    const auto *p = reinterpret_cast<const uint8_t *>(packet.constData());
    const int len = packet.size() - kFraming;
    const uint16_t crc = uint16_t(p[len + 3] << 8 | p[len + 4]);
    if (uint8_t(p[1] + p[2]) != 0xFF || simCrc16(p + 3, len) != crc) {
        push(QByteArray(1, char(NAK)), now);
        return;
    }
    const int num = p[1];
    switch (m_rx.phase) {
    case Rx::WaitHeader:
        if (num == 0)
            rxHeader(p + 3, now);
        else
            push(QByteArray(1, char(NAK)), now);
        break;
    case Rx::WaitData:
        if (num == (m_rx.expected & 0xFF))
            rxData(p + 3, len, now);
        else if (num == ((m_rx.expected - 1) & 0xFF))
            push(QByteArray(m_rx.ordinal == 0 ? "\x06" "C" : "\x06"), now); // a repeat: our ACK was lost
        else
            sendCancel(now);
        break;
    case Rx::WaitEndOfBatch:
        if (num != 0) {
            push(QByteArray(1, char(NAK)), now);
        } else if (p[3] == 0) {
            push(QByteArray(1, char(ACK)), now);
            rxFinished(now);
        } else {
            // One file per "upgrade": a second file would have no address.
            sendCancel(now);
        }
        break;
    }
}

// A fault aimed at this block answers it instead of the receiver.
bool ChipModel::injectBlockFault(int64_t now)
{
    if (blockFault(SimFault::Disconnect)) {
        m_disconnected = true;
        reset(Off, now);
        return true;
    }
    if (blockFault(SimFault::Cancel)) {
        sendCancel(now);
        return true;
    }
    if (blockFault(SimFault::Nak)) {
        push(QByteArray(1, char(NAK)), now);
        return true;
    }
    return false;
}

void ChipModel::rxHeader(const uint8_t *data, int64_t now)
{
    if (injectBlockFault(now))
        return;
    if (data[0] == 0) {
        // An empty batch: the sender has nothing to send.
        push(QByteArray(1, char(ACK)), now);
        endRx();
        return;
    }
    const auto *end = static_cast<const uint8_t *>(memchr(data, 0, kSmallBlock));
    if (!end) {
        sendCancel(now);
        return;
    }
    // After the name: the decimal size, optionally followed by a space and
    // the modification time, mode and more (lrzsz sends those).
    QByteArray rest(reinterpret_cast<const char *>(end + 1), int(data + kSmallBlock - end - 1));
    rest.truncate(rest.indexOf('\0') < 0 ? rest.size() : rest.indexOf('\0'));
    const QByteArray sizeText = rest.split(' ').value(0);
    bool ok = false;
    const qlonglong size = sizeText.toLongLong(&ok);
    m_rx.fileSize = ok && size >= 0 ? size : -1;
    // The flash receiver does not look at its part's size (writes past the
    // end wrap); only the RAM has a limit it knows.
    if (!m_rx.toFlash && m_rx.fileSize > kRamLimit) {
        sendCancel(now);
        return;
    }
    m_rx.phase = Rx::WaitData;
    m_rx.expected = 1;
    push(QByteArray("\x06" "C"), now);
}

void ChipModel::rxData(const uint8_t *data, int length, int64_t now)
{
    if (injectBlockFault(now))
        return;
    int64_t take = length;
    if (m_rx.fileSize >= 0)
        take = std::max<int64_t>(0, std::min<int64_t>(length, m_rx.fileSize - m_rx.received));
    int64_t busy = 0;
    if (m_rx.toFlash) {
        // Like a real part: the address bits above the flash size are
        // dropped, so what runs past the end lands on the first sectors.
        int64_t addr = (int64_t(m_rx.base) + m_rx.received) % m_opt.flashSize;
        for (int64_t done = 0; done < take;) {
            const int64_t piece = std::min(take - done, m_opt.flashSize - addr);
            for (int64_t s = addr / kSector; s <= (addr + piece - 1) / kSector; ++s) {
                if (!m_rx.erased[size_t(s)]) {
                    busy += eraseSectors(s * kSector, (s + 1) * kSector);
                    m_rx.erased[size_t(s)] = true;
                }
            }
            writeFlash(addr, data + done, piece);
            busy += programNs(piece);
            done += piece;
            addr = 0;
        }
    } else {
        if (m_rx.ram.size() + take > kRamLimit) {
            sendCancel(now);
            return;
        }
        m_rx.ram.append(reinterpret_cast<const char *>(data), int(take));
    }
    m_rx.received += take;
    ++m_rx.expected;
    ++m_rx.ordinal;
    push(QByteArray(1, char(ACK)), now + busy);
}

void ChipModel::rxFinished(int64_t)
{
    const bool toFlash = m_rx.toFlash;
    const QByteArray ram = m_rx.ram;
    const bool complete = m_rx.fileSize < 0 || m_rx.received == m_rx.fileSize;
    endRx();
    if (toFlash)
        return;
    if (!complete || (m_opt.checkRamCode && ram != m_opt.ramCode) || takeFault(SimFault::RamSilent)) {
        // A RAM code that did not arrive whole jumps into garbage.
        m_state = Hung;
        return;
    }
    m_state = Ram;
    m_fileCount = 0;
    m_startAddr = 0;
}

int64_t ChipModel::sectorEraseNs() const
{
    for (const SimFault &f : m_faults)
        if (f.kind == SimFault::SlowFlash)
            return f.eraseUs * 1000;
    return m_opt.eraseNsPer4k;
}

int64_t ChipModel::programNs(int64_t bytes) const
{
    int64_t perPage = m_opt.programNsPer256;
    for (const SimFault &f : m_faults)
        if (f.kind == SimFault::SlowFlash)
            perPage = f.programUs * 1000;
    return (bytes + kPage - 1) / kPage * perPage;
}

int64_t ChipModel::chipEraseNs() const
{
    for (const SimFault &f : m_faults)
        if (f.kind == SimFault::SlowFlash)
            return f.chipEraseUs >= 0 ? f.chipEraseUs * 1000 : f.eraseUs * 1000 * (m_opt.flashSize / kSector);
    return m_opt.chipEraseNs >= 0 ? m_opt.chipEraseNs : m_opt.eraseNsPer4k * (m_opt.flashSize / kSector);
}

int64_t ChipModel::eraseSectors(int64_t from, int64_t to)
{
    from = std::max<int64_t>(0, from / kSector * kSector);
    to = std::min<int64_t>(m_opt.flashSize, (to + kSector - 1) / kSector * kSector);
    if (to <= from)
        return 0;
    memset(m_flash.data() + from, 0xFF, size_t(to - from));
    flushFlash(from, to);
    return (to - from) / kSector * sectorEraseNs();
}

void ChipModel::writeFlash(int64_t at, const uint8_t *data, int64_t length)
{
    memcpy(m_flash.data() + at, data, size_t(length));
    flushFlash(at, at + length);
}

void ChipModel::flushFlash(int64_t from, int64_t to)
{
    if (m_flashFd < 0)
        return;
    while (from < to) {
        const ssize_t n = ::pwrite(m_flashFd, m_flash.constData() + from, size_t(to - from), from);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        from += n;
    }
}
