#pragma once

// SimFixture: runs vq_chip_sim for one test and talks to it.
//
//   SimFixture sim({"--fault", "in-ram"});     // 1 chip, flash kept in files
//   QVERIFY2(sim.ok(), qPrintable(sim.error()));
//   open sim.portPath() with the code under test ...
//   QCOMPARE(sim.flash().mid(0x1000, image.size()), image);
//
// The simulator comes from $VQ_BUILD_DIR/vq_chip_sim and runs in a
// temporary folder with --port-dir and --flash-dir set to it, so chip i's
// port is <tmp>/COM<k> and its flash <tmp>/COM<k>.bin, and the USB socket it
// sits in <tmp>/by-path/<socket> (--by-path). Further options go in
// `args` (see vq_chip_sim --help). Chips are indexed from 0 in the order the
// simulator announced them. The destructor stops the simulator.
//
// Control channel (sim/CONTROL.md): request() sends one line and returns the
// reply lines (EVENTS: the event lines without the closing END). The helpers
// below wrap the common ones and return false / empty on any error.

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

class SimFixture
{
public:
    struct Event {
        qint64 us = 0;      // simulator's monotonic clock, microseconds
        QString line;       // "DTR", "RTS" or "DSR"
        bool level = false;
    };
    struct State {
        QString where;      // "OFF", "APP", "ROM", "RAM" or "HUNG"
        int baud = 0;
        int fileCount = 0;
    };

    explicit SimFixture(const QStringList &args = QStringList(), int count = 1)
    {
        start(args, count);
    }
    ~SimFixture() { stop(); }
    SimFixture(const SimFixture &) = delete;
    SimFixture &operator=(const SimFixture &) = delete;

    bool ok() const { return m_ok; }
    QString error() const { return m_error; }
    QString dir() const { return m_dir.path(); }
    int count() const { return m_ports.size(); }
    QString portName(int chip = 0) const { return m_names.value(chip); }
    QString portPath(int chip = 0) const { return m_ports.value(chip); }
    // The chip keeps its flash file when its port is renamed.
    QString flashPath(int chip = 0) const { return m_dir.filePath(m_firstNames.value(chip) + QStringLiteral(".bin")); }
    QString socketDir() const { return m_dir.filePath(QStringLiteral("by-path")); }
    // The name of the chip's USB socket, which stays when its port is renamed.
    QString socketName(int chip = 0) const
    {
        return QStringLiteral("platform-vq_chip_sim-usb-0:1.%1:1.0-port0").arg(m_firstNames.value(chip).mid(3));
    }

    // The chip's port comes back under another name, as an adapter does
    // when its hub is replugged; the name must be free (unplug the chip
    // that has it first).
    bool unplug(int chip) const { return isOk(request(QStringLiteral("UNPLUG"), chip)); }
    bool plugAs(int chip, const QString &name)
    {
        if (!isOk(request(QStringLiteral("PLUG ") + name, chip)))
            return false;
        m_names[chip] = name;
        m_ports[chip] = m_dir.filePath(name);
        return true;
    }

    QByteArray flash(int chip = 0) const
    {
        QFile f(flashPath(chip));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QStringList request(const QString &line, int chip = 0, int timeoutMs = 5000) const
    {
        QStringList lines;
        const QByteArray path = QFile::encodeName(portPath(chip) + QStringLiteral(".ctl"));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return lines;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.constData(), sizeof addr.sun_path - 1);
        const QByteArray out = line.toLatin1() + '\n';
        const bool multi = line.trimmed() == QStringLiteral("EVENTS");
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0
            && ::send(fd, out.constData(), size_t(out.size()), MSG_NOSIGNAL) == out.size()) {
            QByteArray in;
            for (;;) {
                int nl;
                while ((nl = in.indexOf('\n')) >= 0) {
                    const QString l = QString::fromLatin1(in.left(nl));
                    in.remove(0, nl + 1);
                    if (multi && l == QStringLiteral("END")) {
                        ::close(fd);
                        return lines;
                    }
                    lines << l;
                    if (!multi) {
                        ::close(fd);
                        return lines;
                    }
                }
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, timeoutMs) <= 0)
                    break;
                char buf[4096];
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n <= 0)
                    break;
                in.append(buf, int(n));
            }
        }
        ::close(fd);
        return QStringList();
    }

    bool setDsr(bool on, int chip = 0) const { return isOk(request(on ? "SETDSR 1" : "SETDSR 0", chip)); }
    bool addFault(const QString &fault, int chip = 0) const { return isOk(request("FAULT " + fault, chip)); }
    bool clearFaults(int chip = 0) const { return isOk(request("CLEARFAULTS", chip)); }
    bool clearEvents(int chip = 0) const { return isOk(request("CLEAREVENTS", chip)); }

    QVector<Event> events(int chip = 0) const
    {
        QVector<Event> out;
        for (const QString &l : request(QStringLiteral("EVENTS"), chip)) {
            const QStringList w = l.split(QLatin1Char(' '));
            if (w.size() == 3)
                out.append({w[0].toLongLong(), w[1], w[2] == QLatin1String("1")});
        }
        return out;
    }

    State state(int chip = 0) const
    {
        State s;
        const QStringList w = request(QStringLiteral("STATE"), chip).value(0).split(QLatin1Char(' '));
        if (w.size() == 4 && w[0] == QLatin1String("STATE"))
            s = {w[1], w[2].toInt(), w[3].toInt()};
        return s;
    }

    // What the simulator wrote to stderr: after stop(), with "--stats" in
    // `args`, one line per chip with its own lateness against the line times.
    QString log() { return m_log += QString::fromLocal8Bit(m_process.readAllStandardError()); }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
    }

private:
    static bool isOk(const QStringList &reply) { return reply.value(0) == QLatin1String("OK"); }

    void start(const QStringList &args, int count)
    {
        if (!m_dir.isValid()) {
            m_error = QStringLiteral("no temporary folder");
            return;
        }
        const QString program = qEnvironmentVariable("VQ_BUILD_DIR") + QStringLiteral("/vq_chip_sim");
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start(program, QStringList{QStringLiteral("--port-dir"), m_dir.path(), QStringLiteral("--flash-dir"),
                                             m_dir.path(), QStringLiteral("--by-path"), socketDir(),
                                             QStringLiteral("--count"), QString::number(count)}
                                     + args);
        if (!m_process.waitForStarted(10000)) {
            m_error = QStringLiteral("cannot start ") + program;
            return;
        }
        QByteArray out;
        // Starting is quick; the limit only guards against a hung simulator.
        while (m_ports.size() < count && m_process.waitForReadyRead(20000)) {
            out += m_process.readAllStandardOutput();
            int nl;
            while ((nl = out.indexOf('\n')) >= 0) {
                const QStringList w = QString::fromLocal8Bit(out.left(nl)).split(QLatin1Char(' '));
                out.remove(0, nl + 1);
                if (w.size() == 2) {
                    m_names << w[0];
                    m_ports << w[1];
                }
            }
        }
        if (m_ports.size() < count) {
            m_error = QStringLiteral("vq_chip_sim did not come up: ")
                + QString::fromLocal8Bit(m_process.readAllStandardError());
            return;
        }
        m_firstNames = m_names;
        m_ok = true;
    }

    QTemporaryDir m_dir;
    QProcess m_process;
    QStringList m_names;
    QStringList m_ports;
    QStringList m_firstNames;
    bool m_ok = false;
    QString m_error;
    QString m_log;
};
