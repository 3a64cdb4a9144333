#include "simport.h"

#include "ptyspeed.h"

#include <QFile>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

// A UART frame of 8N1 is ten bit times per byte.
constexpr int64_t kBitsPerByte = 10;
constexpr int64_t kNsPerSecond = 1000000000;
// Replies the host never reads pile up in the pty; past this the oldest go,
// as a real UART's FIFO would overflow.
constexpr size_t kMaxPendingOut = 1 << 20;
constexpr int kMaxRequest = 512;

void setNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Drops the consumed front of a byte queue and its time stamps once it is
// worth the copy.
void compact(std::vector<uint8_t> &bytes, std::vector<int64_t> &times, size_t &head)
{
    if (head == bytes.size()) {
        bytes.clear();
        times.clear();
        head = 0;
    } else if (head > 65536 && head > bytes.size() / 2) {
        bytes.erase(bytes.begin(), bytes.begin() + long(head));
        times.erase(times.begin(), times.begin() + long(head));
        head = 0;
    }
}

bool socketListens(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (size_t(name.size()) >= sizeof addr.sun_path)
        return false;
    memcpy(addr.sun_path, name.constData(), size_t(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool listening = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    if (fd >= 0)
        ::close(fd);
    return listening;
}

} // namespace

int64_t simNowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

SimPort::SimPort(int number, const QString &dir, const ChipOptions &options, bool pace,
                 const std::vector<SimFault> &faults)
    : m_number(number)
    , m_dir(dir)
    , m_pace(pace)
    , m_chip(new ChipModel(options))
{
    m_name = QStringLiteral("COM%1").arg(number);
    m_linkPath = dir + QLatin1Char('/') + m_name;
    m_ctlPath = m_linkPath + QStringLiteral(".ctl");
    for (const SimFault &f : faults)
        m_chip->addFault(f);
}

SimPort::~SimPort()
{
    stop();
    closePty();
    for (Client &c : m_clients)
        ::close(c.fd);
    if (m_listen >= 0) {
        ::close(m_listen);
        ::unlink(QFile::encodeName(m_ctlPath).constData());
    }
    if (m_wake >= 0)
        ::close(m_wake);
}

bool SimPort::open(QString *error)
{
    auto fail = [error](const QString &what) {
        if (error)
            *error = what + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(errno));
        return false;
    };
    if (!m_chip->openFlash(error))
        return false;
    if (!openPty(error) || !listenControl(error))
        return false;
    m_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wake < 0)
        return fail(QStringLiteral("eventfd"));
    return true;
}

bool SimPort::listenControl(QString *error)
{
    const QByteArray ctl = QFile::encodeName(m_ctlPath);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (size_t(ctl.size()) >= sizeof addr.sun_path)
        errno = ENAMETOOLONG;
    int fd = -1;
    if (size_t(ctl.size()) < sizeof addr.sun_path) {
        memcpy(addr.sun_path, ctl.constData(), size_t(ctl.size()));
        ::unlink(ctl.constData());
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0)) {
            const int saved = errno;
            ::close(fd);
            fd = -1;
            errno = saved;
        }
    }
    if (fd < 0) {
        if (error)
            *error = QStringLiteral("socket ") + m_ctlPath + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    m_listen = fd;
    return true;
}

QByteArray SimPort::rename(const QString &name)
{
    static const QRegularExpression comName(QStringLiteral("^COM\\d+$"));
    if (!comName.match(name).hasMatch())
        return "ERR PLUG takes a name COM<k>\n";
    if (name == m_name)
        return QByteArray();
    if (m_master >= 0 || !m_chip->disconnected())
        return "ERR unplug the chip before it comes back under another name\n";
    const QString link = m_dir + QLatin1Char('/') + name;
    struct stat st;
    // An unplugged chip keeps its name's control socket: the name is still
    // its own.
    if (::lstat(QFile::encodeName(link).constData(), &st) == 0 || socketListens(link + QStringLiteral(".ctl")))
        return "ERR " + name.toLatin1() + " is taken\n";
    const int oldListen = m_listen;
    const QString oldName = m_name, oldCtl = m_ctlPath;
    m_name = name;
    m_linkPath = link;
    m_ctlPath = link + QStringLiteral(".ctl");
    QString error;
    if (!listenControl(&error)) {
        m_name = oldName;
        m_linkPath = m_dir + QLatin1Char('/') + oldName;
        m_ctlPath = oldCtl;
        return "ERR " + error.toUtf8() + '\n';
    }
    // Clients already connected keep their connections; new ones find the
    // socket beside the new name.
    ::close(oldListen);
    ::unlink(QFile::encodeName(oldCtl).constData());
    return QByteArray();
}

bool SimPort::openPty(QString *error)
{
    auto fail = [error](const QString &what) {
        if (error)
            *error = what + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(errno));
        return false;
    };
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
        return fail(QStringLiteral("posix_openpt"));
    const char *slaveName = ptsname(m_master);
    if (!slaveName)
        return fail(QStringLiteral("ptsname"));
    const QByteArray slave(slaveName);
    // Holding the slave open keeps the pty alive while the host closes and
    // reopens the port; it is also where Linux keeps the line settings.
    m_slave = ::open(slave.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0)
        return fail(QStringLiteral("open ") + QString::fromLocal8Bit(slave));
    termios tio;
    if (tcgetattr(m_slave, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B115200);
        cfsetospeed(&tio, B115200);
        tcsetattr(m_slave, TCSANOW, &tio);
    }
    setNonBlocking(m_master);

    const QByteArray link = QFile::encodeName(m_linkPath);
    ::unlink(link.constData());
    if (::symlink(slave.constData(), link.constData()) != 0)
        return fail(QStringLiteral("symlink ") + m_linkPath);
    if (!m_socketLink.isEmpty()) {
        const QByteArray socket = QFile::encodeName(m_socketLink);
        ::unlink(socket.constData());
        if (::symlink(link.constData(), socket.constData()) != 0)
            return fail(QStringLiteral("symlink ") + m_socketLink);
    }

    return true;
}

void SimPort::start()
{
    m_thread = std::thread([this] { run(); });
}

void SimPort::stop()
{
    m_stop.store(true);
    if (m_wake >= 0) {
        const uint64_t one = 1;
        ssize_t n = ::write(m_wake, &one, sizeof one);
        Q_UNUSED(n)
    }
    if (m_thread.joinable())
        m_thread.join();
}

void SimPort::closePty()
{
    if (m_master < 0)
        return;
    ::close(m_master);
    ::close(m_slave);
    m_master = m_slave = -1;
    ::unlink(QFile::encodeName(m_linkPath).constData());
    if (!m_socketLink.isEmpty())
        ::unlink(QFile::encodeName(m_socketLink).constData());
}

void SimPort::dropPty()
{
    closePty();
    m_in.clear();
    m_inAt.clear();
    m_inSpeed.clear();
    m_inHead = 0;
}

int64_t SimPort::byteNs() const
{
    const int64_t baud = std::max(1, m_chip->baud());
    return (kBitsPerByte * kNsPerSecond + baud / 2) / baud;
}

void SimPort::readHost(int64_t now)
{
    uint8_t buf[65536];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            return;
        const int speed = m_checkSpeed ? ptyLineSpeed(m_slave) : 0;
        const int64_t step = byteNs();
        for (ssize_t i = 0; i < n; ++i) {
            int64_t at = now;
            if (m_pace) {
                // A byte that the host wrote while the line was busy waits
                // for the bytes before it.
                at = std::max(m_inFree, now) + step;
                m_inFree = at;
            }
            m_in.push_back(buf[i]);
            m_inAt.push_back(at);
            m_inSpeed.push_back(speed);
        }
    }
}

void SimPort::feedChip(int64_t now)
{
    while (m_inHead < m_in.size() && m_inAt[m_inHead] <= now && !m_chip->disconnected()) {
        // A byte sent at another speed than the chip's when it arrives is
        // a framing error to the chip's UART.
        if (m_inSpeed[m_inHead] && m_inSpeed[m_inHead] != m_chip->baudAt(m_inAt[m_inHead])) {
            ++m_inHead;
            continue;
        }
        // Feeding no further than the chip can use keeps each reply at the
        // arrival time of the byte that triggered it.
        const auto arrived = std::upper_bound(m_inAt.begin() + long(m_inHead), m_inAt.end(), now);
        size_t n = std::min<size_t>(size_t(m_chip->bytesWanted()), size_t(arrived - m_inAt.begin()) - m_inHead);
        for (size_t k = 1; k < n; ++k) {
            if (m_inSpeed[m_inHead + k] != m_inSpeed[m_inHead])
                n = k;
        }
        m_chip->feed(m_in.data() + m_inHead, int(n), m_inAt[m_inHead + n - 1]);
        m_feedLate.add(now - m_inAt[m_inHead + n - 1]);
        m_inHead += n;
        m_chip->tick(now);
    }
    const size_t before = m_in.size();
    compact(m_in, m_inAt, m_inHead);
    m_inSpeed.erase(m_inSpeed.begin(), m_inSpeed.begin() + long(before - m_in.size()));
}

void SimPort::queueReplies(int64_t now)
{
    const int64_t step = byteNs();
    for (ChipModel::Output &o : m_chip->takeOutput(now)) {
        for (char c : o.bytes) {
            int64_t at = o.at;
            if (m_pace) {
                at = std::max(m_outFree, o.at) + step;
                m_outFree = at;
            }
            m_out.push_back(uint8_t(c));
            m_outAt.push_back(at);
        }
    }
    if (m_out.size() - m_outHead > kMaxPendingOut) {
        m_outHead = m_out.size() - kMaxPendingOut;
    }
}

void SimPort::writeHost(int64_t now)
{
    if (m_master < 0) {
        m_out.clear();
        m_outAt.clear();
        m_outHead = 0;
        return;
    }
    size_t due = m_outHead;
    while (due < m_out.size() && m_outAt[due] <= now)
        ++due;
    m_writeBlocked = false;
    if (!speedMatches())
        m_outHead = due;
    if (m_outHead < due)
        m_writeLate.add(now - m_outAt[due - 1]);
    while (m_outHead < due) {
        const ssize_t n = ::write(m_master, m_out.data() + m_outHead, due - m_outHead);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_writeBlocked = true;
            break;
        }
        m_outHead += size_t(n);
    }
    compact(m_out, m_outAt, m_outHead);
}

bool SimPort::speedMatches() const
{
    return !m_checkSpeed || ptyLineSpeed(m_slave) == m_chip->baud();
}

QString SimPort::lateness() const
{
    auto text = [](const Late &l) {
        return QStringLiteral("%1 times, mean %2 us, max %3 us")
            .arg(l.count)
            .arg(l.count ? double(l.sumNs) / double(l.count) / 1000.0 : 0.0, 0, 'f', 1)
            .arg(double(l.maxNs) / 1000.0, 0, 'f', 1);
    };
    return name() + QStringLiteral(" late: feeding ") + text(m_feedLate) + QStringLiteral("; writing ")
        + text(m_writeLate);
}

void SimPort::acceptClients()
{
    for (;;) {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        m_clients.push_back({fd, QByteArray()});
    }
}

bool SimPort::serveClient(Client &client)
{
    char buf[1024];
    for (;;) {
        const ssize_t n = ::read(client.fd, buf, sizeof buf);
        if (n == 0)
            return false;
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        client.buffer.append(buf, int(n));
        int nl;
        while ((nl = client.buffer.indexOf('\n')) >= 0) {
            QByteArray request = client.buffer.left(nl).trimmed();
            client.buffer.remove(0, nl + 1);
            const QByteArray answer = control(request, simNowNs());
            // Replies are a few lines; a client that does not read them is
            // dropped rather than allowed to stall the chip.
            if (::send(client.fd, answer.constData(), size_t(answer.size()), MSG_NOSIGNAL) != answer.size())
                return false;
        }
        if (client.buffer.size() > kMaxRequest)
            return false;
    }
}

void SimPort::settleDsr(int64_t now)
{
    if (m_dsrTimed && now >= m_dsrUntil) {
        ++m_dsrEdges;
        m_dsrTimed = false;
    }
}

void SimPort::pressFixture(int64_t until, int64_t now, bool newChip)
{
    settleDsr(now);
    const bool down = now < m_dsrUntil;
    const bool willBeDown = until > now;
    // A chip swapped under a held lever is a release and a press, however
    // quick: a serial driver counts both.
    if (down && willBeDown && newChip)
        m_dsrEdges += 2;
    else if (down != willBeDown)
        ++m_dsrEdges;
    m_dsrTimed = willBeDown && until != INT64_MAX;
    m_releaseWhenHeard = false;
    m_dsrUntil = until;
    m_events.push_back({now / 1000, "DSR", until > now});
    // A timed press is released on the simulator's clock, whatever a loaded
    // host does meanwhile; its end is known now.
    if (until > now && until != INT64_MAX)
        m_events.push_back({until / 1000, "DSR", false});
}

QByteArray SimPort::control(const QByteArray &request, int64_t now)
{
    const int64_t us = now / 1000;
    const QList<QByteArray> w = request.split(' ');
    const QByteArray cmd = w.value(0);
    const bool hasLevel = w.size() == 2 && (w[1] == "0" || w[1] == "1");
    const bool level = hasLevel && w[1] == "1";
    if ((cmd == "DTR" || cmd == "RTS" || cmd == "SETDSR") && hasLevel) {
        if (cmd == "DTR") {
            m_dtr = level;
            m_chip->setDtr(level, now);
            m_events.push_back({us, "DTR", level});
        } else if (cmd == "RTS") {
            m_rts = level;
            m_chip->setRts(level, now);
            m_events.push_back({us, "RTS", level});
        } else {
            pressFixture(level ? INT64_MAX : 0, now);
        }
        return "OK\n";
    }
    if (cmd == "DSR" && w.size() == 1)
        return now < m_dsrUntil ? "DSR 1\n" : "DSR 0\n";
    if (cmd == "DSRCOUNT" && w.size() == 1) {
        settleDsr(now);
        return "DSRCOUNT " + QByteArray::number(qint64(m_dsrEdges)) + '\n';
    }
    if (cmd == "PULSEDSR" && w.size() == 2) {
        bool ok = false;
        const int ms = w[1].toInt(&ok);
        if (!ok || ms <= 0)
            return "ERR PULSEDSR takes milliseconds\n";
        pressFixture(now + int64_t(ms) * 1000000, now);
        return "OK\n";
    }
    if (cmd == "NEXTCHIP" && (w.size() == 1 || (w.size() == 2 && w[1] == "hold"))) {
        ++m_chipsFed;
        m_chip->replaceChip(uint32_t(m_number) + 1000u * m_chipsFed, now);
        pressFixture(INT64_MAX, now, true);
        m_releaseWhenHeard = w.size() == 1;
        return "OK\n";
    }
    if (cmd == "UNPLUG" && w.size() == 1) {
        m_chip->unplug(now);
        // Gone before the reply, so that a PLUG right after it finds the
        // port away.
        dropPty();
        return "OK\n";
    }
    if (cmd == "PLUG" && (w.size() == 1 || w.size() == 2)) {
        if (w.size() == 2) {
            const QByteArray refused = rename(QString::fromLatin1(w[1]));
            if (!refused.isEmpty())
                return refused;
        }
        if (m_master < 0) {
            QString error;
            if (!openPty(&error))
                return "ERR " + error.toUtf8() + '\n';
            m_chip->reconnect(now);
        }
        return "OK\n";
    }
    if (cmd == "EVENTS" && w.size() == 1) {
        QByteArray out;
        for (const Event &e : m_events)
            out += QByteArray::number(qint64(e.us)) + ' ' + e.line + (e.level ? " 1\n" : " 0\n");
        return out + "END\n";
    }
    if (cmd == "CLEAREVENTS" && w.size() == 1) {
        m_events.clear();
        return "OK\n";
    }
    if (cmd == "STATE" && w.size() == 1) {
        return QByteArray("STATE ") + ChipModel::stateName(m_chip->state()) + ' ' + QByteArray::number(m_chip->baud())
            + ' ' + QByteArray::number(m_chip->fileCount()) + '\n';
    }
    if (cmd == "FAULT" && w.size() == 2) {
        SimFault f;
        QString error;
        if (!parseSimFault(QString::fromLatin1(w[1]), &f, &error))
            return "ERR " + error.toUtf8() + '\n';
        m_chip->addFault(f);
        return "OK\n";
    }
    if (cmd == "DRAIN" && w.size() == 1) {
        // The host flushes its port or changes its speed once this is
        // answered: what it wrote until now has left at the old speed.
        if (m_master >= 0)
            readHost(now);
        return "OK\n";
    }
    if (cmd == "CLEARFAULTS" && w.size() == 1) {
        m_chip->clearFaults();
        return "OK\n";
    }
    return "ERR unknown request \"" + request.left(64) + "\"\n";
}

void SimPort::run()
{
    // The default slack of 50 us would let every paced wake-up run late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    std::vector<pollfd> fds;
    while (!m_stop.load()) {
        int64_t now = simNowNs();
        if (m_master >= 0) {
            readHost(now);
            feedChip(now);
        }
        m_chip->tick(now);
        if (m_releaseWhenHeard && m_chip->heardHost()) {
            m_releaseWhenHeard = false;
            pressFixture(0, now);
        }
        if (m_chip->disconnected() && m_master >= 0)
            dropPty();
        queueReplies(now);
        writeHost(now);

        int64_t wake = m_chip->nextTimer();
        if (m_inHead < m_in.size()) {
            const size_t i = std::min(m_in.size() - 1, m_inHead + size_t(m_chip->bytesWanted()) - 1);
            wake = std::min(wake, m_inAt[i]);
        }
        if (m_outHead < m_out.size() && !m_writeBlocked)
            wake = std::min(wake, m_outAt[m_outHead]);

        fds.clear();
        fds.push_back({m_wake, POLLIN, 0});
        fds.push_back({m_listen, POLLIN, 0});
        if (m_master >= 0)
            fds.push_back({m_master, short(POLLIN | (m_writeBlocked ? POLLOUT : 0)), 0});
        const size_t firstClient = fds.size();
        for (const Client &c : m_clients)
            fds.push_back({c.fd, POLLIN, 0});

        timespec ts;
        timespec *timeout = nullptr;
        if (wake != INT64_MAX) {
            const int64_t left = std::max<int64_t>(0, wake - simNowNs());
            ts.tv_sec = time_t(left / kNsPerSecond);
            ts.tv_nsec = long(left % kNsPerSecond);
            timeout = &ts;
        }
        if (::ppoll(fds.data(), nfds_t(fds.size()), timeout, nullptr) < 0 && errno != EINTR)
            break;

        if (fds[1].revents & POLLIN)
            acceptClients();
        for (size_t i = firstClient, c = 0; i < fds.size(); ++i) {
            if (fds[i].revents && !serveClient(m_clients[c])) {
                ::close(m_clients[c].fd);
                m_clients.erase(m_clients.begin() + long(c));
            } else {
                ++c;
            }
        }
    }
}
