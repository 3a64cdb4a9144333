#include "updaterules.h"

#include <QDebug>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringList>
#include <QTimer>

namespace vqupdate {

const char *const packageMarker = "vq_download_tool";
const char *const packagePrefix = "vq_download_tool_";

// The listing server answers within a few milliseconds on the lab network;
// a second is long enough for a slow answer and short enough that the
// start-up check and the updater never feel stuck. What arrived by then is
// read as it stands.
static const int listingWaitMs = 1000;

// Test use only: on a test machine whose cores are busy with other work, the
// first request of a process (the network stack starting up) can outlast the
// second, and a slow start would pass for a silent server.
// VQ_TEST_LISTING_WAIT_MS stretches the wait for such runs.
// A listing is a page of links; what lies past its first megabyte is not
// read, so a server that sends without end cannot fill the memory in the
// time the listing is given.
static const qint64 listingBufferBytes = qint64(1) << 20;

static int listingWait()
{
    bool set = false;
    const int ms = qEnvironmentVariableIntValue("VQ_TEST_LISTING_WAIT_MS", &set);
    return set && ms > 0 ? ms : listingWaitMs;
}

VersionText parseVersionText(const QString &text)
{
    VersionText v;
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 3)
        return v;
    v.valid = true;
    v.major = parts.at(0).mid(1).trimmed().toUInt();
    v.minor = parts.at(1).trimmed().toUInt();
    v.patch = parts.at(2).trimmed().toUInt();
    return v;
}

quint32 versionNumber(const VersionText &version)
{
    return version.major * 100u + version.minor * 10u + version.patch;
}

quint32 versionNumber(const QString &text)
{
    return versionNumber(parseVersionText(text));
}

QString versionLine(const QString &pattern, const VersionText &version)
{
    return pattern.arg(version.major).arg(version.minor).arg(version.patch);
}

QString decodeText(const QByteArray &bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

bool packageNameFromListing(const QByteArray &body, QString *name)
{
    const int at = body.indexOf(packageMarker);
    if (at <= 0 || body.at(at - 1) != '\'')
        return false;
    const int end = body.indexOf('\'', at);
    *name = decodeText(end < 0 ? body.mid(at) : body.mid(at, end - at));
    return true;
}

QString versionTextOfPackage(const QString &packageName)
{
    const int prefixLength = int(qstrlen(packagePrefix));
    const int dot = packageName.lastIndexOf(QLatin1Char('.'));
    if (dot < prefixLength)
        return QString();
    return packageName.mid(prefixLength, dot - prefixLength);
}

UpdateLog parseUpdateLog(const QByteArray &fileContent)
{
    UpdateLog log;
    const int lineEnd = fileContent.indexOf('\n');
    const QByteArray first = lineEnd < 0 ? fileContent : fileContent.left(lineEnd + 1);
    const QString line = decodeText(first);
    const int colon = line.indexOf(QLatin1Char(':'));
    log.versionText = colon < 0 ? line : line.mid(colon + 1);
    if (lineEnd >= 0)
        log.releaseLog = decodeText(fileContent.mid(lineEnd + 1));
    return log;
}

WebQueryResult queryWebListing(const QUrl &listingUrl, QString *packageName)
{
    QNetworkAccessManager manager;
    QEventLoop loop;
    QNetworkReply *reply = manager.get(QNetworkRequest(listingUrl));
    reply->setReadBufferSize(listingBufferBytes);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(listingWait(), &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);

    if (reply->error() != QNetworkReply::NoError)
        return WebUnreachable;
    const QByteArray body = reply->readAll();
    // The page itself (up to a megabyte) would bury the log; its size and
    // what it yielded are what a reader needs.
    const bool found = packageNameFromListing(body, packageName);
    qDebug().noquote() << "[listing]" << body.size() << "bytes,"
                       << (found ? QStringLiteral("package ") + *packageName : QStringLiteral("no package name"));
    return found ? WebPackageFound : WebNoPackage;
}

} // namespace vqupdate
