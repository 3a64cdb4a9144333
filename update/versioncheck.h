#pragma once
// The version check run by the tool's update window and by the updater:
// the web listing first, then update_log.txt on the file server. Each
// program passes its own version and its own wording; an empty text means
// that program writes no line at that point.

#include "updatesources.h"

#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

namespace vqupdate {

enum CheckResult : quint8 {
    NoFileServer = 3,
    UpToDate = 4,
    WebUpdateAvailable = 5,
    FileServerUpdateAvailable = 6,
};

struct CheckTexts {
    QString webUnreachable;
    QString webNoPackage;
    QString webParseFailed;
    QString webVersion;         // pattern with %1 %2 %3
    QString localVersion;       // pattern; written after each server version line
    QStringList newerOnWeb;
    QString upToDate;
    QString noFileServer;
    QString fileParseFailed;
    QString fileVersion;        // pattern
    QString newerOnFileServer;  // followed by the release log as one paragraph
    bool clearLogAtFileServer = false;  // the web step's lines are dropped when the share is consulted
};

struct CheckLog {
    std::function<void(const QString &)> append;
    std::function<void()> clear;
};

struct CheckOutcome {
    CheckResult result = NoFileServer;
    QString packageName;  // from the listing; empty when none was found
    QUrl downloadUrl;     // set with WebUpdateAvailable
};

CheckOutcome checkServerVersion(const UpdateSources &sources, const QString &localVersion,
                                const CheckTexts &texts, const CheckLog &log);

} // namespace vqupdate
