#pragma once
#include <QLockFile>
#include <QString>

#include <memory>

// One copy of the tool per installation: two would share its ports, its
// settings file and its production database. The lock file lives in the
// installation's config folder, or, where that cannot be written, in the
// user's runtime folder under a name made from the config folder's path.
// A lock whose process is gone is taken over; the lock goes at release or
// when the process ends.
class instanceLock
{
public:
    explicit instanceLock(const QString &configFolder);
    ~instanceLock();

    // false when another copy holds the lock: refusal() then says which.
    bool acquire();
    void release();

    // Where the lock was taken (empty when neither folder could be written).
    QString path() const { return taken; }
    // Why this copy must not run, in the operator's words, naming the copy
    // that runs.
    QString refusal() const { return why; }

private:
    bool tryAt(const QString &file);

    QString config;
    QString taken;
    QString why;
    std::unique_ptr<QLockFile> lock;
};
