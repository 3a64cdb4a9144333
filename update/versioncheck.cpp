#include "versioncheck.h"
#include "updaterules.h"

#include <QDebug>
#include <QFile>

namespace vqupdate {

namespace {

void say(const CheckLog &log, const QString &text)
{
    if (!text.isEmpty() && log.append)
        log.append(text);
}

void sayVersion(const CheckLog &log, const QString &pattern, const VersionText &v)
{
    if (pattern.isEmpty())
        return;
    const QString line = versionLine(pattern, v);
    qDebug().noquote() << line;
    say(log, line);
}

CheckResult checkFileServer(const UpdateSources &sources, const VersionText &local,
                            const CheckTexts &texts, const CheckLog &log)
{
    QFile file(shareFolder(sources.fileServer) + QStringLiteral("update_log.txt"));
    const bool opened = file.open(QIODevice::ReadOnly);
    if (texts.clearLogAtFileServer && log.clear)
        log.clear();
    if (!opened) {
        say(log, texts.noFileServer);
        return NoFileServer;
    }
    const UpdateLog content = parseUpdateLog(file.readAll());
    const VersionText server = parseVersionText(content.versionText);
    if (!server.valid) {
        say(log, texts.fileParseFailed);
        return UpToDate;
    }
    sayVersion(log, texts.fileVersion, server);
    sayVersion(log, texts.localVersion, local);
    if (versionNumber(local) < versionNumber(server)) {
        say(log, texts.newerOnFileServer);
        if (log.append)
            log.append(content.releaseLog);
        return FileServerUpdateAvailable;
    }
    say(log, texts.upToDate);
    return UpToDate;
}

} // namespace

CheckOutcome checkServerVersion(const UpdateSources &sources, const QString &localVersion,
                                const CheckTexts &texts, const CheckLog &log)
{
    CheckOutcome outcome;
    const VersionText local = parseVersionText(localVersion);
    const QUrl listing = listingUrl(sources.webHost);

    switch (queryWebListing(listing, &outcome.packageName)) {
    case WebUnreachable:
        say(log, texts.webUnreachable);
        break;
    case WebNoPackage:
        say(log, texts.webNoPackage);
        break;
    case WebPackageFound: {
        const VersionText server = parseVersionText(versionTextOfPackage(outcome.packageName));
        if (!server.valid) {
            say(log, texts.webParseFailed);
            break;
        }
        sayVersion(log, texts.webVersion, server);
        sayVersion(log, texts.localVersion, local);
        if (versionNumber(local) < versionNumber(server)) {
            for (const QString &line : texts.newerOnWeb)
                say(log, line);
            outcome.downloadUrl = QUrl(listing.toString() + outcome.packageName);
            outcome.result = WebUpdateAvailable;
        } else {
            say(log, texts.upToDate);
            outcome.result = UpToDate;
        }
        return outcome;
    }
    }
    outcome.result = checkFileServer(sources, local, texts, log);
    return outcome;
}

} // namespace vqupdate
