#pragma once
#include <cstdint>

// CRC-16/XMODEM as the chip's receiver checks it: polynomial 0x1021, initial
// value 0, most significant bit first, no final XOR. Computed bit by bit and
// kept apart from the host's table-driven code, so that a fault in one shows
// as a refused block instead of agreeing with itself.
uint16_t simCrc16(const uint8_t *data, int length);
