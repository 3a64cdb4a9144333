// vq_flash: one programming run from the command line.
#include "chipcommand.h"
#include "resultcodes.h"
#include "serial.h"
#include "ymodemsender.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSerialPort>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {
// The RAM code runs every speed up to 2 Mbaud, but many USB bridges top out
// at 921600; it is the fastest speed that works nearly everywhere.
constexpr uint32_t kDefaultBaud = 921600;
constexpr uint32_t kBootRomBaud = 115200;
constexpr uint32_t kSectorSize = 4096;
// A terminal bar redrawn ten times a second reads smoothly without flooding a log.
constexpr int kProgressPeriodMs = 100;
constexpr int kBarWidth = 40;

constexpr int kExitOk = 0;
constexpr int kExitChipFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: vq_flash --port PORT [--baud N] [--high-speed] [--erase] [--reset] [--verbose] [FILE@ADDR ...]\n"
    "\n"
    "Programs a VQ571M / VQ5304 chip that waits in its boot ROM (115200 baud) on PORT.\n"
    "\n"
    "  --port PORT    serial port: a device path, or a name under /dev\n"
    "  --baud N       line speed for the flash transfer (default 921600)\n"
    "  --high-speed   load the high-speed RAM code\n"
    "  --erase        erase the whole flash before writing\n"
    "  --reset        reboot the chip after a successful run\n"
    "  --verbose      show the link's diagnostics on standard error\n"
    "  FILE@ADDR      write FILE at flash address ADDR (hexadecimal, with or without\n"
    "                 0x, a multiple of 0x1000); files are written in the order given\n"
    "\n"
    "RAM-code images and chip_info.json are read from config/ beside this program.\n"
    "Exit status: 0 success, 1 the chip run failed, 2 bad arguments.\n";

void out(FILE *stream, const QString &text)
{
    fputs(text.toUtf8().constData(), stream);
    fflush(stream);
}

int usageError(const QString &why)
{
    out(stderr, QStringLiteral("vq_flash: ") + why + QLatin1Char('\n') + QString::fromUtf8(kUsage));
    return kExitUsage;
}

struct Options {
    QString port;
    uint32_t baud = kDefaultBaud;
    bool highSpeed = false;
    bool erase = false;
    bool reset = false;
    bool verbose = false;
    QStringList files;
    QList<uint32_t> addresses;
};

// Returns an error text, empty when the arguments are good.
QString parse(const QStringList &args, Options *o, bool *help)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            *help = true;
        } else if (a == QLatin1String("--port") || a == QLatin1String("--baud")) {
            if (i + 1 >= args.size())
                return a + QStringLiteral(" needs a value");
            const QString value = args.at(++i);
            if (a == QLatin1String("--port")) {
                o->port = value;
            } else {
                bool ok = false;
                o->baud = value.toUInt(&ok, 10);
                if (!ok || o->baud == 0)
                    return QStringLiteral("bad baud rate \"%1\"").arg(value);
            }
        } else if (a == QLatin1String("--high-speed")) {
            o->highSpeed = true;
        } else if (a == QLatin1String("--erase")) {
            o->erase = true;
        } else if (a == QLatin1String("--reset")) {
            o->reset = true;
        } else if (a == QLatin1String("--verbose")) {
            o->verbose = true;
        } else if (a.startsWith(QLatin1Char('-'))) {
            return QStringLiteral("unknown option \"%1\"").arg(a);
        } else {
            // A path may itself hold '@'; the address follows the last one.
            const int at = a.lastIndexOf(QLatin1Char('@'));
            if (at <= 0)
                return QStringLiteral("\"%1\" is not FILE@ADDR").arg(a);
            QString hex = a.mid(at + 1);
            if (hex.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
                hex = hex.mid(2);
            bool ok = false;
            const uint address = hex.toUInt(&ok, 16);
            if (!ok || hex.isEmpty())
                return QStringLiteral("bad address in \"%1\"").arg(a);
            if (address % kSectorSize != 0)
                return QStringLiteral("address 0x%1 is not a multiple of 0x1000").arg(address, 0, 16);
            const QString file = a.left(at);
            const QFileInfo info(file);
            if (!info.isFile() || !info.isReadable())
                return QStringLiteral("cannot read \"%1\"").arg(file);
            o->files << info.absoluteFilePath();
            o->addresses << address;
        }
    }
    if (!*help && o->port.isEmpty())
        return QStringLiteral("--port is required");
    return QString();
}

class ProgressView
{
public:
    ProgressView(const chipCommand &cmd, int files)
        : cmd(cmd)
        , steps(files + 1)
        , terminal(isatty(fileno(stdout)))
    {
    }
    void show()
    {
        const double share = static_cast<double>(cmd.progress()) / steps;
        const int percent = qBound(0, static_cast<int>(share * 100.0), 100);
        if (percent == last)
            return;
        last = percent;
        if (terminal) {
            const int filled = percent * kBarWidth / 100;
            out(stdout, QStringLiteral("\r[%1%2] %3%")
                            .arg(QString(filled, QLatin1Char('#')), QString(kBarWidth - filled, QLatin1Char(' ')))
                            .arg(percent, 3));
        } else {
            out(stdout, QStringLiteral("%1%\n").arg(percent));
        }
    }
    void finish()
    {
        if (terminal && last >= 0)
            out(stdout, QStringLiteral("\n"));
    }

private:
    const chipCommand &cmd;
    const int steps;
    const bool terminal;
    int last = -1;
};
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Options options;
    bool help = false;
    const QString error = parse(app.arguments().mid(1), &options, &help);
    if (!error.isEmpty())
        return usageError(error);
    if (help) {
        out(stdout, QString::fromUtf8(kUsage));
        return kExitOk;
    }

    if (!options.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    Serial link;
    if (!link.openPort(options.port, kBootRomBaud)) {
        out(stderr, QStringLiteral("串口打开失败！") + QStringLiteral(" (%1: %2)\n").arg(options.port, link.port->errorString()));
        return kExitChipFailed;
    }
    chipCommand cmd;
    cmd.setSerial(&link);

    // The run pumps this thread's events while it waits, so the timer
    // samples progress in between without a second thread.
    ProgressView view(cmd, options.files.size());
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&view] { view.show(); });
    ticker.start(kProgressPeriodMs);
    const uint32_t code = cmd.programFlash(options.baud, options.addresses, options.files, options.erase ? 1 : 2,
                                           options.highSpeed);
    ticker.stop();
    if (code == resultCode::kSuccess)
        view.show();
    view.finish();

    out(stdout, cmd.flashId.isEmpty() ? QStringLiteral("未读取到Flash ID\n") : QStringLiteral("Flash ID:") + cmd.flashId + '\n');
    out(stdout, cmd.flashUid.isEmpty() ? QStringLiteral("未读取到Flash UID\n")
                                       : QStringLiteral("Flash UID:") + cmd.flashUid + '\n');
    if (code != resultCode::kSuccess) {
        const uint32_t transfer = code & resultCode::kTransferMask;
        out(stderr, QStringLiteral("下载失败，错误代码为：0x") + QString::number(code, 16) + QLatin1Char(',')
                        + resultText(code & ~resultCode::kTransferMask) + QLatin1Char('\n'));
        if (transfer != 0)
            out(stderr, QStringLiteral("传输文件时失败，错误代码为：0x") + QString::number(transfer, 16) + QLatin1Char(',')
                            + resultText(transfer) + QLatin1Char('\n'));
        link.closePort();
        return kExitChipFailed;
    }
    out(stdout, QStringLiteral("烧录成功！\n"));
    if (options.reset)
        cmd.rebootChip();
    link.closePort();
    return kExitOk;
}
