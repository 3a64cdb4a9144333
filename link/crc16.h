#pragma once
#include <cstdint>

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, MSB first, no final XOR.
// Both ends of every YMODEM exchange in this project (the sender and the chip
// simulator) use this one function.
uint16_t vqCrc16(const uint8_t *data, int length);
