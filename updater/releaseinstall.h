#pragma once
// Unpacking a release archive and copying its folder over the installation.

#include <QString>
#include <QStringList>

class QFile;

// Writes data whole. On failure noSpace says whether the disk (or the
// user's quota) had run out, as opposed to any other write error. point
// names the write for the test hook VQ_TEST_FAIL_AT, which fails it as a
// full disk would.
bool writeWhole(QFile &file, const QByteArray &data, const char *point, bool &noSpace);

// Bytes the current user may still write on the volume holding folder.
qint64 freeSpace(const QString &folder);

// Test-only hooks (VQ_TEST_KILL_AT, VQ_TEST_FAIL_AT): true when the n-th
// pass of point is to fail; ends the process there when it is to be killed.
bool passPoint(const char *point);

enum ExtractOutcome {
    Extracted,
    ArchiveBroken,       // does not open, or an entry cannot be read whole
    EntryTooLong,        // an entry's data runs on past its declared size
    ReleaseTooLarge,     // the entries would unpack to more than the cap
    NoRoomToUnpack,      // the disk cannot hold the release twice
    ExtractWriteFailed,  // an entry could not be written
};

struct ExtractReport {
    QString failedName;        // the entry, for EntryTooLong and ExtractWriteFailed
    bool noSpace = false;      // ExtractWriteFailed for want of space
    qint64 unpackedBytes = 0;  // what the entries declare, all together
    qint64 capBytes = 0;       // the most this archive may unpack to
    qint64 freeBytes = -1;     // room on the disk when it was looked at
};

// Extracts every entry of the archive below baseFolder, after checking that
// what the entries declare stays within the cap and fits on the disk twice
// (unpacked, then staged for installing). An entry that fails is removed;
// the rest is the caller's to remove.
ExtractOutcome extractArchive(const QString &archivePath, const QString &baseFolder, ExtractReport &report);

struct InstallReport {
    QStringList skipped;   // release entries below fromDir left out by the name rule; folders end in "/"
    bool noSpace = false;  // a file could not be written for want of space
};

// Installs the files of fromDir into toDir, sparing every folder whose name
// contains "upliftor" or "log" and every file whose name contains
// "upliftor", "log", "cfg_file.json" or "update_sources.json". Either all
// files are installed or toDir is left as it was, also when the process dies
// on the way (see finishInterruptedInstall); on failure failedName names the
// file that could not be installed.
bool copyDirectoryFiles(const QString &fromDir, const QString &toDir, bool overwrite,
                        QString &failedName, InstallReport *report = nullptr);

// InstallPending: a file could not be put back (a program still running on
// Windows holds it); the plan stays and the next start tries again.
enum InstallRecovery { NothingInterrupted, InstallFinished, InstallUndone, InstallPending };

// Finishes or undoes an installation into installFolder that was cut off
// (by a crash, a kill or a power loss), and clears what an interrupted
// attempt left there: staged copies, backups, unpacking folders, the
// downloaded archive and a download that was cut off.
InstallRecovery finishInterruptedInstall(const QString &installFolder);

// Where a download is written until it has arrived whole; only then does it
// become the local archive, so a partial file never passes for a release.
extern const char *const partialDownloadName;

// Deletes a folder tree. An empty path fails; a missing folder succeeds.
bool removeDirectory(const QString &path);
