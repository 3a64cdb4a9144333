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

// Read-only: an installation the user may not write (a program folder, a
// shared drive) must still identify its chips.
bool readCatalogue(QJsonObject *out)
{
    QFile file(chipInfo::filePath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
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
    error.clear();
    QJsonObject catalogue;
    if (readCatalogue(&catalogue)) {
        table = catalogue;
        models = catalogue.keys();
        return true;
    }
    table = defaultCatalogue();
    models = table.keys();
    const QString folder = configDir();
    QFile file(filePath());
    const QByteArray text = QJsonDocument(table).toJson(QJsonDocument::Indented);
    if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)
        || file.write(text) != text.size() || !file.flush()) {
        error = QStringLiteral("无法在配置文件夹 %1 中写入 chip_info.json（%2），本次使用内置的芯片信息")
                    .arg(QDir::toNativeSeparators(folder), file.errorString());
        qWarning().noquote() << error;
    }
    return false;
}

QString chipInfo::errorString() const
{
    return error;
}

bool chipInfo::modelDate(const QString &model, QString &date) const
{
    QJsonObject catalogue;
    if (!readCatalogue(&catalogue)) {
        // The table from the start still knows the models.
        if (table.isEmpty())
            return false;
        catalogue = table;
    }
    date = catalogue.value(model).toString();
    return true;
}

QStringList chipInfo::currentModels()
{
    QJsonObject catalogue;
    if (readCatalogue(&catalogue)) {
        table = catalogue;
        models = catalogue.keys();
    }
    return models;
}
