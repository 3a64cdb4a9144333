#include "updatesources.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace vqupdate {

const char *const sourcesFileName = "update_sources.json";

static const int webPort = 801;
static const char *const shareTail = "/lab/tools/Quorvex串口烧录工具/";

UpdateSources defaultUpdateSources()
{
    UpdateSources s;
    s.webHost = QStringLiteral("update.quorvex.lan");
#ifdef Q_OS_WIN
    s.fileServer = QStringLiteral("fs.quorvex.lan");
#else
    s.fileServer = QStringLiteral("/mnt/quorvex-fs");
#endif
    return s;
}

static void writeSources(const QString &path, const UpdateSources &s)
{
    QJsonObject o;
    o.insert(QStringLiteral("webHost"), s.webHost);
    o.insert(QStringLiteral("fileServer"), s.fileServer);
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return;
    f.write(QJsonDocument(o).toJson());
    f.commit();
}

UpdateSources loadUpdateSources(const QString &configDir)
{
    const UpdateSources defaults = defaultUpdateSources();
    const QString path = QDir(configDir).filePath(QLatin1String(sourcesFileName));
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (!f.exists()) {
            QDir().mkpath(configDir);
            writeSources(path, defaults);
        }
        return defaults;
    }
    const QJsonObject o = QJsonDocument::fromJson(f.readAll()).object();
    UpdateSources s;
    s.webHost = o.value(QStringLiteral("webHost")).toString().trimmed();
    s.fileServer = o.value(QStringLiteral("fileServer")).toString().trimmed();
    if (s.webHost.isEmpty())
        s.webHost = defaults.webHost;
    if (s.fileServer.isEmpty())
        s.fileServer = defaults.fileServer;
    return s;
}

QUrl listingUrl(const QString &webHost)
{
    QUrl url(QStringLiteral("http://") + webHost + QLatin1Char('/'));
    if (url.port() < 0)
        url.setPort(webPort);
    return url;
}

QString shareFolder(const QString &fileServer)
{
#ifdef Q_OS_WIN
    return QStringLiteral("//") + fileServer + QString::fromUtf8(shareTail);
#else
    QString mount = fileServer;
    while (mount.endsWith(QLatin1Char('/')))
        mount.chop(1);
    return mount + QString::fromUtf8(shareTail);
#endif
}

} // namespace vqupdate
