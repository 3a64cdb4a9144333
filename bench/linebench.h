#pragma once
#include <QStringList>
#include <cstdint>

// vq_flash driving a line of paced simulated chips, one vq_flash process per
// station count, each station programming `size` bytes at `baud` (with
// --fast-load when `fastLoad`); prints a table and one line per count.
int benchLine(const QStringList &counts, int size, uint32_t baud, bool fastLoad);
// How long a one-chip vq_flash takes to end after it reported its chip:
// the time from the JSON result line to the process's exit, over `rounds`
// runs against a paced simulated chip.
int benchExit(int rounds, int size, uint32_t baud);
