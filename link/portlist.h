#pragma once
#include <QList>
#include <QString>
#include <cstdint>

// The serial ports a window offers: the system's, and beside them the chips
// that running simulators publish. One listing serves every window.
struct portEntry {
    uint32_t number = 0;  // the name's trailing decimal digits: COM12 -> 12, ttyUSB3 -> 3; 0 without any
    QString name;         // what the user sees and what Serial::openPort takes
};

uint32_t portNumber(const QString &name);

// Sorted by number, ties by name, so the order does not depend on how the
// system happened to enumerate them.
QList<portEntry> listSerialPorts();

// Where simulators publish their chips when not told otherwise, and where
// the tool looks for them: $VQ_SIM_PORT_DIR, else a folder of this user's
// ($XDG_RUNTIME_DIR/vq_chip_sim, or /tmp/vq_chip_sim-<uid>).
QString simPortDir();

// The device path behind a port name: a path stays as it is; a bare name is
// a device under /dev, or a simulated chip of simPortDir() when /dev has none.
QString portDevicePath(const QString &portName);
