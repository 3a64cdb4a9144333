// The simulator's YMODEM receiver against lrzsz's sender: a peer we did not
// write, with its own header layout (size, then mtime and mode) and its own
// end-of-batch block.

#include "../simfixture.h"

#include <QFileInfo>
#include <QStandardPaths>
#include <QtTest>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

QByteArray pattern(int size, int seed)
{
    QByteArray b(size, Qt::Uninitialized);
    uint32_t x = uint32_t(seed) * 2654435761u + 7;
    for (int i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = char(x >> 16);
    }
    return b;
}

class HostPort
{
public:
    explicit HostPort(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t;
        if (m_fd >= 0 && tcgetattr(m_fd, &t) == 0) {
            cfmakeraw(&t);
            cfsetspeed(&t, B115200);
            tcsetattr(m_fd, TCSANOW, &t);
        }
    }
    // The port's speed, which sb writing to the same terminal shares.
    bool setSpeed(speed_t speed)
    {
        termios t;
        return tcgetattr(m_fd, &t) == 0 && cfsetspeed(&t, speed) == 0 && tcsetattr(m_fd, TCSANOW, &t) == 0;
    }
    ~HostPort()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }
    QByteArray command(const QByteArray &line, const QByteArray &until)
    {
        const QByteArray out = line + "\r\n";
        if (::write(m_fd, out.constData(), size_t(out.size())) != out.size())
            return QByteArray();
        QByteArray in;
        while (!in.contains(until)) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                break;
            char buf[256];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n <= 0)
                break;
            in.append(buf, int(n));
        }
        return in;
    }

private:
    int m_fd = -1;
};

} // namespace

class tst_SimLrzsz : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void upgradeWithSb_data();
    void upgradeWithSb();

private:
    QString m_sb;
};

void tst_SimLrzsz::initTestCase()
{
    m_sb = QStandardPaths::findExecutable(QStringLiteral("sb"));
    if (m_sb.isEmpty())
        QSKIP("lrzsz's sb is not installed");
}

void tst_SimLrzsz::upgradeWithSb_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<uint>("address");
    QTest::addColumn<QStringList>("simArgs");
    const QStringList plain{"--fault", "in-ram"};
    const QStringList paced{"--fault", "in-ram", "--pace"};
    QTest::newRow("1 byte") << 1 << 0x0u << plain;
    QTest::newRow("1024 bytes") << 1024 << 0x1000u << plain;
    QTest::newRow("1025 bytes") << 1025 << 0x23000u << plain;
    QTest::newRow("100000 bytes") << 100000 << 0x100000u << plain;
    QTest::newRow("16385 bytes, paced, 921600 baud") << 16385 << 0x3fb000u << paced;
}

// sb sends 1 KiB STX blocks, its header carries mtime and mode after the
// size, and its end-of-batch block is not all zeros: the flash must still
// hold exactly the file at the start address and erased flash after it.
void tst_SimLrzsz::upgradeWithSb()
{
    QFETCH(int, size);
    QFETCH(uint, address);
    QFETCH(QStringList, simArgs);
    SimFixture sim(simArgs);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));

    QTemporaryDir work;
    const QByteArray file = pattern(size, size);
    const QString path = work.filePath(QStringLiteral("image.bin"));
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(file), qint64(size));
    }

    HostPort host(sim.portPath());
    QVERIFY(host.isOpen());
    // A paced line carries only what is sent at the chip's speed: the host
    // follows the chip to the new one, as the tool does.
    if (simArgs.contains("--pace")) {
        host.command("baudrate 921600", QByteArray());
        QTRY_COMPARE(sim.state().baud, 921600);
        QVERIFY(host.setSpeed(B921600));
    }
    QCOMPARE(host.command("startaddr 0x" + QByteArray::number(address, 16), "pppp\r\n"), QByteArray("\r\npppp\r\n"));
    QCOMPARE(host.command("upgrade", "C"), QByteArray("C"));

    QProcess sb;
    sb.setWorkingDirectory(work.path());
    sb.setStandardInputFile(sim.portPath());
    sb.setStandardOutputFile(sim.portPath());
    sb.start(m_sb, {"--ymodem", "-k", "image.bin"});
    QVERIFY(sb.waitForStarted());
    QVERIFY2(sb.waitForFinished(120000), "sb did not finish");
    const QByteArray log = sb.readAllStandardError();
    QVERIFY2(sb.exitStatus() == QProcess::NormalExit && sb.exitCode() == 0, log.right(400).constData());

    const QByteArray flash = sim.flash();
    QCOMPARE(flash.size(), 4 << 20);
    QVERIFY(flash.mid(int(address), size) == file);
    const int end = (int(address) + size + 4095) / 4096 * 4096;
    QVERIFY(flash.mid(int(address) + size, end - int(address) - size)
            == QByteArray(end - int(address) - size, char(0xFF)));
    QCOMPARE(host.command("filecount", "\r\nfc:1\r\n").right(6), QByteArray("fc:1\r\n"));

    // The same sectors erased again read back as 0xFF.
    const int first = int(address) / 4096 * 4096;
    QCOMPARE(host.command("ferase 0x" + QByteArray::number(first, 16) + " 0x" + QByteArray::number(end - first, 16),
                          "pppp\r\n"),
             QByteArray("\r\npppp\r\n"));
    QVERIFY(sim.flash() == QByteArray(4 << 20, char(0xFF)));
}

QTEST_GUILESS_MAIN(tst_SimLrzsz)
#include "tst_simlrzsz.moc"
