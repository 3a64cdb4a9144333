#include "chipcommand.h"

#include "chipinfo.h"
#include "linktiming.h"
#include "resultcodes.h"
#include "serial.h"
#include "ymodemsender.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {
const QByteArray kLineEnd = "\r\n";
const QByteArray kPassMarker = "\r\npppp\r\n";
const QByteArray kFailMarker = "\r\nffff\r\n";
const QByteArray kRamCodeMarker = "RAMCODE";
const QByteArray kVersionLine = "version\r\n";
constexpr uint32_t kRamLoadAddress = 0x20000000;
constexpr uint32_t kSectorSize = 4096;
constexpr int kRamCodeBlock = 1024;
constexpr int kFlashBlock = 16384;
constexpr int kAttempts = 2;

QByteArray hex(uint32_t value)
{
    return "0x" + QByteArray::number(value, 16);
}
} // namespace

chipCommand::chipCommand()
    : ymodem(new ymodemSender)
    , catalogue(new chipInfo)
{
}

chipCommand::~chipCommand()
{
    delete catalogue;
    delete ymodem;
}

void chipCommand::setSerial(Serial *link)
{
    serial = link;
    ymodem->serial = link;
}

void chipCommand::sendLine(const QByteArray &line, bool restartTimer)
{
    if (restartTimer)
        serial->stopTimer();
    serial->rxBuffer.clear();
    if (restartTimer)
        serial->startTimer();
    serial->sendData(line);
}

bool chipCommand::replyWait(const QByteArray &pass, const QByteArray &fail, uint32_t budget)
{
    for (uint32_t polls = 0;;) {
        if (!serial->isOpen()) {
            qDebug() << "uart is closed!";
            return false;
        }
        const QByteArray &rx = serial->rxBuffer;
        if (!rx.isEmpty()) {
            if (rx.contains(pass))
                return true;
            if (rx.contains(fail))
                return false;
        }
        delayMs(linkTiming::kReplyPollMs);
        if (++polls > budget)
            return false;
    }
}

bool chipCommand::eraseFlash(uint32_t address, uint32_t length)
{
    if (!serial)
        return false;
    const uint64_t rounded = (static_cast<uint64_t>(length) + kSectorSize - 1) / kSectorSize * kSectorSize;
    const QByteArray line = "ferase " + hex(address & ~(kSectorSize - 1)) + ' '
                            + "0x" + QByteArray::number(static_cast<qulonglong>(rounded), 16) + kLineEnd;
    sendLine(line, true);
    qDebug() << line;
    return replyWait(kPassMarker, kFailMarker, serial->waitCount);
}

bool chipCommand::eraseChip()
{
    if (!serial)
        return false;
    sendLine("ferase_all" + kLineEnd, true);
    return replyWait(kPassMarker, kFailMarker, serial->waitCount);
}

bool chipCommand::upgradeFile(const QString &filePath, uint32_t &code)
{
    if (!serial)
        return false;
    const QFileInfo info(filePath);
    if (info.isFile() && info.size() == 0) {
        // Asking the RAM code to receive would leave it waiting for a file
        // that has no blocks.
        code = resultCode::kTransferEmptyFile;
    } else {
        sendLine("upgrade" + kLineEnd);
        ymodem->chunkSize = kFlashBlock;
        ymodem->blockSize = kFlashBlock;
        code = ymodem->sendFile(filePath, serial);
    }
    if (code == resultCode::kTransferDone)
        return true;
    qDebug().noquote() << QStringLiteral("文件烧录错误代码：") + QString::number(code) + resultText(code);
    return false;
}

bool chipCommand::setStartAddr(uint32_t address)
{
    if (!serial)
        return false;
    sendLine("startaddr " + hex(address) + kLineEnd);
    return replyWait(kPassMarker, kFailMarker, serial->waitCount);
}

bool chipCommand::getFileCount(uint32_t &count)
{
    if (!serial)
        return false;
    static const QByteArray kCountMarker = "\r\nfc:";
    sendLine("filecount" + kLineEnd);
    for (uint32_t polls = 0;;) {
        if (!serial->isOpen()) {
            qDebug() << "uart is closed!";
            return false;
        }
        const QByteArray &rx = serial->rxBuffer;
        const int start = rx.indexOf(kCountMarker);
        if (start >= 0) {
            const int digits = start + kCountMarker.size();
            const int end = rx.indexOf(kLineEnd, digits);
            if (end >= 0) {
                bool ok = false;
                const uint32_t value = rx.mid(digits, end - digits).trimmed().toUInt(&ok);
                if (ok) {
                    count = value;
                    return true;
                }
            }
        }
        delayMs(linkTiming::kReplyPollMs);
        if (++polls > serial->waitCount)
            return false;
    }
}

bool chipCommand::rebootChip()
{
    if (!serial)
        return true;
    sendLine("reboot" + kLineEnd);
    return true;
}

bool chipCommand::flashTest(QString &text)
{
    if (!serial)
        return false;
    sendLine("flash_test \r\n");
    for (uint32_t polls = 0;;) {
        if (!serial->isOpen()) {
            qDebug() << "uart is closed!";
            return false;
        }
        const QByteArray &rx = serial->rxBuffer;
        if (!rx.isEmpty()) {
            const bool passed = rx.contains("no");
            if (passed || rx.contains("pos")) {
                text = QString::fromUtf8(rx.constData());
                return passed;
            }
        }
        delayMs(linkTiming::kReplyPollMs);
        if (++polls > linkTiming::kFlashTestPolls)
            return false;
    }
}

bool chipCommand::getFlashInfo(QString &id)
{
    if (!serial)
        return false;
    sendLine("flash_info \r\n");
    if (!replyWait("Byte", "ffff", serial->waitCount))
        return false;
    const int at = serial->rxBuffer.indexOf("id:");
    // A reply without the anchor carries no ID; taking bytes from an
    // arbitrary place would report garbage as the flash ID.
    if (at < 0)
        return false;
    id = QString::fromLatin1(serial->rxBuffer.mid(at + 3, 8));
    return true;
}

bool chipCommand::getFlashUid(QString &uid)
{
    if (!serial)
        return false;
    static const QByteArray kUidMarker = "flash uid:";
    constexpr int kUidLength = 34;
    sendLine("flash_uid" + kLineEnd);
    for (uint32_t polls = 0;;) {
        if (!serial->isOpen()) {
            qDebug() << "uart is closed!";
            return false;
        }
        if (serial->rxBuffer.size() > 43) {
            const int at = serial->rxBuffer.indexOf(kUidMarker);
            if (at >= 0 && serial->rxBuffer.size() > at + 44) {
                delayMs(linkTiming::kUidSettleMs);
                const QByteArray candidate = serial->rxBuffer.mid(at + kUidMarker.size(), kUidLength);
                bool hexDigit = false;
                QByteArray(1, candidate.isEmpty() ? 'x' : candidate.back()).toUInt(&hexDigit, 16);
                if (candidate.size() == kUidLength && candidate.startsWith("0x") && hexDigit) {
                    uid = QString::fromLatin1(candidate);
                    return true;
                }
            }
        }
        delayMs(linkTiming::kReplyPollMs);
        if (++polls > serial->waitCount)
            return false;
    }
}

bool chipCommand::identify(QString &model, uint32_t budget)
{
    sendLine(kVersionLine);
    for (uint32_t polls = 0;;) {
        if (!serial->isOpen()) {
            qDebug() << "uart is closed!";
            return false;
        }
        const QByteArray &rx = serial->rxBuffer;
        if (!rx.isEmpty()) {
            // Models are read from the file on every poll, so a model added
            // while the tool runs is recognised at once.
            for (const QString &name : catalogue->currentModels()) {
                QString date;
                catalogue->modelDate(name, date);
                if (!date.isEmpty() && rx.contains(date.toUtf8())) {
                    model = name;
                    return true;
                }
                if (rx.contains(kRamCodeMarker)) {
                    model = QString::fromLatin1(kRamCodeMarker);
                    return true;
                }
            }
        }
        if (stopFlag)
            return false;
        delayMs(linkTiming::kReplyPollMs);
        if (++polls > budget)
            return false;
    }
}

bool chipCommand::getVersion(QString &model)
{
    if (!serial)
        return false;
    return identify(model, serial->waitCount);
}

bool chipCommand::probeVersion(QString &model)
{
    if (!serial)
        return false;
    return identify(model, linkTiming::kProbePolls);
}

bool chipCommand::setBootBaudRate(uint32_t baudRate)
{
    if (!serial)
        return false;
    QByteArray line = "baudrate [boot][]" + kLineEnd;
    line.insert(line.lastIndexOf('[') + 1, QByteArray::number(baudRate));
    sendLine(line);
    delayMs(linkTiming::kBootBaudSwitchSettleMs);
    serial->setBaudRate(baudRate);
    serial->sendData(kVersionLine);
    QString model;
    return getVersion(model);
}

bool chipCommand::setBurnBaudRate(uint32_t baudRate)
{
    if (!serial)
        return false;
    serial->rxBuffer.clear();
    serial->clearQueues();
    serial->sendData("baudrate " + QByteArray::number(baudRate) + kLineEnd);
    delayMs(linkTiming::kBaudSwitchSettleMs);
    serial->clearQueues();
    serial->setBaudRate(baudRate);
    serial->clearQueues();
    delayMs(linkTiming::kBaudSwitchSettleMs);
    serial->sendData(kVersionLine);
    QString model;
    return getVersion(model);
}

bool chipCommand::downloadRamCode(uint32_t address, const QString &filePath, uint32_t &code)
{
    if (!serial)
        return false;
    QFile probe(filePath);
    if (!probe.open(QIODevice::ReadOnly)) {
        qDebug() << "can not open ram file." << filePath;
        return false;
    }
    const qint64 size = probe.size();
    probe.close();
    // The ROM would wait for blocks that never come.
    if (size == 0) {
        code = resultCode::kTransferEmptyFile;
        return false;
    }

    QByteArray line = "download [rambin] [] []" + kLineEnd;
    line.insert(line.indexOf('[', 13) + 1, hex(address));
    line.insert(line.lastIndexOf('[') + 1, QByteArray::number(size));
    sendLine(line, true);
    ymodem->chunkSize = kRamCodeBlock;
    ymodem->blockSize = kRamCodeBlock;
    code = ymodem->sendFile(filePath, serial);
    return code == resultCode::kTransferDone;
}

void chipCommand::setStep(float steps)
{
    progressSeq.fetch_add(1);
    done = steps;
    ymodem->fraction = 0.0f;
    progressSeq.fetch_add(1);
}

float chipCommand::progress() const
{
    for (;;) {
        const uint32_t before = progressSeq.load();
        if (before & 1) {
            QThread::yieldCurrentThread();
            continue;
        }
        const float steps = done.load() + ymodem->fraction.load();
        if (progressSeq.load() == before)
            return steps;
    }
}

uint32_t chipCommand::programFlash(uint32_t burnBaudRate, const QList<uint32_t> &startAddrs, const QStringList &files,
                                   int eraseAll, bool highSpeed)
{
    using namespace resultCode;
    if (!serial)
        return kNoChipInfo;

    QString model;
    bool found = false;
    for (int i = 0; i < linkTiming::kIdentifyTries && !found; ++i)
        found = probeVersion(model);
    if (!found || model.contains(QLatin1String(kRamCodeMarker)))
        return kNoChipInfo;

    setStep(0.0f);
    const QString ramCode = chipInfo::ramCodePath(model, highSpeed);
    uint32_t transfer = 0;
    bool loaded = false;
    for (int attempt = 0; attempt < kAttempts && !loaded; ++attempt) {
        transfer = 0;
        loaded = downloadRamCode(kRamLoadAddress, ramCode, transfer);
    }
    if (!loaded)
        return kRamCodeFailed | transfer;

    setStep(1.0f);
    model.clear();
    found = false;
    for (int i = 0; i < linkTiming::kIdentifyTries && !found; ++i)
        found = probeVersion(model);
    if (!model.contains(QLatin1String(kRamCodeMarker)))
        return kRamCodeFailed;

    QString id;
    getFlashInfo(id);
    flashId = id;
    QString uid;
    getFlashUid(uid);
    flashUid = uid;

    if (!setBurnBaudRate(burnBaudRate) && !setBurnBaudRate(burnBaudRate))
        return kBaudRateFailed;

    if (eraseAll == 1 && !eraseChip() && !eraseChip())
        return kEraseFailed;

    const int count = files.size();
    for (int k = 0; k < count; ++k) {
        const uint32_t address = k < startAddrs.size() ? startAddrs.at(k) : 0;
        if (!setStartAddr(address) && !setStartAddr(address))
            return kEraseFailed;
        bool written = false;
        for (int attempt = 0; attempt < kAttempts && !written; ++attempt)
            written = upgradeFile(files.at(k), transfer);
        if (!written)
            return kFlashWriteFailed | (transfer & kTransferMask);
        setStep(done.load() + 1.0f);
    }

    setStep(static_cast<float>(count + 1));
    uint32_t reported = 0;
    const bool counted = getFileCount(reported) || getFileCount(reported);
    if (counted && reported == static_cast<uint32_t>(count))
        return kSuccess;
    return kFileCountWrong;
}
