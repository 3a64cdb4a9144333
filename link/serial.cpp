#include "serial.h"

#include "linktiming.h"
#include "portlist.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QEventLoop>
#include <QFileInfo>
#include <QSerialPort>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

namespace {
std::atomic<WaitStyle> waitStyle{WaitStyle::Sleep};
}

void setWaitStyle(WaitStyle style)
{
    waitStyle = style;
}

namespace {
// Sleeps in the thread's event dispatcher until the deadline or until
// `finished` says so; every event that arrives meanwhile is handled.
template <typename Finished>
void pumpUntil(const QDeadlineTimer &deadline, Finished finished)
{
    if (waitStyle == WaitStyle::Spin) {
        while (!deadline.hasExpired() && !finished())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        return;
    }
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher) {
        // A thread that never created a QObject has no dispatcher yet; an
        // event loop object makes one.
        QEventLoop ensureDispatcher;
        dispatcher = QAbstractEventDispatcher::instance();
    }
    if (!dispatcher) {
        QThread::msleep(static_cast<unsigned long>(qMax<qint64>(0, deadline.remainingTime())));
        return;
    }
    // The wake-up timer ends the dispatcher's sleep at the deadline; any
    // earlier event (a receive tick, a queued call) is handled on the way.
    QTimer wake;
    wake.setTimerType(Qt::PreciseTimer);
    wake.setSingleShot(true);
    while (!deadline.hasExpired() && !finished()) {
        wake.start(static_cast<int>(qMax<qint64>(0, deadline.remainingTime())));
        dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}
} // namespace

void waitUntil(const QDeadlineTimer &deadline)
{
    pumpUntil(deadline, [] { return false; });
}

void delayMs(int ms)
{
    waitUntil(QDeadlineTimer(qMax(0, ms), Qt::PreciseTimer));
}

namespace {
uint32_t budgetAtOpen(uint32_t baudRate)
{
    using namespace linkTiming;
    if (baudRate <= kSlowLineMaxBaud)
        return kBudgetSlowLine;
    if (baudRate < kFastLineMinBaud)
        return kBudgetMidLine;
    return kBudgetFastLine;
}
} // namespace

Serial::Serial()
    : port(new QSerialPort)
    , waitCount(linkTiming::kBudgetMidLine)
    , pollTimer(new QTimer)
{
    rxBuffer.clear();
    pollTimer->setTimerType(Qt::PreciseTimer);
    connect(pollTimer, &QTimer::timeout, this, &Serial::readData);
    // Taking bytes the moment the port reports them spares every YMODEM
    // block the wait for the next receive tick; the tick stays, so that no
    // byte depends on the signal alone.
    connect(port, &QSerialPort::readyRead, this, &Serial::readData);
    // A device that vanishes (unplugged, or the far end of a pseudo-terminal
    // gone) keeps its descriptor readable with errors; closing it ends the
    // running wait with "uart is closed!" instead of a notifier spinning.
    // An unplugged adapter fails its reads with an I/O error (a resource
    // error to Qt); a terminal whose far end hung up reads as end of file,
    // which Qt calls a read error, and polls as hung up.
    connect(port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        if (!port->isOpen())
            return;
        bool gone = error == QSerialPort::ResourceError;
        if (error == QSerialPort::ReadError) {
            pollfd hangup{static_cast<int>(port->handle()), POLLIN, 0};
            gone = ::poll(&hangup, 1, 0) > 0 && (hangup.revents & (POLLHUP | POLLERR | POLLNVAL));
        }
        if (gone) {
            qDebug() << "serial port lost:" << (gone && error == QSerialPort::ReadError ? QStringLiteral("hung up")
                                                                                      : port->errorString());
            lost = true;
            closePort();
        }
    }, Qt::QueuedConnection);
}

Serial::~Serial()
{
    closeControl();
    delete pollTimer;
    delete port;
}

bool Serial::openPort(const QString &portName, uint32_t baudRate)
{
    openedName = portName;
    // The simulator's control socket lies beside the device path.
    const QString device = portDevicePath(portName);
    port->setPortName(device);
    port->setBaudRate(static_cast<qint32>(baudRate), QSerialPort::AllDirections);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    port->setFlowControl(QSerialPort::NoFlowControl);
    waitCount = budgetAtOpen(baudRate);
    lost = false;
    busy = false;
    problem.clear();
    startTimer();
    if (!port->open(QIODevice::ReadWrite)) {
        // The library says "permission" for a refused open as well as for
        // a device held exclusively (EBUSY) or under its lock file.
        if (port->error() == QSerialPort::PermissionError)
            noteRefusal(device);
        return false;
    }
    // The serial library's own lock is keyed on the name it was given, so a
    // device reached through a link or by another path would open twice and
    // two hosts would talk over each other. A lock on the open device itself
    // holds whatever the name; it goes with the descriptor.
    if (::flock(static_cast<int>(port->handle()), LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        qDebug() << "port" << device << "is in use:" << std::strerror(errno);
        port->close();
        if (held)
            noteRefusal(device);
        return false;
    }

    closeControl();
    const QString control = device + QStringLiteral(".ctl");
    if (QFileInfo(control).exists()) {
        const QByteArray path = control.toLocal8Bit();
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (static_cast<size_t>(path.size()) < sizeof(addr.sun_path)) {
            std::memcpy(addr.sun_path, path.constData(), static_cast<size_t>(path.size()));
            controlFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (controlFd >= 0 && ::connect(controlFd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
                qDebug() << "control channel" << control << "refused:" << std::strerror(errno);
                closeControl();
            }
        }
    }
    if (controlFd >= 0) {
        modemLines = true;
    } else {
        // Pseudo-terminals refuse the modem ioctls; probing once tells.
        port->clearError();
        port->pinoutSignals();
        modemLines = port->error() == QSerialPort::NoError;
        port->clearError();
    }
    return true;
}

void Serial::noteRefusal(const QString &device)
{
    portAccess access = examinePortAccess(device);
    // Refused though we may open it: someone holds it, seen or not.
    if (access.state != portState::NoPermission)
        access.state = portState::Busy;
    busy = access.state == portState::Busy;
    problem = openProblemText(openedName, device, access);
}

QString Serial::portName() const
{
    return openedName;
}

void Serial::closePort()
{
    if (thread() != QThread::currentThread() && thread()->isRunning()) {
        QMetaObject::invokeMethod(this, &Serial::closePort, Qt::QueuedConnection);
        return;
    }
    pollTimer->stop();
    port->close();
    closeControl();
}

void Serial::setBaudRate(uint32_t baudRate)
{
    waitCount = baudRate <= linkTiming::kSlowLineMaxBaud ? linkTiming::kBudgetSlowLine
                                                        : linkTiming::kBudgetAfterSwitch;
    lineCarried();
    port->setBaudRate(static_cast<qint32>(baudRate), QSerialPort::AllDirections);
}

void Serial::waitForBytes(int ms)
{
    const int before = rxBuffer.size();
    pumpUntil(QDeadlineTimer(qMax(0, ms), Qt::PreciseTimer), [&] { return rxBuffer.size() != before; });
}

void Serial::readData()
{
    if (port->isOpen())
        rxBuffer.append(port->readAll());
}

bool Serial::sendData(const QByteArray &bytes)
{
    // Writing to a closed device only earns a warning from Qt.
    if (!port->isOpen())
        return false;
    if (port->write(bytes) == -1)
        return false;
    if (!port->flush())
        return true;
    // Only bytes still queued in the host are waited for. Qt's wait also
    // blocks on the receive side once nothing is left to write, which held
    // every short packet's reply back for the whole drain time.
    const QDeadlineTimer drain(linkTiming::kWriteDrainMs, Qt::PreciseTimer);
    while (port->bytesToWrite() > 0 && !drain.hasExpired()) {
        if (!port->waitForBytesWritten(static_cast<int>(qMax<qint64>(1, drain.remainingTime()))))
            break;
    }
    return true;
}

void Serial::stopTimer()
{
    pollTimer->stop();
}

void Serial::startTimer()
{
    pollTimer->start(linkTiming::kPollPeriodMs);
}

bool Serial::isOpen() const
{
    return port->isOpen();
}

void Serial::clearQueues()
{
    lineCarried();
    if (port->isOpen())
        port->clear(QSerialPort::AllDirections);
}

void Serial::lineCarried()
{
    // A simulated chip that took the bytes in only later would see them
    // flushed, or judge them at the new speed.
    if (controlFd >= 0) {
        QByteArray reply;
        controlRequest("DRAIN", &reply);
    }
}

bool Serial::portLost() const
{
    return lost;
}

int Serial::pendingOutput() const
{
    if (!port->isOpen())
        return 0;
    int queued = 0;
    if (::ioctl(static_cast<int>(port->handle()), TIOCOUTQ, &queued) != 0)
        queued = 0;
    return static_cast<int>(port->bytesToWrite()) + queued;
}

bool Serial::hasModemLines() const
{
    return modemLines;
}

bool Serial::setDtr(bool on)
{
    if (controlFd >= 0) {
        QByteArray reply;
        return controlRequest(on ? "DTR 1" : "DTR 0", &reply) && reply == "OK";
    }
    return modemLines && port->setDataTerminalReady(on);
}

bool Serial::setRts(bool on)
{
    if (controlFd >= 0) {
        QByteArray reply;
        return controlRequest(on ? "RTS 1" : "RTS 0", &reply) && reply == "OK";
    }
    return modemLines && port->setRequestToSend(on);
}

bool Serial::dsr()
{
    if (controlFd >= 0) {
        QByteArray reply;
        return controlRequest("DSR", &reply) && reply == "DSR 1";
    }
    return modemLines && (port->pinoutSignals() & QSerialPort::DataSetReadySignal);
}

qint64 Serial::dsrChanges()
{
    if (controlFd >= 0) {
        QByteArray reply;
        if (!controlRequest("DSRCOUNT", &reply) || !reply.startsWith("DSRCOUNT "))
            return -1;
        bool ok = false;
        const qint64 n = reply.mid(9).toLongLong(&ok);
        return ok ? n : -1;
    }
#ifdef __linux__
    serial_icounter_struct counts{};
    if (modemLines && port->isOpen() && ::ioctl(static_cast<int>(port->handle()), TIOCGICOUNT, &counts) == 0)
        return counts.dsr;
#endif
    return -1;
}

bool Serial::controlRequest(const QByteArray &request, QByteArray *reply)
{
    const QByteArray line = request + '\n';
    const char *p = line.constData();
    qint64 left = line.size();
    while (left > 0) {
        const ssize_t n = ::send(controlFd, p, static_cast<size_t>(left), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            closeControl();
            return false;
        }
        p += n;
        left -= n;
    }
    reply->clear();
    QDeadlineTimer deadline(linkTiming::kControlReplyMs);
    for (;;) {
        pollfd pfd{controlFd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(qMax<qint64>(0, deadline.remainingTime())));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            qDebug() << "control channel: no reply to" << request;
            return false;
        }
        char c;
        const ssize_t n = ::recv(controlFd, &c, 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            closeControl();
            return false;
        }
        if (c == '\n')
            return true;
        reply->append(c);
    }
}

void Serial::closeControl()
{
    if (controlFd >= 0)
        ::close(controlFd);
    controlFd = -1;
}
