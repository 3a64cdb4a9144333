#pragma once
#include <QStringList>

// upliftor from outside against a whole release ("release"), a body without
// end ("endless"), a ZIP bomb of bombBytes zeros ("bomb") and a server that
// sends one byte every trickleMs ("trickle"), those of them named in only:
// one line each with the time to the end of its update sequence, its peak
// resident memory and the peak disk use of its installation folder.
int benchUpdater(const QStringList &only, qint64 bombBytes, int trickleMs);
