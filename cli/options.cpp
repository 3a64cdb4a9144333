#include "options.h"

#include "imageplan.h"
#include "portlist.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {
using imagePlan::kMaxBaud;
using imagePlan::kMinBaud;

// One device may be named as a path or as a bare name; both must count as
// the same station.
QString deviceKey(const QString &port)
{
    const QFileInfo device(portDevicePath(port));
    const QString canonical = device.canonicalFilePath();
    return canonical.isEmpty() ? device.absoluteFilePath() : canonical;
}

QString hexAddress(quint64 value)
{
    return QStringLiteral("0x") + QString::number(value, 16);
}

QString checkImages(const flashOptions &o)
{
    QVector<imagePlan::image> plan;
    for (int i = 0; i < o.files.size(); ++i)
        plan.append({o.addresses.at(i), QFileInfo(o.files.at(i)).size()});
    const imagePlan::problem p = imagePlan::check(plan);
    if (!p)
        return QString();
    const QString first = o.files.value(p.first);
    const quint64 start = p.first >= 0 ? plan.at(p.first).address : 0;
    const quint64 end = p.first >= 0 ? start + quint64(plan.at(p.first).size) : 0;
    switch (p.kind) {
    case imagePlan::fault::unaligned:
        return QStringLiteral("address %1 is not a multiple of 0x1000").arg(hexAddress(start));
    case imagePlan::fault::empty:
        return QStringLiteral("\"%1\" is empty").arg(first);
    case imagePlan::fault::pastAddressSpace:
        return QStringLiteral("\"%1\" (%2 bytes at %3) runs past the 32-bit address space")
            .arg(first)
            .arg(plan.at(p.first).size)
            .arg(hexAddress(start));
    case imagePlan::fault::overlap: {
        const quint64 startB = plan.at(p.second).address, endB = startB + quint64(plan.at(p.second).size);
        return QStringLiteral("\"%1\" (%2..%3) and \"%4\" (%5..%6) overlap")
            .arg(first, hexAddress(start), hexAddress(end - 1), o.files.at(p.second), hexAddress(startB),
                 hexAddress(endB - 1));
    }
    case imagePlan::fault::pastFlash:
    case imagePlan::fault::none:
        break;
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
    "  --continuous   fixture mode: each chip, the first one too, waits for the\n"
    "                 fixture's DSR to signal it; runs until SIGINT or SIGTERM\n"
    "  --record FILE  append one line per chip to FILE, the factory window's\n"
    "                 production record (CSV)\n"
    "  --db FILE      the production database every chip goes to (default\n"
    "                 log/production.db beside the programs, the factory window's;\n"
    "                 in the user's data folder where that cannot be written);\n"
    "                 config/records.json may name the factory's server it is\n"
    "                 uploaded to\n"
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
    "SIGINT, SIGTERM or SIGHUP ends the running transfers, records their chips as\n"
    "stopped, brings them back to the boot ROM where it can and prints the summary; a\n"
    "second signal leaves the chips as they are.\n"
    "RAM-code images and chip_info.json are read from config/ beside this program.\n"
    "Exit status: 0 every chip succeeded, 1 any chip or station failed, 2 bad\n"
    "arguments (nothing was sent to any chip).\n";

namespace {
// Options that stand alone and switch something on.
bool takeFlag(const QString &a, flashOptions *o)
{
    const std::pair<const char *, bool flashOptions::*> flags[] = {
        {"--help", &flashOptions::help},         {"-h", &flashOptions::help},
        {"--all-ports", &flashOptions::allPorts}, {"--high-speed", &flashOptions::highSpeed},
        {"--fast-load", &flashOptions::fastLoad}, {"--erase", &flashOptions::erase},
        {"--reset", &flashOptions::reset},       {"--boot", &flashOptions::boot},
        {"--continuous", &flashOptions::continuous}, {"--json", &flashOptions::json},
        {"--verbose", &flashOptions::verbose},   {"--list-ports", &flashOptions::listPorts},
    };
    for (const auto &flag : flags) {
        if (a == QLatin1String(flag.first)) {
            o->*flag.second = true;
            return true;
        }
    }
    return false;
}

bool takesValue(const QString &a)
{
    return a == QLatin1String("--port") || a == QLatin1String("--baud") || a == QLatin1String("--record")
           || a == QLatin1String("--exclude") || a == QLatin1String("--db");
}

QString takeValue(const QString &a, const QString &value, flashOptions *o)
{
    if (value.isEmpty() && a != QLatin1String("--record") && a != QLatin1String("--baud"))
        return a + QStringLiteral(" needs a value");
    if (a == QLatin1String("--port")) {
        o->ports << value;
    } else if (a == QLatin1String("--exclude")) {
        o->excluded << value;
    } else if (a == QLatin1String("--record")) {
        o->recordPath = value;
    } else if (a == QLatin1String("--db")) {
        o->databasePath = value;
    } else {
        bool ok = false;
        o->baud = value.toUInt(&ok, 10);
        if (!ok || o->baud == 0)
            return QStringLiteral("bad baud rate \"%1\"").arg(value);
    }
    return QString();
}

// FILE@ADDR; a path may itself hold '@', the address follows the last one.
QString takeImage(const QString &a, flashOptions *o)
{
    const int at = a.lastIndexOf(QLatin1Char('@'));
    if (at <= 0)
        return QStringLiteral("\"%1\" is not FILE@ADDR").arg(a);
    // Hex digits after at most one 0x: the number parser alone also takes a
    // sign, blanks and a second prefix.
    static const QRegularExpression hexAddress(QStringLiteral("^(?:0[xX])?([0-9a-fA-F]{1,8})$"));
    const QRegularExpressionMatch m = hexAddress.match(a.mid(at + 1));
    bool ok = false;
    const uint address = m.hasMatch() ? m.captured(1).toUInt(&ok, 16) : 0;
    if (!ok)
        return QStringLiteral("bad address in \"%1\"").arg(a);
    if (!imagePlan::aligned(address))
        return QStringLiteral("address 0x%1 is not a multiple of 0x1000").arg(address, 0, 16);
    const QString file = a.left(at);
    const QFileInfo info(file);
    if (!info.isFile() || !info.isReadable())
        return QStringLiteral("cannot read \"%1\"").arg(file);
    o->files << info.absoluteFilePath();
    o->addresses << address;
    return QString();
}

// What the options ask for, once they are all read.
QString checkRequest(const flashOptions &o)
{
    if (!imagePlan::baudAllowed(o.baud))
        return QStringLiteral("baud rate %1 is outside %2 to %3").arg(o.baud).arg(kMinBaud).arg(kMaxBaud);
    if (o.files.isEmpty() && !o.erase)
        return QStringLiteral("nothing to do: give FILE@ADDR images, or --erase");
    const QString images = checkImages(o);
    if (!images.isEmpty())
        return images;
    QStringList devices;
    for (const QString &port : o.ports) {
        const QString key = deviceKey(port);
        if (devices.contains(key))
            return QStringLiteral("port \"%1\" is given twice").arg(port);
        devices << key;
    }
    if (!o.recordPath.isEmpty()) {
        QFile record(o.recordPath);
        if (QFileInfo(o.recordPath).isDir() || !record.open(QIODevice::Append))
            return QStringLiteral("cannot write the record \"%1\"").arg(o.recordPath);
    }
    return QString();
}
} // namespace

QString parseOptions(const QStringList &args, flashOptions *o, bool *syntax)
{
    *syntax = true;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        QString error;
        if (takeFlag(a, o))
            continue;
        if (takesValue(a))
            error = i + 1 < args.size() ? takeValue(a, args.at(++i), o) : a + QStringLiteral(" needs a value");
        else if (a.startsWith(QLatin1Char('-')))
            error = QStringLiteral("unknown option \"%1\"").arg(a);
        else
            error = takeImage(a, o);
        if (!error.isEmpty())
            return error;
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
    return checkRequest(*o);
}
