// The YMODEM sender's bytes as a raw receiver on a pseudo-terminal sees
// them, against packets this suite builds on its own (with its own CRC), and
// the CRC against published check values.
#include "ptypeer.h"
#include "resultcodes.h"
#include "serial.h"
#include "ymodemsender.h"

#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

namespace {
constexpr char kSoh = 0x01;
constexpr char kStx = 0x02;
constexpr char kEot = 0x04;
constexpr char kCan = 0x18;
const QByteArray kAckC("\x06" "C", 2);
const QByteArray kAck(1, 0x06);
const QByteArray kNak(1, 0x15);

// A third CRC, bit by bit, for the expected packets.
uint16_t referenceCrc(const QByteArray &field)
{
    uint16_t crc = 0;
    for (char c : field) {
        crc ^= static_cast<uint16_t>(static_cast<uint8_t>(c) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

QByteArray framed(char start, int number, const QByteArray &field, bool withCrc = true)
{
    QByteArray p;
    p.append(start).append(static_cast<char>(number)).append(static_cast<char>(255 - number)).append(field);
    const uint16_t crc = withCrc ? referenceCrc(field) : 0;
    p.append(static_cast<char>(crc >> 8)).append(static_cast<char>(crc & 0xFF));
    return p;
}

QByteArray header(int size)
{
    QByteArray field = "test.bin" + QByteArray(1, '\0') + QByteArray::number(size);
    field.append(QByteArray(128 - field.size(), '\0'));
    return framed(kSoh, 0, field);
}

QByteArray block(int number, const QByteArray &data, int blockSize)
{
    const int field = data.size() <= 128 ? 128 : blockSize;
    return framed(data.size() <= 128 ? kSoh : kStx, number, data + QByteArray(field - data.size(), '\x1a'));
}

QByteArray endOfBatch()
{
    return framed(kSoh, 0, QByteArray(128, '\0'), false);
}

QByteArray content(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    return bytes;
}

// A receiver that takes whole packets off the master side and answers each
// with the next scripted reply.
class RawReceiver
{
public:
    RawReceiver(int master, int blockSize, const QByteArrayList &replies)
        : master(master)
        , blockSize(blockSize)
        , replies(replies)
    {
        worker = std::thread([this] { run(); });
    }
    ~RawReceiver()
    {
        stop = true;
        worker.join();
    }
    QByteArray received()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return all;
    }

private:
    // Length of the packet that starts the buffer, 0 while unknown.
    int packetLength(const QByteArray &in) const
    {
        if (in.isEmpty())
            return 0;
        switch (in.at(0)) {
        case kSoh:
            return 133;
        case kStx:
            return blockSize + 5;
        case kCan:
            return in.size();
        default:
            return 1;
        }
    }

    void run()
    {
        PtyPeer::writeAll(master, "C");
        QByteArray pending;
        int next = 0;
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            char buf[65536];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0)
                continue;
            {
                std::lock_guard<std::mutex> lock(mutex);
                all.append(buf, static_cast<int>(n));
            }
            pending.append(buf, static_cast<int>(n));
            for (int length = packetLength(pending); length > 0 && pending.size() >= length;
                 length = packetLength(pending)) {
                pending.remove(0, length);
                if (next < replies.size())
                    PtyPeer::writeAll(master, replies.at(next++));
            }
        }
    }

    int master;
    int blockSize;
    QByteArrayList replies;
    std::atomic<bool> stop{false};
    std::thread worker;
    std::mutex mutex;
    QByteArray all;
};
} // namespace

class tst_ymodem_wire : public QObject
{
    Q_OBJECT

private slots:
    void crcCheckValues_data();
    void crcCheckValues();
    void packetsOnTheWire_data();
    void packetsOnTheWire();
    void closedPortEndsTheTransfer();
};

void tst_ymodem_wire::crcCheckValues_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<uint>("crc");
    QTest::newRow("check string") << QByteArray("123456789") << 0x31C3u;
    QTest::newRow("one letter") << QByteArray("A") << 0x58E5u;
    QTest::newRow("ones") << QByteArray(4, '\xff') << 0x99CFu;
    QByteArray ramp(256, '\0');
    for (int i = 0; i < 256; ++i)
        ramp[i] = static_cast<char>(i);
    QTest::newRow("every byte value") << ramp << 0x7E55u;
    QTest::newRow("empty") << QByteArray() << 0u;
}

void tst_ymodem_wire::crcCheckValues()
{
    QFETCH(QByteArray, bytes);
    QFETCH(uint, crc);
    QCOMPARE(static_cast<uint>(ymodemSender::crc16(reinterpret_cast<const uint8_t *>(bytes.constData()), bytes.size())),
             crc);
    QCOMPARE(static_cast<uint>(referenceCrc(bytes)), crc);
}

void tst_ymodem_wire::packetsOnTheWire_data()
{
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArrayList>("replies");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<uint>("code");
    const QByteArrayList plain{kAckC, kAck, kNak, kAckC, kAck};
    const QByteArray tail = QByteArray(1, kEot) + QByteArray(1, kEot) + endOfBatch();

    QByteArray one = content(1);
    QTest::newRow("one byte: SOH block, 127 fill bytes")
        << 1024 << one << plain << header(1) + block(1, one, 1024) + tail << 255u;
    QByteArray small = content(130);
    QTest::newRow("130 bytes: one 1 KiB STX block") << 1024 << small << plain
                                                    << header(130) + block(1, small, 1024) + tail << 255u;
    QByteArray exact = content(16384);
    QTest::newRow("16 KiB: one STX block, no fill") << 16384 << exact << plain
                                                   << header(16384) + block(1, exact, 16384) + tail << 255u;
    QByteArray over = content(16385);
    QTest::newRow("16 KiB + 1: STX block, then SOH block")
        << 16384 << over << QByteArrayList{kAckC, kAck, kAck, kNak, kAckC, kAck}
        << header(16385) + block(1, over.left(16384), 16384) + block(2, over.mid(16384), 16384) + tail << 255u;
    QTest::newRow("header refused once: sent again at once")
        << 1024 << small << QByteArrayList{kNak, kAckC, kAck, kNak, kAckC, kAck}
        << header(130) + header(130) + block(1, small, 1024) + tail << 255u;
    QTest::newRow("block refused once: the same block again")
        << 1024 << small << QByteArrayList{kAckC, kNak, kAck, kNak, kAckC, kAck}
        << header(130) + block(1, small, 1024) + block(1, small, 1024) + tail << 255u;
    QTest::newRow("receiver cancels: five CAN back")
        << 1024 << small << QByteArrayList{QByteArray(5, kCan)} << header(130) + QByteArray(5, kCan) << 241u;
}

void tst_ymodem_wire::packetsOnTheWire()
{
    QFETCH(int, blockSize);
    QFETCH(QByteArray, file);
    QFETCH(QByteArrayList, replies);
    QFETCH(QByteArray, expected);
    QFETCH(uint, code);
    QTemporaryDir dir;
    const QString path = dir.filePath("image.bin");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(file);
    f.close();

    PtyPeer pty;
    QVERIFY(pty.ok());
    Serial link;
    QVERIFY(link.openPort(pty.slavePath, 115200));
    RawReceiver receiver(pty.master, blockSize, replies);
    ymodemSender sender;
    sender.chunkSize = blockSize;
    sender.blockSize = blockSize;
    QCOMPARE(static_cast<uint>(sender.sendFile(path, &link)), code);
    QTRY_VERIFY_WITH_TIMEOUT(receiver.received().size() >= expected.size(), 30000);
    const QByteArray got = receiver.received();
    QCOMPARE(got.size(), expected.size());
    for (int i = 0; i < got.size(); ++i) {
        if (got.at(i) != expected.at(i))
            QFAIL(qPrintable(QStringLiteral("byte %1: 0x%2, expected 0x%3")
                                 .arg(i)
                                 .arg(static_cast<uint8_t>(got.at(i)), 2, 16, QLatin1Char('0'))
                                 .arg(static_cast<uint8_t>(expected.at(i)), 2, 16, QLatin1Char('0'))));
    }
}

// At 300 baud one 16 KiB block needs over nine minutes on the wire, and so
// does the idle limit: only the closed-port check ends this transfer soon.
void tst_ymodem_wire::closedPortEndsTheTransfer()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("image.bin");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content(40000));
    f.close();
    PtyPeer pty;
    QVERIFY(pty.ok());
    ymodemSender sender;
    sender.chunkSize = 16384;
    sender.blockSize = 16384;
    std::atomic<Serial *> link{nullptr};
    std::atomic<bool> release{false};
    std::atomic<int> code{-1};
    std::unique_ptr<QThread> job(QThread::create([&] {
        Serial own;
        if (own.openPort(pty.slavePath, 300)) {
            link = &own;
            code = sender.sendFile(path, &own);
        }
        while (!release)
            QThread::msleep(1);
        link = nullptr;
    }));
    job->start();
    // The receiver asks for the file, takes the header, then says nothing more.
    PtyPeer::writeAll(pty.master, "C");
    QByteArray seen;
    QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                 char buf[256];
                                 pollfd p{pty.master, POLLIN, 0};
                                 if (::poll(&p, 1, 0) > 0) {
                                     const ssize_t n = ::read(pty.master, buf, sizeof buf);
                                     if (n > 0)
                                         seen.append(buf, static_cast<int>(n));
                                 }
                                 return seen.size() >= 133;
                             }()),
                             30000);
    QVERIFY(link.load());
    link.load()->closePort();
    const bool ended = QTest::qWaitFor([&] { return code.load() != -1; }, 30000);
    if (!ended)
        sender.ownStop.raise(stopRequest::stop);
    release = true;
    QVERIFY(job->wait(60000));
    QVERIFY2(ended, "the transfer went on after its port was closed");
    QCOMPARE(static_cast<uint>(code.load()), resultCode::kTransferTimeout);
}

QTEST_GUILESS_MAIN(tst_ymodem_wire)
#include "tst_ymodem_wire.moc"
