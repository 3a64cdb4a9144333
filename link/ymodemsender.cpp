#include "ymodemsender.h"

#include "crc16.h"
#include "linktiming.h"
#include "resultcodes.h"
#include "serial.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSerialPort>
#include <QFile>

namespace {
constexpr char kSoh = 0x01;
constexpr char kStx = 0x02;
constexpr char kEot = 0x04;
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr char kCan = 0x18;
constexpr char kFill = 0x1A;
constexpr char kCrcRequest = 0x43;
constexpr int kShortBlock = 128;
// More than four cancel bytes after the last packet mean the receiver gave up.
constexpr int kCancelThreshold = 4;
constexpr int kCancelLength = 5;
// Each resend restarts the idle count, so a receiver that refuses one block
// for ever would hold the sender for ever; standard senders give up after ten.
constexpr int kMaxResends = 10;
// A receiver that ACKs the first EOT asks for the next header with "C"; lrzsz
// does so after about a second. One that never asks still expects the batch
// to be closed, so after this many ticks the end-of-batch block goes anyway.
constexpr int kEarlyAckGraceTicks = 3000;
// The receiver stores under this name whatever the file is called on the host.
const char kHeaderName[] = "test.bin";

enum class Step {
    WaitC,
    SendHeader,
    WaitHeaderAck,
    SendFullBlock,
    WaitFullBlockReply,
    SendLastBlock,
    WaitLastBlockReply,
    SendFirstEot,
    WaitEotNak,
    SendSecondEot,
    WaitEotAckC,
    SendEndHeader,
    WaitFinalAck,
};

QByteArray withCrc(QByteArray packet, int fieldOffset, int fieldLength)
{
    const uint16_t crc = ymodemSender::crc16(reinterpret_cast<const uint8_t *>(packet.constData()) + fieldOffset,
                                             fieldLength);
    packet.append(static_cast<char>(crc >> 8));
    packet.append(static_cast<char>(crc & 0xFF));
    return packet;
}
} // namespace

ymodemSender::ymodemSender() = default;

uint16_t ymodemSender::crc16(const uint8_t *bytes, int length)
{
    return length < 1 ? 0 : vqCrc16(bytes, length);
}

void ymodemSender::sendPacket(const QByteArray &packet)
{
    if (!serial->isOpen())
        return;
    // Replies count only after the packet they answer.
    serial->stopTimer();
    serial->rxBuffer.clear();
    serial->startTimer();
    serial->sendData(packet);
}

bool ymodemSender::sendHeader(const QString &fileName, int64_t fileSize)
{
    QByteArray field = fileName.toUtf8();
    field.append('\0');
    field.append(QByteArray::number(static_cast<qulonglong>(fileSize)));
    field = field.left(kShortBlock);
    field.append(QByteArray(kShortBlock - field.size(), '\0'));
    QByteArray packet;
    packet.append(kSoh).append('\0').append(static_cast<char>(0xFF)).append(field);
    sendPacket(withCrc(packet, 3, kShortBlock));
    return true;
}

bool ymodemSender::sendBlock(uint8_t blockNumber, const QByteArray &data, int dataLength)
{
    const int field = dataLength <= kShortBlock ? kShortBlock : blockSize;
    QByteArray packet;
    packet.reserve(field + 5);
    packet.append(dataLength <= kShortBlock ? kSoh : kStx);
    packet.append(static_cast<char>(blockNumber));
    packet.append(static_cast<char>(~blockNumber));
    packet.append(data.constData(), dataLength);
    packet.append(QByteArray(field - dataLength, kFill));
    sendPacket(withCrc(packet, 3, field));
    return true;
}

bool ymodemSender::sendEndHeader()
{
    QByteArray packet;
    packet.append(kSoh).append('\0').append(static_cast<char>(0xFF)).append(QByteArray(kShortBlock, '\0'));
    packet.append('\0').append('\0');
    sendPacket(packet);
    return true;
}

bool ymodemSender::sendEot()
{
    sendPacket(QByteArray(1, kEot));
    return true;
}

bool ymodemSender::sendCancel()
{
    sendPacket(QByteArray(kCancelLength, kCan));
    return true;
}

uint8_t ymodemSender::sendFile(const QString &filePath, Serial *link)
{
    using namespace resultCode;
    fraction = 0.0f;
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return kTransferCannotOpen;
    const QByteArray data = file.readAll();
    file.close();
    return sendBytes(data, link);
}

uint8_t ymodemSender::sendBytes(const QByteArray &data, Serial *link)
{
    using namespace resultCode;
    fraction = 0.0f;
    const int64_t fileSize = data.size();
    // A last block with nothing in it has no defined form on the wire.
    if (fileSize == 0)
        return kTransferEmptyFile;

    serial = link;
    const int64_t idleLimit = linkTiming::ymodemIdleLimitMs(static_cast<uint32_t>(serial->port->baudRate()), blockSize)
                              / linkTiming::kYmodemTickMs;
    int64_t offset = 0;
    // A tick ends early when bytes arrive, so idle time is read off the
    // clock in whole ticks rather than counted.
    QElapsedTimer idleClock;
    idleClock.start();
    const auto idle = [&idleClock] { return idleClock.elapsed() / linkTiming::kYmodemTickMs; };
    uint8_t blockNumber = 0;
    int resends = 0;
    bool earlyEotAck = false;
    Step step = Step::WaitC;
    const QByteArray &rx = serial->rxBuffer;

    auto fail = [this](uint32_t code) {
        sendCancel();
        return static_cast<uint8_t>(code);
    };

    for (;;) {
        const Step stepBefore = step;
        switch (step) {
        case Step::WaitC:
            if (rx.contains(kCrcRequest))
                step = Step::SendHeader;
            break;
        case Step::SendHeader:
            sendHeader(QString::fromLatin1(kHeaderName), fileSize);
            idleClock.restart();
            step = Step::WaitHeaderAck;
            break;
        case Step::WaitHeaderAck:
            if (rx.contains(kAck) && rx.contains(kCrcRequest)) {
                ++blockNumber;
                resends = 0;
                step = fileSize > chunkSize ? Step::SendFullBlock : Step::SendLastBlock;
            } else if (rx.contains(kNak)) {
                // A header that arrived damaged is sent again at once, as a
                // data block is.
                if (++resends > kMaxResends)
                    return fail(kTransferDataAckError);
                step = Step::SendHeader;
            }
            break;
        case Step::SendFullBlock:
            if (offset >= fileSize)
                return fail(kTransferDataError);
            sendBlock(blockNumber, data.mid(static_cast<int>(offset), chunkSize), chunkSize);
            idleClock.restart();
            step = Step::WaitFullBlockReply;
            break;
        case Step::WaitFullBlockReply:
            if (rx.contains(kAck)) {
                offset += chunkSize;
                ++blockNumber;
                resends = 0;
                if (offset >= fileSize)
                    return fail(kTransferDataError);
                step = fileSize - offset > chunkSize ? Step::SendFullBlock : Step::SendLastBlock;
            }
            if (rx.contains(kNak)) {
                if (++resends > kMaxResends)
                    return fail(kTransferDataAckError);
                step = Step::SendFullBlock;
            }
            break;
        case Step::SendLastBlock:
            if (offset > fileSize)
                return fail(kTransferDataError);
            sendBlock(blockNumber, data.mid(static_cast<int>(offset)), static_cast<int>(fileSize - offset));
            idleClock.restart();
            step = Step::WaitLastBlockReply;
            break;
        case Step::WaitLastBlockReply:
            if (rx.contains(kAck)) {
                offset = fileSize;
                ++blockNumber;
                resends = 0;
                step = Step::SendFirstEot;
            }
            if (rx.contains(kNak)) {
                if (++resends > kMaxResends)
                    return fail(kTransferDataAckError);
                step = Step::SendLastBlock;
            }
            break;
        case Step::SendFirstEot:
            sendEot();
            idleClock.restart();
            step = Step::WaitEotNak;
            break;
        case Step::WaitEotNak:
            // The chip NAKs the first EOT; standard receivers ACK it at once
            // and then ask for the next file with "C".
            if (rx.contains(kNak))
                step = Step::SendSecondEot;
            else if (rx.contains(kAck)) {
                earlyEotAck = true;
                step = Step::WaitEotAckC;
            }
            break;
        case Step::SendSecondEot:
            sendEot();
            idleClock.restart();
            step = Step::WaitEotAckC;
            break;
        case Step::WaitEotAckC:
            if ((rx.contains(kAck) && rx.contains(kCrcRequest)) || (earlyEotAck && idle() > kEarlyAckGraceTicks))
                step = Step::SendEndHeader;
            break;
        case Step::SendEndHeader:
            sendEndHeader();
            idleClock.restart();
            step = Step::WaitFinalAck;
            break;
        case Step::WaitFinalAck:
            if (rx.contains(kAck))
                return kTransferDone;
            break;
        }

        if (rx.count(kCan) > kCancelThreshold)
            return fail(kTransferCancelled);
        if (idle() > idleLimit)
            return fail(kTransferTimeout);
        if (stop->halts())
            return kTransferStopped;
        // A closed or vanished port cannot bring an answer; waiting out the
        // idle limit would only delay the verdict.
        if (!serial->isOpen()) {
            qDebug() << "uart is closed!";
            return static_cast<uint8_t>(kTransferTimeout);
        }
        // A step that moved on runs the next one at once: waiting a tick
        // between an ACK and the block it releases only idles the line. A
        // step that waits for the receiver sleeps until bytes arrive.
        if (step == stepBefore)
            serial->waitForBytes(linkTiming::kYmodemWaitSliceMs);
        fraction = static_cast<float>(static_cast<double>(offset) / static_cast<double>(fileSize));
    }
}
