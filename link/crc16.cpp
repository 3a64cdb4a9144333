#include "crc16.h"

#include <array>
#include <cstddef>

namespace {
constexpr std::array<uint16_t, 256> makeTable()
{
    std::array<uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int b = 0; b < 8; ++b)
            c = (c & 0x8000) ? static_cast<uint16_t>((c << 1) ^ 0x1021) : static_cast<uint16_t>(c << 1);
        t[static_cast<size_t>(i)] = c;
    }
    return t;
}
constexpr auto kTable = makeTable();
} // namespace

uint16_t vqCrc16(const uint8_t *data, int length)
{
    uint16_t crc = 0;
    for (int i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}
