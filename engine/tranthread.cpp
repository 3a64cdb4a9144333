#include "tranthread.h"

#include "bootpulse.h"
#include "chipcommand.h"
#include "resultcodes.h"
#include "serial.h"
#include "ymodemsender.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>

using namespace jobStatus;

namespace {
// The boot ROM listens at this speed after every reset.
constexpr uint32_t kBootBaud = 115200;
// How often the job looks whether the window has acknowledged a result.
constexpr int kAckPollMs = 10;
// A fixture's DSR is sampled this often; a press must still hold a second
// sample this much later, so that a bouncing contact is not a new chip.
constexpr int kDsrSampleMs = 50;
constexpr int kDsrConfirmMs = 20;
// A finished job keeps its port (and its panel's DSR label) until stopped,
// looking at the stop flag this often.
constexpr int kLingerMs = 200;
// A station whose device vanished looks for it again this often.
constexpr int kReopenMs = 500;
// The DSR label follows the fixture while a job waits for its
// acknowledgement, at the pace the window polls.
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
} // namespace

tranThread::tranThread()
    : cmd(new chipCommand)
{
    cmd->done = 0.0f;
    cmd->ymodem->fraction = 0.0f;
    cmd->noteLine = [this](const QString &text) { log(text); };
}

tranThread::~tranThread()
{
    if (isRunning()) {
        setStopFlag(true);
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
    recoverFlag = false;
    setStopFlag(false);
}

void tranThread::setStopFlag(bool on)
{
    stopFlag = on;
    cmd->stopFlag = on;
    cmd->ymodem->stopFlag = on;
}

void tranThread::stopAndRecover()
{
    // Raised first: a job that sees the stop must also see what kind it is.
    recoverFlag = true;
    setStopFlag(true);
}

void tranThread::stop()
{
    // Flags first: a transfer that sees its port closed before the flags
    // would end as a line fault (0xE0) instead of an operator's stop (0xE8).
    setStopFlag(true);
    if (serial)
        serial->closePort();
}

uint32_t tranThread::getProcess()
{
    const float share = cmd->progress() / static_cast<float>(stepCount.load(std::memory_order_relaxed)) * 100.0f;
    return share > 0.0f ? static_cast<uint32_t>(share) : 0u;
}

void tranThread::log(const QString &text)
{
    emit tranThreadLogSingal(QLatin1Char('[') + portName + QLatin1Char(']') + text);
}

void tranThread::run()
{
    // The abort flags are lowered by setConfig, not here: a stop the window
    // sends between start() and the thread's first step must not be lost.
    status = kIdle;
    lingerFlag = false;
    cmd->done = 0.0f;
    cmd->ymodem->fraction = 0.0f;
    if (stopFlag) {
        linger();
        return;
    }
    if (eraseFlag) {
        stepCount = 1;
        eraseJob();
    } else {
        stepCount = filePaths.size() + 1;
        downloadJob();
    }
    linger();
}

bool tranThread::openLink()
{
    if (serial) {
        serial->closePort();
        delete serial;
    }
    serial = new Serial;
    if (!serial->openPort(portName, kBootBaud))
        return false;
    linkOpen = true;
    modemLines = serial->hasModemLines();
    // Adapters without wired DTR/RTS/DSR (and bare pseudo-terminals) cannot
    // pulse or sense; say so once and do the rest of the job.
    if (!modemLines) {
        if (bootFlag)
            log(QStringLiteral("串口不支持DTR/RTS控制，BOOT控制无效，请手动使芯片进入下载模式！"));
        if (continueFlag && !eraseFlag)
            log(QStringLiteral("串口不支持DSR检测，无法检测治具下压，换片后请重新开始烧录！"));
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
    return cmd->programFlash(baudRate, images, eraseBeforeWrite ? kEraseWholeChip : kKeepFlash, highFlag);
}

void tranThread::downloadJob()
{
    if (!images) {
        uint32_t code = resultCode::kSuccess;
        int failed = -1;
        images = loadFirmwareImages(filePaths, fileAddrs, code, failed);
        if (!images) {
            log(QStringLiteral("下载失败，错误代码为：0x") + hex(code) + QLatin1Char(',')
                + resultText(code & ~resultCode::kTransferMask));
            return publish(kFailed, code, resultText(code & ~resultCode::kTransferMask) + QLatin1Char('/')
                                              + resultText(code & resultCode::kTransferMask), 0.0);
        }
    }
    if (!openLink()) {
        return portOpenFailed();
    }
    cmd->setSerial(serial);
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
        enterBootRom();
        status = kBusy;
        firstAttemptCode = 0;
        uint32_t code = programOnce();
        // A stop is not a chip failure: retrying would only bury its code.
        if (code != resultCode::kSuccess && bootFlag && !stopFlag) {
            firstAttemptCode = code;
            serial->setBaudRate(kBootBaud);
            if (modemLines)
                runPulse(serial, kBootRetryPulse);
            code = programOnce();
        }
        const double seconds = clock.nsecsElapsed() / 1e9;
        log(cmd->flashId.isEmpty() ? QStringLiteral("未读取到Flash ID") : QStringLiteral("Flash ID:") + cmd->flashId);
        log(cmd->flashUid.isEmpty() ? QStringLiteral("未读取到Flash UID")
                                    : QStringLiteral("Flash UID:") + cmd->flashUid);
        if (code != resultCode::kSuccess) {
            const uint32_t stage = code & ~resultCode::kTransferMask;
            const uint32_t transfer = code & resultCode::kTransferMask;
            QString text = resultText(stage);
            log(QStringLiteral("下载失败，错误代码为：0x") + hex(code) + QLatin1Char(',') + resultText(stage));
            if (transfer != 0) {
                log(QStringLiteral("传输文件时失败，错误代码为：0x") + hex(transfer) + QLatin1Char(',')
                    + resultText(transfer));
                text += QLatin1Char('/') + resultText(transfer);
            }
            publish(kFailed, code, text, seconds);
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
        // The window counts the chip while it reads kSucceeded; moving on only
        // after its acknowledgement keeps a continuous line from counting a
        // chip twice, or not at all when the next one comes quickly.
        if (!waitWhileStatus(kSucceeded))
            return;
        if (!continueFlag) {
            status = kFinished;
            return;
        }
        if (!nextChip())
            return;
    }
}

bool tranThread::nextChip()
{
    log(QStringLiteral("正在检测新芯片..."));
    status = kWaitingChip;
    for (;;) {
        if (stopFlag)
            return false;
        // A device that vanished brings no chip until it is back; the chip
        // the station had is reported already, and no other is invented.
        if (!serial->isOpen() && !waitForPortBack())
            return false;
        if (waitForNextChip())
            break;
        if (stopFlag)
            return false;
    }
    serial->setBaudRate(kBootBaud);
    log(QStringLiteral("已检测到新芯片！"));
    cmd->done = 0.0f;
    cmd->ymodem->fraction = 0.0f;
    return true;
}

bool tranThread::nextChipAfterFailure()
{
    if (!continueFlag || !continueAfterFailure || stopFlag)
        return false;
    return waitWhileStatus(kFailed) && nextChip();
}

bool tranThread::waitForPortBack()
{
    linkOpen = false;
    dsrLevel = false;
    log(QStringLiteral("串口已断开，等待串口重新连接..."));
    for (;;) {
        for (int waited = 0; waited < kReopenMs; waited += kDsrSampleMs) {
            if (stopFlag)
                return false;
            sleepMs(kDsrSampleMs);
        }
        if (openLink()) {
            cmd->setSerial(serial);
            // A lever found open is the release the next chip needs. It is
            // taken before the line below, so that whoever presses the next
            // chip on seeing it is not asked to release first.
            if (!sampleDsr()) {
                sleepMs(kDsrConfirmMs);
                if (!sampleDsr())
                    releasedSinceChip = true;
            }
            log(QStringLiteral("串口已重新连接！"));
            return true;
        }
    }
}

void tranThread::bringChipBack()
{
    const bool stopped = stopFlag;
    // The window's stop leaves the chip as it is; so does a lost device. A
    // fixture with BOOT control resets every chip on its own.
    if ((stopped && !recoverFlag) || (!stopped && bootFlag && modemLines) || portGone() || !serial->isOpen())
        return;
    if (!cmd->chipAwayFromRom()) {
        if (stopped)
            log(QStringLiteral("烧录已停止。"));
        return;
    }
    // The chip may sit in its RAM code at the burn speed, or in the middle of
    // a transfer or an erase; left there, every later run on it fails until
    // someone resets it by hand.
    if (cmd->erasing())
        log(QStringLiteral("芯片仍在擦除，擦除结束后重启芯片..."));
    const bool back = cmd->rebootAfterStop();
    if (stopped)
        log(back ? QStringLiteral("烧录已停止，芯片已重启。")
                 : QStringLiteral("烧录已停止，芯片未能重启，请手动复位芯片！"));
    else
        log(back ? QStringLiteral("芯片已重启，回到下载模式。") : QStringLiteral("芯片未能重启，请手动复位芯片！"));
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
    status = kBusy;
    filePaths.clear();
    fileAddrs.clear();
    const uint32_t code = cmd->programFlash(kBootBaud, firmwareImageSet::create(), kEraseWholeChip, false);
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (code != resultCode::kSuccess) {
        log(QStringLiteral("擦除失败，错误代码为：0x") + hex(code) + QLatin1Char(',') + resultText(code));
        publish(kFailed, code, resultText(code), seconds);
        return;
    }
    if (!resetChip(seconds))
        return;
    publish(kFinished, resultCode::kSuccess, QStringLiteral("擦除成功！"), seconds);
    if (waitWhileStatus(kFinished))
        stopFlag = true;
}

void tranThread::portOpenFailed()
{
    cmd->flashId.clear();
    cmd->flashUid.clear();
    cmd->chipModel.clear();
    if (serial) {
        for (const QString &why : serial->openProblem())
            log(why);
    }
    log(QStringLiteral("串口打开失败！"));
    publish(kFailed, resultCode::kPortOpenFailed, resultText(resultCode::kPortOpenFailed), 0.0);
}

bool tranThread::resetChip(double seconds)
{
    // The reset comes before the result is published, so that a chip is
    // reported once, as a success or as a failure, never as both.
    if (!resetFlag || cmd->rebootChip())
        return true;
    log(QStringLiteral("复位失败！"));
    publish(kFailed, resultCode::kSuccess, QStringLiteral("复位失败！"), seconds);
    return false;
}

void tranThread::publish(int result, uint32_t code, const QString &text, double seconds)
{
    releasedSinceChip = false;
    chipRecord r;
    r.finished = QDateTime::currentDateTime();
    r.portName = portName;
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
    lastRecord = r;
    // Releasing the status publishes the record with it.
    status.store(result, std::memory_order_release);
}

qint64 tranThread::bytesAcknowledged() const
{
    if (!images)
        return 0;
    // done counts the RAM code as one step and every written image as one
    // more; the sender's fraction is the share of the image in flight.
    const int written = qBound(0, static_cast<int>(cmd->done.load()) - 1, images->size());
    qint64 bytes = 0;
    for (int i = 0; i < written; ++i)
        bytes += images->at(i).bytes.size();
    if (written < images->size())
        bytes += static_cast<qint64>(cmd->ymodem->fraction.load() * images->at(written).bytes.size());
    return bytes;
}

bool tranThread::waitWhileStatus(int value)
{
    for (int tick = 0; status.load() == value; ++tick) {
        if (stopFlag)
            return false;
        sleepMs(kAckPollMs);
        if (tick % kDsrLabelTicks == 0)
            sampleDsr();
    }
    return !stopFlag;
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
        if (!told) {
            log(QStringLiteral("请松开治具，松开后再压下新芯片"));
            told = true;
        }
        if (!serial->isOpen() || stopFlag)
            return false;
        sleepMs(kDsrSampleMs);
    }
    for (;;) {
        if (sampleDsr()) {
            sleepMs(kDsrConfirmMs);
            if (sampleDsr())
                return true;
        }
        if (!serial->isOpen() || stopFlag)
            return false;
        sleepMs(kDsrSampleMs);
    }
}

bool tranThread::sampleDsr()
{
    // The link's own events (a vanished device closing the port, a close
    // handed over by stop()) are taken while the job waits.
    QCoreApplication::processEvents();
    const bool open = serial && serial->isOpen();
    const bool level = open && modemLines && serial->dsr();
    linkOpen.store(open, std::memory_order_relaxed);
    dsrLevel.store(level, std::memory_order_relaxed);
    return level;
}

void tranThread::linger()
{
    lingerFlag = true;
    do {
        sleepMs(kLingerMs);
        sampleDsr();
    } while (!stopFlag);
    if (serial)
        serial->closePort();
    linkOpen = false;
    dsrLevel = false;
    setStopFlag(true);
}
