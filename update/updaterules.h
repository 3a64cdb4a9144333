#pragma once
// Formats shared by the tool's update check and the updater: version texts,
// the package name in the web listing and the head of update_log.txt.

#include <QByteArray>
#include <QString>
#include <QUrl>

namespace vqupdate {

struct VersionText {
    bool valid = false;  // exactly three dot-separated parts
    quint32 major = 0;
    quint32 minor = 0;
    quint32 patch = 0;
};

// "v3.0.2" -> 3, 0, 2. The first character of the first part is skipped
// whatever it is, so a blank before the "v" makes the major number 0.
VersionText parseVersionText(const QString &text);
// major x 100 + minor x 10 + patch: v3.0.10 and v3.1.0 compare equal.
quint32 versionNumber(const VersionText &version);
quint32 versionNumber(const QString &text);
// "v%1.%2.%3" filled with the numbers as read.
QString versionLine(const QString &pattern, const VersionText &version);

extern const char *const packageMarker;  // "vq_download_tool"
extern const char *const packagePrefix;  // "vq_download_tool_"

// The name that starts at the first marker of the listing, when an
// apostrophe stands right before it; it ends before the next apostrophe
// or at the end of the body.
bool packageNameFromListing(const QByteArray &body, QString *name);
// "vq_download_tool_v3.0.3.zip" -> "v3.0.3".
QString versionTextOfPackage(const QString &packageName);

struct UpdateLog {
    QString versionText;  // after the first colon of the first line (whole line without one)
    QString releaseLog;   // everything after the first line
};
UpdateLog parseUpdateLog(const QByteArray &fileContent);

// UTF-8 up to the first NUL byte, as the release texts are written.
QString decodeText(const QByteArray &bytes);

enum WebQueryResult { WebUnreachable = 0, WebNoPackage = 1, WebPackageFound = 3 };

// GET the listing and look for the package name. Waits for the reply at
// most listingWaitMs, holding back user input meanwhile.
WebQueryResult queryWebListing(const QUrl &listingUrl, QString *packageName);

} // namespace vqupdate
