#pragma once
#include <QStringList>
#include <cstdint>

// One station, one paced simulated chip: whole programming runs of each
// image size at `baud`, each with and without the fast RAM-code load, split
// into the run's phases; prints a table and one line per size and mode.
int benchChip(const QStringList &sizes, uint32_t baud, int rounds);
