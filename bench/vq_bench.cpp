// Transfer benchmarks against the paced chip simulator.
//
//   vq_bench flash    [--baud N] [--size BYTES] [--flash-timing E,P]
//   vq_bench ramcode  [--baud N] [--size BYTES] [--rounds N]
//   vq_bench stations [--counts 1,4,8,16] [--size BYTES] [--baud N] [--spin]
//   vq_bench idle
//   vq_bench factory  [--counts 1,16,32] [--size BYTES] [--baud N] [--statistics]
//   vq_bench line     [--counts 1,16,32] [--size BYTES] [--baud N] [--fast-load]
//   vq_bench exit     [--rounds N] [--size BYTES] [--baud N]   (one chip's vq_flash: result line to exit)
//   vq_bench chip     [--sizes 65536,262144,1048576] [--baud N] [--rounds N]
//   vq_bench records  [--rows N] [--summary-rows N] [--view-rows 1000000] [--no-view] [--no-server]
//   vq_bench records-view [--view-rows 1000000] [--no-server]   (the statistics window's part alone)
//   vq_bench records-view-server [--view-rows 1000000]            (its PostgreSQL half alone)
//   vq_bench updater  [--only release,endless,bomb,trickle] [--bomb-bytes 4294967040] [--trickle-ms 20000]
//   vq_bench serial   [--chips 2000] [--stations 8]
//
// Every figure is printed as one "key: value ..." line; the station run adds
// a table. Efficiency is the line's own time for the bytes (10 bits a byte at
// 8N1) divided by the measured time, so 100 % is a full line.

#include "benchutil.h"
#include "chipbench.h"
#include "chipcommand.h"
#include "factorybench.h"
#include "linebench.h"
#include "recordbench.h"
#include "serialbench.h"
#include "statisticsbench.h"
#include "updaterbench.h"
#include "serial.h"
#include "ymodemsender.h"

#include "simfixture.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kRomBaud = 115200;
constexpr uint32_t kRamLoadAddress = 0x20000000;

struct Args {
    QStringList list;
    QString value(const QString &name, const QString &fallback) const
    {
        const int i = list.indexOf(name);
        return i >= 0 && i + 1 < list.size() ? list.at(i + 1) : fallback;
    }
    bool flag(const QString &name) const { return list.contains(name); }
};

double lineSeconds(qint64 bytes, uint32_t baud) { return bytes * 10.0 / baud; }

// Takes a chip from its boot ROM to a running RAM code at the given speed, the
// way the programming run does, so that a single transfer can be timed alone.
bool bringUpRamCode(chipCommand &cmd, uint32_t baud)
{
    QString model;
    bool found = false;
    for (int i = 0; i < 40 && !found; ++i)
        found = cmd.probeVersion(model);
    if (!found || model == QLatin1String("RAMCODE"))
        return false;
    uint32_t code = 0;
    const QString ram = QCoreApplication::applicationDirPath() + "/config/" + model + "_RAM_BIN.bin";
    if (!cmd.downloadRamCode(kRamLoadAddress, ram, code))
        return false;
    found = false;
    for (int i = 0; i < 40 && !found; ++i)
        found = cmd.probeVersion(model);
    return found && model == QLatin1String("RAMCODE") && cmd.setBurnBaudRate(baud);
}

int benchFlash(const Args &args)
{
    const uint32_t baud = args.value("--baud", "2000000").toUInt();
    const int size = args.value("--size", QString::number(2 * 1024 * 1024)).toInt();
    QStringList simArgs{"--pace"};
    const QString timing = args.value("--flash-timing", QString());
    if (!timing.isEmpty())
        simArgs << "--flash-timing" << timing;

    QTemporaryDir tmp;
    const QString image = tmp.filePath("image.bin");
    const QByteArray data = benchBytes(size);
    SimFixture sim(simArgs);
    if (!sim.ok() || !writeBenchFile(image, data)) {
        fprintf(stderr, "set-up failed: %s\n", qPrintable(sim.error()));
        return 1;
    }
    Serial link;
    chipCommand cmd;
    if (!link.openPort(sim.portPath(), kRomBaud))
        return 1;
    cmd.setSerial(&link);
    if (!bringUpRamCode(cmd, baud) || !cmd.setStartAddr(0)) {
        fprintf(stderr, "chip did not come up\n");
        return 1;
    }
    uint32_t code = 0;
    const double cpu0 = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    const bool ok = cmd.upgradeFile(image, code);
    const double seconds = clock.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    link.closePort();
    const bool same = sim.flash().left(size) == data;
    printf("flash-profile: %d bytes at %u baud in %.3f s, line time %.3f s, efficiency %.1f %%, "
           "cpu %.2f %% of a core, result %u, flash %s%s%s\n",
           size, baud, seconds, lineSeconds(size, baud), 100.0 * lineSeconds(size, baud) / seconds,
           100.0 * cpu / seconds, code, same ? "identical" : "DIFFERENT",
           timing.isEmpty() ? "" : ", flash timing ", qPrintable(timing));
    return ok && same ? 0 : 1;
}

// lrzsz's sender on the same paced receiver: the download line, then sb with
// the port as its standard input and output.
double timeLrzsz(const QString &port, const QString &file, int size)
{
    const int fd = ::open(QFile::encodeName(port).constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    const QByteArray line = "download [rambin] [0x20000000] [" + QByteArray::number(size) + "]\r\n";
    QElapsedTimer clock;
    clock.start();
    if (::write(fd, line.constData(), static_cast<size_t>(line.size())) != line.size()) {
        ::close(fd);
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fd, 0);
        dup2(fd, 1);
        const int devnull = ::open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        execlp("sb", "sb", "--ymodem", "-k", "-q", QFile::encodeName(file).constData(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds = clock.nsecsElapsed() / 1e9;
    ::close(fd);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int benchRamCode(const Args &args)
{
    const uint32_t baud = args.value("--baud", QString::number(kRomBaud)).toUInt();
    const int size = args.value("--size", "65536").toInt();
    const int rounds = args.value("--rounds", "3").toInt();
    QTemporaryDir tmp;
    const QString file = tmp.filePath("ram.bin");
    SimFixture sim({"--pace"});
    if (!sim.ok() || !writeBenchFile(file, benchBytes(size)))
        return 1;

    std::vector<double> ours, theirs;
    for (int r = 0; r < rounds; ++r) {
        {
            Serial link;
            chipCommand cmd;
            if (!link.openPort(sim.portPath(), baud))
                return 1;
            cmd.setSerial(&link);
            uint32_t code = 0;
            QElapsedTimer clock;
            clock.start();
            if (!cmd.downloadRamCode(kRamLoadAddress, file, code)) {
                fprintf(stderr, "ymodemSender failed: %u\n", code);
                return 1;
            }
            ours.push_back(clock.nsecsElapsed() / 1e9);
            cmd.rebootChip();
            delayMs(50);
            link.closePort();
        }
        const double t = timeLrzsz(sim.portPath(), file, size);
        if (t < 0) {
            fprintf(stderr, "sb failed\n");
            return 1;
        }
        theirs.push_back(t);
        Serial link;
        link.openPort(sim.portPath(), baud);
        link.sendData("reboot\r\n");
        delayMs(50);
        link.closePort();
    }
    const double line = lineSeconds(size, baud);
    const double a = median(ours), b = median(theirs);
    printf("ramcode-profile: %d bytes at %u baud, median of %d: ymodemSender %.3f s (efficiency %.1f %%), "
           "lrzsz sb %.3f s (efficiency %.1f %%), sb time / ours %.3f\n",
           size, baud, rounds, a, 100 * line / a, b, 100 * line / b, b / a);
    return 0;
}

// One process per station count, so that its peak resident memory is its own.
int stationRun(const Args &args)
{
    const int count = args.value("--count", "1").toInt();
    const int size = args.value("--size", QString::number(1024 * 1024)).toInt();
    const uint32_t baud = args.value("--baud", "2000000").toUInt();
    if (args.flag("--spin"))
        setWaitStyle(WaitStyle::Spin);

    QTemporaryDir tmp;
    const QString image = tmp.filePath("image.bin");
    const QByteArray data = benchBytes(size);
    SimFixture sim({"--pace"}, count);
    if (!sim.ok() || !writeBenchFile(image, data)) {
        fprintf(stderr, "set-up failed: %s\n", qPrintable(sim.error()));
        return 1;
    }
    // The libraries' pages that the first port touches are no station's own.
    {
        Serial warm;
        if (warm.openPort(sim.portPath(0), kRomBaud))
            warm.closePort();
    }
    const long rssBefore = currentRssKiB();
    std::atomic<int> failures{0};
    std::vector<std::unique_ptr<QThread>> threads;
    const double cpu0 = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i) {
        const QString port = sim.portPath(i);
        threads.emplace_back(QThread::create([&, port] {
            Serial link;
            chipCommand cmd;
            if (!link.openPort(port, kRomBaud)) {
                ++failures;
                return;
            }
            cmd.setSerial(&link);
            if (cmd.programFlash(baud, {0}, {image}, 2, false) != 0)
                ++failures;
            link.closePort();
        }));
        threads.back()->start(QThread::TimeCriticalPriority);
    }
    for (auto &t : threads)
        t->wait();
    const double seconds = clock.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    // Taken before the check below reads whole flash images into memory.
    const long peakRss = peakRssKiB();
    int wrong = 0;
    for (int i = 0; i < count; ++i)
        wrong += sim.flash(i).left(size) != data;
    const double mib = size / 1048576.0;
    printf("stations %d: wall %.3f s, aggregate %.1f KiB/s, cpu %.3f s per station per MiB, "
           "cpu %.2f %% of a core per station, peak rss %ld KiB, rss per station %.0f KiB, failures %d, "
           "wrong flash %d%s\n",
           count, seconds, count * size / 1024.0 / seconds, cpu / count / mib, 100 * cpu / seconds / count,
           peakRss, double(peakRss - rssBefore) / count, failures.load(), wrong,
           args.flag("--spin") ? ", spinning wait" : "");
    return failures == 0 && wrong == 0 ? 0 : 1;
}

int benchStations(const Args &args)
{
    const QStringList counts = args.value("--counts", "1,4,8,16").split(',');
    QStringList base{"--size", args.value("--size", QString::number(1024 * 1024)), "--baud",
                     args.value("--baud", "2000000")};
    if (args.flag("--spin"))
        base << "--spin";
    double single = 0;
    printf("\n%8s %10s %14s %8s %18s %12s %14s\n", "stations", "wall s", "KiB/s", "ratio", "cpu s/station/MiB",
           "cpu %/stn", "rss KiB/stn");
    QStringList lines;
    for (const QString &c : counts) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), QStringList{"station-run", "--count", c} + base);
        child.waitForFinished(-1);
        const QString out = QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed();
        lines << out;
        // "stations N: wall W s, aggregate A KiB/s, cpu C s per station per MiB, cpu P % ..., rss per station R KiB"
        const auto number = [&](const QString &before) {
            const int at = out.indexOf(before);
            return at < 0 ? 0.0 : out.mid(at + before.size()).section(' ', 0, 0).toDouble();
        };
        const double aggregate = number("aggregate ");
        if (single == 0)
            single = aggregate;
        printf("%8s %10.3f %14.1f %8.2f %18.3f %12.2f %14.0f\n", qPrintable(c), number("wall "), aggregate,
               single > 0 ? aggregate / single : 0, number("cpu "), number("MiB, cpu "), number("rss per station "));
    }
    printf("\n");
    for (const QString &l : lines)
        printf("%s\n", qPrintable(l));
    return 0;
}

// One job waiting for a reply that never comes: the cost of a station that
// sits idle in a reply wait.
int benchIdle(const Args &)
{
    SimFixture sim({"--fault", "silent"});
    if (!sim.ok())
        return 1;
    Serial link;
    chipCommand cmd;
    if (!link.openPort(sim.portPath(), kRomBaud))
        return 1;
    cmd.setSerial(&link);
    QString model;
    const double cpu0 = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    cmd.getVersion(model);
    const double seconds = clock.nsecsElapsed() / 1e9;
    printf("idle-wait: one job in a %.2f s reply wait used %.2f %% of a core\n", seconds,
           100 * (cpuSeconds() - cpu0) / seconds);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const QString mode = QString::fromLocal8Bit(argc > 1 ? argv[1] : "");
    // Only the factory and statistics windows need widgets; without a
    // display they draw offscreen.
    std::unique_ptr<QCoreApplication> app;
    if (mode == "factory-run" || mode.startsWith(QLatin1String("records"))) {
        if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    if (qEnvironmentVariableIsEmpty("VQ_BUILD_DIR"))
        qputenv("VQ_BUILD_DIR", QFile::encodeName(QCoreApplication::applicationDirPath()));
    Args args{QCoreApplication::arguments().mid(2)};
    if (mode == "flash")
        return benchFlash(args);
    if (mode == "ramcode")
        return benchRamCode(args);
    if (mode == "stations")
        return benchStations(args);
    if (mode == "station-run")
        return stationRun(args);
    if (mode == "idle")
        return benchIdle(args);
    if (mode == "chip")
        return benchChip(args.value("--sizes", "65536,262144,1048576").split(','),
                         args.value("--baud", "2000000").toUInt(), args.value("--rounds", "3").toInt());
    if (mode == "records")
    {
        int failed = benchRecords(args.value("--rows", "5000").toInt(), args.value("--summary-rows", "1000000").toInt());
        fflush(stdout);
        if (!args.flag("--no-view"))
            failed |= benchStatisticsView(args.list);
        return failed;
    }
    if (mode == "records-view")
        return benchStatisticsView(args.list);
    if (mode == "records-view-server")
        return benchStatisticsViewServer(args.list);
    if (mode == "serial")
        return benchSerial(args.value("--chips", "2000").toInt(), args.value("--stations", "8").toInt());
    if (mode == "updater")
        return benchUpdater(args.value("--only", "release,endless,bomb,trickle").split(','),
                            args.value("--bomb-bytes", "4294967040").toLongLong(),
                            args.value("--trickle-ms", "20000").toInt());
    const int size = args.value("--size", QString::number(1024 * 1024)).toInt();
    const uint32_t baud = args.value("--baud", "2000000").toUInt();
    if (mode == "factory")
        return benchFactory(args.value("--counts", "1,16,32").split(','), size, baud, args.flag("--statistics"));
    if (mode == "exit")
        return benchExit(args.value("--rounds", "10").toInt(), args.value("--size", "262144").toInt(),
                         args.value("--baud", "2000000").toUInt());
    if (mode == "line")
        return benchLine(args.value("--counts", "1,16,32").split(','), size, baud, args.flag("--fast-load"));
    if (mode == "factory-run")
        return factoryRun(args.value("--count", "1").toInt(), size, baud, args.flag("--statistics"));
    fprintf(stderr, "usage: vq_bench flash|ramcode|stations|idle|factory|line|chip|records|serial|updater [options]\n");
    return 2;
}
