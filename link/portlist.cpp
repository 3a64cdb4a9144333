#include "portlist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include <QHash>
#include <QSet>
#include <QVector>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

QString byPathDir()
{
    const QString overridden = qEnvironmentVariable("VQ_PORT_BY_PATH_DIR");
    return overridden.isEmpty() ? QStringLiteral("/dev/serial/by-path") : overridden;
}

namespace {
// A socket's link leads to the port it names; one step is enough, and a
// simulated chip's link must not be followed further, past its control
// socket.
QString followSocketLink(const QFileInfo &link)
{
    if (link.isSymLink() && link.absolutePath() == QFileInfo(byPathDir()).absoluteFilePath())
        return link.symLinkTarget();
    return link.absoluteFilePath();
}
} // namespace

QString portDevicePath(const QString &portName)
{
    // The serial library takes a name without a leading slash for one under
    // /dev; a relative path is meant from here.
    if (portName.contains(QLatin1Char('/')))
        return followSocketLink(QFileInfo(portName));
    const QString device = QStringLiteral("/dev/") + portName;
    if (QFileInfo::exists(device))
        return device;
    const QString simulated = simPortDir() + QLatin1Char('/') + portName;
    if (!portName.isEmpty() && QFileInfo::exists(simulated))
        return simulated;
    const QFileInfo socket(byPathDir() + QLatin1Char('/') + portName);
    if (!portName.isEmpty() && socket.isSymLink())
        return followSocketLink(socket);
    return device;
}

namespace {
struct bridgeName {
    quint16 vendor;
    quint16 product;  // 0: every product of the vendor that is a serial port
    const char *name;
};
// The USB-serial bridges fixtures are built with. Every serial port of
// these vendors is one of these bridges, except WCH's: its newer CH343 and
// CH9102 go by names of their own.
const bridgeName kBridges[] = {
    {0x1a86, 0x7523, "CH340/CH341"},
    {0x1a86, 0x7522, "CH340/CH341"},
    {0x1a86, 0x5523, "CH340/CH341"},
    {0x4348, 0x5523, "CH340/CH341"},
    {0x10c4, 0, "CP210x"},
    {0x0403, 0, "FTDI"},
    {0x067b, 0, "PL2303"},
};

QString bridgeOf(quint16 vendor, quint16 product)
{
    for (const bridgeName &b : kBridges) {
        if (b.vendor == vendor && (b.product == 0 || b.product == product))
            return QString::fromLatin1(b.name);
    }
    return QString();
}

QString realDevice(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

// device -> its socket name, for every link of byPathDir().
QHash<QString, QString> socketsByDevice()
{
    QHash<QString, QString> sockets;
    const QDir dir(byPathDir());
    for (const QFileInfo &link : dir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString device = link.canonicalFilePath();
        if (!device.isEmpty() && !sockets.contains(device))
            sockets.insert(device, link.fileName());
    }
    return sockets;
}

// What the serial library (udev, or sysfs without it) knows of the USB
// adapters, by device.
QHash<QString, QSerialPortInfo> adaptersByDevice()
{
    QHash<QString, QSerialPortInfo> adapters;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        adapters.insert(realDevice(info.systemLocation()), info);
    return adapters;
}

portIdentity identity(const QString &portName, const QHash<QString, QString> &sockets,
                      const QHash<QString, QSerialPortInfo> &adapters)
{
    portIdentity id;
    id.device = realDevice(portDevicePath(portName));
    id.socket = sockets.value(id.device);
    const auto adapter = adapters.constFind(id.device);
    if (adapter != adapters.constEnd()) {
        if (adapter->hasVendorIdentifier() && adapter->hasProductIdentifier()) {
            id.vendorId = adapter->vendorIdentifier();
            id.productId = adapter->productIdentifier();
            id.adapter = bridgeOf(id.vendorId, id.productId);
        }
        id.serialNumber = adapter->serialNumber();
    }
    return id;
}

// The devices under /dev one process has open, as far as /proc lets this
// user see (another user's descriptors are hidden unless we are root).
struct deviceUser {
    qint64 pid = 0;
    QString name;
    QSet<QString> devices;
    // Indexes of the pseudo-terminals whose master side it holds: it is the
    // far end of those (the simulator holds its chips' slaves open too), not
    // another opener.
    QSet<int> ptyMasters;
};

int ptyIndexOf(const QByteArray &fdinfo)
{
    const int at = fdinfo.indexOf("tty-index:");
    if (at < 0)
        return -1;
    bool ok = false;
    const int index = fdinfo.mid(at + 10).split('\n').value(0).trimmed().toInt(&ok);
    return ok ? index : -1;
}

QByteArray readSmallFile(const QByteArray &path)
{
    QByteArray bytes;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 && bytes.size() < 4096)
        bytes.append(buf, int(n));
    ::close(fd);
    return bytes;
}

QVector<deviceUser> deviceUsers()
{
    QVector<deviceUser> users;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return users;
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        const QByteArray base = QByteArray("/proc/") + entry->d_name;
        DIR *fds = ::opendir((base + "/fd").constData());
        if (!fds)
            continue;
        deviceUser user;
        user.pid = pid;
        while (const dirent *fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.')
                continue;
            char target[PATH_MAX];
            const ssize_t n = ::readlink((base + "/fd/" + fd->d_name).constData(), target, sizeof target - 1);
            if (n <= 5 || std::strncmp(target, "/dev/", 5) != 0)
                continue;
            target[n] = '\0';
            if (std::strcmp(target, "/dev/ptmx") == 0 || std::strcmp(target, "/dev/pts/ptmx") == 0) {
                const int index = ptyIndexOf(readSmallFile(base + "/fdinfo/" + fd->d_name));
                if (index >= 0)
                    user.ptyMasters.insert(index);
            } else {
                user.devices.insert(QString::fromLocal8Bit(target));
            }
        }
        ::closedir(fds);
        if (user.devices.isEmpty())
            continue;
        user.name = QString::fromLocal8Bit(readSmallFile(base + "/comm")).trimmed();
        users.append(user);
    }
    ::closedir(proc);
    std::sort(users.begin(), users.end(), [](const deviceUser &a, const deviceUser &b) { return a.pid < b.pid; });
    return users;
}

// Stations whose ports fail to open ask at once, each on its own thread:
// the reentrant look-ups. An id without a name is shown as the number.
QString groupName(gid_t gid)
{
    group entry {};
    group *found = nullptr;
    char buffer[4096];
    return ::getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) == 0 && found
        ? QString::fromLocal8Bit(found->gr_name)
        : QString::number(gid);
}

QString userName(uid_t uid)
{
    passwd entry {};
    passwd *found = nullptr;
    char buffer[4096];
    return ::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found
        ? QString::fromLocal8Bit(found->pw_name)
        : QString::number(uid);
}

portAccess accessOf(const QString &path, const QVector<deviceUser> &users)
{
    portAccess a;
    const QByteArray local = QFile::encodeName(path);
    struct stat st {};
    if (::stat(local.constData(), &st) != 0) {
        a.state = errno == EACCES ? portState::NoPermission : portState::Missing;
        return a;
    }
    // What open() will judge: the effective ids and every group of ours.
    if (::faccessat(AT_FDCWD, local.constData(), R_OK | W_OK, AT_EACCESS) != 0 && errno == EACCES) {
        a.state = portState::NoPermission;
        if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
            a.group = groupName(st.st_gid);
        }
        a.owner = userName(st.st_uid);
        return a;
    }
    const QString device = realDevice(path);
    int ptyIndex = -1;
    if (device.startsWith(QLatin1String("/dev/pts/"))) {
        bool ok = false;
        ptyIndex = device.mid(9).toInt(&ok);
        if (!ok)
            ptyIndex = -1;
    }
    for (const deviceUser &u : users) {
        if (u.devices.contains(device) && !u.ptyMasters.contains(ptyIndex)) {
            a.state = portState::Busy;
            a.holder = u.name;
            a.holderPid = u.pid;
            break;
        }
    }
    return a;
}
} // namespace

QList<portEntry> listSerialPorts()
{
    QList<portEntry> ports;
    // Test benches set VQ_SYSTEM_PORTS=0 so that a machine's own ports do
    // not take panels meant for simulated chips.
    if (qEnvironmentVariable("VQ_SYSTEM_PORTS") != QLatin1String("0")) {
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            ports.append({portNumber(info.portName()), info.portName(), QString()});
    }
    const QDir dir(simPortDir());
    static const QRegularExpression chipName(QStringLiteral("^COM\\d+$"));
    for (const QFileInfo &link : dir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (!chipName.match(link.fileName()).hasMatch() || !simChipPresent(link))
            continue;
        const bool shadowed = std::any_of(ports.cbegin(), ports.cend(),
                                          [&](const portEntry &p) { return p.name == link.fileName(); });
        if (!shadowed)
            ports.append({portNumber(link.fileName()), link.fileName(), QString()});
    }
    const QHash<QString, QString> sockets = socketsByDevice();
    for (portEntry &p : ports)
        p.socket = sockets.value(realDevice(portDevicePath(p.name)));
    std::sort(ports.begin(), ports.end(), [](const portEntry &a, const portEntry &b) {
        return a.number != b.number ? a.number < b.number : a.name < b.name;
    });
    return ports;
}

portPlace placeOfPort(const QString &portName)
{
    const QString device = portDevicePath(portName);
    portPlace place;
    place.socket = socketsByDevice().value(realDevice(device));
    // A socket's link leads to the port's own name (the simulator's COM<k>
    // link, or the ttyUSB device); a name that is no socket stays as given.
    const QFileInfo link(portName.contains(QLatin1Char('/')) ? portName : byPathDir() + QLatin1Char('/') + portName);
    const bool bySocket = link.isSymLink() && device == link.symLinkTarget();
    place.port = bySocket ? QFileInfo(device).fileName() : portName;
    return place;
}

portIdentity identifyPort(const QString &portName)
{
    return identity(portName, socketsByDevice(), adaptersByDevice());
}

portAccess examinePortAccess(const QString &device)
{
    return accessOf(device, deviceUsers());
}

QList<portFacts> examinePorts()
{
    const QHash<QString, QString> sockets = socketsByDevice();
    const QHash<QString, QSerialPortInfo> adapters = adaptersByDevice();
    const QVector<deviceUser> users = deviceUsers();
    QList<portFacts> facts;
    for (const portEntry &p : listSerialPorts()) {
        portFacts f;
        f.name = p.name;
        f.identity = identity(p.name, sockets, adapters);
        f.access = accessOf(f.identity.device, users);
        facts.append(f);
    }
    return facts;
}

QString adapterText(const portIdentity &id)
{
    if (id.vendorId == 0 && id.productId == 0)
        return QString();
    const QString ids = QStringLiteral("%1:%2")
                            .arg(id.vendorId, 4, 16, QLatin1Char('0'))
                            .arg(id.productId, 4, 16, QLatin1Char('0'));
    return id.adapter.isEmpty() ? ids : ids + QLatin1Char(' ') + id.adapter;
}

QString portTooltip(const QString &portName)
{
    const portIdentity id = identifyPort(portName);
    QString adapter = adapterText(id);
    if (!adapter.isEmpty() && !id.serialNumber.isEmpty())
        adapter += QStringLiteral("，序列号 ") + id.serialNumber;
    return QStringLiteral("设备：%1\nUSB插口：%2\n适配器：%3")
        .arg(id.device, id.socket.isEmpty() ? QStringLiteral("未知") : id.socket,
             adapter.isEmpty() ? QStringLiteral("未知") : adapter);
}

QStringList openProblemText(const QString &portName, const QString &device, const portAccess &access)
{
    const QString shown = realDevice(device);
    switch (access.state) {
    case portState::NoPermission:
        if (!access.group.isEmpty())
            return {QStringLiteral("当前用户没有 %1 的读写权限（属于 %2 组），请将用户加入 %2 组后重新登录")
                        .arg(shown, access.group)};
        if (!access.owner.isEmpty())
            return {QStringLiteral("当前用户没有 %1 的读写权限（只有其所有者 %2 可以读写）")
                        .arg(shown, access.owner)};
        return {QStringLiteral("当前用户没有 %1 的读写权限").arg(shown)};
    case portState::Busy: {
        QStringList lines{QStringLiteral("串口已被其他程序占用：") + portName};
        if (access.holderPid > 0)
            lines << QStringLiteral("串口被进程 %1(pid %2) 占用").arg(access.holder).arg(access.holderPid);
        return lines;
    }
    case portState::Free:
    case portState::Missing:
        break;
    }
    return QStringList();
}
