#pragma once
#include <QString>
#include <cstdint>

// Result codes of the chip link. Transfer codes fill the low byte; stage
// codes sit above it, and a failed transfer inside a stage is reported as
// stage | transfer.
namespace resultCode {
constexpr uint32_t kSuccess = 0;

constexpr uint32_t kTransferTimeout = 0xE0;
constexpr uint32_t kTransferIdleError = 0xE1;
constexpr uint32_t kTransferStartError = 0xE2;
constexpr uint32_t kTransferStartAckError = 0xE3;
constexpr uint32_t kTransferDataError = 0xE4;
constexpr uint32_t kTransferDataAckError = 0xE5;
constexpr uint32_t kTransferStopError = 0xE6;
constexpr uint32_t kTransferStopAckError = 0xE7;
constexpr uint32_t kTransferStopped = 0xE8;
constexpr uint32_t kTransferCannotOpen = 0xF0;
constexpr uint32_t kTransferCancelled = 0xF1;
// An empty image has nothing to send; it is refused before the transfer.
constexpr uint32_t kTransferEmptyFile = 0xF2;
constexpr uint32_t kTransferDone = 0xFF;

constexpr uint32_t kPortOpenFailed = 0x20100;
constexpr uint32_t kNoChipInfo = 0x20200;
// The chip identified itself as a model the run does not make (a production
// order names its models); nothing is loaded or written.
constexpr uint32_t kChipModelMismatch = 0x20300;
constexpr uint32_t kRamCodeFailed = 0x30100;
constexpr uint32_t kFileCountWrong = 0x40100;
constexpr uint32_t kBaudRateFailed = 0x40300;
constexpr uint32_t kStartAddrFailed = 0x40500;
constexpr uint32_t kEraseFailed = 0x40700;
constexpr uint32_t kFlashWriteFailed = 0x40900;
constexpr uint32_t kOpenFileFailed = 0x40A00;
// The run was given a different number of start addresses than files; it
// writes nothing rather than guess where a file belongs.
constexpr uint32_t kAddressListMismatch = 0x40B00;
// An image runs past the end of the flash the chip reports; nothing is
// written, since the part would wrap the write onto its first sectors.
constexpr uint32_t kImageExceedsFlash = 0x40C00;
// A chip refused before it is touched because it cannot have a value of its
// own: the rule's values are used up, the factory's server cannot lease
// more and the line's lease is spent, the list file changed under the run,
// or the line's database would not take the reservation.
constexpr uint32_t kSerialUsedUp = 0x40D00;
constexpr uint32_t kSerialServerAway = 0x40E00;
constexpr uint32_t kSerialListChanged = 0x40F00;
constexpr uint32_t kSerialNotReserved = 0x41000;

constexpr uint32_t kTransferMask = 0xFF;
} // namespace resultCode

// The user-facing text of one code; empty for codes without a text of their
// own, composites included (split them with resultCode::kTransferMask).
QString resultText(uint32_t code);
