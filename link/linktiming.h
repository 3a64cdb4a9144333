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

// sendData waits at most this long for the bytes to leave the host.
constexpr int kWriteDrainMs = 50;

// A UART frame of 8N1 takes ten bit times per byte.
constexpr int64_t wireTimeMs(int64_t bytes, uint32_t baudRate)
{
    return baudRate == 0 ? 0 : (bytes * 10 * 1000 + baudRate - 1) / baudRate;
}

// YMODEM steps once per tick; the idle limit counts ticks since the last
// packet. kYmodemIdleTicks (about 7 s) is the chip's allowance to write a
// 16 KiB block into its flash and answer.
constexpr int kYmodemTickMs = 1;
constexpr int kYmodemIdleTicks = 7000;
// YMODEM framing around a block's data: start byte, number, complement, CRC.
constexpr int kYmodemFraming = 5;
// The idle count restarts when a packet is handed to the port, but the
// receiver can answer only once the whole packet has crossed the line and
// the chip has written it. So the rule is: idle limit = the chip's
// allowance + one full block with its framing and the one-byte answer on
// the wire at the current speed. At 2 Mbaud that adds 82 ms to the 7 s; at
// 9600 baud a 16 KiB block alone takes 17.1 s, which the bare 7 s never
// covered.
constexpr int64_t ymodemIdleLimitMs(uint32_t baudRate, int blockSize)
{
    return int64_t(kYmodemIdleTicks) * kYmodemTickMs + wireTimeMs(blockSize + kYmodemFraming + 1, baudRate);
}
// A step waiting for the receiver wakes as soon as bytes arrive, so its
// sleep need not end every tick; this bounds how late it sees a stop flag
// that comes without a port close (the job's stop closes the port, which
// wakes it at once). Waking every 1 ms cost about a third of a station's CPU.
constexpr int kYmodemWaitSliceMs = 10;

// Whole-chip erase ("ferase_all"): the models in the catalogue carry at most
// 4 MiB (32 Mbit) of NOR flash. Such parts take typically 10 to 25 s for a
// chip erase and up to 50 s by their datasheets' maximum; a minute covers
// the slowest part with room. The wait still ends the moment the marker
// comes.
constexpr int kChipEraseWaitMs = 60000;
// A partial erase ("ferase") waits the reply budget plus this per 4 KiB
// sector: the datasheet maximum of one sector erase on those parts.
constexpr int kSectorEraseWaitMs = 400;

// After a stop, the chip is taken back to its boot ROM. It may still be
// taking in bytes sent before the stop (at most one full block) and needs a
// moment to restart; this is the time it gets on top of that to answer a
// version probe from its boot ROM.
constexpr int kRebootAnswerMs = 3000;

// The programming run probes 40 times (about 4.4 s) for the boot ROM, and
// again for the RAM code after its load.
constexpr int kIdentifyTries = 40;

// The burn baudrate line is not acknowledged; the chip switches once it has
// taken the line. "Written" on the host only means handed to the adapter,
// whose FIFO may still hold the line's tail (17 bytes: 1.5 ms at 115200):
// this wait lets it cross and the chip switch before the host does. The host
// needs no wait after its own switch, which is done when setBaudRate returns.
constexpr int kBaudSwitchSettleMs = 10;
// The boot ROM needs longer to reprogram its UART (the developer window's
// boot speed change).
constexpr int kBootBaudSwitchSettleMs = 100;

// The fast RAM-code load asks the boot ROM for at most this speed: the
// fastest the tool drives a line with its RAM-code blocks of 1 KiB. A faster
// burn speed is reached afterwards with the burn baudrate line.
constexpr uint32_t kFastLoadMaxBaud = 2000000;
// The boot baudrate line's tail crosses the adapter (24 bytes: 2.1 ms at
// 115200) and the ROM reprograms its UART (the simulator takes 5 ms). A ROM
// that takes longer only costs a probe: the next one finds it.
constexpr int kFastLoadSettleMs = 10;
// Probes at the new speed before the run gives up on it (about 330 ms) and
// loads the RAM code at 115200 instead.
constexpr int kFastLoadProbes = 3;

// The simulator's control channel answers at once; a second covers a loaded host.
constexpr int kControlReplyMs = 1000;

} // namespace linkTiming
