#include "imageplan.h"

namespace imagePlan {

bool aligned(uint32_t address)
{
    return address % kSectorSize == 0;
}

bool baudAllowed(uint32_t baud)
{
    return baud >= kMinBaud && baud <= kMaxBaud;
}

problem check(const QVector<image> &images, qint64 flashSize)
{
    for (int i = 0; i < images.size(); ++i) {
        const image &one = images.at(i);
        const quint64 end = quint64(one.address) + quint64(qMax<qint64>(0, one.size));
        if (!aligned(one.address))
            return {fault::unaligned, i, -1};
        if (one.size <= 0)
            return {fault::empty, i, -1};
        if (end > kAddressSpace)
            return {fault::pastAddressSpace, i, -1};
    }
    for (int a = 0; a < images.size(); ++a) {
        for (int b = a + 1; b < images.size(); ++b) {
            const quint64 startA = images.at(a).address, endA = startA + quint64(images.at(a).size);
            const quint64 startB = images.at(b).address, endB = startB + quint64(images.at(b).size);
            if (startA < endB && startB < endA)
                return {fault::overlap, a, b};
        }
    }
    for (int i = 0; flashSize > 0 && i < images.size(); ++i) {
        if (quint64(images.at(i).address) + quint64(images.at(i).size) > quint64(flashSize))
            return {fault::pastFlash, i, -1};
    }
    return {};
}

} // namespace imagePlan
