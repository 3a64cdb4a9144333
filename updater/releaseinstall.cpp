#include "releaseinstall.h"

#include "zipreader.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QStorageInfo>
#include <QStringList>
#include <QUrl>

#include <cerrno>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cstdio>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QString freshSuffix = QStringLiteral(".vqnew");
const QString backupSuffix = QStringLiteral(".vqold");

// The plan of a running installation lives in the installation folder under
// one of three names; renaming it from one to the next is the atomic step
// that moves the installation on. Its names contain "upliftor", so no
// release can install over them.
const QString planStaging = QStringLiteral("upliftor-install-staging.plan");
const QString planPlacing = QStringLiteral("upliftor-install-placing.plan");
const QString planRollback = QStringLiteral("upliftor-install-rollback.plan");
const QString planWriting = QStringLiteral("upliftor-install-staging.plan.part");
const QString stagingPattern = QStringLiteral("upliftor-staging-*");
const QString localArchiveName = QStringLiteral("vq_download_tool.zip");

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

// A release unpacks to some 60 MB, two to three times its archive. 1 GiB
// leaves it room to grow and still keeps a bomb from filling a factory PC's
// disk. Real files do not compress a hundredfold (deflate cannot pass about
// 1030:1, and bombs live near that), so a small archive cannot claim the
// whole 1 GiB either. VQ_TEST_UNPACK_CAP_BYTES lowers the 1 GiB for tests.
const qint64 unpackCapBytes = qint64(1) << 30;
const qint64 unpackRatioCap = 100;

qint64 unpackCap(qint64 archiveBytes)
{
    const qint64 testCap = qgetenv("VQ_TEST_UNPACK_CAP_BYTES").toLongLong();
    return qMin(testCap > 0 ? testCap : unpackCapBytes, archiveBytes * unpackRatioCap);
}

bool isNoSpaceError(int error)
{
#ifdef Q_OS_WIN
    return error == ENOSPC;
#else
    return error == ENOSPC || error == EDQUOT;
#endif
}

} // namespace

const char *const partialDownloadName = "upliftor-download.part";

// Test-only: VQ_TEST_KILL_AT=<point>:<n> ends the process at once the n-th
// time it passes <point>, as a power loss or a killed process would, and
// VQ_TEST_FAIL_AT=<point>:<n>[,<point>:<n>...] makes those steps fail, as a
// locked file or a full disk would. Unset, both do nothing.
bool passPoint(const char *point)
{
    static QHash<QByteArray, int> passes;
    const int pass = ++passes[QByteArray(point)];
    auto hits = [&](const char *variable) {
        return qgetenv(variable).split(',').contains(QByteArray(point) + ':' + QByteArray::number(pass));
    };
    if (hits("VQ_TEST_KILL_AT")) {
        qDebug() << "[killed at]" << point << pass;
#ifdef Q_OS_WIN
        TerminateProcess(GetCurrentProcess(), 9);
#else
        ::kill(::getpid(), SIGKILL);
#endif
    }
    return hits("VQ_TEST_FAIL_AT");
}

bool writeWhole(QFile &file, const QByteArray &data, const char *point, bool &noSpace)
{
    noSpace = false;
    if (passPoint(point)) {
        noSpace = true;
        return false;
    }
    errno = 0;
    if (file.write(data) == data.size())
        return true;
#ifdef Q_OS_WIN
    const DWORD error = GetLastError();
    noSpace = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
#endif
    // A short write is followed by the failed one that says why.
    noSpace = noSpace || isNoSpaceError(errno) || file.error() == QFileDevice::ResourceError;
    return false;
}

qint64 freeSpace(const QString &folder)
{
    return QStorageInfo(folder).bytesAvailable();
}

namespace {

struct PlannedFile {
    QString path;      // below the installation folder
    bool existed = false;
};

struct InstallPlan {
    QString root;      // the installation folder
    QList<PlannedFile> files;
    QStringList createdFolders;  // below root, parents first

    QString target(const PlannedFile &f) const { return root + QLatin1Char('/') + f.path; }
    QString fresh(const PlannedFile &f) const { return target(f) + freshSuffix; }
    QString backup(const PlannedFile &f) const { return target(f) + backupSuffix; }
    QString plan(const QString &name) const { return root + QLatin1Char('/') + name; }
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

bool syncFile(QFile &file)
{
    if (!file.flush())
        return false;
#ifdef Q_OS_WIN
    return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()))) != 0;
#else
    return ::fsync(file.handle()) == 0;
#endif
}

// A rename is only as lasting as the folder entry that records it.
void syncFolder(const QString &path)
{
#ifndef Q_OS_WIN
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    Q_UNUSED(path)
#endif
}

// Copies a file whole and on disk before it returns, with its permissions.
// stagePoint marks the half-way point of a staged file for the test hooks.
// Unbuffered, so that a full disk shows at the write that meets it.
bool copyWhole(const QString &from, const QString &to, bool stagePoint, bool &noSpace)
{
    noSpace = false;
    if (!QFileInfo(from).isFile())
        return false;
    QFile in(from);
    QFile out(to);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    errno = 0;
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        noSpace = isNoSpaceError(errno);
        return false;
    }
    auto copy = [&](qint64 length) {
        while (length > 0) {
            const QByteArray chunk = in.read(qMin<qint64>(length, 1 << 16));
            if (chunk.isEmpty() || !writeWhole(out, chunk, "install-write", noSpace))
                return false;
            length -= chunk.size();
        }
        return true;
    };
    const qint64 size = in.size();
    if (!copy(size / 2))
        return false;
    if (stagePoint) {
        out.flush();
        passPoint("stage");
    }
    if (!copy(size - size / 2) || !in.atEnd())
        return false;
    errno = 0;
    if (!syncFile(out)) {
        // Some file systems only find out at the flush that the space is gone.
        noSpace = isNoSpaceError(errno);
        return false;
    }
    return out.setPermissions(in.permissions());
}

bool makePlan(const QString &fromDir, const QString &toDir, const QString &below, bool overwrite,
              InstallPlan &plan, QString &failedName, QStringList &skipped)
{
    qDebug() << "copyDirectoryFiles:" << fromDir << toDir;
    const QFileInfoList entries = QDir(fromDir).entryInfoList(
        QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        const QString path = below.isEmpty() ? name : below + QLatin1Char('/') + name;
        const QString target = QDir(toDir).filePath(name);
        if (entry.isDir()) {
            if (sparedFolder(name)) {
                skipped << path + QLatin1Char('/');
                continue;
            }
            if (!QFileInfo(target).isDir())
                plan.createdFolders << path;
            if (!makePlan(entry.filePath(), target, path, overwrite, plan, failedName, skipped))
                return false;
            continue;
        }
        if (sparedFile(name)) {
            skipped << path;
            continue;
        }
        PlannedFile file;
        file.path = path;
        file.existed = QFileInfo::exists(target);
        if (file.existed && !overwrite) {
            failedName = name;
            return false;
        }
        plan.files << file;
    }
    return true;
}

bool writePlan(const InstallPlan &plan)
{
    QByteArray text;
    for (const QString &folder : plan.createdFolders)
        text += "D " + QUrl::toPercentEncoding(folder, "/") + '\n';
    for (const PlannedFile &file : plan.files)
        text += (file.existed ? "E " : "N ") + QUrl::toPercentEncoding(file.path, "/") + '\n';
    QFile f(plan.plan(planWriting));
    const bool written = f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size()
                         && syncFile(f);
    f.close();
    if (!written || !replaceFile(f.fileName(), plan.plan(planStaging))) {
        QFile::remove(f.fileName());
        return false;
    }
    syncFolder(plan.root);
    return true;
}

bool readPlan(const QString &path, InstallPlan &plan)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.size() < 3 || line.at(1) != ' ')
            continue;
        const QString item = QUrl::fromPercentEncoding(line.mid(2));
        // A plan never names anything outside the installation folder.
        if (item.isEmpty() || item.startsWith(QLatin1Char('/')) || item.split(QLatin1Char('/')).contains(QStringLiteral("..")))
            continue;
        if (line.at(0) == 'D') {
            plan.createdFolders << item;
        } else if (line.at(0) == 'E' || line.at(0) == 'N') {
            PlannedFile file;
            file.path = item;
            file.existed = line.at(0) == 'E';
            plan.files << file;
        }
    }
    return true;
}

bool movePlan(const InstallPlan &plan, const QString &from, const QString &to)
{
    if (!replaceFile(plan.plan(from), plan.plan(to)))
        return false;
    syncFolder(plan.root);
    return true;
}

void dropPlan(const InstallPlan &plan, const QString &name)
{
    QFile::remove(plan.plan(name));
    syncFolder(plan.root);
}

// Nothing installed yet: the staged copies go and the folder is as before.
void discardStaged(const InstallPlan &plan)
{
    for (const PlannedFile &file : plan.files) {
        QFile::remove(plan.fresh(file));
        QFile::remove(plan.backup(file));
    }
    for (auto it = plan.createdFolders.crbegin(); it != plan.createdFolders.crend(); ++it)
        QDir().rmdir(plan.root + QLatin1Char('/') + *it);
    dropPlan(plan, planStaging);
}

// Every file was staged whole, so what is still waiting goes in place.
// Runs again from the top after an interruption: a placed file has no
// fresh copy left.
bool placeStaged(const InstallPlan &plan, QString &failedName)
{
    for (const PlannedFile &file : plan.files) {
        if (!QFileInfo::exists(plan.fresh(file)))
            continue;
        if (passPoint("place") || !replaceFile(plan.fresh(file), plan.target(file))) {
            failedName = QFileInfo(file.path).fileName();
            return false;
        }
    }
    syncFolder(plan.root);
    for (const PlannedFile &file : plan.files) {
        if (QFile::remove(plan.backup(file)))
            passPoint("cleanup");
    }
    dropPlan(plan, planPlacing);
    return true;
}

// Puts every backup back and takes away what the release added. Runs again
// from the top after an interruption: a restored file has no backup left.
// A backup that cannot be put back keeps the plan for the next start.
bool restoreBackups(const InstallPlan &plan)
{
    bool restored = true;
    for (auto it = plan.files.crbegin(); it != plan.files.crend(); ++it) {
        if (it->existed) {
            if (QFileInfo::exists(plan.backup(*it))
                && (passPoint("rollback") || !replaceFile(plan.backup(*it), plan.target(*it)))) {
                restored = false;
                continue;
            }
        } else if (QFileInfo::exists(plan.target(*it)) && !QFile::remove(plan.target(*it))) {
            restored = false;
            continue;
        }
        QFile::remove(plan.fresh(*it));
    }
    for (auto it = plan.createdFolders.crbegin(); it != plan.createdFolders.crend(); ++it)
        QDir().rmdir(plan.root + QLatin1Char('/') + *it);
    syncFolder(plan.root);
    if (restored)
        dropPlan(plan, planRollback);
    return restored;
}

QString firstFileName(const InstallPlan &plan)
{
    return plan.files.isEmpty() ? QString() : QFileInfo(plan.files.first().path).fileName();
}

bool placeOrRestore(const InstallPlan &plan, QString &failedName)
{
    if (placeStaged(plan, failedName))
        return true;
    if (movePlan(plan, planPlacing, planRollback))
        restoreBackups(plan);
    return false;
}

// Carries an earlier installation's plan to its end, whichever way it says.
InstallRecovery finishPlan(const QString &root)
{
    InstallPlan plan;
    plan.root = root;
    InstallRecovery outcome = NothingInterrupted;
    QString failedName;
    if (readPlan(plan.plan(planRollback), plan)) {
        outcome = restoreBackups(plan) ? InstallUndone : InstallPending;
    } else if (readPlan(plan.plan(planPlacing), plan)) {
        if (placeOrRestore(plan, failedName))
            outcome = InstallFinished;
        else
            outcome = QFileInfo::exists(plan.plan(planRollback)) ? InstallPending : InstallUndone;
    } else if (readPlan(plan.plan(planStaging), plan)) {
        discardStaged(plan);
        outcome = InstallUndone;
    }
    QFile::remove(plan.plan(planWriting));
    return outcome;
}

} // namespace

ExtractOutcome extractArchive(const QString &archivePath, const QString &baseFolder, ExtractReport &report)
{
    report = ExtractReport();
    report.capBytes = unpackCap(QFileInfo(archivePath).size());
    ZipHandle *zip = openArchiveAt(QFile::encodeName(archivePath).constData(), nullptr,
                                   QFile::encodeName(baseFolder).constData());
    if (!zip)
        return ArchiveBroken;
    ArchiveEntry head;
    ExtractOutcome outcome = getArchiveEntry(zip, -1, &head) == ZipOk ? Extracted : ArchiveBroken;
    const int count = head.index;
    // Sizes come from the directory, so the whole release is judged before
    // a byte of it is written.
    for (int i = 0; outcome == Extracted && i < count; ++i) {
        ArchiveEntry entry;
        if (getArchiveEntry(zip, i, &entry) != ZipOk)
            outcome = ArchiveBroken;
        report.unpackedBytes += entry.uncSize;
    }
    if (outcome == Extracted && report.unpackedBytes > report.capBytes)
        outcome = ReleaseTooLarge;
    if (outcome == Extracted) {
        report.freeBytes = passPoint("room") ? 0 : freeSpace(baseFolder);
        if (report.freeBytes >= 0 && report.freeBytes < 2 * report.unpackedBytes)
            outcome = NoRoomToUnpack;
    }
    qint64 written = 0;
    for (int i = 0; outcome == Extracted && i < count; ++i) {
        ArchiveEntry entry;
        if (getArchiveEntry(zip, i, &entry) != ZipOk) {
            outcome = ArchiveBroken;
            break;
        }
        uint32_t result = ZipWriteFailed;
        errno = ENOSPC;
        if (!passPoint("unpack-write")) {
            errno = 0;
            result = extractEntry(zip, i, entry.name);
        }
        const int writeError = errno;
        passPoint("extract");
        QString name = QFile::decodeName(entry.name);
#ifndef Q_OS_WIN
        // The reader puts backslash-separated names into folders here too;
        // the checks below must look where it wrote.
        name.replace(QLatin1Char('\\'), QLatin1Char('/'));
#endif
        const bool isFolder = (entry.attr & 0xF000) == 0x4000 || name.endsWith(QLatin1Char('/'))
                              || name.endsWith(QLatin1Char('\\'));
        const QString path = baseFolder + QLatin1Char('/') + name;
        QString shown = name;
        while (shown.endsWith(QLatin1Char('/')))
            shown.chop(1);
        // Files that could not be made or written are the disk's fault, not
        // the archive's: a release that is fine must not be called broken.
        if (result == ZipWriteFailed || result == ZipNoFile) {
            outcome = ExtractWriteFailed;
            report.failedName = QFileInfo(shown).fileName();
            report.noSpace = isNoSpaceError(writeError);
            break;
        }
        if (result == ZipTooLong) {
            outcome = EntryTooLong;
            report.failedName = shown;
            break;
        }
        // A file whose size differs from the directory's record is a broken
        // archive too, whatever the reader reported.
        const qint64 size = isFolder ? 0 : QFileInfo(path).size();
        if (result != ZipOk || (!isFolder && size != qint64(entry.uncSize))) {
            outcome = ArchiveBroken;
            break;
        }
        // The reader holds each entry to its declared size; counting what
        // reached the disk keeps the cap even where it would not.
        written += size;
        if (written > report.capBytes) {
            outcome = ReleaseTooLarge;
            break;
        }
#ifndef Q_OS_WIN
        // The reader restores times only; the tool's programs must still run
        // after an update, so a Unix mode stored with the entry is applied.
        if (!isFolder && (entry.attr & 0xF000) == 0x8000)
            chmod(QFile::encodeName(path).constData(), mode_t(entry.attr & 0777));
#endif
    }
    closeArchive(zip);
    return outcome;
}

// An installation goes through three steps, each recorded by the name of its
// plan file before the step begins:
//  staging   every release file is copied whole beside its target (.vqnew)
//            and every file it replaces is copied beside it too (.vqold);
//            the installed files are not touched yet;
//  placing   the fresh copies are renamed over their targets, one by one, so
//            each file is at every moment either the old or the new one;
//  rollback  a failed rename puts every backup back.
// If the process dies, the next start finishes what the plan's name says:
// a plan still staging is undone (a staged copy may be cut short, and the
// installed files are all old), a plan placing is carried forward (every new
// file was staged whole, so rolling forward cannot fail for want of data),
// and a rollback is completed.
bool copyDirectoryFiles(const QString &fromDir, const QString &toDir, bool overwrite,
                        QString &failedName, InstallReport *report)
{
    InstallReport unused;
    if (!report)
        report = &unused;
    *report = InstallReport();
    const QDir target(toDir);
    bool createdRoot = false;
    if (!target.exists()) {
        if (!QDir().mkdir(target.absolutePath()))
            return false;
        createdRoot = true;
    }
    InstallPlan plan;
    plan.root = target.absolutePath();
    // A new plan must not meet an old one that could not be carried through.
    if (finishPlan(plan.root) == InstallPending) {
        failedName = QFileInfo::exists(plan.plan(planRollback)) ? planRollback : planPlacing;
        return false;
    }
    if (!makePlan(fromDir, toDir, QString(), overwrite, plan, failedName, report->skipped)) {
        if (createdRoot)
            QDir().rmdir(plan.root);
        return false;
    }
    if (plan.files.isEmpty() && plan.createdFolders.isEmpty())
        return true;

    auto undo = [&] {
        discardStaged(plan);
        if (createdRoot)
            QDir().rmdir(plan.root);
        return false;
    };
    if (!writePlan(plan)) {
        failedName = firstFileName(plan);
        return undo();
    }
    for (const QString &folder : qAsConst(plan.createdFolders)) {
        errno = 0;
        if (!QDir().mkdir(plan.root + QLatin1Char('/') + folder)) {
            report->noSpace = isNoSpaceError(errno);
            failedName = QFileInfo(folder).fileName();
            return undo();
        }
    }
    for (const PlannedFile &file : qAsConst(plan.files)) {
        const QString source = QDir(fromDir).filePath(file.path);
        const bool staged = copyWhole(source, plan.fresh(file), true, report->noSpace)
                            && (!file.existed || copyWhole(plan.target(file), plan.backup(file), false, report->noSpace));
        if (!staged) {
            failedName = QFileInfo(file.path).fileName();
            return undo();
        }
    }
    syncFolder(plan.root);
    for (const QString &folder : qAsConst(plan.createdFolders))
        syncFolder(plan.root + QLatin1Char('/') + folder);
    if (!movePlan(plan, planStaging, planPlacing)) {
        failedName = firstFileName(plan);
        return undo();
    }
    passPoint("staged");
    return placeOrRestore(plan, failedName);
}

InstallRecovery finishInterruptedInstall(const QString &installFolder)
{
    InstallPlan plan;
    plan.root = QDir(installFolder).absolutePath();
    InstallRecovery outcome = finishPlan(plan.root);

    const QDir work(plan.root);
    // A download that was cut off is never worth resuming: the server may
    // have moved on to another release meanwhile.
    if (QFile::remove(work.absoluteFilePath(QLatin1String(partialDownloadName))))
        qDebug() << "[partial download removed]";
    const QStringList staging = work.entryList({stagingPattern}, QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &folder : staging)
        removeDirectory(work.absoluteFilePath(folder));
    // An attempt cut off while unpacking had not touched the installation.
    if (outcome == NothingInterrupted && !staging.isEmpty())
        outcome = InstallUndone;
    // The archive of an attempt that was cut off is no use to the next one.
    if (outcome != NothingInterrupted)
        QFile::remove(work.absoluteFilePath(localArchiveName));
    if (outcome == InstallFinished)
        qDebug() << "[interrupted installation finished]";
    else if (outcome == InstallUndone)
        qDebug() << "[interrupted installation undone]";
    else if (outcome == InstallPending)
        qDebug() << "[interrupted installation still pending]";
    return outcome;
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
