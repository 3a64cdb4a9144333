#pragma once
#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstdint>

#include "stoprequest.h"

class Serial;

// Sends one file with YMODEM (CRC-16, receiver-driven by "C") over a Serial,
// stepping in ticks of about 1 ms.
class ymodemSender
{
public:
    ymodemSender();

    // Returns a transfer code: 255 when the receiver took the whole file.
    uint8_t sendFile(const QString &filePath, Serial *link);
    // The same for bytes already in memory (a run's images, read once).
    uint8_t sendBytes(const QByteArray &data, Serial *link);

    bool sendHeader(const QString &fileName, int64_t fileSize);
    bool sendBlock(uint8_t blockNumber, const QByteArray &data, int dataLength);
    bool sendEndHeader();
    bool sendEot();
    bool sendCancel();
    static uint16_t crc16(const uint8_t *bytes, int length);

    Serial *serial = nullptr;
    int32_t chunkSize = 1024;
    int32_t blockSize = 1024;
    // The stop request of whoever runs the transfer, read once per tick; a
    // chipCommand points it at its own, a sender on its own has this one.
    stopRequest ownStop;
    const stopRequest *stop = &ownStop;
    // Share of the current file acknowledged, polled by the progress display.
    std::atomic<float> fraction{0.0f};

private:
    void sendPacket(const QByteArray &packet);
};
