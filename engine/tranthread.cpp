#include "tranthread.h"

#include "bootpulse.h"
#include "chipcommand.h"
#include "resultcodes.h"
#include "serial.h"
#include "ymodemsender.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QUuid>

using namespace jobStatus;

namespace {
// The boot ROM listens at this speed after every reset.
constexpr uint32_t kBootBaud = 115200;
// How often the job looks whether its controller has acknowledged a result
// (a stop request wakes the wait at once).
constexpr int kAckPollMs = 10;
// A fixture's DSR is sampled this often; a press must still hold a second
// sample this much later, so that a bouncing contact is not a new chip.
constexpr int kDsrSampleMs = 50;
constexpr int kDsrConfirmMs = 20;
// A station whose device vanished looks for it again this often.
constexpr int kReopenMs = 500;
// The DSR label follows the fixture while a job waits for its
// acknowledgement, at the pace a controller polls.
constexpr int kDsrLabelTicks = kDsrSampleMs / kAckPollMs;
// programFlash's erase argument: 1 erases the whole chip first.
constexpr int kEraseWholeChip = 1;
constexpr int kKeepFlash = 2;

QString hex(uint32_t value)
{
    return QString::number(value, 16);
}

void sleepMs(int ms)
{
    QThread::msleep(static_cast<unsigned long>(ms));
}

const bool kLineKindRegistered = [] {
    qRegisterMetaType<lineKind>("lineKind");
    return true;
}();
} // namespace

tranThread::tranThread()
    : cmd(new chipCommand)
{
    cmd->done = 0.0f;
    cmd->ymodem->fraction = 0.0f;
    cmd->noteLine = [this](const QString &text) { log(lineKind::warning, text); };
}

tranThread::~tranThread()
{
    if (isRunning()) {
        abandon();
        wait();
    }
    // A job that never ran has no link to close.
    if (serial) {
        serial->closePort();
        delete serial;
    }
    delete cmd;
}

void tranThread::setConfig(const QString &port, const QStringList &paths, const QList<uint32_t> &addrs, bool high,
                           bool reset, bool continuous, bool boot, uint32_t baud)
{
    portName = port;
    filePaths = paths;
    fileAddrs = addrs;
    highFlag = high;
    resetFlag = reset;
    continueFlag = continuous;
    bootFlag = boot;
    baudRate = baud;
    stepCount = paths.size() + 1;
    // Images handed over for an earlier configuration are not these.
    images.reset();
    chipImages.reset();
    cmd->stop.clear();
}

void tranThread::release()
{
    cmd->stop.raise(stopRequest::release);
}

void tranThread::stop()
{
    cmd->stop.raise(stopRequest::stop);
}

void tranThread::abandon()
{
    cmd->stop.raise(stopRequest::abandon);
}

stopRequest::level tranThread::stopLevel() const
{
    return cmd->stop.raised();
}

bool tranThread::released() const
{
    return cmd->stop.atLeast(stopRequest::release);
}

uint32_t tranThread::getProcess()
{
    const float share = cmd->progress() / static_cast<float>(stepCount.load(std::memory_order_relaxed)) * 100.0f;
    return share > 0.0f ? static_cast<uint32_t>(share) : 0u;
}

void tranThread::log(lineKind kind, const QString &text)
{
    emit jobLine(kind, text);
}

void tranThread::setStatus(int value)
{
    // Releasing the status publishes the record with it.
    status.store(value, std::memory_order_release);
    emit statusChanged();
}

void tranThread::run()
{
    // The stop request is cleared by setConfig, not here: a stop sent
    // between start() and the thread's first step must not be lost. A job
    // stopped that early still meets its chip's probe, which ends at once
    // with the stop code, so that the chip it was started for is reported.
    status = kIdle;
    cmd->done = 0.0f;
    cmd->ymodem->fraction = 0.0f;
    if (eraseFlag) {
        stepCount = 1;
        eraseJob();
    } else {
        stepCount = filePaths.size() + 1 + (serials ? 1 : 0);
        downloadJob();
    }
    if (serial)
        serial->closePort();
    linkOpen = false;
    dsrLevel = false;
}

bool tranThread::openLink()
{
    if (serial) {
        serial->closePort();
        delete serial;
    }
    serial = new Serial;
    // Before the open, so that a refused port is recorded where it is too.
    place = placeOfPort(portName);
    if (!serial->openPort(portName, kBootBaud))
        return false;
    linkOpen = true;
    modemLines = serial->hasModemLines();
    // Adapters without wired DTR/RTS/DSR (and bare pseudo-terminals) cannot
    // pulse or sense; say so once and do the rest of the job.
    if (!modemLines) {
        if (bootFlag)
            log(lineKind::warning, QStringLiteral("串口不支持DTR/RTS控制，BOOT控制无效，请手动使芯片进入下载模式！"));
        if (continueFlag && !eraseFlag)
            log(lineKind::warning, QStringLiteral("串口不支持DSR检测，无法检测治具下压，换片后请重新开始烧录！"));
    }
    return true;
}

void tranThread::enterBootRom()
{
    if (bootFlag && modemLines)
        runPulse(serial, kBootEntryPulse);
}

uint32_t tranThread::programOnce()
{
    cmd->fastLoad = fastLoad;
    cmd->allowedModels = models;
    const uint32_t code =
        cmd->programFlash(baudRate, chipImages, eraseBeforeWrite ? kEraseWholeChip : kKeepFlash, highFlag);
    // The value is the last file: once its exchange has begun it may be in
    // the chip, whatever the run comes to.
    valueSent = valueSent || (chipValue.granted && cmd->filesStarted() > images->size());
    return code;
}

bool tranThread::takeSerial()
{
    chipImages = images;
    chipValue = chipSerial();
    valueSent = false;
    if (!serials)
        return true;
    chipValue = serials->reserve(station);
    if (!chipValue.granted) {
        if (!chipValue.detail.isEmpty())
            log(lineKind::error, chipValue.detail);
        publishFailure(chipValue.refusal, 0.0);
        return false;
    }
    log(lineKind::progress, QStringLiteral("序列号：%1（写入地址 0x%2）").arg(chipValue.text, hex(chipValue.address)));
    QVector<firmwareImage> withValue = *images;
    firmwareImage value;
    value.fileName = QStringLiteral("序列号");
    value.address = chipValue.address;
    value.bytes = chipValue.bytes;
    value.sha256 = QCryptographicHash::hash(value.bytes, QCryptographicHash::Sha256).toHex();
    withValue.append(value);
    chipImages = firmwareImageSet::create(std::move(withValue));
    return true;
}

void tranThread::settleSerial(int result, chipRecord &record)
{
    if (!chipValue.granted)
        return;
    const serialUse use = result == kSucceeded ? serialUse::used : valueSent ? serialUse::voided : serialUse::returned;
    if (!serials->settle(chipValue, use, record.rowId, record.flashUid))
        log(lineKind::warning, QStringLiteral("序列号 %1 的结果无法写入数据库，该序列号保留不再使用").arg(chipValue.text));
    if (use == serialUse::voided)
        log(lineKind::warning, QStringLiteral("序列号 %1 已作废（可能已写入失败的芯片），不会再次使用").arg(chipValue.text));
    else if (use == serialUse::returned)
        log(lineKind::progress, QStringLiteral("序列号 %1 未写入芯片，已退回").arg(chipValue.text));
    if (use != serialUse::returned) {
        record.serial = chipValue.hex;
        record.serialNumber = chipValue.number;
        record.serialText = chipValue.text;
    }
    chipValue = chipSerial();
}

void tranThread::downloadJob()
{
    if (!images) {
        uint32_t code = resultCode::kSuccess;
        int failed = -1;
        images = loadFirmwareImages(filePaths, fileAddrs, code, failed);
        if (!images)
            return publishFailure(code, 0.0);
    }
    if (!openLink()) {
        return portOpenFailed();
    }
    cmd->setSerial(serial);
    if (!firstChip())
        return;
    for (;;) {
        // A chip that fails before it is identified must not be reported
        // with the identity of the chip before it.
        cmd->flashId.clear();
        cmd->flashUid.clear();
        if (!serial->isOpen()) {
            linkOpen = false;
            return portOpenFailed();
        }
        QElapsedTimer clock;
        clock.start();
        // Reserved and committed before the chip is touched.
        if (!takeSerial()) {
            if (!nextChipAfterFailure())
                return;
            continue;
        }
        enterBootRom();
        setStatus(kBusy);
        firstAttemptCode = 0;
        uint32_t code = programOnce();
        // A stop is not a chip failure: retrying would only bury its code;
        // nor does a retry change the model a chip is.
        if (code != resultCode::kSuccess && code != resultCode::kChipModelMismatch && bootFlag
            && !cmd->stop.halts()) {
            firstAttemptCode = code;
            serial->setBaudRate(kBootBaud);
            if (modemLines)
                runPulse(serial, kBootRetryPulse);
            code = programOnce();
        }
        const double seconds = clock.nsecsElapsed() / 1e9;
        log(lineKind::progress,
            cmd->flashId.isEmpty() ? QStringLiteral("未读取到Flash ID") : QStringLiteral("Flash ID:") + cmd->flashId);
        log(lineKind::progress, cmd->flashUid.isEmpty() ? QStringLiteral("未读取到Flash UID")
                                                        : QStringLiteral("Flash UID:") + cmd->flashUid);
        if (code != resultCode::kSuccess) {
            publishFailure(code, seconds);
            // After the result, so that a stop is reported at once even when
            // the chip takes long to come back (an erase it must finish).
            bringChipBack();
            if (!nextChipAfterFailure())
                return;
            continue;
        }
        if (!resetChip(seconds)) {
            if (!nextChipAfterFailure())
                return;
            continue;
        }
        publish(kSucceeded, resultCode::kSuccess, QStringLiteral("烧录成功！"), seconds);
        // The controller counts the chip while it reads kSucceeded; moving on
        // only after its acknowledgement keeps a continuous line from
        // counting a chip twice, or not at all when the next one comes
        // quickly.
        if (!waitWhileStatus(kSucceeded))
            return;
        if (!continueFlag) {
            setStatus(kFinished);
            return;
        }
        if (!nextChip())
            return;
    }
}

void tranThread::publishFailure(uint32_t code, double seconds)
{
    const uint32_t stage = code & ~resultCode::kTransferMask;
    const uint32_t transfer = code & resultCode::kTransferMask;
    QString text = resultText(stage);
    log(lineKind::error, QStringLiteral("下载失败，错误代码为：0x") + hex(code) + QLatin1Char(',') + resultText(stage));
    if (transfer != 0) {
        log(lineKind::error,
            QStringLiteral("传输文件时失败，错误代码为：0x") + hex(transfer) + QLatin1Char(',') + resultText(transfer));
        text += QLatin1Char('/') + resultText(transfer);
    }
    publish(kFailed, code, text, seconds);
}

bool tranThread::firstChip()
{
    if (!continueFlag || !modemLines)
        return true;
    // A lever already down holds a chip, which starts at once. A fixture
    // that is open holds none yet: the station waits for its lever like for
    // every later chip, instead of failing an empty socket.
    if (sampleDsr()) {
        sleepMs(kDsrConfirmMs);
        if (sampleDsr())
            return true;
    }
    releasedSinceChip = true;
    return nextChip();
}

bool tranThread::nextChip()
{
    log(lineKind::progress, QStringLiteral("正在检测新芯片..."));
    setStatus(kWaitingChip);
    for (;;) {
        if (released())
            return false;
        // A device that vanished brings no chip until it is back; the chip
        // the station had is reported already, and no other is invented.
        if (!serial->isOpen() && !waitForPortBack())
            return false;
        if (waitForNextChip())
            break;
        if (released())
            return false;
    }
    serial->setBaudRate(kBootBaud);
    log(lineKind::progress, QStringLiteral("已检测到新芯片！"));
    cmd->done = 0.0f;
    cmd->ymodem->fraction = 0.0f;
    return true;
}

bool tranThread::nextChipAfterFailure()
{
    if (!continueFlag || !continueAfterFailure || released())
        return false;
    return waitWhileStatus(kFailed) && nextChip();
}

bool tranThread::waitForPortBack()
{
    linkOpen = false;
    dsrLevel = false;
    log(lineKind::warning, QStringLiteral("串口已断开，等待串口重新连接..."));
    for (;;) {
        if (cmd->stop.sleepUnless(kReopenMs, stopRequest::release))
            return false;
        if (openLink()) {
            cmd->setSerial(serial);
            // A new device counts its own DSR transitions.
            dsrChangesAtChip = serial->dsrChanges();
            // A lever found open is the release the next chip needs. It is
            // taken before the line below, so that whoever presses the next
            // chip on seeing it is not asked to release first.
            if (!sampleDsr()) {
                sleepMs(kDsrConfirmMs);
                if (!sampleDsr())
                    releasedSinceChip = true;
            }
            log(lineKind::warning, QStringLiteral("串口已重新连接！"));
            return true;
        }
    }
}

void tranThread::bringChipBack()
{
    const stopRequest::level request = cmd->stop.raised();
    const bool stopped = request >= stopRequest::stop;
    // An abandon leaves the chip as it is; so does a lost device. A fixture
    // with BOOT control resets every chip on its own.
    if (request == stopRequest::abandon || (!stopped && bootFlag && modemLines) || portGone() || !serial->isOpen())
        return;
    if (!cmd->chipAwayFromRom()) {
        if (stopped)
            log(lineKind::warning, QStringLiteral("烧录已停止。"));
        return;
    }
    // The chip may sit in its RAM code at the burn speed, or in the middle of
    // a transfer or an erase; left there, every later run on it fails until
    // someone resets it by hand.
    if (cmd->erasing())
        log(lineKind::warning, QStringLiteral("芯片仍在擦除，擦除结束后重启芯片..."));
    const bool back = cmd->rebootAfterStop();
    if (stopped)
        log(lineKind::warning, back ? QStringLiteral("烧录已停止，芯片已重启。")
                                    : QStringLiteral("烧录已停止，芯片未能重启，请手动复位芯片！"));
    else
        log(lineKind::warning,
            back ? QStringLiteral("芯片已重启，回到下载模式。") : QStringLiteral("芯片未能重启，请手动复位芯片！"));
}

bool tranThread::portGone() const
{
    return serial && serial->portLost();
}

void tranThread::eraseJob()
{
    if (!openLink() || (cmd->setSerial(serial), !serial->isOpen())) {
        return portOpenFailed();
    }
    QElapsedTimer clock;
    clock.start();
    enterBootRom();
    setStatus(kBusy);
    filePaths.clear();
    fileAddrs.clear();
    const uint32_t code = cmd->programFlash(kBootBaud, firmwareImageSet::create(), kEraseWholeChip, false);
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (code != resultCode::kSuccess) {
        log(lineKind::error, QStringLiteral("擦除失败，错误代码为：0x") + hex(code) + QLatin1Char(',') + resultText(code));
        publish(kFailed, code, resultText(code), seconds);
        bringChipBack();
        return;
    }
    if (!resetChip(seconds))
        return;
    publish(kSucceeded, resultCode::kSuccess, QStringLiteral("擦除成功！"), seconds);
    waitWhileStatus(kSucceeded);
}

void tranThread::portOpenFailed()
{
    cmd->flashId.clear();
    cmd->flashUid.clear();
    cmd->chipModel.clear();
    if (serial) {
        for (const QString &why : serial->openProblem())
            log(lineKind::error, why);
    }
    log(lineKind::error, QStringLiteral("串口打开失败！"));
    publish(kFailed, resultCode::kPortOpenFailed, resultText(resultCode::kPortOpenFailed), 0.0);
}

bool tranThread::resetChip(double seconds)
{
    // The reset comes before the result is published, so that a chip is
    // reported once, as a success or as a failure, never as both.
    if (!resetFlag || cmd->rebootChip())
        return true;
    log(lineKind::error, QStringLiteral("复位失败！"));
    publish(kFailed, resultCode::kSuccess, QStringLiteral("复位失败！"), seconds);
    return false;
}

void tranThread::publish(int result, uint32_t code, const QString &text, double seconds)
{
    // A lever already open when the result comes has let the chip go: the
    // next press, however soon, is the next chip.
    releasedSinceChip = continueFlag && modemLines && serial && serial->isOpen() && !sampleDsr();
    dsrChangesAtChip = serial ? serial->dsrChanges() : -1;
    chipRecord r;
    r.finished = QDateTime::currentDateTime();
    r.portName = place.port.isEmpty() ? portName : place.port;
    r.socket = place.socket;
    r.model = cmd->chipModel;
    r.flashId = cmd->flashId;
    r.flashUid = cmd->flashUid;
    r.code = code;
    r.text = text;
    r.seconds = seconds;
    r.bytesWritten = eraseFlag ? 0 : bytesAcknowledged();
    for (const QString &path : filePaths)
        r.files << QFileInfo(path).fileName();
    r.erase = eraseFlag;
    r.portLost = portGone();
    if (!eraseFlag)
        r.images = factsOf(images);
    r.firstCode = firstAttemptCode;
    r.baudRate = eraseFlag ? kBootBaud : baudRate;
    r.highSpeed = highFlag && !eraseFlag;
    using load = chipCommand::ramLoad;
    r.fastLoad = cmd->ramLoadWay == load::Raised     ? QStringLiteral("used")
                 : cmd->ramLoadWay == load::FellBack ? QStringLiteral("fell-back")
                                                     : QStringLiteral("off");
    r.ramCodeFile = cmd->ramCodeFile;
    r.ramCodeSha256 = cmd->ramCodeSha256;
    r.flashSize = cmd->flashSize;
    r.romBuild = cmd->romBuild;
    r.imageBaud = cmd->imageBaud;
    r.eraseBeforeWrite = eraseBeforeWrite && !eraseFlag;
    r.boot = bootFlag;
    r.reset = resetFlag;
    r.dsrMode = continueFlag;
    r.rowId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    settleSerial(result, r);
    lastRecord = r;
    setStatus(result);
}

qint64 tranThread::bytesAcknowledged() const
{
    const firmwareImageSet &sent = chipImages ? chipImages : images;
    if (!sent)
        return 0;
    // done counts the RAM code as one step and every written image as one
    // more; the sender's fraction is the share of the image in flight.
    const int written = qBound(0, static_cast<int>(cmd->done.load()) - 1, sent->size());
    qint64 bytes = 0;
    for (int i = 0; i < written; ++i)
        bytes += sent->at(i).bytes.size();
    if (written < sent->size())
        bytes += static_cast<qint64>(cmd->ymodem->fraction.load() * sent->at(written).bytes.size());
    return bytes;
}

bool tranThread::waitWhileStatus(int value)
{
    for (int tick = 0; status.load() == value; ++tick) {
        if (cmd->stop.sleepUnless(kAckPollMs, stopRequest::release))
            return false;
        if (tick % kDsrLabelTicks == 0)
            sampleDsr();
    }
    return !released();
}

bool tranThread::leverSwappedSinceChip()
{
    // A lever let go and pressed again between two samples (a quick swap,
    // or samples delayed by a busy machine) shows only in the driver's
    // count of DSR transitions.
    if (dsrChangesAtChip < 0)
        return false;
    const qint64 now = serial->dsrChanges();
    return now >= dsrChangesAtChip + 2;
}

bool tranThread::waitForNextChip()
{
    // A lever still held down from the chip just done is that chip, not the
    // next: the next one needs a release and a new press, both confirmed. A
    // release seen before the port went away and came back still counts.
    bool told = false;
    while (!releasedSinceChip) {
        if (!sampleDsr()) {
            sleepMs(kDsrConfirmMs);
            if (!sampleDsr()) {
                releasedSinceChip = true;
                break;
            }
        }
        if (leverSwappedSinceChip()) {
            releasedSinceChip = true;
            break;
        }
        if (!told) {
            log(lineKind::warning, QStringLiteral("请松开治具，松开后再压下新芯片"));
            told = true;
        }
        if (!serial->isOpen() || cmd->stop.sleepUnless(kDsrSampleMs, stopRequest::release))
            return false;
    }
    for (;;) {
        if (sampleDsr()) {
            sleepMs(kDsrConfirmMs);
            if (sampleDsr())
                return true;
        }
        if (!serial->isOpen() || cmd->stop.sleepUnless(kDsrSampleMs, stopRequest::release))
            return false;
    }
}

bool tranThread::sampleDsr()
{
    // The link's own events (a vanished device closing the port) are taken
    // while the job waits.
    QCoreApplication::processEvents();
    const bool open = serial && serial->isOpen();
    const bool level = open && modemLines && serial->dsr();
    linkOpen.store(open, std::memory_order_relaxed);
    dsrLevel.store(level, std::memory_order_relaxed);
    return level;
}
