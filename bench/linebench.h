#pragma once
#include <QStringList>
#include <cstdint>

// vq_flash driving a line of paced simulated chips, one vq_flash process per
// station count, each station programming `size` bytes at `baud` (with
// --fast-load when `fastLoad`); prints a table and one line per count.
int benchLine(const QStringList &counts, int size, uint32_t baud, bool fastLoad);
