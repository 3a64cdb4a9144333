#include "chipcommand.h"

#include "chipinfo.h"
#include "imageplan.h"
#include "linktiming.h"
#include "resultcodes.h"
#include "serial.h"
#include "ymodemsender.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QSerialPort>
#include <QThread>

#include <QCoreApplication>

#include <functional>
#include <limits>

namespace {
const QByteArray kLineEnd = "\r\n";
const QByteArray kPassMarker = "\r\npppp\r\n";
const QByteArray kFailMarker = "\r\nffff\r\n";
const QByteArray kRamCodeMarker = "RAMCODE";
const QByteArray kVersionLine = "version\r\n";
constexpr uint32_t kBootRomBaud = 115200;
constexpr char kCan = 0x18;
constexpr int kCancelLength = 5;
constexpr uint32_t kRamLoadAddress = 0x20000000;
using imagePlan::kSectorSize;
constexpr int kRamCodeBlock = 1024;
constexpr int kFlashBlock = 16384;
constexpr int kAttempts = 2;

QByteArray hex(uint32_t value)
{
    return "0x" + QByteArray::number(value, 16);
}

QByteArray bootBaudLine(uint32_t baudRate)
{
    QByteArray line = "baudrate [boot][]" + kLineEnd;
    line.insert(line.lastIndexOf('[') + 1, QByteArray::number(baudRate));
    return line;
}

// What one look at the receive buffer concluded; Waiting when the wait ends
// without a verdict.
enum class Poll { Waiting, Pass, Fail };

// The reply wait every text command runs: look at the receive buffer until
// `check` decides, the port closes, `stop` is raised or the budget of reply
// polls (after a first look that costs no delay) has run out. The wait wakes
// as soon as bytes arrive, so a reply is seen at once; the budget keeps its
// length in time.
Poll pollVerdict(Serial *serial, uint32_t budget, const std::function<Poll(const QByteArray &)> &check,
                 const stopRequest *stop)
{
    const QDeadlineTimer deadline((static_cast<qint64>(budget) + 1) * linkTiming::kReplyPollMs, Qt::PreciseTimer);
    for (;;) {
        if (!serial->isOpen()) {
            qDebug() << "uart is closed!";
            return Poll::Waiting;
        }
        const Poll verdict = check(serial->rxBuffer);
        if (verdict != Poll::Waiting)
            return verdict;
        if ((stop && stop->halts()) || deadline.hasExpired())
            return Poll::Waiting;
        serial->waitForBytes(static_cast<int>(qMin<qint64>(linkTiming::kReplyPollMs, deadline.remainingTime())));
    }
}

bool pollReply(Serial *serial, uint32_t budget, const std::function<Poll(const QByteArray &)> &check,
               const stopRequest *stop)
{
    return pollVerdict(serial, budget, check, stop) == Poll::Pass;
}

// The line of the boot ROM's version reply that carries the model's build
// date, as the chip printed it.
QString romLineOf(const QByteArray &rx, const chipInfo *catalogue, const QString &model)
{
    QString date;
    catalogue->modelDate(model, date);
    const int at = date.isEmpty() ? -1 : rx.indexOf(date.toUtf8());
    if (at < 0)
        return QString();
    const int start = rx.lastIndexOf('\n', at) + 1;
    const int end = rx.indexOf('\r', at);
    return QString::fromLatin1(rx.mid(start, end < 0 ? -1 : end - start)).trimmed();
}

uint32_t pollsFor(int64_t ms)
{
    return static_cast<uint32_t>(qMin<int64_t>((ms + linkTiming::kReplyPollMs - 1) / linkTiming::kReplyPollMs,
                                               std::numeric_limits<uint32_t>::max()));
}
} // namespace

chipCommand::chipCommand()
    : ymodem(new ymodemSender)
    , catalogue(new chipInfo)
{
    ymodem->stop = &stop;
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
    const Poll verdict = pollVerdict(
        serial, budget,
        [&](const QByteArray &rx) {
            if (rx.contains(pass))
                return Poll::Pass;
            return rx.contains(fail) ? Poll::Fail : Poll::Waiting;
        },
        &stop);
    lastVerdict = verdict == Poll::Pass ? Verdict::Pass : verdict == Poll::Fail ? Verdict::Fail : Verdict::NoAnswer;
    return verdict == Poll::Pass;
}

// An erase answers when the flash is done, which takes far longer than any
// other command; the wait still ends the moment the marker comes.
bool chipCommand::eraseWait(int64_t allowanceMs)
{
    const uint32_t budget = qMax(serial->waitCount, pollsFor(allowanceMs));
    const QDeadlineTimer until((static_cast<qint64>(budget) + 1) * linkTiming::kReplyPollMs, Qt::PreciseTimer);
    const bool passed = replyWait(kPassMarker, kFailMarker, budget);
    // A stop leaves the chip erasing; it will not listen before it is done.
    eraseRunning = lastVerdict == Verdict::NoAnswer && stop.halts() && serial->isOpen();
    eraseBusy = until;
    return passed;
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
    const int64_t sectors = static_cast<int64_t>(rounded / kSectorSize);
    return eraseWait(serial->waitCount * int64_t(linkTiming::kReplyPollMs) + sectors * linkTiming::kSectorEraseWaitMs);
}

bool chipCommand::eraseChip()
{
    if (!serial)
        return false;
    sendLine("ferase_all" + kLineEnd, true);
    return eraseWait(linkTiming::kChipEraseWaitMs);
}

bool chipCommand::upgradeFile(const QString &filePath, uint32_t &code)
{
    if (!serial)
        return false;
    QFile file(filePath);
    // Asking the RAM code to receive would leave it waiting for a file that
    // never comes.
    if (!file.open(QIODevice::ReadOnly)) {
        code = resultCode::kTransferCannotOpen;
        return false;
    }
    return upgradeImage(file.readAll(), code);
}

bool chipCommand::upgradeImage(const QByteArray &bytes, uint32_t &code)
{
    if (!serial)
        return false;
    if (bytes.isEmpty()) {
        // Asking the RAM code to receive would leave it waiting for a file
        // that has no blocks.
        code = resultCode::kTransferEmptyFile;
    } else {
        sendLine("upgrade" + kLineEnd);
        ymodem->chunkSize = kFlashBlock;
        ymodem->blockSize = kFlashBlock;
        code = ymodem->sendBytes(bytes, serial);
        transferOpen = code == resultCode::kTransferStopped;
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
    }, &stop);
}

bool chipCommand::rebootChip()
{
    if (!serial)
        return true;
    sendLine("reboot" + kLineEnd);
    chipPlace = ChipPlace::Unknown;
    chipBaud = kBootRomBaud;
    switchingBaud = 0;
    transferOpen = false;
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
    }, &stop);
}

bool chipCommand::getFlashInfo(QString &id)
{
    if (!serial)
        return false;
    sendLine("flash_info \r\n");
    flashSize = 0;
    if (!replyWait("Byte", "ffff", serial->waitCount))
        return false;
    const int at = serial->rxBuffer.indexOf("id:");
    // A reply without the anchor carries no ID; taking bytes from an
    // arbitrary place would report garbage as the flash ID.
    if (at < 0)
        return false;
    id = QString::fromLatin1(serial->rxBuffer.mid(at + 3, 8));
    static const QByteArray kSizeMarker = "size:";
    const int size = serial->rxBuffer.indexOf(kSizeMarker, at);
    const int end = size < 0 ? -1 : serial->rxBuffer.indexOf("Byte", size);
    if (end > size) {
        bool ok = false;
        const qint64 bytes = serial->rxBuffer.mid(size + kSizeMarker.size(), end - size - kSizeMarker.size())
                                 .trimmed()
                                 .toLongLong(&ok);
        flashSize = ok && bytes > 0 ? bytes : 0;
    }
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
        // The whole UID is in once the buffer reaches past it; a further
        // wait for it would be dead time.
        if (at < 0 || rx.size() <= at + 44)
            return Poll::Waiting;
        const QByteArray candidate = rx.mid(at + kUidMarker.size(), kUidLength);
        bool hexDigit = false;
        QByteArray(1, candidate.isEmpty() ? 'x' : candidate.back()).toUInt(&hexDigit, 16);
        if (candidate.size() != kUidLength || !candidate.startsWith("0x") || !hexDigit)
            return Poll::Waiting;
        uid = QString::fromLatin1(candidate);
        return Poll::Pass;
    }, &stop);
}

bool chipCommand::identify(QString &model, uint32_t budget)
{
    sendLine(kVersionLine);
    const bool found = pollReply(
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
        &stop);
    if (found) {
        if (model != QLatin1String(kRamCodeMarker))
            bootRomLine = romLineOf(serial->rxBuffer, catalogue, model);
        // An answer at this speed settles where the chip is and how fast it talks.
        chipPlace = model == QLatin1String(kRamCodeMarker) ? ChipPlace::RamCode : ChipPlace::BootRom;
        chipBaud = static_cast<uint32_t>(serial->port->baudRate());
        switchingBaud = 0;
    }
    return found;
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
    sendLine(bootBaudLine(baudRate));
    switchingBaud = baudRate;
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
    switchingBaud = baudRate;
    delayMs(linkTiming::kBaudSwitchSettleMs);
    serial->clearQueues();
    serial->setBaudRate(baudRate);
    serial->clearQueues();
    serial->sendData(kVersionLine);
    QString model;
    return getVersion(model);
}

bool chipCommand::downloadRamCode(uint32_t address, const QString &filePath, uint32_t &code)
{
    if (!serial)
        return false;
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "can not open ram file." << filePath;
        return false;
    }
    return downloadRamCode(address, file.readAll(), code);
}

bool chipCommand::downloadRamCode(uint32_t address, const QByteArray &bytes, uint32_t &code)
{
    if (!serial)
        return false;
    // The ROM would wait for blocks that never come.
    if (bytes.isEmpty()) {
        code = resultCode::kTransferEmptyFile;
        return false;
    }

    QByteArray line = "download [rambin] [] []" + kLineEnd;
    line.insert(line.indexOf('[', 13) + 1, hex(address));
    line.insert(line.lastIndexOf('[') + 1, QByteArray::number(bytes.size()));
    sendLine(line, true);
    ymodem->chunkSize = kRamCodeBlock;
    ymodem->blockSize = kRamCodeBlock;
    code = ymodem->sendBytes(bytes, serial);
    transferOpen = code == resultCode::kTransferStopped;
    if (code != resultCode::kTransferDone)
        return false;
    // The boot ROM jumps into the code it took, at the speed it took it.
    chipPlace = ChipPlace::RamCode;
    return true;
}

bool chipCommand::raiseBootSpeed(uint32_t baudRate)
{
    sendLine(bootBaudLine(baudRate));
    switchingBaud = baudRate;
    // The ROM's settling starts when the line has crossed.
    serial->lineCarried();
    delayMs(linkTiming::kFastLoadSettleMs);
    serial->setBaudRate(baudRate);
    QString model;
    for (int i = 0; i < linkTiming::kFastLoadProbes && (i == 0 || mayRetry()); ++i) {
        if (probeVersion(model) && chipPlace == ChipPlace::BootRom)
            return true;
    }
    if (!mayRetry())
        return false;
    note(QStringLiteral("芯片未在%1波特率下应答，改用115200波特率加载RAM代码").arg(baudRate));
    // A ROM that ignored the line still listens at its own speed.
    serial->setBaudRate(kBootRomBaud);
    for (int i = 0; i < linkTiming::kIdentifyTries && mayRetry(); ++i) {
        if (probeVersion(model) && chipPlace == ChipPlace::BootRom)
            return true;
    }
    return false;
}

bool chipCommand::lowerBootSpeed()
{
    note(QStringLiteral("以%1波特率加载RAM代码失败，改用115200波特率重试").arg(chipBaud));
    // The line end closes whatever the ROM took for a command after the
    // sender's cancel.
    sendLine(kLineEnd + bootBaudLine(kBootRomBaud));
    switchingBaud = kBootRomBaud;
    serial->lineCarried();
    delayMs(linkTiming::kFastLoadSettleMs);
    serial->setBaudRate(kBootRomBaud);
    QString model;
    for (int i = 0; i < linkTiming::kFastLoadProbes && mayRetry(); ++i) {
        if (probeVersion(model) && chipPlace == ChipPlace::BootRom)
            return true;
    }
    return false;
}

void chipCommand::note(const QString &text)
{
    qDebug().noquote() << text;
    if (noteLine)
        noteLine(text);
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

void chipCommand::enterPhase(runPhase next)
{
    if (phaseNow != runPhase::Count)
        phaseNs[static_cast<size_t>(phaseNow)] += phaseClock.nsecsElapsed();
    phaseClock.restart();
    phaseNow = next;
}

bool chipCommand::mayRetry() const
{
    return serial && serial->isOpen() && !stop.halts();
}

uint32_t chipCommand::programFlash(uint32_t burnBaudRate, const QList<uint32_t> &startAddrs, const QStringList &files,
                                   int eraseAll, bool highSpeed)
{
    if (!serial)
        return resultCode::kNoChipInfo;
    // Nothing touches the chip before the request is known to be whole: a
    // file without its address would otherwise land somewhere, and an image
    // that cannot be sent would fail only after the RAM-code load.
    uint32_t code = resultCode::kSuccess;
    int failed = -1;
    const firmwareImageSet images = loadFirmwareImages(files, startAddrs, code, failed);
    if (!images)
        return code;
    return programFlash(burnBaudRate, images, eraseAll, highSpeed);
}

uint32_t chipCommand::programFlash(uint32_t burnBaudRate, const firmwareImageSet &images, int eraseAll,
                                   bool highSpeed)
{
    const uint32_t code = runProgram(burnBaudRate, images, eraseAll, highSpeed);
    // A stop cuts short whatever wait it meets (a probe, a reply, an erase);
    // the step that then fails did not fail for the chip's sake.
    if (code != resultCode::kSuccess && stop.halts())
        return (code & ~resultCode::kTransferMask) | resultCode::kTransferStopped;
    return code;
}

uint32_t chipCommand::findBootRom(QString &model)
{
    // A boot ROM whose receive lost its sender (a host killed during the
    // RAM-code load) takes nothing but the sender's cancel; the line end
    // closes whatever it then takes for a command line.
    serial->sendData(QByteArray(kCancelLength, kCan) + kLineEnd);
    bool found = false;
    for (int i = 0; i < linkTiming::kIdentifyTries && !found && (i == 0 || mayRetry()); ++i)
        found = probeVersion(model);
    if (!found)
        return resultCode::kNoChipInfo;
    if (!model.contains(QLatin1String(kRamCodeMarker)))
        return resultCode::kSuccess;
    // A RAM code that an earlier run left behind (it failed, or its host
    // was killed): its reboot brings the boot ROM back, once.
    sendLine("reboot" + kLineEnd);
    chipPlace = ChipPlace::Unknown;
    for (int i = 0; i < linkTiming::kIdentifyTries && mayRetry(); ++i) {
        model.clear();
        if (probeVersion(model) && chipPlace == ChipPlace::BootRom)
            return resultCode::kSuccess;
        // A RAM code still answering has not taken the reboot yet; its
        // answer came at once, so the probe's pace is kept here.
        if (chipPlace == ChipPlace::RamCode)
            serial->waitForBytes(static_cast<int>(linkTiming::kProbePolls * linkTiming::kReplyPollMs));
    }
    return resultCode::kNoChipInfo;
}

uint32_t chipCommand::runProgram(uint32_t burnBaudRate, const firmwareImageSet &images, int eraseAll,
                                 bool highSpeed)
{
    using namespace resultCode;
    startedFiles = 0;
    if (!serial)
        return kNoChipInfo;
    if (!images)
        return kAddressListMismatch;

    phaseNs.fill(0);
    phaseNow = runPhase::Count;
    enterPhase(runPhase::Probe);
    struct phaseCloser {
        chipCommand *command;
        ~phaseCloser() { command->enterPhase(runPhase::Count); }
    } closer{this};

    chipModel.clear();
    flashSize = 0;
    ramLoadWay = ramLoad::Standard;
    ramCodeFile.clear();
    ramCodeSha256.clear();
    romBuild.clear();
    imageBaud = 0;
    QString model;
    const uint32_t identified = findBootRom(model);
    if (identified != kSuccess)
        return identified;
    chipModel = model;
    romBuild = bootRomLine;
    // Before the RAM code: a chip of the wrong model must leave with its
    // flash as it came.
    if (!allowedModels.isEmpty() && !allowedModels.contains(model))
        return kChipModelMismatch;

    setStep(0.0f);
    // The RAM code crawls at 115200 unless the boot ROM is raised first; it
    // starts at the speed the ROM had, often the burn speed itself.
    const uint32_t loadBaud = qMin(burnBaudRate, linkTiming::kFastLoadMaxBaud);
    if (fastLoad && loadBaud > kBootRomBaud) {
        enterPhase(runPhase::SpeedChange);
        if (!raiseBootSpeed(loadBaud))
            return kRamCodeFailed | (stop.halts() ? kTransferStopped : 0);
    }
    enterPhase(runPhase::RamLoad);
    // Read once: the bytes sent are the bytes the record's hash names.
    const QString ramCode = chipInfo::ramCodePath(model, highSpeed);
    QFile ramFile(ramCode);
    if (!ramFile.open(QIODevice::ReadOnly)) {
        qDebug() << "can not open ram file." << ramCode;
        return kRamCodeFailed;
    }
    const QByteArray ramBytes = ramFile.readAll();
    ramFile.close();
    ramCodeFile = QFileInfo(ramCode).fileName();
    ramCodeSha256 = QCryptographicHash::hash(ramBytes, QCryptographicHash::Sha256).toHex();
    uint32_t transfer = 0;
    bool loaded = false;
    for (int attempt = 0; attempt < kAttempts && !loaded && (attempt == 0 || mayRetry()); ++attempt) {
        // A load that failed at the raised speed is tried again at the
        // ROM's own, so that the option never costs a chip.
        if (attempt > 0 && chipBaud != kBootRomBaud && !lowerBootSpeed())
            break;
        transfer = 0;
        loaded = downloadRamCode(kRamLoadAddress, ramBytes, transfer);
    }
    if (fastLoad && loadBaud > kBootRomBaud)
        ramLoadWay = chipBaud == kBootRomBaud ? ramLoad::FellBack : ramLoad::Raised;
    if (!loaded)
        return kRamCodeFailed | transfer;

    setStep(1.0f);
    model.clear();
    bool found = false;
    for (int i = 0; i < linkTiming::kIdentifyTries && !found && mayRetry(); ++i)
        found = probeVersion(model);
    if (!model.contains(QLatin1String(kRamCodeMarker)))
        return kRamCodeFailed;

    enterPhase(runPhase::Identity);
    QString id;
    getFlashInfo(id);
    flashId = id;
    QString uid;
    getFlashUid(uid);
    flashUid = uid;

    // A flash part ignores the address bits above its size: a write past
    // its end is acknowledged and lands at the start, or nowhere.
    if (imagePlan::check(planOf(images), flashSize).kind == imagePlan::fault::pastFlash)
        return kImageExceedsFlash;

    enterPhase(runPhase::SpeedChange);
    // A RAM code that has just answered at the burn speed is there already.
    if (chipBaud != burnBaudRate && !setBurnBaudRate(burnBaudRate)
        && !(mayRetry() && setBurnBaudRate(burnBaudRate)))
        return kBaudRateFailed;

    enterPhase(runPhase::Transfer);
    if (!images->isEmpty())
        imageBaud = static_cast<uint32_t>(serial->port->baudRate());
    // Only a refusal is worth a second "ferase_all": a chip that has not
    // answered may still be erasing, and the line would land in the middle.
    if (eraseAll == 1 && !eraseChip() && !(lastVerdict == Verdict::Fail && mayRetry() && eraseChip()))
        return kEraseFailed;

    const int count = images->size();
    for (int k = 0; k < count; ++k) {
        const uint32_t address = images->at(k).address;
        if (!setStartAddr(address) && !(mayRetry() && setStartAddr(address)))
            return kEraseFailed;
        bool written = false;
        startedFiles = k + 1;
        for (int attempt = 0; attempt < kAttempts && !written && (attempt == 0 || mayRetry()); ++attempt)
            written = upgradeImage(images->at(k).bytes, transfer);
        if (!written)
            return kFlashWriteFailed | (transfer & kTransferMask);
        setStep(done.load() + 1.0f);
    }

    setStep(static_cast<float>(count + 1));
    enterPhase(runPhase::End);
    uint32_t reported = 0;
    const bool counted = getFileCount(reported) || (mayRetry() && getFileCount(reported));
    if (counted && reported == static_cast<uint32_t>(count))
        return kSuccess;
    return kFileCountWrong;
}

bool chipCommand::chipAwayFromRom() const
{
    return chipPlace == ChipPlace::RamCode || transferOpen || eraseRunning;
}

bool chipCommand::bootRomAnswers(const QDeadlineTimer &deadline)
{
    while (!deadline.hasExpired() && serial->isOpen()) {
        QString model;
        if (probeVersion(model) && chipPlace == ChipPlace::BootRom)
            return true;
        // A RAM code that still answers has not taken the reboot (yet).
        if (chipPlace == ChipPlace::RamCode)
            serial->waitForBytes(linkTiming::kReplyPollMs);
    }
    return false;
}

bool chipCommand::rebootAfterStop()
{
    // Bringing the chip back gives way only to an abandon.
    const haltLevelScope recovering(stop, stopRequest::abandon);
    if (!serial)
        return false;
    // The notice of a lost device may still wait in this thread's queue;
    // carried out now, it cannot close the port halfway through the reboot.
    QCoreApplication::sendPostedEvents(serial, QEvent::MetaCall);
    if (!serial->isOpen()) {
        if (serial->portLost() || !serial->openPort(serial->portName(), chipBaud))
            return false;
        if (switchingBaud)
            serial->setBaudRate(switchingBaud);
        // An erase's marker that came while the port was closed is gone;
        // waiting for it would only hold the stop up.
        eraseRunning = false;
    }

    // What was sent before the stop is still on its way; at most one full
    // block of it, plus the few bytes that follow.
    const auto lineTimeMs = [](uint32_t baud) {
        return linkTiming::wireTimeMs(kFlashBlock + linkTiming::kYmodemFraming + 64, baud);
    };
    const auto drain = [&](uint32_t baud) {
        const QDeadlineTimer limit(2 * lineTimeMs(baud) + linkTiming::kRebootAnswerMs, Qt::PreciseTimer);
        while (serial->pendingOutput() > 0 && !limit.hasExpired())
            delayMs(linkTiming::kPollPeriodMs);
        delayMs(linkTiming::kBaudSwitchSettleMs);
    };

    const uint32_t heardAt = static_cast<uint32_t>(serial->port->baudRate());
    if (transferOpen) {
        // The receiver lets go of a transfer at the sender's cancel; the line
        // end closes whatever it then takes for a command line.
        serial->sendData(QByteArray(kCancelLength, kCan) + kLineEnd);
        transferOpen = false;
    }
    if (eraseRunning) {
        // The chip listens again once its erase is done.
        const int64_t left = qMax<int64_t>(0, eraseBusy.remainingTime());
        pollVerdict(serial, pollsFor(left), [](const QByteArray &rx) {
            return rx.contains(kPassMarker) || rx.contains(kFailMarker) ? Poll::Pass : Poll::Waiting;
        }, &stop);
        eraseRunning = false;
    }

    QList<uint32_t> speeds;
    if (chipPlace == ChipPlace::RamCode || chipPlace == ChipPlace::BootRom) {
        // A speed change the chip took but never confirmed is the likelier.
        if (switchingBaud)
            speeds << switchingBaud;
        if (!speeds.contains(chipBaud))
            speeds << chipBaud;
        // A boot ROM raised for the fast load has no reboot, but it takes
        // the boot baudrate line back to its own speed; at that speed
        // already, it needs nothing.
        if (chipPlace == ChipPlace::BootRom)
            speeds.removeAll(kBootRomBaud);
    }
    const QByteArray back = chipPlace == ChipPlace::RamCode ? "reboot" + kLineEnd : bootBaudLine(kBootRomBaud);
    bool first = true;
    for (uint32_t speed : speeds) {
        if (static_cast<uint32_t>(serial->port->baudRate()) != speed) {
            drain(heardAt);
            serial->setBaudRate(speed);
        }
        // After an attempt at another speed the chip may hold a garbled line.
        serial->sendData((first ? QByteArray() : kLineEnd) + back);
        first = false;
        drain(speed);
        serial->setBaudRate(kBootRomBaud);
        serial->rxBuffer.clear();
        // As a port freshly opened at the boot ROM's speed.
        serial->waitCount = linkTiming::kBudgetMidLine;
        if (bootRomAnswers(QDeadlineTimer(lineTimeMs(speed) + linkTiming::kRebootAnswerMs, Qt::PreciseTimer)))
            return true;
        if (!serial->isOpen())
            return false;
    }
    if (!speeds.isEmpty())
        return false;

    // Still in the boot ROM (or nowhere known): only the host changes speed.
    if (static_cast<uint32_t>(serial->port->baudRate()) != kBootRomBaud) {
        drain(heardAt);
        serial->setBaudRate(kBootRomBaud);
    }
    serial->waitCount = linkTiming::kBudgetMidLine;
    return bootRomAnswers(QDeadlineTimer(lineTimeMs(heardAt) + linkTiming::kRebootAnswerMs, Qt::PreciseTimer));
}
