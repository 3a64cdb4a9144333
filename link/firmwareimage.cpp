#include "firmwareimage.h"

#include "resultcodes.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

firmwareImageSet loadFirmwareImages(const QStringList &paths, const QList<uint32_t> &addresses, uint32_t &code,
                                    int &failedIndex)
{
    code = resultCode::kSuccess;
    failedIndex = -1;
    if (paths.size() != addresses.size()) {
        code = resultCode::kAddressListMismatch;
        return {};
    }
    QVector<firmwareImage> images;
    images.reserve(paths.size());
    for (int i = 0; i < paths.size(); ++i) {
        QFile file(paths.at(i));
        firmwareImage image;
        // A folder opens on some systems and reads as nothing.
        if (QFileInfo(paths.at(i)).isFile() && file.open(QIODevice::ReadOnly))
            image.bytes = file.readAll();
        if (!file.isOpen() || file.error() != QFileDevice::NoError) {
            code = resultCode::kFlashWriteFailed | resultCode::kTransferCannotOpen;
            failedIndex = i;
            return {};
        }
        if (image.bytes.isEmpty()) {
            code = resultCode::kFlashWriteFailed | resultCode::kTransferEmptyFile;
            failedIndex = i;
            return {};
        }
        image.path = paths.at(i);
        image.fileName = QFileInfo(image.path).fileName();
        image.address = addresses.at(i);
        image.sha256 = QCryptographicHash::hash(image.bytes, QCryptographicHash::Sha256).toHex();
        images.append(image);
    }
    return firmwareImageSet::create(std::move(images));
}

QVector<imageFacts> factsOf(const firmwareImageSet &images)
{
    QVector<imageFacts> facts;
    if (!images)
        return facts;
    for (const firmwareImage &image : *images)
        facts.append({image.fileName, image.bytes.size(), image.address, image.sha256});
    return facts;
}

QVector<imagePlan::image> planOf(const firmwareImageSet &images)
{
    QVector<imagePlan::image> plan;
    if (!images)
        return plan;
    for (const firmwareImage &image : *images)
        plan.append({image.address, image.bytes.size()});
    return plan;
}
