#include "chipinfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

QString configDir()
{
    const QString overridden = qEnvironmentVariable("VQ_CONFIG_DIR");
    if (!overridden.isEmpty())
        return overridden;
    return QCoreApplication::applicationDirPath() + QStringLiteral("/config");
}

namespace {
QJsonObject defaultCatalogue()
{
    QJsonObject o;
    o.insert(QStringLiteral("VQ5304"), QStringLiteral("Aug  9 2021/16:16:40"));
    o.insert(QStringLiteral("VQ571M"), QStringLiteral("Mar 14 2021/00:23:32"));
    return o;
}

// The file is opened for writing as well, as the tool always has: a
// catalogue it may not write is treated as unreadable.
bool readCatalogue(QJsonObject *out)
{
    QFile file(chipInfo::filePath());
    if (!file.open(QIODevice::ReadWrite | QIODevice::Text))
        return false;
    if (file.size() == 0)
        return false;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    *out = doc.object();
    return true;
}
} // namespace

chipInfo::chipInfo()
{
    load();
}

QString chipInfo::filePath()
{
    return configDir() + QStringLiteral("/chip_info.json");
}

QString chipInfo::ramCodePath(const QString &model, bool highSpeed)
{
    return configDir() + QLatin1Char('/') + model
           + (highSpeed ? QStringLiteral("_HIGH_SPEED_BIN.bin") : QStringLiteral("_RAM_BIN.bin"));
}

bool chipInfo::load()
{
    QJsonObject catalogue;
    if (readCatalogue(&catalogue)) {
        models = catalogue.keys();
        return true;
    }
    QDir().mkpath(configDir());
    QFile file(filePath());
    const QJsonObject defaults = defaultCatalogue();
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        file.write(QJsonDocument(defaults).toJson(QJsonDocument::Indented));
    models = defaults.keys();
    return false;
}

bool chipInfo::modelDate(const QString &model, QString &date) const
{
    QJsonObject catalogue;
    if (!readCatalogue(&catalogue))
        return false;
    date = catalogue.value(model).toString();
    return true;
}

QStringList chipInfo::currentModels()
{
    QJsonObject catalogue;
    if (readCatalogue(&catalogue))
        models = catalogue.keys();
    return models;
}
