#pragma once
#include <cstdint>

// The program's version, as the marker file, the update check and the
// windows' first log line show it.
constexpr char kProgramVersion[] = VQ_PROGRAM_VERSION;  // -DVQ_VERSION, "v3.0.2" by default

class QLineEdit;
class QWidget;

// Both windows warn with the same words before the high-speed RAM code is
// used.
void warnHighSpeed(QWidget *parent);

// An address or length field takes only what can still become a 32-bit
// hexadecimal value: hex digits after an optional 0x, at most 8.
void acceptHexOnly(QLineEdit *field);

// Asks before a whole-chip erase, "否" by default; stations is how many
// chips it will erase.
bool confirmWholeErase(QWidget *parent, int stations);

// Stations of the factory window, chosen in the start window; the factory
// window reads it once, when it is built.
extern uint32_t deviceCount;

// The images and sounds live in this library; a program or test that shows
// the windows calls this once after creating its application object.
void initToolResources();
