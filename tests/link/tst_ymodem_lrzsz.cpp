// The YMODEM sender against a standard receiver: lrzsz's rb.
#include "ptypeer.h"
#include "resultcodes.h"
#include "serial.h"
#include "ymodemsender.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {
// The sender's Serial opens a pseudo-terminal; rb talks to it through two
// pipes that a relay thread joins to the terminal's master side.
//
// rb's input is a pipe, not a terminal, because rb writes its "C" and then
// empties its terminal's input queue (TCIFLUSH). A sender that answers
// before rb gets to that flush loses its packet: the header after the first
// "C", or the end-of-batch block after the last one. rb then waits 10 s for
// a header that never comes again, the sender gives up after its 7 s idle
// limit and cancels, and rb crashes in its cancel path. On an idle machine
// rb's flush wins the race; with both cores busy it loses it every few
// transfers. The flush is the only thing a pipe changes (it fails there
// with ENOTTY); every check rb makes of the packets stays.
//
// rb's replies come back through the other pipe: at exit rb flushes its
// terminal both ways, which on a pseudo-terminal throws away its final ACK
// whenever the far side has not read it yet; a real line would have sent it.
class PtyBridge
{
public:
    PtyBridge()
    {
        if (!openRawPty(&master, &slaveKeep, &slavePath))
            return;
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0)
            return;
        toRbRead = p[0];
        toRbWrite = p[1];
        if (::pipe2(p, O_CLOEXEC) != 0)
            return;
        stopRead = p[0];
        stopWrite = p[1];
        relay = std::thread([this] { run(); });
    }
    // Bytes for the sender's side, as if the far end had written them.
    void toSender(const QByteArray &bytes) { writeAll(master, bytes); }
    ~PtyBridge()
    {
        if (relay.joinable()) {
            char c = 0;
            (void)!::write(stopWrite, &c, 1);
            relay.join();
        }
        for (int fd : {master, slaveKeep, toRbRead, toRbWrite, stopRead, stopWrite})
            if (fd >= 0)
                ::close(fd);
    }
    bool ok() const { return relay.joinable(); }

    QString slavePath;
    // rb's standard input.
    int toRbRead = -1;

private:
    static void writeAll(int fd, const QByteArray &bytes)
    {
        const char *p = bytes.constData();
        for (qint64 left = bytes.size(); left > 0;) {
            const ssize_t w = ::write(fd, p, static_cast<size_t>(left));
            if (w <= 0)
                return;
            p += w;
            left -= w;
        }
    }

    void run()
    {
        for (;;) {
            pollfd fds[2] = {{master, POLLIN, 0}, {stopRead, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0)
                continue;
            if (fds[1].revents)
                return;
            char buf[8192];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0)
                writeAll(toRbWrite, QByteArray(buf, static_cast<int>(n)));
        }
    }

    int master = -1;
    int slaveKeep = -1;
    int toRbWrite = -1;
    int stopRead = -1;
    int stopWrite = -1;
    std::thread relay;
};

// rb with the read end of a pipe as its standard input.
class RbProcess : public QProcess
{
public:
    explicit RbProcess(int input)
        : input(input)
    {
    }

protected:
    void setupChildProcess() override { ::dup2(input, STDIN_FILENO); }

private:
    int input;
};

constexpr int kRbExitMs = 15000;
} // namespace

class tst_ymodem_lrzsz : public QObject
{
    Q_OBJECT

private slots:
    void rbReceivesTheFile_data();
    void rbReceivesTheFile();

private:
    bool sendOnce(const QString &source, const QByteArray &content, QString *why);
};

bool tst_ymodem_lrzsz::sendOnce(const QString &source, const QByteArray &content, QString *why)
{
    PtyBridge bridge;
    if (!bridge.ok()) {
        *why = "no pseudo-terminals";
        return false;
    }
    QTemporaryDir target;
    Serial link;
    if (!link.openPort(bridge.slavePath, 115200)) {
        *why = "cannot open " + bridge.slavePath;
        return false;
    }
    RbProcess rb(bridge.toRbRead);
    rb.setWorkingDirectory(target.path());
    connect(&rb, &QProcess::readyReadStandardOutput, &rb,
            [&] { bridge.toSender(rb.readAllStandardOutput()); });
    rb.start("rb", {"--ymodem", "-b", "-q"});
    if (!rb.waitForStarted()) {
        *why = "rb does not start";
        return false;
    }
    ymodemSender sender;
    sender.chunkSize = 1024;
    sender.blockSize = 1024;
    const uint8_t code = sender.sendFile(source, &link);
    if (!rb.waitForFinished(kRbExitMs))
        rb.kill(), rb.waitForFinished();
    QFile received(target.path() + "/test.bin");
    received.open(QIODevice::ReadOnly);
    const bool same = received.readAll() == content;
    *why = QStringLiteral("sender code %1, rb exit %2, file %3, rb says: %4")
               .arg(code)
               .arg(rb.exitCode())
               .arg(same ? "equal" : "different")
               .arg(QString::fromLocal8Bit(rb.readAllStandardError()).simplified());
    return code == resultCode::kTransferDone && same && sender.fraction == 1.0f;
}

void tst_ymodem_lrzsz::rbReceivesTheFile_data()
{
    QTest::addColumn<int>("size");
    for (int size : {1, 128, 129, 1024, 1025, 100000})
        QTest::newRow(qPrintable(QString::number(size))) << size;
}

void tst_ymodem_lrzsz::rbReceivesTheFile()
{
    QFETCH(int, size);
    if (QStandardPaths::findExecutable("rb").isEmpty())
        QSKIP("lrzsz's rb is not installed");
    QTemporaryDir dir;
    QByteArray content(size, '\0');
    QRandomGenerator rng(static_cast<quint32>(size));
    for (char &c : content)
        c = static_cast<char>(rng.bounded(256));
    const QString source = dir.path() + "/image.bin";
    QFile f(source);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
    f.close();

    // One try: with rb's input flush out of the way nothing but a fault of
    // the sender (or of rb) can fail it, and a retry would hide one.
    QString why;
    QVERIFY2(sendOnce(source, content, &why), qPrintable(why));
}

QTEST_GUILESS_MAIN(tst_ymodem_lrzsz)
#include "tst_ymodem_lrzsz.moc"
