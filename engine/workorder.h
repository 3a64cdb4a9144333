#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>

#include "firmwareimage.h"
#include "productionline.h"
#include "serialrule.h"

// A production order: one file (JSON, UTF-8) that fixes what a line makes,
// its images with their addresses and SHA-256, the chip models, the speed
// and options, and how many good chips are wanted. It is checked whole when
// it is loaded; a line running it refuses anything else.
struct workOrder {
    struct image {
        QString file;      // as the order writes it: relative to the order's folder
        QString path;      // absolute
        uint32_t address = 0;
        QByteArray sha256; // lower-case hex
    };

    QString path;          // the order file, absolute
    QByteArray fileSha256; // of the order file's bytes, lower-case hex
    QString name;          // "order": the work order's number
    QString product;
    qint64 quantity = 0;   // good chips wanted; 0: no limit
    QStringList models;
    uint32_t baud = 0;
    bool eraseAll = false;
    bool highSpeed = false;
    bool fastLoad = false;
    bool boot = false;
    bool reset = false;
    bool dsr = false;      // each chip waits for the fixture's lever
    bool keepGoing = false;
    QVector<image> images;
    // "serial": each chip's own value, a counter or the values of a list
    // file (relative to the order's folder, checked against its SHA-256).
    bool serialOn = false;
    serialRule serial;
    // The images as they were read and checked at loading; every run of the
    // order sends these bytes.
    firmwareImageSet loaded;

    QStringList paths() const;
    QList<uint32_t> addresses() const;
};

// Reads an order and checks everything once: the keys and their values,
// each image's presence and SHA-256 ("烧录文件与工单不符：app.bin"), the
// image plan with the serial value's sector, the models against the chip
// catalogue, and a serial list against its SHA-256; then keeps the images
// and the list read. false with a Chinese refusal that names the field.
bool loadWorkOrder(const QString &path, workOrder *order, QString *error);

// At a run's start: every image, and a serial list, hashed again from its
// file. Empty when each still matches the order, else the refusal naming
// the first that does not (a file replaced after loading).
QString checkOrderFiles(const workOrder &order);

// Writes `order` (its images' paths and addresses, the rest as given) to
// path: the images are hashed now and named relative to the file's folder,
// as a serial list is (with the hash it was read with).
// The file's own hash and the loaded images are not needed. false with the
// reason, nothing written.
bool saveWorkOrder(const QString &path, const workOrder &order, QString *error);

// What every station of a run of the order does: the images as loaded, the
// order's speed, options and models, and the order for the rows, with its
// good chips before the run.
lineJob jobFor(const workOrder &order, const QString &operatorName, qint64 doneBefore);
