#include "portlist.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include <algorithm>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

uint32_t portNumber(const QString &name)
{
    static const QRegularExpression trailing(QStringLiteral("(\\d+)$"));
    const QRegularExpressionMatch m = trailing.match(name);
    return m.hasMatch() ? m.captured(1).toUInt() : 0;
}

QString simPortDir()
{
    const QString overridden = qEnvironmentVariable("VQ_SIM_PORT_DIR");
    if (!overridden.isEmpty())
        return overridden;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return runtime + QStringLiteral("/vq_chip_sim");
    return QStringLiteral("/tmp/vq_chip_sim-%1").arg(::getuid());
}

namespace {
// A simulator killed without its clean-up leaves its links and socket files
// behind, and its pseudo-terminal numbers go to whoever opens one next; only
// a listener on the control socket shows that the simulator still runs.
bool simChipPresent(const QFileInfo &link)
{
    if (!link.isSymLink() || !link.exists())
        return false;
    const QByteArray path = (link.filePath() + QStringLiteral(".ctl")).toLocal8Bit();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (static_cast<size_t>(path.size()) >= sizeof(addr.sun_path))
        return false;
    std::memcpy(addr.sun_path, path.constData(), static_cast<size_t>(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool listening = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return listening;
}
} // namespace

QList<portEntry> listSerialPorts()
{
    QList<portEntry> ports;
    // Test benches set VQ_SYSTEM_PORTS=0 so that a machine's own ports do
    // not take panels meant for simulated chips.
    if (qEnvironmentVariable("VQ_SYSTEM_PORTS") != QLatin1String("0")) {
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            ports.append({portNumber(info.portName()), info.portName()});
    }
    const QDir dir(simPortDir());
    static const QRegularExpression chipName(QStringLiteral("^COM\\d+$"));
    for (const QFileInfo &link : dir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (!chipName.match(link.fileName()).hasMatch() || !simChipPresent(link))
            continue;
        const bool shadowed = std::any_of(ports.cbegin(), ports.cend(),
                                          [&](const portEntry &p) { return p.name == link.fileName(); });
        if (!shadowed)
            ports.append({portNumber(link.fileName()), link.fileName()});
    }
    std::sort(ports.begin(), ports.end(), [](const portEntry &a, const portEntry &b) {
        return a.number != b.number ? a.number < b.number : a.name < b.name;
    });
    return ports;
}

QString portDevicePath(const QString &portName)
{
    // The serial library takes a name without a leading slash for one under
    // /dev; a relative path is meant from here.
    if (portName.contains(QLatin1Char('/')))
        return QFileInfo(portName).absoluteFilePath();
    const QString device = QStringLiteral("/dev/") + portName;
    if (QFileInfo::exists(device))
        return device;
    const QString simulated = simPortDir() + QLatin1Char('/') + portName;
    if (!portName.isEmpty() && QFileInfo::exists(simulated))
        return simulated;
    return device;
}
