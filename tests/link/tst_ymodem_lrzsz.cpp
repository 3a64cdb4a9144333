// The YMODEM sender against a standard receiver: lrzsz's rb on a terminal.
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
// Two pseudo-terminals joined master to master: the sender's Serial opens one
// slave, rb reads the other. rb's replies come back through a pipe: at exit rb
// flushes its terminal both ways, which on a pseudo-terminal throws away its
// final ACK whenever the far side has not read it yet; a real line would have
// sent it.
class PtyBridge
{
public:
    PtyBridge()
    {
        for (int i = 0; i < 2; ++i) {
            master[i] = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (master[i] < 0 || ::grantpt(master[i]) != 0 || ::unlockpt(master[i]) != 0)
                return;
            slavePath[i] = QString::fromLocal8Bit(::ptsname(master[i]));
            slaveKeep[i] = ::open(::ptsname(master[i]), O_RDWR | O_NOCTTY | O_CLOEXEC);
            termios t{};
            ::tcgetattr(slaveKeep[i], &t);
            ::cfmakeraw(&t);
            ::tcsetattr(slaveKeep[i], TCSANOW, &t);
        }
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0)
            return;
        stopRead = p[0];
        stopWrite = p[1];
        relay = std::thread([this] { run(); });
    }
    // Bytes for the sender's side, as if the far end had written them.
    void toSender(const QByteArray &bytes)
    {
        const char *p = bytes.constData();
        for (qint64 left = bytes.size(); left > 0;) {
            const ssize_t w = ::write(master[0], p, static_cast<size_t>(left));
            if (w <= 0)
                return;
            p += w;
            left -= w;
        }
    }
    ~PtyBridge()
    {
        if (relay.joinable()) {
            char c = 0;
            (void)!::write(stopWrite, &c, 1);
            relay.join();
        }
        for (int fd : {master[0], master[1], slaveKeep[0], slaveKeep[1], stopRead, stopWrite})
            if (fd >= 0)
                ::close(fd);
    }
    bool ok() const { return relay.joinable(); }

    QString slavePath[2];

private:
    void run()
    {
        for (;;) {
            pollfd fds[3] = {{master[0], POLLIN, 0}, {master[1], POLLIN, 0}, {stopRead, POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0)
                continue;
            if (fds[2].revents)
                return;
            char buf[8192];
            if (fds[1].revents & POLLIN)
                (void)!::read(master[1], buf, sizeof buf);
            if (!(fds[0].revents & POLLIN))
                continue;
            const ssize_t n = ::read(master[0], buf, sizeof buf);
            for (ssize_t done = 0; n > 0 && done < n;) {
                const ssize_t w = ::write(master[1], buf + done, static_cast<size_t>(n - done));
                if (w <= 0)
                    break;
                done += w;
            }
        }
    }

    int master[2] = {-1, -1};
    int slaveKeep[2] = {-1, -1};
    int stopRead = -1;
    int stopWrite = -1;
    std::thread relay;
};

// rb drops input that follows its own reply too closely and now and then
// loses its last ACK on a terminal; a real fault shows on every try.
constexpr int kTries = 3;
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
    if (!link.openPort(bridge.slavePath[0], 115200)) {
        *why = "cannot open " + bridge.slavePath[0];
        return false;
    }
    QProcess rb;
    rb.setWorkingDirectory(target.path());
    rb.setStandardInputFile(bridge.slavePath[1]);
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

    QStringList failures;
    for (int attempt = 0; attempt < kTries; ++attempt) {
        QString why;
        if (sendOnce(source, content, &why))
            return;
        failures << why;
    }
    QFAIL(qPrintable(failures.join("; ")));
}

QTEST_GUILESS_MAIN(tst_ymodem_lrzsz)
#include "tst_ymodem_lrzsz.moc"
