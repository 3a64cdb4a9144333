#pragma once
// A pseudo-terminal whose slave a Serial opens and whose master the test
// drives from a thread of its own, so that the peer answers while the
// command under test blocks the test thread.
#include <QByteArray>
#include <QByteArrayList>
#include <QList>
#include <QPair>
#include <QString>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

// Opens a pseudo-terminal pair. The slave is held open so that the master
// never sees it vanish between the test's own opens and closes, and is raw so
// nothing is echoed. False when any step failed; the descriptors opened so far
// are left for the caller to close.
inline bool openRawPty(int *master, int *slaveKeep, QString *slavePath)
{
    *master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*master < 0 || ::grantpt(*master) != 0 || ::unlockpt(*master) != 0)
        return false;
    *slavePath = QString::fromLocal8Bit(::ptsname(*master));
    *slaveKeep = ::open(::ptsname(*master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*slaveKeep < 0)
        return false;
    termios t{};
    ::tcgetattr(*slaveKeep, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(*slaveKeep, TCSANOW, &t);
    return true;
}

class PtyPeer
{
public:
    PtyPeer()
    {
        if (!openRawPty(&master, &slaveKeep, &slavePath))
            return;
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) == 0) {
            stopRead = pipeFds[0];
            stopWrite = pipeFds[1];
        }
    }
    ~PtyPeer()
    {
        stop();
        for (int fd : {master, slaveKeep, stopRead, stopWrite})
            if (fd >= 0)
                ::close(fd);
    }
    bool ok() const { return master >= 0 && slaveKeep >= 0 && stopRead >= 0; }

    // Every complete line starting with prefix is answered with the pieces,
    // written one by one with a pause so the host reads them apart.
    void answer(const QByteArray &prefix, const QByteArrayList &pieces)
    {
        std::lock_guard<std::mutex> lock(mutex);
        rules.append(qMakePair(prefix, pieces));
    }

    void start()
    {
        worker = std::thread([this] { run(); });
    }
    void stop()
    {
        if (worker.joinable()) {
            char c = 0;
            (void)!::write(stopWrite, &c, 1);
            worker.join();
        }
    }
    QByteArray received()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return captured;
    }
    void write(const QByteArray &bytes) { writeAll(master, bytes); }

    int master = -1;
    QString slavePath;

    static void writeAll(int fd, const QByteArray &bytes)
    {
        const char *p = bytes.constData();
        qint64 left = bytes.size();
        while (left > 0) {
            const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
            if (n <= 0)
                return;
            p += n;
            left -= n;
        }
    }

private:
    void run()
    {
        QByteArray line;
        for (;;) {
            pollfd fds[2] = {{master, POLLIN, 0}, {stopRead, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0)
                continue;
            if (fds[1].revents)
                return;
            char buf[4096];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0)
                continue;
            QList<QByteArrayList> replies;
            {
                std::lock_guard<std::mutex> lock(mutex);
                captured.append(buf, static_cast<int>(n));
                line.append(buf, static_cast<int>(n));
                int end;
                while ((end = line.indexOf("\r\n")) >= 0) {
                    const QByteArray complete = line.left(end);
                    line.remove(0, end + 2);
                    for (const auto &rule : rules) {
                        if (complete.startsWith(rule.first)) {
                            replies.append(rule.second);
                            break;
                        }
                    }
                }
            }
            for (const QByteArrayList &pieces : replies) {
                for (const QByteArray &piece : pieces) {
                    writeAll(master, piece);
                    std::this_thread::sleep_for(std::chrono::milliseconds(15));
                }
            }
        }
    }

    int slaveKeep = -1;
    int stopRead = -1;
    int stopWrite = -1;
    std::thread worker;
    std::mutex mutex;
    QByteArray captured;
    QList<QPair<QByteArray, QByteArrayList>> rules;
};
