#pragma once
#include <QString>
#include <QVector>
#include <cstdint>

// What every front end checks before a run touches a chip: where the images
// go and how fast the line runs. Each front end says the problems in its own
// words; the rules are these, once.
namespace imagePlan {

// The RAM code erases and writes whole 4 KiB sectors.
constexpr uint32_t kSectorSize = 4096;
// The speeds the link's waits are sized for.
constexpr uint32_t kMinBaud = 9600;
constexpr uint32_t kMaxBaud = 3000000;
// Flash addresses are 32 bits wide; an image must end at or below this.
constexpr quint64 kAddressSpace = quint64(1) << 32;

struct image {
    uint32_t address = 0;
    qint64 size = 0;
};

enum class fault {
    none,
    unaligned,     // first: the address is not a multiple of kSectorSize
    empty,         // first: nothing to send
    pastAddressSpace,  // first: ends past 32 bits
    overlap,       // first and second share bytes
    pastFlash,     // first: ends past the flash size given
};

struct problem {
    fault kind = fault::none;
    int first = -1;
    int second = -1;
    explicit operator bool() const { return kind != fault::none; }
};

// The first problem of the plan in the order above, image by image; a flash
// size of 0 is not checked.
problem check(const QVector<image> &images, qint64 flashSize = 0);

bool baudAllowed(uint32_t baud);
bool aligned(uint32_t address);

} // namespace imagePlan
