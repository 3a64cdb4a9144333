#include "instancelock.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
constexpr char kLockName[] = "vq_download_tool.lock";
}

instanceLock::instanceLock(const QString &configFolder)
    : config(QFileInfo(configFolder).absoluteFilePath())
{
}

instanceLock::~instanceLock()
{
    release();
}

bool instanceLock::acquire()
{
    QDir().mkpath(config);
    if (tryAt(QDir(config).filePath(QLatin1String(kLockName))))
        return true;
    if (!why.isEmpty())
        return false;
    // A config folder this user cannot write (an installation shared
    // read-only): the copies of this user still meet in the runtime folder.
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    const QByteArray key = QCryptographicHash::hash(QDir::cleanPath(config).toUtf8(), QCryptographicHash::Sha1).toHex();
    if (!runtime.isEmpty()
        && tryAt(QDir(runtime).filePath(QStringLiteral("vq_download_tool-%1.lock").arg(QLatin1String(key.left(16))))))
        return true;
    // Without any lock the tool still runs: a folder that cannot be written
    // must not keep the line from working.
    return why.isEmpty();
}

bool instanceLock::tryAt(const QString &file)
{
    auto candidate = std::make_unique<QLockFile>(file);
    // Only a lock whose process is gone is stale, however old it is: a
    // line runs for weeks.
    candidate->setStaleLockTime(0);
    if (candidate->tryLock(0)) {
        lock = std::move(candidate);
        taken = file;
        return true;
    }
    if (candidate->error() != QLockFile::LockFailedError)
        return false;
    qint64 pid = 0;
    QString host, program;
    candidate->getLockInfo(&pid, &host, &program);
    why = QStringLiteral("烧录工具已在运行（进程号 %1，安装目录 %2），同一安装目录只能运行一个烧录工具，请使用已打开的窗口！")
              .arg(pid)
              .arg(QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
    return false;
}

void instanceLock::release()
{
    if (lock)
        lock->unlock();
    lock.reset();
}
