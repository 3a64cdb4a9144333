#pragma once
#include <QList>
#include <QString>
#include <cstdint>

// The serial ports a window offers: the system's, and beside them the chips
// that running simulators publish. One listing serves every window.
struct portEntry {
    uint32_t number = 0;  // the name's trailing decimal digits: COM12 -> 12, ttyUSB3 -> 3; 0 without any
    QString name;         // what the user sees and what Serial::openPort takes
    QString socket;       // its USB socket's name in byPathDir(); empty when it has none
};

uint32_t portNumber(const QString &name);

// Sorted by number, ties by name, so the order does not depend on how the
// system happened to enumerate them. A socket is given by its name alone:
// numbers follow the order of enumeration, sockets do not.
QList<portEntry> listSerialPorts();

// Where simulators publish their chips when not told otherwise, and where
// the tool looks for them: $VQ_SIM_PORT_DIR, else a folder of this user's
// ($XDG_RUNTIME_DIR/vq_chip_sim, or /tmp/vq_chip_sim-<uid>).
QString simPortDir();

// Where Linux names each USB serial adapter after the socket it is plugged
// into (the names stay when ttyUSB numbers change): $VQ_PORT_BY_PATH_DIR,
// else /dev/serial/by-path. Tests point it at a simulator's --by-path folder.
QString byPathDir();

// The device path behind a port name: a path stays as it is; a bare name is
// a device under /dev, or a simulated chip of simPortDir() when /dev has
// none, or a USB socket's name in byPathDir(). A socket's link (bare or as a
// path) stands for the port it leads to, one link deep, so that a simulated
// chip keeps its control socket beside the path.
QString portDevicePath(const QString &portName);

// Where a port is: the name its device goes by (a port given by its
// socket's name is the device the socket leads to now: ttyUSB3, COM3; any
// other name stays as given) and the USB socket it is plugged into (empty
// when it has none). What a production record keeps of a chip's port.
struct portPlace {
    QString port;
    QString socket;
};
portPlace placeOfPort(const QString &portName);

// What the system tells of a port without opening it. Opening a serial port
// raises DTR and RTS, which resets a chip in a fixture wired for BOOT
// control; nothing here opens one.
struct portIdentity {
    QString device;        // the device file itself (/dev/ttyUSB0, /dev/pts/3)
    QString socket;        // its name in byPathDir(); empty when it has none
    quint16 vendorId = 0;  // USB ids; both 0 when unknown
    quint16 productId = 0;
    QString adapter;       // CH340/CH341, CP210x, FTDI, PL2303; empty for another or none
    QString serialNumber;  // the adapter's own; empty when it has none
};
portIdentity identifyPort(const QString &portName);

enum class portState { Free, Busy, NoPermission, Missing };

// Whether this process may open a device and who else holds it.
struct portAccess {
    portState state = portState::Free;
    // Busy: the process holding it, where /proc shows it (pid 0: unseen).
    QString holder;
    qint64 holderPid = 0;
    // NoPermission: the group that may read and write it; empty when only
    // its owner may.
    QString group;
    QString owner;
};
portAccess examinePortAccess(const QString &device);

struct portFacts {
    QString name;
    portIdentity identity;
    portAccess access;
};
// Every port listSerialPorts() gives, in its order.
QList<portFacts> examinePorts();

// "1a86:7523 CH340/CH341", "0483:5740", or empty when the ids are unknown.
QString adapterText(const portIdentity &id);

// The socket and adapter of a port, for a panel's tooltip.
QString portTooltip(const QString &portName);

// Why a port could not be opened, in the words an operator reads beside
// "串口打开失败！": the missing permission and its fix, or that the port is
// held and by whom. Empty when the port is neither.
QStringList openProblemText(const QString &portName, const QString &device, const portAccess &access);
