// Chips per hour of one station: where a chip's time goes between the boot
// ROM's first answer and the reboot that ends it.
#include "chipbench.h"

#include "benchutil.h"
#include "chipcommand.h"
#include "linktiming.h"
#include "serial.h"
#include "simfixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr uint32_t kRomBaud = 115200;
constexpr int kPhases = static_cast<int>(chipCommand::runPhase::Count);

struct chipTimes {
    double whole = 0;
    double phase[kPhases] = {};
};

// The reboot belongs to the end of a chip: the next one cannot start before it.
bool oneChip(chipCommand &cmd, Serial &link, const QString &image, uint32_t baud, bool fast,
             chipTimes *t)
{
    cmd.fastLoad = fast;
    QElapsedTimer clock;
    clock.start();
    const uint32_t code = cmd.programFlash(baud, {0}, {image}, 2, false);
    QElapsedTimer end;
    end.start();
    cmd.rebootChip();
    t->whole = clock.nsecsElapsed() / 1e9;
    for (int i = 0; i < kPhases; ++i)
        t->phase[i] = cmd.phaseNs[size_t(i)] / 1e9;
    t->phase[int(chipCommand::runPhase::End)] += end.nsecsElapsed() / 1e9;
    link.setBaudRate(kRomBaud);
    if (code != 0)
        fprintf(stderr, "run failed with 0x%x\n", code);
    return code == 0;
}

QString loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()).section(QLatin1Char(' '), 0, 2)
                                       : QStringLiteral("?");
}

} // namespace

int benchChip(const QStringList &sizes, uint32_t baud, int rounds)
{
    SimFixture sim({QStringLiteral("--pace")});
    QTemporaryDir tmp;
    Serial link;
    chipCommand cmd;
    if (!sim.ok() || !link.openPort(sim.portPath(), kRomBaud)) {
        fprintf(stderr, "set-up failed: %s\n", qPrintable(sim.error()));
        return 1;
    }
    cmd.setSerial(&link);
    printf("\nload average at start: %s\n", qPrintable(loadAverage()));
    printf("%9s %5s %9s %7s %7s %7s %7s %9s %7s %8s %7s %6s\n", "size", "fast", "chip s", "probe", "speed", "ram",
           "ident", "transfer", "end", "wire s", "ratio", "flash");
    QStringList lines;
    int failures = 0;
    for (const QString &sizeText : sizes) {
        const int size = sizeText.toInt();
        const QByteArray data = benchBytes(size);
        const QString image = tmp.filePath(QStringLiteral("image-%1.bin").arg(size));
        if (size <= 0 || !writeBenchFile(image, data))
            return 1;
        for (bool fast : {false, true}) {
            std::vector<chipTimes> runs;
            int wrong = 0;
            for (int r = 0; r < rounds; ++r) {
                // A fresh chip each round: erased flash, boot ROM at 115200.
                sim.request(QStringLiteral("NEXTCHIP"));
                chipTimes t;
                if (!oneChip(cmd, link, image, baud, fast, &t)) {
                    ++failures;
                    continue;
                }
                wrong += sim.flash().left(size) != data;
                runs.push_back(t);
            }
            if (runs.empty())
                continue;
            std::sort(runs.begin(), runs.end(), [](const chipTimes &a, const chipTimes &b) { return a.whole < b.whole; });
            const chipTimes &m = runs[runs.size() / 2];
            const double wire = linkTiming::wireTimeMs(size, baud) / 1000.0;
            failures += wrong;
            const auto p = [&](chipCommand::runPhase ph) { return m.phase[int(ph)]; };
            using ph = chipCommand::runPhase;
            printf("%9d %5s %9.3f %7.3f %7.3f %7.3f %7.3f %9.3f %7.3f %8.3f %6.1f%% %6s\n", size, fast ? "on" : "off",
                   m.whole, p(ph::Probe), p(ph::SpeedChange), p(ph::RamLoad), p(ph::Identity), p(ph::Transfer),
                   p(ph::End), wire, 100 * wire / m.whole, wrong ? "WRONG" : "same");
            lines << QStringLiteral("chip %1 bytes at %2 baud, fast load %3: median of %4 chips %5 s (probe %6, speed "
                                    "change %7, RAM-code load %8, identity %9, image transfer %10, end %11), wire "
                                    "time %12 s = %13 % of the chip, over the wire time by %14 s, wrong flash %15, "
                                    "load average %16")
                         .arg(size)
                         .arg(baud)
                         .arg(fast ? QStringLiteral("on") : QStringLiteral("off"))
                         .arg(runs.size())
                         .arg(m.whole, 0, 'f', 3)
                         .arg(p(ph::Probe), 0, 'f', 3)
                         .arg(p(ph::SpeedChange), 0, 'f', 3)
                         .arg(p(ph::RamLoad), 0, 'f', 3)
                         .arg(p(ph::Identity), 0, 'f', 3)
                         .arg(p(ph::Transfer), 0, 'f', 3)
                         .arg(p(ph::End), 0, 'f', 3)
                         .arg(wire, 0, 'f', 3)
                         .arg(100 * wire / m.whole, 0, 'f', 1)
                         .arg(m.whole - wire, 0, 'f', 3)
                         .arg(wrong)
                         .arg(loadAverage());
        }
    }
    link.closePort();
    printf("\n");
    for (const QString &l : lines)
        printf("%s\n", qPrintable(l));
    return failures == 0 ? 0 : 1;
}
