#pragma once
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>

#include "serialrule.h"

// What one vq_flash command asks for, checked before any port is opened.
struct flashOptions {
    QStringList ports;
    bool allPorts = false;
    // Ports --all-ports leaves out.
    QStringList excluded;
    uint32_t baud = 921600;
    bool highSpeed = false;
    bool fastLoad = false;
    bool erase = false;
    bool reset = false;
    bool boot = false;
    bool continuous = false;
    bool json = false;
    bool verbose = false;
    bool help = false;
    // Only list the ports and what stands in their way (with --json, as JSON).
    bool listPorts = false;
    QString recordPath;
    QString databasePath;  // empty: the line's own (recordStoreOptions)
    QStringList files;
    QList<uint32_t> addresses;
    // Each chip's own value (--serial-at and the rest): a counter, or the
    // values of a list file, read when the options are.
    bool serialOn = false;
    serialRule serial;
    // The serial options given, for the checks that need all of them.
    QStringList serialOptions;
};

// Reads the command line (without the program name). Returns an error text,
// empty when the arguments are good; `syntax` tells whether the error is in
// how the command is written (worth the usage text) rather than in what it
// asks for (an image that does not fit, an unwritable record).
QString parseOptions(const QStringList &args, flashOptions *options, bool *syntax);

extern const char kUsage[];
