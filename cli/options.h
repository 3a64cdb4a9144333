#pragma once
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>

#include "serialrule.h"
#include "workorder.h"

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
    // --baud was given (the default is not a contradiction of an order).
    bool baudGiven = false;
    // --order FILE: the production order, read and checked whole; the
    // images, speed and options are the order's.
    QString orderPath;
    workOrder order;
    QString operatorName;
    // --make-order FILE: an order written from the images and options; no
    // chip is touched. Its number is the file's base name.
    QString makeOrderPath;
    qint64 quantity = 0;
    QStringList models;
    QString product;
};

// Reads the command line (without the program name). Returns an error text,
// empty when the arguments are good; `syntax` tells whether the error is in
// how the command is written (worth the usage text) rather than in what it
// asks for (an image that does not fit, an unwritable record).
QString parseOptions(const QStringList &args, flashOptions *options, bool *syntax);

extern const char kUsage[];
