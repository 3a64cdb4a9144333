#include "simcrc.h"

uint16_t simCrc16(const uint8_t *data, int length)
{
    uint32_t crc = 0;
    for (int i = 0; i < length; ++i) {
        crc ^= uint32_t(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
    }
    return uint16_t(crc);
}
