#include "serialbench.h"

#include "resultcodes.h"
#include "serialstore.h"
#include "testutil.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {
struct figures {
    double perChipMs = 0;
    double worstMs = 0;
    int refused = 0;
};

// `stations` threads, as a line's jobs, each taking a value, then marking
// it used, until `chips` values are settled.
figures run(serialStore &store, int chips, int stations)
{
    std::atomic<int> next{0};
    std::atomic<int> refused{0};
    QString firstRefusal;
    std::vector<double> worst(static_cast<size_t>(stations), 0.0);
    QElapsedTimer wall;
    wall.start();
    std::vector<std::thread> threads;
    for (int s = 0; s < stations; ++s) {
        threads.emplace_back([&, s] {
            QElapsedTimer one;
            while (next.fetch_add(1) < chips) {
                one.start();
                const chipSerial value = store.reserve(s + 1);
                if (!value.granted || !store.settle(value, serialUse::used, QStringLiteral("row"), QStringLiteral("uid"))) {
                    if (refused.fetch_add(1) == 0)
                        firstRefusal = value.detail.isEmpty() ? resultText(value.refusal) : value.detail;
                }
                worst[static_cast<size_t>(s)] = std::max(worst[static_cast<size_t>(s)], one.nsecsElapsed() / 1e6);
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    figures f;
    // Per chip of one station: the stations share the store, one value at a
    // time, so the wall time over the chips is what a chip waits on average.
    f.perChipMs = wall.nsecsElapsed() / 1e6 / chips;
    f.worstMs = *std::max_element(worst.begin(), worst.end());
    f.refused = refused.load();
    if (f.refused > 0)
        fprintf(stderr, "serial: refused: %s\n", qPrintable(firstRefusal));
    return f;
}

serialRule counterRule(uint64_t start)
{
    serialRule rule;
    rule.address = 0x3ff000;
    rule.bytes = 8;
    rule.start = start;
    return rule;
}

void print(const char *what, int chips, int stations, const figures &f)
{
    printf("serial %-34s chips: %5d  stations: %2d  per chip: %6.2f ms  slowest: %7.2f ms  refused: %d\n", what,
           chips, stations, f.perChipMs, f.worstMs, f.refused);
    fflush(stdout);
}
} // namespace

int benchSerial(int chips, int stations)
{
    QTemporaryDir dir;
    const recordOrigin origin{QStringLiteral("bench"), QStringLiteral("L1"), QStringLiteral("v0")};
    for (int s : {1, stations}) {
        serialStore store(dir.filePath(QStringLiteral("local-%1.db").arg(s)), recordServer(), counterRule(0), origin);
        QString error;
        if (!store.open(&error)) {
            fprintf(stderr, "serial: %s\n", qPrintable(error));
            return 1;
        }
        print("local (the line's SQLite file)", chips, s, run(store, chips, s));
    }

    PgServer server;
    if (!server.ok()) {
        fprintf(stderr, "serial: no PostgreSQL server: %s\n", qPrintable(server.error()));
        return 1;
    }
    qputenv("PGPASSWORD", PgServer::kPassword);
    const QJsonObject config = QJsonDocument::fromJson(server.config()).object();
    for (int lease : {32, 1}) {
        recordServer factory;
        factory.host = config.value(QStringLiteral("host")).toString();
        factory.port = config.value(QStringLiteral("port")).toInt();
        factory.database = config.value(QStringLiteral("database")).toString();
        factory.user = config.value(QStringLiteral("user")).toString();
        factory.serialLease = lease;
        serialStore store(dir.filePath(QStringLiteral("server-%1.db").arg(lease)), factory,
                          counterRule(static_cast<uint64_t>(lease) << 32), origin);
        QString error;
        if (!store.open(&error)) {
            fprintf(stderr, "serial: %s\n", qPrintable(error));
            return 1;
        }
        const QByteArray what = QStringLiteral("server, lease %1").arg(lease).toUtf8();
        print(what.constData(), chips, stations, run(store, chips, stations));
    }
    return 0;
}
