#include "portlist.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include <algorithm>
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
// A simulator killed without its clean-up leaves links behind; its pty is
// gone then (or reused), and so is the control socket's listener, so both
// the link's target and the socket file must be there.
bool simChipPresent(const QFileInfo &link)
{
    return link.isSymLink() && link.exists() && QFileInfo::exists(link.filePath() + QStringLiteral(".ctl"));
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
    if (portName.contains(QLatin1Char('/')))
        return portName;
    const QString device = QStringLiteral("/dev/") + portName;
    if (QFileInfo::exists(device))
        return device;
    const QString simulated = simPortDir() + QLatin1Char('/') + portName;
    if (!portName.isEmpty() && QFileInfo::exists(simulated))
        return simulated;
    return device;
}
