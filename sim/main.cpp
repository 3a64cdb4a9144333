#include "portlist.h"
#include "simport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <csignal>
#include <cstdio>
#include <memory>
#include <pthread.h>
#include <vector>

namespace {

// A USB socket's name as Linux gives it under /dev/serial/by-path: chip k
// sits in port k of a hub on the first root port.
const char kSocketNamePattern[] = "platform-vq_chip_sim-usb-0:1.%1:1.0-port0";

// Big enough for any flash the chips carry, small enough to hold in memory.
constexpr qint64 kMaxFlashSize = 256LL << 20;

int usage(const QString &message)
{
    fprintf(stderr, "vq_chip_sim: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    // Signals are taken by sigwait below; blocking them before any thread
    // starts keeps them away from the chip threads.
    // A shell starts background jobs with SIGINT ignored, and an ignored
    // signal never reaches sigwait.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vq_chip_sim"));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Simulates VQ571M / VQ5304 chips on pseudo-terminals: the boot ROM, the RAM code and the flash. "
        "Each chip is published as the symlink DIR/COM<k> to its pty, with its control-line socket "
        "DIR/COM<k>.ctl (see sim/CONTROL.md); one line \"COM<k> <path>\" per chip on stdout when ready. "
        "Runs until SIGINT or SIGTERM.\n "
        "Faults (--fault NAME[=ARG], repeatable, or FAULT on the control socket):\n")
        + simFaultHelp());
    p.addHelpOption();
    const QCommandLineOption portDir(QStringLiteral("port-dir"),
                                     QStringLiteral("Folder for the port links and sockets (default: %1, where the "
                                                    "tool's port lists look; $VQ_SIM_PORT_DIR moves both).")
                                         .arg(simPortDir()),
                                     QStringLiteral("DIR"));
    const QCommandLineOption count(QStringLiteral("count"), QStringLiteral("Number of chips (default 1)."),
                                   QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption first(QStringLiteral("first"), QStringLiteral("Number of the first port COM<K> (default 1)."),
                                   QStringLiteral("K"), QStringLiteral("1"));
    const QCommandLineOption model(QStringLiteral("model"), QStringLiteral("Chip model VQ5304 (default) or VQ571M."),
                                   QStringLiteral("MODEL"), QStringLiteral("VQ5304"));
    const QCommandLineOption romDate(QStringLiteral("rom-date"),
                                     QStringLiteral("Build-date string of the boot ROM (default: the model's)."),
                                     QStringLiteral("TEXT"));
    const QCommandLineOption ramCode(QStringLiteral("ram-code"),
                                     QStringLiteral("Start the RAM code only when the loaded bytes equal FILE; "
                                                    "any other load leaves the chip silent. Default: any load runs."),
                                     QStringLiteral("FILE"));
    const QCommandLineOption flashSize(QStringLiteral("flash-size"),
                                       QStringLiteral("Flash size in bytes, a multiple of 4096 (default 4194304). "
                                                      "As on a real part, a write past the end is acknowledged "
                                                      "and wraps onto the first sectors."),
                                       QStringLiteral("BYTES"), QStringLiteral("4194304"));
    const QCommandLineOption flashDir(QStringLiteral("flash-dir"),
                                      QStringLiteral("Keep chip COM<k>'s flash in DIR/COM<k>.bin, current after every "
                                                     "acknowledged block and every erase."),
                                      QStringLiteral("DIR"));
    const QCommandLineOption pace(QStringLiteral("pace"),
                                  QStringLiteral("Let bytes cross no faster than (baud)/10 per second each way, "
                                                 "and, as on a real line, lose those sent at a speed other than the "
                                                 "chip's (implies --check-speed)."));
    const QCommandLineOption bootPulse(QStringLiteral("boot-pulse"),
                                       QStringLiteral("Enter the boot ROM only after a reset (RTS) with BOOT (DTR) held; "
                                                      "otherwise the chip starts in its boot ROM."));
    const QCommandLineOption fault(QStringLiteral("fault"), QStringLiteral("Add a fault (see Faults above)."),
                                   QStringLiteral("NAME[=ARG]"));
    const QCommandLineOption timing(QStringLiteral("flash-timing"),
                                    QStringLiteral("Flash timing in microseconds: erase of one 4 KiB sector, programming "
                                                   "of one 256-byte page, and optionally the whole-chip erase "
                                                   "(default: one sector erase per sector). Default: instant flash."),
                                    QStringLiteral("E,P[,C]"));
    const QCommandLineOption stats(QStringLiteral("stats"),
                                   QStringLiteral("On exit, print to stderr how late each chip's thread handled "
                                                  "bytes against their line times (the simulator's own latency)."));
    const QCommandLineOption checkSpeed(QStringLiteral("check-speed"),
                                        QStringLiteral("Lose every byte that crosses while the host's port speed "
                                                       "differs from the chip's, as a UART would."));
    const QCommandLineOption pressed(QStringLiteral("fixture-pressed"),
                                     QStringLiteral("Each fixture starts with its chip under a pressed lever (DSR 1), "
                                                    "let go once the host's first byte reaches the chip, as after "
                                                    "NEXTCHIP; otherwise the fixtures start open."));
    const QCommandLineOption byPath(QStringLiteral("by-path"),
                                    QStringLiteral("Also publish each chip as DIR/%1, a link to its port named after "
                                                   "the USB socket the chip sits in, as /dev/serial/by-path names "
                                                   "adapters; the link stays with the chip when PLUG COM<k> gives "
                                                   "its port another name, and is gone while it is unplugged. The "
                                                   "tool finds them where $VQ_PORT_BY_PATH_DIR says.")
                                        .arg(QLatin1String(kSocketNamePattern).arg(QStringLiteral("<k>"))),
                                    QStringLiteral("DIR"));
    p.addOptions({portDir, byPath, count, first, model, romDate, ramCode, flashSize, flashDir, pace, bootPulse, fault, timing,
                  stats, checkSpeed, pressed});
    p.process(app);

    bool ok = false;
    const int n = p.value(count).toInt(&ok);
    if (!ok || n < 1 || n > 256)
        return usage(QStringLiteral("bad --count"));
    const int k0 = p.value(first).toInt(&ok);
    if (!ok || k0 < 0)
        return usage(QStringLiteral("bad --first"));

    ChipOptions opt;
    opt.model = p.value(model).toLatin1();
    if (opt.model != "VQ5304" && opt.model != "VQ571M")
        return usage(QStringLiteral("unknown --model ") + p.value(model));
    if (p.isSet(romDate))
        opt.romDate = p.value(romDate).toLatin1();
    if (p.isSet(ramCode)) {
        QFile f(p.value(ramCode));
        if (!f.open(QIODevice::ReadOnly))
            return usage(QStringLiteral("cannot read --ram-code ") + f.fileName());
        opt.ramCode = f.readAll();
        opt.checkRamCode = true;
    }
    opt.flashSize = p.value(flashSize).toLongLong(&ok);
    if (!ok || opt.flashSize <= 0 || opt.flashSize % 4096 != 0 || opt.flashSize > kMaxFlashSize)
        return usage(QStringLiteral("bad --flash-size"));
    opt.bootPulse = p.isSet(bootPulse);
    if (p.isSet(timing)) {
        SimFault t;
        QString error;
        if (!parseSimFault(QStringLiteral("slow-flash=") + p.value(timing), &t, &error))
            return usage(QStringLiteral("bad --flash-timing"));
        opt.eraseNsPer4k = t.eraseUs * 1000;
        opt.programNsPer256 = t.programUs * 1000;
        opt.chipEraseNs = t.chipEraseUs < 0 ? -1 : t.chipEraseUs * 1000;
    }
    std::vector<SimFault> faults;
    for (const QString &text : p.values(fault)) {
        SimFault f;
        QString error;
        if (!parseSimFault(text, &f, &error))
            return usage(error);
        faults.push_back(f);
    }

    const QString dir = QDir(p.isSet(portDir) ? p.value(portDir) : simPortDir()).absolutePath();
    QDir().mkpath(dir);
    if (p.isSet(flashDir))
        QDir().mkpath(p.value(flashDir));
    const QString socketDir = p.isSet(byPath) ? QDir(p.value(byPath)).absolutePath() : QString();
    if (!socketDir.isEmpty())
        QDir().mkpath(socketDir);

    std::vector<std::unique_ptr<SimPort>> ports;
    for (int i = 0; i < n; ++i) {
        ChipOptions o = opt;
        const int number = k0 + i;
        o.uidSeed = uint32_t(number);
        if (p.isSet(flashDir))
            o.flashPath = QDir(p.value(flashDir)).absoluteFilePath(QStringLiteral("COM%1.bin").arg(number));
        auto port = std::make_unique<SimPort>(number, dir, o, p.isSet(pace), faults);
        // A line paced at the chip's speed that still carried bytes sent at
        // another would let a host believe a speed the chip never took.
        port->setCheckSpeed(p.isSet(checkSpeed) || p.isSet(pace));
        if (p.isSet(pressed))
            port->pressFirstChip();
        if (!socketDir.isEmpty())
            port->setSocketLink(socketDir + QLatin1Char('/') + QString::fromLatin1(kSocketNamePattern).arg(number));
        QString error;
        if (!port->open(&error)) {
            fprintf(stderr, "vq_chip_sim: COM%d: %s\n", number, qPrintable(error));
            return 1;
        }
        ports.push_back(std::move(port));
    }
    for (auto &port : ports) {
        port->start();
        printf("%s %s\n", qPrintable(port->name()), qPrintable(port->linkPath()));
    }
    fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    for (auto &port : ports) {
        port->stop();
        if (p.isSet(stats))
            fprintf(stderr, "%s\n", qPrintable(port->lateness()));
    }
    ports.clear();
    return 0;
}
