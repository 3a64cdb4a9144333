#pragma once
// Where a site publishes its releases. The two hosts are deployment values,
// kept in config/update_sources.json of the installation so that a site's
// settings survive an update (the release archive never carries the file).

#include <QString>
#include <QUrl>

namespace vqupdate {

struct UpdateSources {
    QString webHost;     // "host" or "host:port"; port 801 when none is given
    QString fileServer;  // Windows: the share's host; elsewhere: where the share is mounted
};

extern const char *const sourcesFileName;  // "update_sources.json"

// Reads <configDir>/update_sources.json; a missing file is recreated with
// the defaults, a missing or empty key falls back to its default.
UpdateSources loadUpdateSources(const QString &configDir);
UpdateSources defaultUpdateSources();

// "http://" + host + ":801/" (the host's own port when it names one).
QUrl listingUrl(const QString &webHost);
// The release folder on the file server, ending in "/".
QString shareFolder(const QString &fileServer);

} // namespace vqupdate
