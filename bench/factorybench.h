#pragma once
#include <QStringList>
#include <cstdint>

// One factory window process per station count, each programming `size`
// bytes per chip at `baud`; prints a table and one line per count. With
// `statistics`, the statistics window is open over today's shift meanwhile.
int benchFactory(const QStringList &counts, int size, uint32_t baud, bool statistics = false);
// The child of benchFactory: one window, `count` paced simulated chips.
int factoryRun(int count, int size, uint32_t baud, bool statistics = false);
