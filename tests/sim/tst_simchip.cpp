// The chip simulator's state machine, driven in-process on a fake clock, and
// the simulator program's control channel and port handling.

#include "chipmodel.h"
#include "crc16.h"
#include "faults.h"
#include "simcrc.h"
#include "../simfixture.h"

#include <QFileInfo>
#include <QtTest>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int64_t kMs = 1000000;

// Drives a ChipModel on a clock that moves only when told to.
struct Driver {
    explicit Driver(const ChipOptions &o = ChipOptions()) : chip(o) {}

    QByteArray run(int64_t forNs)
    {
        const int64_t until = t + forNs;
        QByteArray out;
        for (;;) {
            const int64_t next = chip.nextTimer();
            if (next > until)
                break;
            t = std::max(t, next);
            chip.tick(t);
            for (auto &o : chip.takeOutput(t))
                out += o.bytes;
        }
        t = until;
        for (auto &o : chip.takeOutput(t))
            out += o.bytes;
        return out;
    }
    // The default wait covers the receiver's pause that tells a 1 KiB block
    // from the start of a 16 KiB one.
    QByteArray send(const QByteArray &bytes, int64_t waitNs = 100 * kMs)
    {
        chip.feed(bytes, t);
        return run(waitNs);
    }
    QByteArray command(const QByteArray &line, int64_t waitNs = 10 * kMs) { return send(line + "\r\n", waitNs); }

    ChipModel chip;
    int64_t t = 0;
};

QByteArray packet(int number, const QByteArray &data, int fieldLength)
{
    QByteArray field = data;
    field.append(QByteArray(fieldLength - data.size(), number == 0 ? '\0' : '\x1a'));
    const uint16_t crc = vqCrc16(reinterpret_cast<const uint8_t *>(field.constData()), field.size());
    QByteArray p;
    p.append(fieldLength == 128 ? '\x01' : '\x02');
    p.append(char(number & 0xFF));
    p.append(char(~number & 0xFF));
    p.append(field);
    p.append(char(crc >> 8));
    p.append(char(crc & 0xFF));
    return p;
}

// Letters for what the chip answered: A ACK, N NAK, C "C", X CAN, - nothing.
QString letters(const QByteArray &reply)
{
    if (reply.isEmpty())
        return QStringLiteral("-");
    QString s;
    for (char c : reply)
        s += c == 0x06 ? 'A' : c == 0x15 ? 'N' : c == 'C' ? 'C' : c == 0x18 ? 'X' : '?';
    return s;
}

// A YMODEM sender that logs each step and the chip's answer as "step:letters",
// giving up where the host's sender would stall or stop.
QString sendFile(Driver &d, const QByteArray &file, int blockSize, QString header = QString())
{
    QStringList log;
    if (header.isNull())
        header = QStringLiteral("test.bin");
    QByteArray h = header.toLatin1() + '\0' + QByteArray::number(file.size());
    for (int tries = 0;; ++tries) {
        const QString r = letters(d.send(packet(0, h, 128)));
        log << "H:" + r;
        if (r == QLatin1String("AC"))
            break;
        if (r != QLatin1String("N") || tries == 2)
            return log.join(' ');
    }
    int number = 1;
    for (int offset = 0; offset < file.size(); offset += blockSize, ++number) {
        const QByteArray chunk = file.mid(offset, blockSize);
        const int field = chunk.size() <= 128 ? 128 : blockSize;
        for (int tries = 0;; ++tries) {
            const QString r = letters(d.send(packet(number, chunk, field)));
            log << QString::number(number) + ':' + r;
            if (r == QLatin1String("A"))
                break;
            if (r != QLatin1String("N") || tries == 2)
                return log.join(' ');
        }
    }
    QString r = letters(d.send("\x04"));
    log << "E:" + r;
    if (r != QLatin1String("N"))
        return log.join(' ');
    r = letters(d.send("\x04"));
    log << "E:" + r;
    if (r != QLatin1String("AC"))
        return log.join(' ');
    log << "B:" + letters(d.send(packet(0, QByteArray(), 128)));
    return log.join(' ');
}

QByteArray pattern(int size, int seed)
{
    QByteArray b(size, Qt::Uninitialized);
    uint32_t x = uint32_t(seed) * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = char(x >> 16);
    }
    return b;
}

ChipOptions smallFlash()
{
    ChipOptions o;
    o.flashSize = 256 * 1024;
    return o;
}

bool isOk(const QStringList &reply)
{
    return reply.value(0) == QLatin1String("OK");
}

// A raw file descriptor on a simulator port, as a host opens it.
struct Port {
    explicit Port(const QString &path)
    {
        fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t;
        if (fd >= 0 && tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    ~Port()
    {
        if (fd >= 0)
            ::close(fd);
    }
    void write(const QByteArray &b) { QCOMPARE(::write(fd, b.constData(), size_t(b.size())), ssize_t(b.size())); }
    // Reads until `marker` shows up or the port stays quiet for `quietMs`.
    QByteArray readUntil(const QByteArray &marker, int quietMs = 3000)
    {
        QByteArray in;
        while (marker.isEmpty() || !in.contains(marker)) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, quietMs) <= 0)
                break;
            char buf[4096];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            in.append(buf, int(n));
        }
        return in;
    }
    int fd = -1;
};

} // namespace

class tst_SimChip : public QObject
{
    Q_OBJECT

private slots:
    void crcCheckValues_data();
    void crcCheckValues();
    void versionReply_data();
    void versionReply();
    void transfer_data();
    void transfer();
    void ramCodeCheck_data();
    void ramCodeCheck();
    void commandAfterNoise_data();
    void commandAfterNoise();
    void eraseAndAddress_data();
    void eraseAndAddress();
    void faultTable_data();
    void faultTable();
    void slowFlashDelaysAck();
    void bootPulse_data();
    void bootPulse();
    void rebootFollowsBootStrap_data();
    void rebootFollowsBootStrap();
    void bootSpeedLine_data();
    void bootSpeedLine();
    void speedCheck_data();
    void speedCheck();
    void controlChannel();
    void portSurvivesReopen();
    void runtimeFaultAndDisconnect();
    void fixtureFeedsChips();
};

void tst_SimChip::crcCheckValues_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<uint>("crc");
    QTest::newRow("check string") << QByteArray("123456789") << 0x31C3u;
    QTest::newRow("one letter") << QByteArray("A") << 0x58E5u;
    QTest::newRow("ones") << QByteArray(4, '\xff') << 0x99CFu;
    QTest::newRow("empty") << QByteArray() << 0u;
}

// The receiver's own CRC against published check values of CRC-16/XMODEM.
void tst_SimChip::crcCheckValues()
{
    QFETCH(QByteArray, bytes);
    QFETCH(uint, crc);
    QCOMPARE(uint(simCrc16(reinterpret_cast<const uint8_t *>(bytes.constData()), bytes.size())), crc);
}

void tst_SimChip::versionReply_data()
{
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<QByteArray>("romDate");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("inRam");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QByteArray>("absent");

    QTest::newRow("VQ5304 ROM") << QByteArray("VQ5304") << QByteArray() << QString() << false
                                << QByteArray("Aug  9 2021/16:16:40") << QByteArray("RAMCODE");
    QTest::newRow("VQ571M ROM") << QByteArray("VQ571M") << QByteArray() << QString() << false
                                << QByteArray("Mar 14 2021/00:23:32") << QByteArray("Aug  9");
    QTest::newRow("own date") << QByteArray("VQ571M") << QByteArray("Dec 24 2024/12:00:00") << QString() << false
                              << QByteArray("Dec 24 2024/12:00:00") << QByteArray("Mar 14");
    QTest::newRow("wrong date") << QByteArray("VQ5304") << QByteArray() << QString("wrong-date") << false
                                << QByteArray("\r\n") << QByteArray("Aug  9 2021/16:16:40");
    QTest::newRow("RAM") << QByteArray("VQ5304") << QByteArray() << QString() << true << QByteArray("RAMCODE")
                         << QByteArray("2021/");
    QTest::newRow("silent") << QByteArray("VQ5304") << QByteArray() << QString("silent") << false << QByteArray()
                            << QByteArray("\r\n");
    QTest::newRow("garbage only") << QByteArray("VQ5304") << QByteArray() << QString("garbage-only=20") << true
                                  << QByteArray() << QByteArray("RAMCODE");
}

void tst_SimChip::versionReply()
{
    QFETCH(QByteArray, model);
    QFETCH(QByteArray, romDate);
    QFETCH(QString, fault);
    QFETCH(bool, inRam);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, absent);
    ChipOptions o = smallFlash();
    o.model = model;
    o.romDate = romDate;
    Driver d(o);
    if (inRam) {
        QCOMPARE(letters(d.command("download [rambin] [0x20000000] [3000]")), QString("C"));
        QCOMPARE(sendFile(d, pattern(3000, 1), 1024), QString("H:AC 1:A 2:A 3:A E:N E:AC B:A"));
        QCOMPARE(d.chip.state(), ChipModel::Ram);
    }
    if (!fault.isEmpty()) {
        SimFault f;
        QVERIFY(parseSimFault(fault, &f, nullptr));
        d.chip.addFault(f);
    }
    if (!inRam)
        QCOMPARE(d.chip.state(), ChipModel::Rom);
    const QByteArray reply = d.command("version");
    QVERIFY2(reply.contains(expected), reply.constData());
    QVERIFY2(!reply.contains(absent), reply.constData());
    if (fault.startsWith("garbage"))
        QCOMPARE(reply.size(), 20);
}

void tst_SimChip::transfer_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<uint>("address");
    for (int block : {1024, 16384}) {
        for (int size : {1, 128, 129, 1024, 16384, 16385, 70000}) {
            const QByteArray name = QByteArray::number(size) + " in " + QByteArray::number(block);
            QTest::newRow(name.constData()) << size << block << uint(size % 2 ? 0x3000 : 0);
        }
    }
    // A real part drops the address bits above its size: a write past the
    // end is acknowledged and its tail lands on the first sectors.
    QTest::newRow("70000 from the last sector wraps") << 70000 << 16384 << 0x3f000u;
    QTest::newRow("100 past the end wraps whole") << 100 << 1024 << 0x40000u;
}

// What a transfer leaves in flash: the file at its address, not a byte of
// fill, and erased (0xFF) flash around it even where old data was.
void tst_SimChip::transfer()
{
    QFETCH(int, size);
    QFETCH(int, blockSize);
    QFETCH(uint, address);
    Driver d(smallFlash());
    d.chip.addFault(SimFault{SimFault::InRam});
    const QByteArray old = pattern(0x20000, 7);
    QCOMPARE(d.command("startaddr 0x0"), QByteArray("\r\npppp\r\n"));
    QCOMPARE(letters(d.command("upgrade")), QString("C"));
    QVERIFY(sendFile(d, old, 16384).endsWith("B:A"));

    const QByteArray file = pattern(size, size);
    QCOMPARE(d.command("startaddr 0x" + QByteArray::number(address, 16)), QByteArray("\r\npppp\r\n"));
    QCOMPARE(letters(d.command("upgrade")), QString("C"));
    const QString log = sendFile(d, file, blockSize);
    QVERIFY2(log.startsWith("H:AC 1:A") && log.endsWith("E:N E:AC B:A"), qPrintable(log));
    const QByteArray flash = d.chip.flash();
    if (int(address) + size > flash.size()) {
        const int start = int(address) % flash.size();
        const int head = qMin(size, flash.size() - start);
        QCOMPARE(flash.mid(start, head), file.left(head));
        QCOMPARE(flash.left(size - head), file.mid(head));
        QCOMPARE(d.command("filecount"), QByteArray("\r\nfc:2\r\n"));
        return;
    }
    QCOMPARE(flash.mid(int(address), size), file);
    const int sectorStart = int(address) / 4096 * 4096;
    const int sectorEnd = (int(address) + size + 4095) / 4096 * 4096;
    QCOMPARE(flash.mid(sectorStart, int(address) - sectorStart), QByteArray(int(address) - sectorStart, char(0xFF)));
    QCOMPARE(flash.mid(int(address) + size, sectorEnd - int(address) - size),
             QByteArray(sectorEnd - int(address) - size, char(0xFF)));
    QCOMPARE(flash.mid(sectorEnd, 0x20000 - sectorEnd), old.mid(sectorEnd));
    QCOMPARE(d.command("filecount"), QByteArray("\r\nfc:2\r\n"));
}

void tst_SimChip::ramCodeCheck_data()
{
    QTest::addColumn<bool>("check");
    QTest::addColumn<bool>("corrupt");
    QTest::addColumn<int>("state");
    QTest::newRow("any load runs") << false << true << int(ChipModel::Ram);
    QTest::newRow("expected image runs") << true << false << int(ChipModel::Ram);
    QTest::newRow("corrupted image hangs") << true << true << int(ChipModel::Hung);
}

void tst_SimChip::ramCodeCheck()
{
    QFETCH(bool, check);
    QFETCH(bool, corrupt);
    QFETCH(int, state);
    ChipOptions o = smallFlash();
    o.ramCode = pattern(5000, 3);
    o.checkRamCode = check;
    Driver d(o);
    QByteArray image = o.ramCode;
    if (corrupt)
        image[4999] = char(image[4999] ^ 1);
    QCOMPARE(letters(d.command("download [rambin] [0x20000000] [5000]")), QString("C"));
    QCOMPARE(sendFile(d, image, 1024), QString("H:AC 1:A 2:A 3:A 4:A 5:A E:N E:AC B:A"));
    QCOMPARE(int(d.chip.state()), state);
    QCOMPARE(d.command("version").contains("RAMCODE"), state == ChipModel::Ram);
    QCOMPARE(d.command("reboot"), QByteArray());
    if (state == ChipModel::Ram)
        QVERIFY(d.command("version").contains("Aug  9 2021/16:16:40"));
}

void tst_SimChip::commandAfterNoise_data()
{
    QTest::addColumn<QByteArray>("noise");
    QTest::addColumn<bool>("answers");
    QTest::newRow("sender's cancel") << QByteArray(5, '\x18') << true;
    QTest::newRow("binary bytes") << QByteArray("\x00\xff\x80", 3) << true;
    QTest::newRow("half a line, then LF") << QByteArray("flash_u\n") << true;
    QTest::newRow("half a line") << QByteArray("flash_u") << false;
}

// A command still works after what a cancelled transfer or a noisy line
// leaves in front of it.
void tst_SimChip::commandAfterNoise()
{
    QFETCH(QByteArray, noise);
    QFETCH(bool, answers);
    Driver d(smallFlash());
    d.send(noise);
    QCOMPARE(d.command("version").contains("Aug  9 2021/16:16:40"), answers);
}

void tst_SimChip::eraseAndAddress_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("passes");
    QTest::addColumn<int>("erasedFrom");
    QTest::addColumn<int>("erasedTo");
    QTest::newRow("chip") << QByteArray("ferase_all") << true << 0 << 0x40000;
    QTest::newRow("sectors") << QByteArray("ferase 0x1000 0x2000") << true << 0x1000 << 0x3000;
    QTest::newRow("nothing") << QByteArray("ferase 0x1000 0x0") << true << 0 << 0;
    QTest::newRow("unaligned address") << QByteArray("ferase 0x1001 0x1000") << false << 0 << 0;
    QTest::newRow("unaligned length") << QByteArray("ferase 0x1000 0x800") << false << 0 << 0;
    QTest::newRow("past the end") << QByteArray("ferase 0x3f000 0x2000") << false << 0 << 0;
    QTest::newRow("not hex") << QByteArray("ferase 4096 4096") << false << 0 << 0;
    QTest::newRow("address in flash") << QByteArray("startaddr 0x3ffff") << true << 0 << 0;
    // The RAM code does not check an address against its part's size.
    QTest::newRow("address past flash") << QByteArray("startaddr 0x40000") << true << 0 << 0;
    QTest::newRow("address garbage") << QByteArray("startaddr 0xzz") << false << 0 << 0;
}

void tst_SimChip::eraseAndAddress()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, passes);
    QFETCH(int, erasedFrom);
    QFETCH(int, erasedTo);
    Driver d(smallFlash());
    d.chip.addFault(SimFault{SimFault::InRam});
    const QByteArray old = pattern(0x40000, 9);
    d.command("upgrade");
    QVERIFY(sendFile(d, old, 16384).endsWith("B:A"));
    QCOMPARE(d.command(line), QByteArray(passes ? "\r\npppp\r\n" : "\r\nffff\r\n"));
    QByteArray expected = old;
    if (erasedTo > erasedFrom)
        expected.replace(erasedFrom, erasedTo - erasedFrom, QByteArray(erasedTo - erasedFrom, char(0xFF)));
    QVERIFY(d.chip.flash() == expected);
}

void tst_SimChip::faultTable_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("log");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("replies");

    const QByteArray none;
    QTest::newRow("none") << QString() << "H:AC 1:A 2:A 3:A E:N E:AC B:A" << none << none;
    QTest::newRow("nak header") << "nak=0" << "H:N H:AC 1:A 2:A 3:A E:N E:AC B:A" << none << none;
    QTest::newRow("nak once") << "nak=2" << "H:AC 1:A 2:N 2:A 3:A E:N E:AC B:A" << none << none;
    QTest::newRow("nak always") << "nak-always=3" << "H:AC 1:A 2:A 3:N 3:N 3:N" << none << none;
    QTest::newRow("nak aimed at RAM load") << "nak=ram:2" << "H:AC 1:A 2:A 3:A E:N E:AC B:A" << none << none;
    QTest::newRow("cancel") << "cancel=2" << "H:AC 1:A 2:XXXXX" << none << none;
    QTest::newRow("eot ack") << "eot-ack" << "H:AC 1:A 2:A 3:A E:A" << none << none;
    QTest::newRow("eot ack aimed at RAM load") << "eot-ack=ram" << "H:AC 1:A 2:A 3:A E:N E:AC B:A" << none << none;
    QTest::newRow("disconnect") << "disconnect=2" << "H:AC 1:A 2:-" << none << none;
    QTest::newRow("erase fails once") << "erase-fail" << "" << QByteArray("ferase_all")
                                      << QByteArray("\r\nffff\r\n|\r\npppp\r\n");
    QTest::newRow("erase fails always") << "erase-fail-always" << "" << QByteArray("ferase 0x0 0x1000")
                                        << QByteArray("\r\nffff\r\n|\r\nffff\r\n");
    QTest::newRow("address fails once") << "addr-fail" << "" << QByteArray("startaddr 0x1000")
                                        << QByteArray("\r\nffff\r\n|\r\npppp\r\n");
    QTest::newRow("address fails always") << "addr-fail-always" << "" << QByteArray("startaddr 0x1000")
                                          << QByteArray("\r\nffff\r\n|\r\nffff\r\n");
    QTest::newRow("file count high") << "filecount-off" << "" << QByteArray("filecount")
                                     << QByteArray("\r\nfc:1\r\n|\r\nfc:1\r\n");
    QTest::newRow("file count low") << "filecount-off=-1" << "H:AC 1:A 2:A 3:A E:N E:AC B:A"
                                    << QByteArray("filecount") << QByteArray("\r\nfc:0\r\n|\r\nfc:0\r\n");
    QTest::newRow("garbage before replies") << "garbage=5" << "" << QByteArray("startaddr 0x0")
                                            << QByteArray("#####\r\npppp\r\n|#####\r\npppp\r\n");
    QTest::newRow("baud ignored") << "baud-ignored" << "" << QByteArray("baudrate 921600") << QByteArray("|");
    QTest::newRow("flash test fails") << "flash-test-fail" << "" << QByteArray("flash_test ")
                                      << QByteArray("\r\nflash test: error at pos 0x00000000\r\n|"
                                                    "\r\nflash test: error at pos 0x00000000\r\n");
    QTest::newRow("flash test passes") << QString() << "" << QByteArray("flash_test ")
                                       << QByteArray("\r\nflash test: no error\r\n|\r\nflash test: no error\r\n");
}

// Each fault against a healthy RAM code: a 3-block transfer (logged step by
// step) when `log` is set, then `command` twice, answered by `replies` (the
// two answers separated by "|", '#' standing for any byte; a command that
// leaves the chip deaf is followed by "version").
void tst_SimChip::faultTable()
{
    QFETCH(QString, fault);
    QFETCH(QString, log);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, replies);
    Driver d(smallFlash());
    d.chip.addFault(SimFault{SimFault::InRam});
    // A fault aimed at the RAM-code load must leave flash transfers alone.
    if (!fault.isEmpty()) {
        SimFault f;
        QString error;
        QVERIFY2(parseSimFault(fault, &f, &error), qPrintable(error));
        d.chip.addFault(f);
    }
    const QByteArray file = pattern(2 * 16384 + 100, 5);
    if (!log.isEmpty()) {
        QCOMPARE(d.command("startaddr 0x1000"), QByteArray("\r\npppp\r\n"));
        QCOMPARE(letters(d.command("upgrade")), QString("C"));
        QCOMPARE(sendFile(d, file, 16384), log);
        const bool allAcked = log.contains("E:");
        QCOMPARE(d.chip.flash().mid(0x1000, file.size()) == file, allAcked);
        QCOMPARE(d.chip.disconnected(), fault.startsWith("disconnect"));
        if (fault.startsWith("eot-ack"))
            QCOMPARE(d.chip.fileCount(), 1);
    }
    if (command.isEmpty())
        return;
    const QList<QByteArray> expected = replies.split('|');
    for (int i = 0; i < 2; ++i) {
        QByteArray got = d.command(command, 3000 * kMs);
        if (command.startsWith("baudrate"))
            got = d.command("version");
        QCOMPARE(got.size(), expected[i].size());
        for (int k = 0; k < got.size(); ++k)
            if (expected[i][k] != '#')
                QCOMPARE(got[k], expected[i][k]);
    }
}

// The ACK of a block waits for the erase of the sectors it opens and for
// programming its pages, on the chip's own clock.
void tst_SimChip::slowFlashDelaysAck()
{
    Driver d(smallFlash());
    d.chip.addFault(SimFault{SimFault::InRam});
    SimFault slow;
    QVERIFY(parseSimFault("slow-flash=30000,1000", &slow, nullptr));
    d.chip.addFault(slow);
    d.command("upgrade");
    QCOMPARE(letters(d.send(packet(0, QByteArray("f\0" "20000", 8), 128))), QString("AC"));
    // 16384 bytes: four new sectors of 30 ms and 64 pages of 1 ms.
    QCOMPARE(letters(d.send(packet(1, pattern(16384, 1), 16384), 183 * kMs)), QString("-"));
    QCOMPARE(letters(d.run(2 * kMs)), QString("A"));
    // 3616 bytes: the fifth sector is new, the 15 pages are programmed.
    QCOMPARE(letters(d.send(packet(2, pattern(3616, 2), 16384), 44 * kMs)), QString("-"));
    QCOMPARE(letters(d.run(2 * kMs)), QString("A"));
    // The whole-chip erase defaults to one sector erase per sector: 64 here.
    QCOMPARE(letters(d.send("\x04")), QString("N"));
    QCOMPARE(letters(d.send("\x04")), QString("AC"));
    QCOMPARE(letters(d.send(packet(0, QByteArray(), 128))), QString("A"));
    QCOMPARE(d.command("ferase_all", 1919 * kMs), QByteArray());
    QCOMPARE(d.run(2 * kMs), QByteArray("\r\npppp\r\n"));
}

void tst_SimChip::bootPulse_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("state");
    QTest::newRow("entry pulse") << QStringList{"DTR 1", "RTS 0", "RTS 1", "DTR 0", "DTR 1", "RTS 0"} << "ROM";
    QTest::newRow("retry pulse") << QStringList{"RTS 1", "DTR 0", "DTR 1", "RTS 0", "DTR 0"} << "ROM";
    QTest::newRow("reset without BOOT") << QStringList{"RTS 1", "DTR 0", "RTS 0"} << "APP";
    QTest::newRow("held in reset") << QStringList{"DTR 1", "RTS 1"} << "OFF";
    QTest::newRow("no reset") << QStringList{"DTR 1", "DTR 0"} << "APP";
}

void tst_SimChip::bootPulse()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, state);
    SimFixture sim({"--boot-pulse"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    QCOMPARE(sim.state().where, QString("APP"));
    for (const QString &s : steps)
        QCOMPARE(sim.request(s), QStringList{"OK"});
    QCOMPARE(sim.state().where, state);
    Port port(sim.portPath());
    port.write("version\r\n");
    const QByteArray reply = port.readUntil("\r\n", state == "ROM" ? 5000 : 300);
    QCOMPARE(reply.contains("Aug  9 2021/16:16:40"), state == "ROM");

    const QVector<SimFixture::Event> events = sim.events();
    QCOMPARE(events.size(), steps.size());
    for (int i = 0; i < steps.size(); ++i) {
        QCOMPARE(events[i].line + ' ' + (events[i].level ? '1' : '0'), steps[i]);
        if (i)
            QVERIFY(events[i].us >= events[i - 1].us);
    }
}

void tst_SimChip::rebootFollowsBootStrap_data()
{
    QTest::addColumn<bool>("straps");
    QTest::addColumn<bool>("dtr");
    QTest::addColumn<int>("state");
    QTest::newRow("no straps") << false << false << int(ChipModel::Rom);
    QTest::newRow("BOOT held") << true << true << int(ChipModel::Rom);
    QTest::newRow("BOOT released") << true << false << int(ChipModel::App);
}

void tst_SimChip::rebootFollowsBootStrap()
{
    QFETCH(bool, straps);
    QFETCH(bool, dtr);
    QFETCH(int, state);
    ChipOptions o = smallFlash();
    o.bootPulse = straps;
    Driver d(o);
    d.chip.setDtr(true, d.t);
    d.chip.setRts(true, d.t);
    d.chip.setRts(false, d.t);
    QCOMPARE(d.chip.state(), ChipModel::Rom);
    QCOMPARE(letters(d.command("download [rambin] [0x20000000] [100]")), QString("C"));
    QVERIFY(sendFile(d, pattern(100, 1), 1024).endsWith("B:A"));
    QVERIFY(d.command("baudrate 921600").isEmpty());
    QCOMPARE(d.chip.baud(), 921600);
    d.chip.setDtr(dtr, d.t);
    d.command("reboot");
    QCOMPARE(int(d.chip.state()), state);
    QCOMPARE(d.chip.baud(), 115200);
}

void tst_SimChip::bootSpeedLine_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("baud");
    QTest::newRow("taken after settling") << QString() << QByteArray("baudrate [boot][2000000]") << 2000000;
    QTest::newRow("ignored by the ROM") << "boot-baud-ignored" << QByteArray("baudrate [boot][2000000]") << 115200;
    QTest::newRow("burn form, a RAM-code command") << QString() << QByteArray("baudrate 2000000") << 115200;
}

// The boot ROM is deaf while it reprograms its UART, then talks at the new
// speed, and the RAM code it starts keeps that speed.
void tst_SimChip::bootSpeedLine()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, line);
    QFETCH(int, baud);
    Driver d;
    if (!fault.isEmpty()) {
        SimFault f;
        QVERIFY(parseSimFault(fault, &f, nullptr));
        d.chip.addFault(f);
    }
    QCOMPARE(d.command(line, 1 * kMs), QByteArray());
    QCOMPARE(d.chip.baud(), 115200);
    QCOMPARE(d.command("version", 1 * kMs).contains("boot rom"), baud == 115200);
    d.run(10 * kMs);
    QCOMPARE(d.chip.baud(), baud);
    QVERIFY(d.command("version").contains("boot rom VQ5304"));
    QCOMPARE(letters(d.command("download [rambin] [0x20000000] [100]")), QString("C"));
    QVERIFY(sendFile(d, pattern(100, 1), 1024).endsWith("B:A"));
    QCOMPARE(d.chip.state(), ChipModel::Ram);
    QCOMPARE(d.chip.baud(), baud);
}

void tst_SimChip::speedCheck_data()
{
    QTest::addColumn<QByteArray>("chipBaud");
    QTest::addColumn<int>("hostSpeed");
    QTest::addColumn<bool>("answers");
    QTest::addColumn<QString>("option");
    QTest::newRow("both at 115200") << QByteArray() << int(B115200) << true << "--check-speed";
    QTest::newRow("chip moved, host did not") << QByteArray("921600") << int(B115200) << false << "--check-speed";
    QTest::newRow("both moved") << QByteArray("921600") << int(B921600) << true << "--check-speed";
    QTest::newRow("host moved alone") << QByteArray() << int(B921600) << false << "--check-speed";
    QTest::newRow("both at 3000000") << QByteArray("3000000") << int(B3000000) << true << "--check-speed";
    QTest::newRow("chip at 3000000, host at 2000000") << QByteArray("3000000") << int(B2000000) << false
                                                      << "--check-speed";
    // A paced line is a real one: a ROM that kept its speed does not answer
    // a host that believes it raised it.
    QTest::newRow("paced, host moved alone") << QByteArray() << int(B2000000) << false << "--pace";
}

// With --check-speed (or --pace) a host that forgets to follow the chip's
// speed hears nothing, and is not heard.
void tst_SimChip::speedCheck()
{
    QFETCH(QByteArray, chipBaud);
    QFETCH(int, hostSpeed);
    QFETCH(bool, answers);
    QFETCH(QString, option);
    SimFixture sim({option, "--fault", "in-ram"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    Port port(sim.portPath());
    if (!chipBaud.isEmpty()) {
        port.write("baudrate " + chipBaud + "\r\n");
        QCOMPARE(port.readUntil(QByteArray(), 300), QByteArray());
        QCOMPARE(sim.state().baud, chipBaud.toInt());
    }
    termios t;
    QCOMPARE(tcgetattr(port.fd, &t), 0);
    cfsetspeed(&t, speed_t(hostSpeed));
    QCOMPARE(tcsetattr(port.fd, TCSANOW, &t), 0);
    port.write("version\r\n");
    QCOMPARE(port.readUntil("RAMCODE VQ5304\r\n", answers ? 5000 : 300).contains("RAMCODE"), answers);
    port.write("startaddr 0x1000\r\n");
    QCOMPARE(port.readUntil("pppp\r\n", answers ? 5000 : 300).contains("pppp"), answers);
}

void tst_SimChip::controlChannel()
{
    SimFixture sim({}, 2);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    QCOMPARE(sim.count(), 2);
    QCOMPARE(sim.request("DSR"), QStringList{"DSR 0"});
    QVERIFY(sim.setDsr(true, 1));
    QCOMPARE(sim.request("DSR", 1), QStringList{"DSR 1"});
    QCOMPARE(sim.request("DSR", 0), QStringList{"DSR 0"});
    QCOMPARE(sim.events(1).size(), 1);
    QVERIFY(sim.clearEvents(1));
    QCOMPARE(sim.events(1).size(), 0);
    QCOMPARE(sim.request("SETDSR 2").value(0).left(4), QString("ERR "));
    QCOMPARE(sim.request("HELLO").value(0).left(4), QString("ERR "));
    QCOMPARE(sim.request("FAULT nak=x").value(0).left(4), QString("ERR "));
    QCOMPARE(sim.request("FAULT nope").value(0).left(4), QString("ERR "));
    const SimFixture::State s = sim.state();
    QCOMPARE(s.where, QString("ROM"));
    QCOMPARE(s.baud, 115200);
    QCOMPARE(s.fileCount, 0);
}

// A host that closes the port and opens it again finds the chip as it was.
void tst_SimChip::portSurvivesReopen()
{
    SimFixture sim({"--pace", "--stats"});
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    for (int i = 0; i < 3; ++i) {
        Port port(sim.portPath());
        QVERIFY(port.fd >= 0);
        port.write("version\r\n");
        QVERIFY(port.readUntil("16:16:40\r\n").contains("Aug  9 2021/16:16:40"));
    }
    sim.stop();
    QVERIFY2(sim.log().startsWith("COM1 late: feeding "), qPrintable(sim.log()));
}

void tst_SimChip::runtimeFaultAndDisconnect()
{
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    Port port(sim.portPath());
    QVERIFY(sim.addFault("silent"));
    port.write("version\r\n");
    QCOMPARE(port.readUntil(QByteArray(), 300), QByteArray());
    QVERIFY(sim.clearFaults());
    QVERIFY(sim.addFault("in-ram"));
    QCOMPARE(sim.state().where, QString("RAM"));
    port.write("version\r\n");
    QVERIFY(port.readUntil("RAMCODE").contains("RAMCODE"));
    QVERIFY(sim.addFault("disconnect=2"));
    port.write("upgrade\r\n");
    QCOMPARE(port.readUntil("C"), QByteArray("C"));
    port.write(packet(0, QByteArray("f\0" "1027", 6), 128));
    QCOMPARE(port.readUntil("C"), QByteArray("\x06" "C"));
    const QByteArray first = pattern(1024, 2);
    port.write(packet(1, first, 1024));
    QCOMPARE(port.readUntil("\x06"), QByteArray("\x06"));
    // An acknowledged block is in the flash file before the transfer ends.
    QCOMPARE(sim.flash().left(1024), first);
    port.write(packet(2, "abc", 128));
    // The pty is gone: the host's port reports hang-up, the link vanishes.
    pollfd p{port.fd, POLLIN, 0};
    QVERIFY(::poll(&p, 1, 5000) == 1);
    QVERIFY(p.revents & (POLLHUP | POLLERR));
    QVERIFY(!QFileInfo::exists(sim.portPath()));
    QCOMPARE(sim.state().where, QString("OFF"));
}

// The fixture requests a production line is tested with: each NEXTCHIP is
// another chip, a timed press ends on the simulator's clock, and a device
// that was unplugged comes back under the same link.
void tst_SimChip::fixtureFeedsChips()
{
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    QStringList uids;
    for (int chip = 0; chip < 3; ++chip) {
        Port port(sim.portPath());
        QVERIFY(port.fd >= 0);
        port.write("version\r\n");
        QVERIFY(port.readUntil("16:40\r\n").contains("16:40"));
        // The press of NEXTCHIP ends once the new chip has heard the host.
        QCOMPARE(sim.request("DSR"), QStringList{"DSR 0"});
        QVERIFY(sim.addFault("in-ram"));
        port.write("flash_uid\r\n");
        const QByteArray reply = port.readUntil("\r\n\r\n", 500);
        const int at = reply.indexOf("uid:");
        QVERIFY(at >= 0);
        uids << QString::fromLatin1(reply.mid(at + 4, 34));
        // One block into the flash, which the next chip must not have.
        port.write("upgrade\r\n");
        QCOMPARE(port.readUntil("C"), QByteArray("C"));
        port.write(packet(0, QByteArray("f\0" "1024", 6), 128));
        QCOMPARE(port.readUntil("C"), QByteArray("\x06" "C"));
        port.write(packet(1, pattern(1024, chip), 1024));
        QCOMPARE(port.readUntil("\x06"), QByteArray("\x06"));
        QCOMPARE(sim.flash().left(1024), pattern(1024, chip));
        QVERIFY(isOk(sim.request("NEXTCHIP")));
        QCOMPARE(sim.request("DSR"), QStringList{"DSR 1"});
        QCOMPARE(sim.state().where, QString("ROM"));
        QCOMPARE(sim.flash(), QByteArray(4 << 20, char(0xFF)));
    }
    QCOMPARE(QSet<QString>(uids.begin(), uids.end()).size(), 3);

    QVERIFY(isOk(sim.request("NEXTCHIP hold")));
    {
        Port port(sim.portPath());
        port.write("version\r\n");
        QVERIFY(port.readUntil("16:40\r\n").contains("16:40"));
    }
    QCOMPARE(sim.request("DSR"), QStringList{"DSR 1"});
    QVERIFY(sim.setDsr(false));

    QVERIFY(sim.clearEvents());
    QVERIFY(isOk(sim.request("PULSEDSR 30")));
    const QVector<SimFixture::Event> press = sim.events();
    QCOMPARE(press.size(), 2);
    QCOMPARE(press[1].us - press[0].us, qint64(30000));
    QTRY_COMPARE_WITH_TIMEOUT(sim.request("DSR"), QStringList{"DSR 0"}, 10000);
    QCOMPARE(sim.request("PULSEDSR 0").value(0).left(4), QString("ERR "));

    QVERIFY(isOk(sim.request("UNPLUG")));
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(sim.portPath()), 10000);
    QCOMPARE(sim.state().where, QString("OFF"));
    QVERIFY(isOk(sim.request("PLUG")));
    QVERIFY(QFileInfo::exists(sim.portPath()));
    Port port(sim.portPath());
    port.write("version\r\n");
    QVERIFY(port.readUntil("16:40\r\n").contains("16:40"));
}

QTEST_GUILESS_MAIN(tst_SimChip)
#include "tst_simchip.moc"
