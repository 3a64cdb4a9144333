#include "options.h"

#include "portlist.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {
constexpr uint32_t kSectorSize = 4096;
// The speeds the windows accept; the link's waits are sized for every one.
constexpr uint32_t kMinBaud = 9600;
constexpr uint32_t kMaxBaud = 3000000;
// Flash addresses are 32 bits wide; an image must end at or below this.
constexpr quint64 kAddressSpace = quint64(1) << 32;

QString hexAddress(quint64 value)
{
    return QStringLiteral("0x") + QString::number(value, 16);
}

// One device may be named as a path or as a bare name; both must count as
// the same station.
QString deviceKey(const QString &port)
{
    const QFileInfo device(portDevicePath(port));
    const QString canonical = device.canonicalFilePath();
    return canonical.isEmpty() ? device.absoluteFilePath() : canonical;
}

QString checkImages(const flashOptions &o)
{
    QList<qint64> sizes;
    for (int i = 0; i < o.files.size(); ++i) {
        const QString &file = o.files.at(i);
        const qint64 size = QFileInfo(file).size();
        if (size == 0)
            return QStringLiteral("\"%1\" is empty").arg(file);
        if (o.addresses.at(i) + quint64(size) > kAddressSpace)
            return QStringLiteral("\"%1\" (%2 bytes at %3) runs past the 32-bit address space")
                .arg(file)
                .arg(size)
                .arg(hexAddress(o.addresses.at(i)));
        sizes << size;
    }
    for (int a = 0; a < o.files.size(); ++a) {
        for (int b = a + 1; b < o.files.size(); ++b) {
            const quint64 startA = o.addresses.at(a), endA = startA + quint64(sizes.at(a));
            const quint64 startB = o.addresses.at(b), endB = startB + quint64(sizes.at(b));
            if (startA < endB && startB < endA)
                return QStringLiteral("\"%1\" (%2..%3) and \"%4\" (%5..%6) overlap")
                    .arg(o.files.at(a), hexAddress(startA), hexAddress(endA - 1), o.files.at(b), hexAddress(startB),
                         hexAddress(endB - 1));
        }
    }
    return QString();
}
} // namespace

const char kUsage[] =
    "usage: vq_flash --port PORT [--port PORT ...] | --all-ports [--exclude PORT ...]\n"
    "                [--baud N] [--high-speed] [--fast-load] [--erase] [--reset] [--boot]\n"
    "                [--continuous] [--record FILE] [--db FILE] [--json] [--verbose] [FILE@ADDR ...]\n"
    "       vq_flash --list-ports [--json]\n"
    "\n"
    "Programs VQ571M / VQ5304 chips that wait in their boot ROM (115200 baud), one\n"
    "station per port, all stations at once.\n"
    "\n"
    "  --port PORT    a station's serial port: a device path, a name under /dev (or\n"
    "                 of a simulated chip), or the name of the USB socket its adapter\n"
    "                 is plugged into (under /dev/serial/by-path, as --list-ports\n"
    "                 shows it); repeat for more stations\n"
    "  --all-ports    one station on every port the factory window would list\n"
    "  --exclude PORT with --all-ports: leave PORT out (a name or a path); repeatable,\n"
    "                 for a machine's own UART (ttyS0) or a port in other use\n"
    "  --baud N       line speed for the flash transfer, 9600 to 3000000 (default 921600)\n"
    "  --high-speed   load the high-speed RAM code\n"
    "  --fast-load    raise the boot ROM to the burn speed (at most 2000000) and load\n"
    "                 the RAM code at that speed; a ROM that does not answer there\n"
    "                 gets it at 115200 as without this option\n"
    "  --erase        erase the whole flash before writing (alone: only erase)\n"
    "  --reset        reboot each chip after a successful run\n"
    "  --boot         put each chip into its boot ROM with the DTR/RTS pulses of the\n"
    "                 fixture (entry pulse, and one retry after a failure)\n"
    "  --continuous   fixture mode: after each chip, wait for the fixture's DSR to\n"
    "                 signal the next one; runs until SIGINT or SIGTERM\n"
    "  --record FILE  append one line per chip to FILE, the factory window's\n"
    "                 production record (CSV)\n"
    "  --db FILE      the production database every chip goes to (default\n"
    "                 log/production.db); config/records.json may name the\n"
    "                 factory's server it is uploaded to\n"
    "  --json         one JSON object per line on standard output for a line\n"
    "                 controller; the human status goes to standard error\n"
    "  --verbose      show the link's diagnostics on standard error\n"
    "  --list-ports   list every port --all-ports would take: device, USB socket,\n"
    "                 adapter, serial number, and whether it is free, held by another\n"
    "                 process, or not ours to open (and which group may); with --json\n"
    "                 one JSON object per port\n"
    "  FILE@ADDR      write FILE at flash address ADDR (hexadecimal, with or without\n"
    "                 0x, a multiple of 0x1000); files are written in the order given\n"
    "\n"
    "SIGINT, SIGTERM or SIGHUP ends the running transfers, brings their chips back to the\n"
    "boot ROM where it can and prints the summary.\n"
    "RAM-code images and chip_info.json are read from config/ beside this program.\n"
    "Exit status: 0 every chip succeeded, 1 any chip or station failed, 2 bad\n"
    "arguments (nothing was sent to any chip).\n";

QString parseOptions(const QStringList &args, flashOptions *o, bool *syntax)
{
    *syntax = true;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            o->help = true;
        } else if (a == QLatin1String("--port") || a == QLatin1String("--baud") || a == QLatin1String("--record")
                   || a == QLatin1String("--exclude") || a == QLatin1String("--db")) {
            if (i + 1 >= args.size())
                return a + QStringLiteral(" needs a value");
            const QString value = args.at(++i);
            if (a == QLatin1String("--port")) {
                if (value.isEmpty())
                    return QStringLiteral("--port needs a value");
                o->ports << value;
            } else if (a == QLatin1String("--exclude")) {
                if (value.isEmpty())
                    return QStringLiteral("--exclude needs a value");
                o->excluded << value;
            } else if (a == QLatin1String("--record")) {
                o->recordPath = value;
            } else if (a == QLatin1String("--db")) {
                if (value.isEmpty())
                    return QStringLiteral("--db needs a value");
                o->databasePath = value;
            } else {
                bool ok = false;
                o->baud = value.toUInt(&ok, 10);
                if (!ok || o->baud == 0)
                    return QStringLiteral("bad baud rate \"%1\"").arg(value);
            }
        } else if (a == QLatin1String("--all-ports")) {
            o->allPorts = true;
        } else if (a == QLatin1String("--high-speed")) {
            o->highSpeed = true;
        } else if (a == QLatin1String("--fast-load")) {
            o->fastLoad = true;
        } else if (a == QLatin1String("--erase")) {
            o->erase = true;
        } else if (a == QLatin1String("--reset")) {
            o->reset = true;
        } else if (a == QLatin1String("--boot")) {
            o->boot = true;
        } else if (a == QLatin1String("--continuous")) {
            o->continuous = true;
        } else if (a == QLatin1String("--json")) {
            o->json = true;
        } else if (a == QLatin1String("--verbose")) {
            o->verbose = true;
        } else if (a == QLatin1String("--list-ports")) {
            o->listPorts = true;
        } else if (a.startsWith(QLatin1Char('-'))) {
            return QStringLiteral("unknown option \"%1\"").arg(a);
        } else {
            // A path may itself hold '@'; the address follows the last one.
            const int at = a.lastIndexOf(QLatin1Char('@'));
            if (at <= 0)
                return QStringLiteral("\"%1\" is not FILE@ADDR").arg(a);
            // Hex digits after at most one 0x: the number parser alone also
            // takes a sign, blanks and a second prefix.
            static const QRegularExpression hexAddress(QStringLiteral("^(?:0[xX])?([0-9a-fA-F]{1,8})$"));
            const QRegularExpressionMatch m = hexAddress.match(a.mid(at + 1));
            bool ok = false;
            const uint address = m.hasMatch() ? m.captured(1).toUInt(&ok, 16) : 0;
            if (!ok)
                return QStringLiteral("bad address in \"%1\"").arg(a);
            if (address % kSectorSize != 0)
                return QStringLiteral("address 0x%1 is not a multiple of 0x1000").arg(address, 0, 16);
            const QString file = a.left(at);
            const QFileInfo info(file);
            if (!info.isFile() || !info.isReadable())
                return QStringLiteral("cannot read \"%1\"").arg(file);
            o->files << info.absoluteFilePath();
            o->addresses << address;
        }
    }
    if (o->help)
        return QString();
    if (o->listPorts) {
        if (!o->ports.isEmpty() || o->allPorts || !o->files.isEmpty() || o->erase)
            return QStringLiteral("--list-ports goes alone (or with --json)");
        return QString();
    }
    if (o->ports.isEmpty() && !o->allPorts)
        return QStringLiteral("--port is required (or --all-ports)");
    if (!o->ports.isEmpty() && o->allPorts)
        return QStringLiteral("--port and --all-ports exclude each other");
    if (!o->excluded.isEmpty() && !o->allPorts)
        return QStringLiteral("--exclude goes with --all-ports");

    *syntax = false;
    if (o->baud < kMinBaud || o->baud > kMaxBaud)
        return QStringLiteral("baud rate %1 is outside %2 to %3").arg(o->baud).arg(kMinBaud).arg(kMaxBaud);
    if (o->files.isEmpty() && !o->erase)
        return QStringLiteral("nothing to do: give FILE@ADDR images, or --erase");
    const QString images = checkImages(*o);
    if (!images.isEmpty())
        return images;
    QStringList devices;
    for (const QString &port : qAsConst(o->ports)) {
        const QString key = deviceKey(port);
        if (devices.contains(key))
            return QStringLiteral("port \"%1\" is given twice").arg(port);
        devices << key;
    }
    if (!o->recordPath.isEmpty()) {
        QFile record(o->recordPath);
        if (QFileInfo(o->recordPath).isDir() || !record.open(QIODevice::Append))
            return QStringLiteral("cannot write the record \"%1\"").arg(o->recordPath);
    }
    return QString();
}
