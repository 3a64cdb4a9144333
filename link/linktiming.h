#pragma once
#include <cstdint>

// Every timing figure of the chip link lives here, so that latency can be
// measured and tuned in one place.
namespace linkTiming {

// The receive timer moves bytes from the port into rxBuffer; 2 ms keeps a
// 16 KiB block at 2 Mbaud (about 80 ms on the wire) well inside a few polls.
constexpr int kPollPeriodMs = 2;

// Text commands look for their reply marker this often; their budgets
// (waitCount and the fixed ones below) are counted in these polls.
constexpr int kReplyPollMs = 10;

// Reply budgets in polls. The boot ROM answers within milliseconds, but slow
// lines and slow hosts need seconds; the table follows the line speed.
constexpr uint32_t kBudgetSlowLine = 1000;  // up to 9600 baud: about 10 s
constexpr uint32_t kBudgetMidLine = 500;    // below 500000 baud at open: about 5 s
constexpr uint32_t kBudgetFastLine = 200;   // 500000 baud and above at open: about 2 s
constexpr uint32_t kBudgetAfterSwitch = 100; // any speed above 9600 after a switch: about 1 s
constexpr uint32_t kSlowLineMaxBaud = 9600;
constexpr uint32_t kFastLineMinBaud = 500000;

// A chip test of the whole flash takes tens of seconds.
constexpr uint32_t kFlashTestPolls = 3001;

// One identification probe listens for about 110 ms: enough for the ROM's
// short answer, short enough to probe often while a chip is being inserted.
constexpr uint32_t kProbePolls = 10;

// The RAM-code reply lags the marker "flash uid:" by a few bytes; one more
// reply poll lets the whole UID arrive.
constexpr int kUidSettleMs = 10;

// sendData waits at most this long for the bytes to leave the host.
constexpr int kWriteDrainMs = 50;

// YMODEM steps once per tick; the idle limit counts ticks since the last
// packet, about 7 s, which covers a 16 KiB flash write on the chip.
constexpr int kYmodemTickMs = 1;
constexpr int kYmodemIdleTicks = 7000;
// A step waiting for the receiver wakes as soon as bytes arrive, so its
// sleep need not end every tick; this bounds how late it sees a stop flag
// that comes without a port close (the job's stop closes the port, which
// wakes it at once). Waking every 1 ms cost about a third of a station's CPU.
constexpr int kYmodemWaitSliceMs = 10;

// The programming run probes 40 times (about 4.4 s) for the boot ROM, and
// again for the RAM code after its load.
constexpr int kIdentifyTries = 40;

// The burn baudrate line is not acknowledged; the chip switches after it has
// sent its last byte at the old speed.
constexpr int kBaudSwitchSettleMs = 10;
// The boot ROM needs longer to reprogram its UART.
constexpr int kBootBaudSwitchSettleMs = 100;

// The simulator's control channel answers at once; a second covers a loaded host.
constexpr int kControlReplyMs = 1000;

} // namespace linkTiming
