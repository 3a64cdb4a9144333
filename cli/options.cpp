#include "options.h"

#include "chipinfo.h"
#include "imageplan.h"
#include "portlist.h"

#include <QCryptographicHash>
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

// The serial value's sector joins the plan as one more image, whole: no
// image may share it.
QString checkImages(const flashOptions &o)
{
    QVector<imagePlan::image> plan;
    for (int i = 0; i < o.files.size(); ++i)
        plan.append({o.addresses.at(i), QFileInfo(o.files.at(i)).size()});
    if (o.serialOn)
        plan.append({o.serial.address, imagePlan::kSectorSize});
    const imagePlan::problem p = imagePlan::check(plan);
    if (!p)
        return QString();
    const auto name = [&](int index) {
        return index < o.files.size() ? QStringLiteral("\"%1\"").arg(o.files.at(index))
                                      : QStringLiteral("the serial value's sector");
    };
    const quint64 start = p.first >= 0 ? plan.at(p.first).address : 0;
    const quint64 end = p.first >= 0 ? start + quint64(plan.at(p.first).size) : 0;
    switch (p.kind) {
    case imagePlan::fault::unaligned:
        return QStringLiteral("address %1 is not a multiple of 0x1000").arg(hexAddress(start));
    case imagePlan::fault::empty:
        return QStringLiteral("%1 is empty").arg(name(p.first));
    case imagePlan::fault::pastAddressSpace:
        return QStringLiteral("%1 (%2 bytes at %3) runs past the 32-bit address space")
            .arg(name(p.first))
            .arg(plan.at(p.first).size)
            .arg(hexAddress(start));
    case imagePlan::fault::overlap: {
        const quint64 startB = plan.at(p.second).address, endB = startB + quint64(plan.at(p.second).size);
        return QStringLiteral("%1 (%2..%3) and %4 (%5..%6) overlap")
            .arg(name(p.first), hexAddress(start), hexAddress(end - 1), name(p.second), hexAddress(startB),
                 hexAddress(endB - 1));
    }
    case imagePlan::fault::pastFlash:
    case imagePlan::fault::none:
        break;
    }
    return QString();
}

bool parseHexAddress(const QString &text, uint32_t *address)
{
    // Hex digits after at most one 0x: the number parser alone also takes a
    // sign, blanks and a second prefix.
    static const QRegularExpression hexAddress(QStringLiteral("^(?:0[xX])?([0-9a-fA-F]{1,8})$"));
    const QRegularExpressionMatch m = hexAddress.match(text);
    bool ok = false;
    *address = m.hasMatch() ? m.captured(1).toUInt(&ok, 16) : 0;
    return ok;
}

QString listProblemText(const QString &path, const serialListProblem &p)
{
    using kind = serialListProblem::kind;
    const QString where = QStringLiteral("serial list \"%1\"").arg(path);
    switch (p.what) {
    case kind::unreadable:
        return QStringLiteral("cannot read the %1").arg(where);
    case kind::noValues:
        return where + QStringLiteral(" holds no values");
    case kind::malformed:
        return where + QStringLiteral(", line %1: not a value of hex bytes").arg(p.line);
    case kind::tooLong:
        return where + QStringLiteral(", line %1: longer than %2 bytes").arg(p.line).arg(kMaxListBytes);
    case kind::lengthDiffers:
        return where + QStringLiteral(", line %1: not as long as the value on line %2").arg(p.line).arg(p.otherLine);
    case kind::repeated:
        return where + QStringLiteral(", line %1: the value of line %2 again").arg(p.line).arg(p.otherLine);
    case kind::none:
        break;
    }
    return QString();
}

QString checkSerial(const flashOptions &o)
{
    if (o.serialOptions.isEmpty())
        return QString();
    if (!o.serialOn)
        return o.serialOptions.first() + QStringLiteral(" goes with --serial-at");
    if (o.files.isEmpty())
        return QStringLiteral("--serial-at writes each chip's value with its images: give FILE@ADDR");
    if (o.serialOptions.contains(QStringLiteral("--serial-list"))) {
        for (const QString &counter : o.serialOptions) {
            if (counter != QLatin1String("--serial-at") && counter != QLatin1String("--serial-list"))
                return counter + QStringLiteral(" is for counters; --serial-list writes its values as they are");
        }
        return QString();
    }
    switch (checkCounterRule(o.serial)) {
    case serialFault::badBytes:
        return QStringLiteral("--serial-bytes must be 1 to %1").arg(kMaxCounterBytes);
    case serialFault::badStep:
        return QStringLiteral("--serial-step must be at least 1");
    case serialFault::startTooWide:
        return QStringLiteral("--serial-start %1 does not fit in %2 bytes written as %3")
            .arg(counterDecimal(o.serial.start))
            .arg(o.serial.bytes)
            .arg(serialFormatName(o.serial.written));
    case serialFault::none:
        break;
    }
    return QString();
}
} // namespace

const char kUsage[] =
    "usage: vq_flash --port PORT [--port PORT ...] | --all-ports [--exclude PORT ...]\n"
    "                [--baud N] [--high-speed] [--fast-load] [--erase] [--reset] [--boot]\n"
    "                [--continuous] [--record FILE] [--db FILE] [--json] [--verbose] [FILE@ADDR ...]\n"
    "                [--serial-at ADDR [--serial-start N] [--serial-step K] [--serial-bytes B]\n"
    "                 [--serial-format le|be|dec|hex] | [--serial-list FILE]]\n"
    "       vq_flash --order FILE [--operator NAME] --port PORT ... | --all-ports [...]\n"
    "       vq_flash --make-order FILE [--quantity N] [--model M ...] [--product TEXT]\n"
    "                [--baud N] [options] FILE@ADDR ...\n"
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
    "  --serial-at ADDR  give every chip a value of its own (a serial number, a MAC\n"
    "                 address), written after the images at ADDR (hexadecimal, a\n"
    "                 multiple of 0x1000) in a 4 KiB sector no image touches; each\n"
    "                 value is used once (see the README's \"Serial numbers\")\n"
    "  --serial-start N  the counter's first value, decimal or 0x hex (default 0)\n"
    "  --serial-step K   what the counter adds for the next chip (default 1)\n"
    "  --serial-bytes B  the value's width, 1 to 16 (default 4)\n"
    "  --serial-format F le or be: binary little or big endian (default le); dec or\n"
    "                 hex: ASCII digits zero-padded to B characters\n"
    "  --serial-list FILE  the values of FILE instead of a counter: one a line as hex\n"
    "                 bytes (\":\", \"-\" and blanks allowed), all of one length, written\n"
    "                 as they are; blank lines and lines starting with \"#\" are skipped\n"
    "  --order FILE   run a production order: its images (checked against their\n"
    "                 SHA-256), chip models, speed and options; arguments that\n"
    "                 contradict it are refused; stations take no further chip once\n"
    "                 its quantity of good chips is in the records (each finishes the\n"
    "                 chip in hand); a completed order touches no chip and exits 1\n"
    "  --operator NAME  with --order: who runs it, in every chip's record\n"
    "  --make-order FILE  write an order from the images and options given (the\n"
    "                 order's number is FILE's base name) and program nothing;\n"
    "                 --quantity N good chips (default 0, no limit), --model M per\n"
    "                 chip model (default every model of chip_info.json), --product\n"
    "                 TEXT\n"
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
    static const QStringList valued{QStringLiteral("--port"),     QStringLiteral("--baud"),
                                    QStringLiteral("--record"),   QStringLiteral("--exclude"),
                                    QStringLiteral("--db"),       QStringLiteral("--order"),
                                    QStringLiteral("--operator"), QStringLiteral("--make-order"),
                                    QStringLiteral("--quantity"), QStringLiteral("--model"),
                                    QStringLiteral("--product")};
    return valued.contains(a) || a.startsWith(QLatin1String("--serial-"));
}

QString takeSerialValue(const QString &a, const QString &value, flashOptions *o)
{
    const QString bad = QStringLiteral("bad value \"%1\" for %2").arg(value, a);
    o->serialOptions << a;
    serialRule &r = o->serial;
    bool ok = true;
    if (a == QLatin1String("--serial-at")) {
        ok = parseHexAddress(value, &r.address);
        o->serialOn = true;
    } else if (a == QLatin1String("--serial-start")) {
        ok = parseSerialCounter(value, &r.start);
    } else if (a == QLatin1String("--serial-step")) {
        ok = parseSerialCounter(value, &r.step);
    } else if (a == QLatin1String("--serial-bytes")) {
        r.bytes = value.toInt(&ok, 10);
    } else if (a == QLatin1String("--serial-format")) {
        ok = parseSerialFormat(value, &r.written);
    } else if (a == QLatin1String("--serial-list")) {
        // Read once the command is known to be whole.
        r.listPath = value;
    } else {
        return QStringLiteral("unknown option \"%1\"").arg(a);
    }
    return ok ? QString() : bad;
}

QString takeValue(const QString &a, const QString &value, flashOptions *o)
{
    if (value.isEmpty() && a != QLatin1String("--record") && a != QLatin1String("--baud")
        && a != QLatin1String("--product"))
        return a + QStringLiteral(" needs a value");
    if (a.startsWith(QLatin1String("--serial-"))) {
        return takeSerialValue(a, value, o);
    } else if (a == QLatin1String("--order")) {
        o->orderPath = value;
    } else if (a == QLatin1String("--operator")) {
        o->operatorName = value;
    } else if (a == QLatin1String("--make-order")) {
        o->makeOrderPath = value;
    } else if (a == QLatin1String("--product")) {
        o->product = value;
    } else if (a == QLatin1String("--model")) {
        o->models << value;
    } else if (a == QLatin1String("--quantity")) {
        bool ok = false;
        o->quantity = value.toLongLong(&ok);
        if (!ok || o->quantity < 0)
            return QStringLiteral("bad quantity \"%1\"").arg(value);
    } else if (a == QLatin1String("--port")) {
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
        o->baudGiven = true;
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
    uint32_t address = 0;
    if (!parseHexAddress(a.mid(at + 1), &address))
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

// A flag that only switches something on contradicts an order that has it
// off; one the order has on is what the order says anyway.
QString orderContradiction(const flashOptions &o)
{
    const workOrder &w = o.order;
    const struct {
        const char *flag;
        bool given;
        const char *field;
        bool ordered;
    } flags[] = {
        {"--high-speed", o.highSpeed, "highSpeed", w.highSpeed}, {"--fast-load", o.fastLoad, "fastLoad", w.fastLoad},
        {"--erase", o.erase, "eraseAll", w.eraseAll},            {"--reset", o.reset, "reset", w.reset},
        {"--boot", o.boot, "boot", w.boot},                      {"--continuous", o.continuous, "dsr", w.dsr},
    };
    for (const auto &f : flags) {
        if (f.given && !f.ordered)
            return QStringLiteral("%1 contradicts the order (options.%2 is false)").arg(QLatin1String(f.flag),
                                                                                          QLatin1String(f.field));
    }
    if (o.baudGiven && o.baud != w.baud)
        return QStringLiteral("--baud %1 contradicts the order (baud %2)").arg(o.baud).arg(w.baud);
    // Serial options may only say what the order's rule says: the same
    // values at the same address.
    if (!o.serialOptions.isEmpty() && !w.serialOn)
        return o.serialOptions.first() + QStringLiteral(" contradicts the order (it has no serial rule)");
    const bool sameRule = o.serialOn && o.serial.address == w.serial.address && o.serial.key() == w.serial.key();
    if (!o.serialOptions.isEmpty() && !sameRule)
        return QStringLiteral("the serial options contradict the order's serial rule (serial.at 0x%1, %2)")
            .arg(QString::number(w.serial.address, 16), w.serial.key());
    if (o.files.isEmpty())
        return QString();
    // Images given beside an order must be the order's, byte for byte.
    bool same = o.files.size() == w.images.size();
    for (int i = 0; same && i < o.files.size(); ++i) {
        QFile file(o.files.at(i));
        same = o.addresses.at(i) == w.images.at(i).address && file.open(QIODevice::ReadOnly)
               && QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex() == w.images.at(i).sha256;
    }
    return same ? QString() : QStringLiteral("the images given contradict the order (it names its own images)");
}

// Reads the order and takes what it contradicts from the command.
QString takeOrder(flashOptions *o)
{
    QString error;
    if (!loadWorkOrder(o->orderPath, &o->order, &error))
        return error;
    error = orderContradiction(*o);
    if (!error.isEmpty())
        return error;
    // The run is the order's (jobFor); the command's own checks and its
    // rendering read these.
    o->files = o->order.paths();
    o->addresses = o->order.addresses();
    o->baud = o->order.baud;
    o->continuous = o->order.dsr;
    o->serialOn = o->order.serialOn;
    o->serial = o->order.serial;
    return QString();
}

// What the options ask for, once they are all read.
QString checkRequest(const flashOptions &o)
{
    if (!imagePlan::baudAllowed(o.baud))
        return QStringLiteral("baud rate %1 is outside %2 to %3").arg(o.baud).arg(kMinBaud).arg(kMaxBaud);
    if (o.files.isEmpty() && !o.erase)
        return QStringLiteral("nothing to do: give FILE@ADDR images, or --erase");
    const QString serial = checkSerial(o);
    if (!serial.isEmpty())
        return serial;
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
    if (!o->operatorName.isEmpty() && o->orderPath.isEmpty())
        return QStringLiteral("--operator goes with --order");
    if ((o->quantity > 0 || !o->models.isEmpty() || !o->product.isEmpty()) && o->makeOrderPath.isEmpty())
        return QStringLiteral("--quantity, --model and --product go with --make-order");
    if (o->serialOn && !o->serial.listPath.isEmpty()) {
        *syntax = false;
        const serialListProblem p = loadSerialList(o->serial.listPath, &o->serial);
        if (p)
            return listProblemText(o->serial.listPath, p);
    }
    if (!o->makeOrderPath.isEmpty()) {
        if (!o->orderPath.isEmpty() || !o->ports.isEmpty() || o->allPorts)
            return QStringLiteral("--make-order writes an order and programs nothing: no --order, --port or --all-ports");
        if (o->files.isEmpty())
            return QStringLiteral("--make-order needs the order's images, FILE@ADDR");
        const QStringList known = chipInfo().currentModels();
        for (const QString &model : qAsConst(o->models)) {
            if (!known.contains(model))
                return QStringLiteral("unknown chip model \"%1\" (chip_info.json has %2)").arg(model, known.join(QLatin1Char('/')));
        }
        *syntax = false;
        return checkRequest(*o);
    }
    if (o->ports.isEmpty() && !o->allPorts)
        return QStringLiteral("--port is required (or --all-ports)");
    if (!o->ports.isEmpty() && o->allPorts)
        return QStringLiteral("--port and --all-ports exclude each other");
    if (!o->excluded.isEmpty() && !o->allPorts)
        return QStringLiteral("--exclude goes with --all-ports");
    *syntax = false;
    if (!o->orderPath.isEmpty()) {
        const QString error = takeOrder(o);
        if (!error.isEmpty())
            return error;
    }
    return checkRequest(*o);
}
