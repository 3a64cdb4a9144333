// The command-line production line: vq_flash with one --port per paced
// simulated chip, timed and accounted from outside as a line controller
// would run it.
#include "linebench.h"

#include "benchutil.h"
#include "simfixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct lineResult {
    double seconds = 0;
    double cpu = 0;      // user + system seconds of the vq_flash process
    long peakRss = 0;    // KiB
    int exitStatus = -1;
    int wrong = 0;
    double slowest = 0;  // the longest chip of the line, as vq_flash reports it
    double chipSum = 0;  // every chip's seconds, as vq_flash reports them
    int chips = 0;
};

// Runs vq_flash to its end with its JSON lines in `output` and its human
// status thrown away; wait4 gives the child's own CPU time and peak resident
// memory.
bool runFlash(const QStringList &args, const QString &output, lineResult *r)
{
    std::vector<QByteArray> storage;
    std::vector<char *> argv = programArgv("vq_flash", args, storage);

    const QByteArray outputPath = QFile::encodeName(output);
    QElapsedTimer clock;
    clock.start();
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        const int json = ::open(outputPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(json, 1);
        dup2(devnull, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    if (wait4(pid, &status, 0, &ru) != pid)
        return false;
    r->seconds = clock.nsecsElapsed() / 1e9;
    r->cpu = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    r->peakRss = ru.ru_maxrss;
    r->exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

bool lineRun(int count, int size, uint32_t baud, bool fastLoad, lineResult *r)
{
    QTemporaryDir tmp;
    const QByteArray data = benchBytes(size);
    const QString image = tmp.filePath(QStringLiteral("image.bin"));
    if (!writeBenchFile(image, data))
        return false;
    SimFixture sim({QStringLiteral("--pace")}, count);
    if (!sim.ok()) {
        fprintf(stderr, "set-up failed: %s\n", qPrintable(sim.error()));
        return false;
    }
    QStringList args{QStringLiteral("--json"), QStringLiteral("--baud"), QString::number(baud),
                     image + QStringLiteral("@0")};
    if (fastLoad)
        args << QStringLiteral("--fast-load");
    for (int i = 0; i < count; ++i)
        args << QStringLiteral("--port") << sim.portPath(i);
    const QString output = tmp.filePath(QStringLiteral("line.jsonl"));
    if (!runFlash(args, output, r))
        return false;
    QFile lines(output);
    if (lines.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : lines.readAll().split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (o.value(QStringLiteral("event")).toString() == QLatin1String("result")) {
                const double seconds = o.value(QStringLiteral("seconds")).toDouble();
                r->slowest = std::max(r->slowest, seconds);
                r->chipSum += seconds;
                ++r->chips;
            }
        }
    }
    for (int i = 0; i < count; ++i)
        r->wrong += sim.flash(i).left(size) != data;
    return true;
}

} // namespace

int benchLine(const QStringList &counts, int size, uint32_t baud, bool fastLoad)
{
    double single = 0;
    const double wire = size * 10.0 / baud;
    printf("\n%s\n%8s %10s %14s %8s %16s %12s %12s %10s %8s\n", fastLoad ? "with --fast-load" : "without --fast-load",
           "stations", "wall s", "KiB/s", "ratio", "cpu % vq_flash", "rss KiB", "slowest s", "chip s", "wire %");
    QStringList lines;
    int failures = 0;
    for (const QString &c : counts) {
        const int count = c.toInt();
        lineResult r;
        const bool ran = lineRun(count, size, baud, fastLoad, &r);
        const double chip = r.chips ? r.chipSum / r.chips : 0;
        const double aggregate = ran ? count * size / 1024.0 / r.seconds : 0;
        if (single == 0)
            single = aggregate;
        const double ratio = single > 0 ? aggregate / single : 0;
        failures += !ran || r.exitStatus != 0 || r.wrong != 0;
        printf("%8d %10.3f %14.1f %8.2f %16.1f %12ld %12.2f %10.3f %7.1f%%\n", count, r.seconds, aggregate, ratio,
               r.seconds > 0 ? 100 * r.cpu / r.seconds : 0, r.peakRss, r.slowest, chip, chip > 0 ? 100 * wire / chip : 0);
        lines << QStringLiteral("line %1: wall %2 s, aggregate %3 KiB/s, ratio %4 to one station, cpu %5 s = %6 % of "
                                "a core for vq_flash, peak rss %7 KiB, slowest chip %8 s, exit %9, wrong flash %10, "
                                "mean chip %11 s for %12 s of wire time, fast load %13")
                     .arg(count)
                     .arg(r.seconds, 0, 'f', 3)
                     .arg(aggregate, 0, 'f', 1)
                     .arg(ratio, 0, 'f', 2)
                     .arg(r.cpu, 0, 'f', 2)
                     .arg(r.seconds > 0 ? 100 * r.cpu / r.seconds : 0, 0, 'f', 1)
                     .arg(r.peakRss)
                     .arg(r.slowest, 0, 'f', 2)
                     .arg(r.exitStatus)
                     .arg(r.wrong)
                     .arg(chip, 0, 'f', 3)
                     .arg(wire, 0, 'f', 3)
                     .arg(fastLoad ? QStringLiteral("on") : QStringLiteral("off"));
    }
    printf("\n");
    for (const QString &l : lines)
        printf("%s\n", qPrintable(l));
    return failures == 0 ? 0 : 1;
}

namespace {
// A one-chip run with its standard output read as it comes: the moment the
// result line arrives and the moment the process has ended, on the
// monotonic clock.
bool timeOneChip(const QStringList &args, double *afterResultMs, double *chipSeconds)
{
    int out[2];
    if (pipe(out) != 0)
        return false;
    std::vector<QByteArray> storage;
    std::vector<char *> argv = programArgv("vq_flash", args, storage);
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        dup2(out[1], 1);
        dup2(devnull, 2);
        ::close(out[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(out[1]);
    QElapsedTimer clock;
    clock.start();
    qint64 resultNs = -1;
    QByteArray lines;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        lines.append(buf, int(n));
        if (resultNs < 0 && lines.contains("\"event\":\"result\""))
            resultNs = clock.nsecsElapsed();
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const qint64 endNs = clock.nsecsElapsed();
    ::close(out[0]);
    for (const QByteArray &line : lines.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.value(QStringLiteral("event")).toString() == QLatin1String("result"))
            *chipSeconds = o.value(QStringLiteral("seconds")).toDouble();
    }
    *afterResultMs = (endNs - resultNs) / 1e6;
    return resultNs >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
} // namespace

int benchExit(int rounds, int size, uint32_t baud)
{
    QTemporaryDir tmp;
    const QString image = tmp.filePath(QStringLiteral("image.bin"));
    if (!writeBenchFile(image, benchBytes(size)))
        return 1;
    std::vector<double> tails;
    double chip = 0;
    for (int r = 0; r < rounds; ++r) {
        SimFixture sim({QStringLiteral("--pace")});
        if (!sim.ok()) {
            fprintf(stderr, "set-up failed: %s\n", qPrintable(sim.error()));
            return 1;
        }
        double tail = 0;
        if (!timeOneChip({QStringLiteral("--port"), sim.portPath(), QStringLiteral("--json"), QStringLiteral("--fast-load"),
                          QStringLiteral("--baud"), QString::number(baud), QStringLiteral("--db"),
                          tmp.filePath(QStringLiteral("exit.db")), image + QStringLiteral("@0")},
                         &tail, &chip)) {
            fprintf(stderr, "round %d: vq_flash failed\n", r + 1);
            return 1;
        }
        tails.push_back(tail);
    }
    printf("exit: %d rounds, %d bytes at %u baud with --fast-load, chip %.3f s, from the result line to the "
           "process's end p50 %.1f ms max %.1f ms\n",
           rounds, size, baud, chip, percentile(tails, 0.5), *std::max_element(tails.begin(), tails.end()));
    return 0;
}
