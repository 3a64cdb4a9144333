#include "releaseinstall.h"

#include "zipreader.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStringList>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cstdio>
#include <sys/stat.h>
#endif

bool extractArchive(const QString &archivePath, const QString &baseFolder)
{
    ZipHandle *zip = openArchiveAt(QFile::encodeName(archivePath).constData(), nullptr,
                                   QFile::encodeName(baseFolder).constData());
    if (!zip)
        return false;
    ArchiveEntry head;
    bool ok = getArchiveEntry(zip, -1, &head) == ZipOk;
    const int count = head.index;
    for (int i = 0; ok && i < count; ++i) {
        ArchiveEntry entry;
        ok = getArchiveEntry(zip, i, &entry) == ZipOk && extractEntry(zip, i, entry.name) == ZipOk;
        QString name = QFile::decodeName(entry.name);
#ifndef Q_OS_WIN
        // The reader puts backslash-separated names into folders here too;
        // the checks below must look where it wrote.
        name.replace(QLatin1Char('\\'), QLatin1Char('/'));
#endif
        const bool isFolder = (entry.attr & 0xF000) == 0x4000 || name.endsWith(QLatin1Char('/'))
                              || name.endsWith(QLatin1Char('\\'));
        const QString path = baseFolder + QLatin1Char('/') + name;
        // A file whose size differs from the directory's record is a broken
        // archive too, whatever the reader reported.
        if (ok && !isFolder)
            ok = QFileInfo(path).size() == qint64(entry.uncSize);
#ifndef Q_OS_WIN
        // The reader restores times only; the tool's programs must still run
        // after an update, so a Unix mode stored with the entry is applied.
        if (ok && !isFolder && (entry.attr & 0xF000) == 0x8000)
            chmod(QFile::encodeName(path).constData(), mode_t(entry.attr & 0777));
#endif
    }
    closeArchive(zip);
    return ok;
}

namespace {

const QString freshSuffix = QStringLiteral(".vqnew");
const QString backupSuffix = QStringLiteral(".vqold");

bool sparedFolder(const QString &name)
{
    return name.contains(QLatin1String("upliftor")) || name.contains(QLatin1String("log"));
}

// The factory counters and the site's update sources belong to the
// installation: a release that carries its own copy must not reset a line's
// counts or point the site at another server.
bool sparedFile(const QString &name)
{
    return sparedFolder(name) || name.contains(QLatin1String("cfg_file.json"))
           || name.contains(QLatin1String("update_sources.json"));
}

// The new copy lands under a name beside its target first; replacing the
// target by a rename means an interrupted install never leaves a missing or
// half-written file, and the backup lets a later failure put it all back.
struct PlannedFile {
    QString name;
    QString target;
    QString fresh;
    QString backup;
    bool existed = false;
    bool placed = false;
};

struct InstallPlan {
    QList<PlannedFile> files;
    QStringList createdFolders;
};

bool replaceFile(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

bool stageFiles(const QString &fromDir, const QString &toDir, bool overwrite, InstallPlan &plan,
                QString &failedName)
{
    qDebug() << "copyDirectoryFiles:" << fromDir << toDir;
    const QDir target(toDir);
    if (!target.exists()) {
        if (!QDir().mkdir(target.absolutePath()))
            return false;
        plan.createdFolders << target.absolutePath();
    }
    const QFileInfoList entries = QDir(fromDir).entryInfoList(
        QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (entry.isDir()) {
            if (!sparedFolder(name)
                && !stageFiles(entry.filePath(), target.filePath(name), overwrite, plan, failedName))
                return false;
            continue;
        }
        if (sparedFile(name))
            continue;
        PlannedFile file;
        file.name = name;
        file.target = target.filePath(name);
        file.fresh = file.target + freshSuffix;
        file.backup = file.target + backupSuffix;
        file.existed = QFileInfo(file.target).exists();
        plan.files << file;
        QFile::remove(file.fresh);
        QFile::remove(file.backup);
        const bool staged = (!file.existed || overwrite)
                            && QFile::copy(entry.filePath(), file.fresh)
                            && QFileInfo(file.fresh).size() == entry.size()
                            && (!file.existed || QFile::copy(file.target, file.backup));
        if (!staged) {
            failedName = name;
            return false;
        }
    }
    return true;
}

bool placeFiles(InstallPlan &plan, QString &failedName)
{
    for (PlannedFile &file : plan.files) {
        if (!replaceFile(file.fresh, file.target)) {
            failedName = file.name;
            return false;
        }
        file.placed = true;
    }
    return true;
}

void rollBack(const InstallPlan &plan)
{
    for (auto it = plan.files.crbegin(); it != plan.files.crend(); ++it) {
        if (it->placed) {
            if (it->existed)
                replaceFile(it->backup, it->target);
            else
                QFile::remove(it->target);
        }
        QFile::remove(it->fresh);
        QFile::remove(it->backup);
    }
    for (auto it = plan.createdFolders.crbegin(); it != plan.createdFolders.crend(); ++it)
        QDir().rmdir(*it);
}

} // namespace

bool copyDirectoryFiles(const QString &fromDir, const QString &toDir, bool overwrite,
                        QString &failedName)
{
    InstallPlan plan;
    if (!stageFiles(fromDir, toDir, overwrite, plan, failedName) || !placeFiles(plan, failedName)) {
        rollBack(plan);
        return false;
    }
    for (const PlannedFile &file : qAsConst(plan.files))
        QFile::remove(file.backup);
    return true;
}

bool removeDirectory(const QString &path)
{
    if (path.isEmpty())
        return false;
    QDir dir(path);
    if (!dir.exists())
        return true;
    const QFileInfoList entries =
        dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() && !entry.isSymLink())
            removeDirectory(entry.absoluteFilePath());
        else
            QFile::remove(entry.absoluteFilePath());
    }
    // Only this folder goes: a parent left empty is not ours to remove.
    return QDir().rmdir(dir.absolutePath());
}
