#pragma once
#include <cstddef>

class Serial;

// One step of a control-line sequence: set a line, then wait. The fixture's
// transistors turn DTR into the chip's BOOT strap and RTS into its reset.
struct pulseStep {
    enum Line { Dtr, Rts };
    Line line;
    bool level;
    int waitMs;  // after this step; 0 sets the next line at once
};

// Restarts the chip into its boot ROM: a short settle with BOOT up and reset
// released, 50 ms of reset with BOOT down, then reset released with BOOT up
// so that the ROM samples the strap; 10 ms lets the ROM come up.
constexpr pulseStep kBootEntryPulse[] = {
    {pulseStep::Dtr, true, 0},  {pulseStep::Rts, false, 40},
    {pulseStep::Rts, true, 0},  {pulseStep::Dtr, false, 50},
    {pulseStep::Dtr, true, 0},  {pulseStep::Rts, false, 10},
};

// After a failed attempt (the link back at 115200 first): reset, release
// into the boot ROM, then drop BOOT; 50 ms a step, as slow chips need.
constexpr pulseStep kBootRetryPulse[] = {
    {pulseStep::Rts, true, 0},  {pulseStep::Dtr, false, 50},
    {pulseStep::Dtr, true, 0},  {pulseStep::Rts, false, 50},
    {pulseStep::Dtr, false, 50},
};

// Runs the steps in order with blocking sleeps of the calling thread;
// false when the link refused a line (the rest still run).
bool runPulse(Serial *link, const pulseStep *steps, size_t count);

template <size_t N>
bool runPulse(Serial *link, const pulseStep (&steps)[N])
{
    return runPulse(link, steps, N);
}
