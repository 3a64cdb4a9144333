#include "chipcommand.h"

#include "chipinfo.h"
#include "linktiming.h"
#include "resultcodes.h"
#include "serial.h"
#include "ymodemsender.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <functional>

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

// What one look at the receive buffer concluded.
enum class Poll { Waiting, Pass, Fail };

// The reply wait every text command runs: look at the receive buffer until
// `check` decides, the port closes, `stop` is raised or the budget of reply
// polls (after a first look that costs no delay) has run out. The wait wakes
// as soon as bytes arrive, so a reply is seen at once; the budget keeps its
// length in time.
bool pollReply(Serial *serial, uint32_t budget, const std::function<Poll(const QByteArray &)> &check,
               const std::atomic<bool> *stop = nullptr)
{
    const QDeadlineTimer deadline((static_cast<qint64>(budget) + 1) * linkTiming::kReplyPollMs, Qt::PreciseTimer);
    for (;;) {
        if (!serial->isOpen()) {
            qDebug() << "uart is closed!";
            return false;
        }
        const Poll verdict = check(serial->rxBuffer);
        if (verdict != Poll::Waiting)
            return verdict == Poll::Pass;
        if ((stop && stop->load()) || deadline.hasExpired())
            return false;
        serial->waitForBytes(static_cast<int>(qMin<qint64>(linkTiming::kReplyPollMs, deadline.remainingTime())));
    }
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
    return pollReply(serial, budget, [&](const QByteArray &rx) {
        if (rx.contains(pass))
            return Poll::Pass;
        return rx.contains(fail) ? Poll::Fail : Poll::Waiting;
    });
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
    return pollReply(serial, serial->waitCount, [&](const QByteArray &rx) {
        const int start = rx.indexOf(kCountMarker);
        if (start < 0)
            return Poll::Waiting;
        const int digits = start + kCountMarker.size();
        const int end = rx.indexOf(kLineEnd, digits);
        if (end < 0)
            return Poll::Waiting;
        bool ok = false;
        const uint32_t value = rx.mid(digits, end - digits).trimmed().toUInt(&ok);
        if (!ok)
            return Poll::Waiting;
        count = value;
        return Poll::Pass;
    });
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
    return pollReply(serial, linkTiming::kFlashTestPolls, [&](const QByteArray &rx) {
        const bool passed = rx.contains("no");
        if (!passed && !rx.contains("pos"))
            return Poll::Waiting;
        text = QString::fromUtf8(rx.constData());
        return passed ? Poll::Pass : Poll::Fail;
    });
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
    return pollReply(serial, serial->waitCount, [&](const QByteArray &rx) {
        if (rx.size() <= 43)
            return Poll::Waiting;
        const int at = rx.indexOf(kUidMarker);
        if (at < 0 || rx.size() <= at + 44)
            return Poll::Waiting;
        delayMs(linkTiming::kUidSettleMs);
        const QByteArray candidate = serial->rxBuffer.mid(at + kUidMarker.size(), kUidLength);
        bool hexDigit = false;
        QByteArray(1, candidate.isEmpty() ? 'x' : candidate.back()).toUInt(&hexDigit, 16);
        if (candidate.size() != kUidLength || !candidate.startsWith("0x") || !hexDigit)
            return Poll::Waiting;
        uid = QString::fromLatin1(candidate);
        return Poll::Pass;
    });
}

bool chipCommand::identify(QString &model, uint32_t budget)
{
    sendLine(kVersionLine);
    return pollReply(
        serial, budget,
        [&](const QByteArray &rx) {
            if (rx.isEmpty())
                return Poll::Waiting;
            // Models are read from the file on every poll, so a model added
            // while the tool runs is recognised at once.
            for (const QString &name : catalogue->currentModels()) {
                QString date;
                catalogue->modelDate(name, date);
                if (!date.isEmpty() && rx.contains(date.toUtf8())) {
                    model = name;
                    return Poll::Pass;
                }
                if (rx.contains(kRamCodeMarker)) {
                    model = QString::fromLatin1(kRamCodeMarker);
                    return Poll::Pass;
                }
            }
            return Poll::Waiting;
        },
        &stopFlag);
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

    chipModel.clear();
    QString model;
    bool found = false;
    for (int i = 0; i < linkTiming::kIdentifyTries && !found; ++i)
        found = probeVersion(model);
    if (!found || model.contains(QLatin1String(kRamCodeMarker)))
        return kNoChipInfo;
    chipModel = model;

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
