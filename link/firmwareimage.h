#pragma once
#include <QByteArray>
#include <QList>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>

#include "imageplan.h"

// One image as a run sends it: read once when the run starts, so that every
// chip of the run gets the same bytes whatever happens to the file on disk,
// and the production record can say exactly what went out.
struct firmwareImage {
    QString path;        // as configured
    QString fileName;    // the path's last component, for logs and records
    uint32_t address = 0;
    QByteArray bytes;
    QByteArray sha256;   // lower-case hex of bytes
};

// A run's images, shared read-only by all of its stations.
using firmwareImageSet = QSharedPointer<const QVector<firmwareImage>>;

// What the production record keeps of an image: everything but the bytes.
struct imageFacts {
    QString fileName;
    qint64 size = 0;
    uint32_t address = 0;
    QByteArray sha256;
};

// Reads every image whole. On failure returns null and sets code to the
// result code of the first image that cannot be used (missing or empty),
// with its index in failedIndex.
firmwareImageSet loadFirmwareImages(const QStringList &paths, const QList<uint32_t> &addresses, uint32_t &code,
                                    int &failedIndex);

QVector<imageFacts> factsOf(const firmwareImageSet &images);

// Where the images go, for the plan check.
QVector<imagePlan::image> planOf(const firmwareImageSet &images);
