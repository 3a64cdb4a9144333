#pragma once
// Unpacking a release archive and copying its folder over the installation.

#include <QString>

// Extracts every entry of the archive below baseFolder. False when the
// archive does not open or any entry cannot be read or written whole.
bool extractArchive(const QString &archivePath, const QString &baseFolder);

// Installs the files of fromDir into toDir, sparing every folder whose name
// contains "upliftor" or "log" and every file whose name contains
// "upliftor", "log", "cfg_file.json" or "update_sources.json". Either all
// files are installed or toDir is left as it was, also when the process dies
// on the way (see finishInterruptedInstall); on failure failedName names the
// file that could not be installed.
bool copyDirectoryFiles(const QString &fromDir, const QString &toDir, bool overwrite,
                        QString &failedName);

// InstallPending: a file could not be put back (a program still running on
// Windows holds it); the plan stays and the next start tries again.
enum InstallRecovery { NothingInterrupted, InstallFinished, InstallUndone, InstallPending };

// Finishes or undoes an installation into installFolder that was cut off
// (by a crash, a kill or a power loss), and clears what an interrupted
// attempt left there: staged copies, backups, unpacking folders and the
// downloaded archive.
InstallRecovery finishInterruptedInstall(const QString &installFolder);

// Deletes a folder tree. An empty path fails; a missing folder succeeds.
bool removeDirectory(const QString &path);
