// The factory window programming a line of paced simulated chips, started the
// way its button starts it, in a process of its own per station count.
#include "factorybench.h"

#include "appglobals.h"
#include "benchutil.h"
#include "factorydriver.h"
#include "factorywindow.h"
#include "simfixture.h"
#include "statisticsbench.h"
#include "statisticswindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Runs the event loop until `done` or the limit.
bool pumpUntil(const std::function<bool()> &done, int limitMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

} // namespace

int factoryRun(int count, int size, uint32_t baud, bool statistics)
{
    QTemporaryDir tmp;
    const QDir shipped(QCoreApplication::applicationDirPath() + QStringLiteral("/config"));
    QDir().mkpath(tmp.filePath(QStringLiteral("config")));
    for (const QString &name : shipped.entryList({QStringLiteral("*.bin")}, QDir::Files))
        QFile::copy(shipped.filePath(name), tmp.filePath(QStringLiteral("config/") + name));
    const QByteArray data = benchBytes(size);
    const QString image = tmp.filePath(QStringLiteral("image.bin"));
    if (!writeBenchFile(image, data))
        return 1;

    SimFixture sim({QStringLiteral("--pace")}, count);
    if (!sim.ok()) {
        fprintf(stderr, "set-up failed: %s\n", qPrintable(sim.error()));
        return 1;
    }
    qputenv("VQ_CONFIG_DIR", QFile::encodeName(tmp.filePath(QStringLiteral("config"))));
    qputenv("VQ_SIM_PORT_DIR", QFile::encodeName(sim.dir()));
    qputenv("VQ_SYSTEM_PORTS", "0");
    QDir::setCurrent(tmp.path());

    if (statistics) {
        QString error;
        if (!writeShiftDatabase(tmp.filePath(QStringLiteral("log/production.db")), &error)) {
            fprintf(stderr, "the shift's database: %s\n", qPrintable(error));
            return 1;
        }
    }

    initToolResources();
    deviceCount = static_cast<uint32_t>(count);
    factoryWindow window;
    window.show();
    FactoryDriver drive(&window);
    drive.setImages({image + QStringLiteral("@0")});
    drive.setBaud(QString::number(baud));
    if (!pumpUntil([&] { return drive.panelsWithPorts() >= count; }, 30000)) {
        fprintf(stderr, "the port monitor did not list %d ports\n", count);
        return 1;
    }

    // The window's progress poll: how late each tick comes after the one
    // before, against its 50 ms period.
    auto *progressTimer = window.findChild<QTimer *>(QStringLiteral("progressTimer"));
    std::vector<double> lateMs;
    QElapsedTimer ticks;
    qint64 lastTick = -1;
    QObject::connect(progressTimer, &QTimer::timeout, [&] {
        const qint64 now = ticks.nsecsElapsed();
        if (lastTick >= 0)
            lateMs.push_back(std::max(0.0, (now - lastTick) / 1e6 - progressTimer->interval()));
        lastTick = now;
    });

    // The statistics window reads today's shift on its own thread and
    // refreshes while the line runs; the poll's lateness must not change.
    int refreshes = 0;
    if (statistics) {
        window.findChild<QPushButton *>(QStringLiteral("pbnStatistics"))->click();
        auto *shown = window.findChild<statisticsWindow *>();
        QObject::connect(shown, &statisticsWindow::dayShown, [&] { ++refreshes; });
        pumpUntil([&] { return refreshes > 0; }, 60000);
    }

    drive.selectPanels(count);
    const double cpu0 = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    ticks.start();
    drive.pressStart();
    const bool ended = pumpUntil([&] { return !drive.running(); }, 600000);
    const double seconds = clock.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    const long peakRss = peakRssKiB();
    int wrong = 0;
    for (int i = 0; i < count; ++i)
        wrong += sim.flash(i).left(size) != data;
    printf("factory %d: wall %.3f s, aggregate %.1f KiB/s, cpu %.1f %% of a core for the whole process, "
           "progress timer late p50 %.2f ms p99 %.2f ms max %.2f ms over %zu ticks, peak rss %ld KiB, "
           "good %d, failed %d, wrong flash %d%s%s\n",
           count, seconds, count * size / 1024.0 / seconds, 100 * cpu / seconds, percentile(lateMs, 0.5),
           percentile(lateMs, 0.99), lateMs.empty() ? 0.0 : *std::max_element(lateMs.begin(), lateMs.end()),
           lateMs.size(), peakRss, drive.good(), drive.failed(), wrong, ended ? "" : ", did not end",
           statistics ? qPrintable(QStringLiteral(", statistics window open over %1 rows, %2 day views")
                                       .arg(69120)
                                       .arg(refreshes))
                      : "");
    return ended && drive.good() == count && wrong == 0 ? 0 : 1;
}

int benchFactory(const QStringList &counts, int size, uint32_t baud, bool statistics)
{
    double single = 0;
    printf("\n%8s %10s %14s %8s %14s %14s %12s\n", "stations", "wall s", "KiB/s", "ratio", "cpu % (all)",
           "late p99 ms", "rss KiB");
    QStringList lines;
    int failures = 0;
    for (const QString &c : counts) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList childArgs{QStringLiteral("factory-run"), QStringLiteral("--count"), c, QStringLiteral("--size"),
                              QString::number(size), QStringLiteral("--baud"), QString::number(baud)};
        if (statistics)
            childArgs << QStringLiteral("--statistics");
        child.start(QCoreApplication::applicationFilePath(), childArgs);
        child.waitForFinished(-1);
        failures += child.exitCode() != 0;
        const QString out = QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed();
        lines << out;
        const auto number = [&](const QString &before) {
            const int at = out.indexOf(before);
            return at < 0 ? 0.0 : out.mid(at + before.size()).section(QLatin1Char(' '), 0, 0).toDouble();
        };
        const double aggregate = number(QStringLiteral("aggregate "));
        if (single == 0)
            single = aggregate;
        printf("%8s %10.3f %14.1f %8.2f %14.1f %14.2f %12.0f\n", qPrintable(c), number(QStringLiteral("wall ")),
               aggregate, single > 0 ? aggregate / single : 0, number(QStringLiteral("KiB/s, cpu ")),
               number(QStringLiteral("p99 ")), number(QStringLiteral("peak rss ")));
    }
    printf("\n");
    for (const QString &l : lines)
        printf("%s\n", qPrintable(l));
    return failures == 0 ? 0 : 1;
}
