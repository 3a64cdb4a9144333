#pragma once
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The installation's config folder: applicationDirPath()/config, or the
// folder named by the environment variable VQ_CONFIG_DIR when it is set
// (tests and side-by-side installations point it elsewhere).
QString configDir();

// The chip catalogue: model name -> the build-date string its boot ROM
// prints in reply to "version\r\n", kept in config/chip_info.json.
class chipInfo
{
public:
    chipInfo();

    // true when an existing file was read; otherwise the default table is
    // written. models is filled in both cases. A catalogue that cannot be
    // written (a read-only installation) leaves the default table in use
    // and errorString() saying which folder is at fault.
    bool load();
    // Empty, or why the catalogue file could not be created, naming it.
    QString errorString() const;
    // Reads the file again on every call, so edits apply to the next lookup.
    bool modelDate(const QString &model, QString &date) const;
    // The model names as the file holds them now (models when unreadable).
    QStringList currentModels();

    static QString filePath();
    static QString ramCodePath(const QString &model, bool highSpeed);

    QStringList models;

private:
    // The table last read, or the default one when none could be read; used
    // while the file cannot be read.
    QJsonObject table;
    QString error;
};
