#include "cfgfile.h"

#include "chipinfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSaveFile>
#include <QSysInfo>

namespace {
enum class readResult { Ok, Missing, Unreadable };

// A settings file is a few dozen short keys; anything this large is junk
// that would otherwise be parsed and rewritten after every chip.
constexpr qint64 kMaxFileSize = 1024 * 1024;
const char *const kCounterKeys[] = {"all_cnt", "ok_cnt", "err_cnt"};

readResult readObject(QJsonObject &out)
{
    QFile file(cfgFilePath());
    if (!file.exists())
        return readResult::Missing;
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxFileSize)
        return readResult::Unreadable;
    const QByteArray text = file.readAll();
    if (text.isEmpty())
        return readResult::Missing;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    // Settings are an object of keys; any other JSON is as useless as a
    // syntax error.
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return readResult::Unreadable;
    out = doc.object();
    return readResult::Ok;
}

bool writeObject(const QJsonObject &object)
{
    // The new text goes to a temporary file beside the old one and is renamed
    // over it: an interruption leaves one of the two whole.
    QSaveFile file(cfgFilePath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Indented);
    // Left uncommitted, the temporary file is removed with the object.
    return file.write(text) == text.size() && file.commit();
}

QJsonObject defaults(int rowCount)
{
    QJsonObject o;
    o.insert(QStringLiteral("baud_rate"), QStringLiteral("1000000"));
    for (const char *flag : {"lock_flag", "reset_flag", "high_flag", "continue_flag", "boot_flag"})
        o.insert(QLatin1String(flag), QStringLiteral("0"));
    for (const char *counter : {"all_cnt", "ok_cnt", "err_cnt"})
        o.insert(QLatin1String(counter), QStringLiteral("0"));
    for (int n = 0; n < rowCount; ++n) {
        o.insert(QStringLiteral("file_path_%1").arg(n), QString());
        o.insert(QStringLiteral("path_sta_%1").arg(n), QStringLiteral("0"));
        o.insert(QStringLiteral("file_addr_%1").arg(n), QString());
    }
    return o;
}
} // namespace

QString cfgFilePath()
{
    return configDir() + QStringLiteral("/cfg_file.json");
}

bool ensureDefaults(int rowCount, QString *keptAside)
{
    // The operator's images and counts may still be recoverable by hand;
    // only the previous spoiled copy is given up for this one.
    const QString bad = cfgFilePath() + QStringLiteral(".bad");
    QJsonObject current;
    const readResult result = readObject(current);
    if (result == readResult::Ok) {
        // Counters that are not unsigned decimal text would silently read as
        // 0 and overwrite the count at the next chip: the file is kept aside
        // and only those counters start again from 0.
        bool spoiled = false;
        for (const char *key : kCounterKeys) {
            const QJsonValue v = current.value(QLatin1String(key));
            bool ok = v.isUndefined();
            if (v.isString())
                v.toString().toUInt(&ok, 10);
            if (!ok) {
                current.insert(QLatin1String(key), QStringLiteral("0"));
                spoiled = true;
            }
        }
        if (spoiled) {
            QFile::remove(bad);
            if (QFile::copy(cfgFilePath(), bad) && keptAside)
                *keptAside = bad;
            writeObject(current);
        }
        return true;
    }
    if (result == readResult::Unreadable) {
        QFile::remove(bad);
        if (QFile::rename(cfgFilePath(), bad) && keptAside)
            *keptAside = bad;
    }
    QDir().mkpath(configDir());
    writeObject(defaults(rowCount));
    return false;
}

bool readValue(const QString &key, QString &value)
{
    QJsonObject o;
    if (readObject(o) != readResult::Ok || !o.contains(key))
        return false;
    value = o.value(key).toString();
    return true;
}

bool writeValues(const QMap<QString, QString> &values, bool *lost)
{
    if (lost)
        *lost = true;
    QJsonObject o;
    if (readObject(o) != readResult::Ok)
        return false;
    bool changed = false;
    bool missing = false;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (o.contains(it.key())) {
            o.insert(it.key(), it.value());
            changed = true;
        } else {
            missing = true;
        }
    }
    if (changed && !writeObject(o))
        return false;
    if (lost)
        *lost = false;
    return !missing;
}

bool writeValue(const QString &key, const QString &value)
{
    return writeValues({{key, value}});
}

bool addValue(const QString &key, const QString &value)
{
    QJsonObject o;
    if (readObject(o) != readResult::Ok)
        return false;
    if (o.value(key) == QJsonValue(value))
        return true;
    o.insert(key, value);
    return writeObject(o);
}

QString lineName()
{
    QString name;
    if (readValue(QStringLiteral("line_name"), name) && !name.trimmed().isEmpty())
        return name.trimmed();
    return QSysInfo::machineHostName();
}
