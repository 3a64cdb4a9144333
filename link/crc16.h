#pragma once
#include <cstdint>

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, MSB first, no final XOR.
// The YMODEM sender's CRC; the chip simulator checks packets with its own
// code, so that the two cannot share a fault.
uint16_t vqCrc16(const uint8_t *data, int length);
