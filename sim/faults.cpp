#include "faults.h"

#include <QStringList>

namespace {

struct FaultName {
    const char *name;
    SimFault::Kind kind;
    bool always;
    enum Arg { None, Block, OptionalCount, Timing, OptionalRam } arg;
    const char *help;
};

const FaultName kFaults[] = {
    {"silent", SimFault::Silent, true, FaultName::None, "the chip answers nothing"},
    {"wrong-date", SimFault::WrongDate, true, FaultName::None,
     "the boot ROM's version reply carries an unknown build date"},
    {"nak", SimFault::Nak, false, FaultName::Block, "=K  NAK data block K once (K=0: the header)"},
    {"nak-always", SimFault::Nak, true, FaultName::Block, "=K  NAK data block K every time it arrives"},
    {"cancel", SimFault::Cancel, false, FaultName::Block, "=K  five CAN bytes instead of ACK at block K, once"},
    {"garbage", SimFault::Garbage, true, FaultName::OptionalCount,
     "[=N]  N random bytes (default 16) before every text reply"},
    {"garbage-only", SimFault::GarbageOnly, true, FaultName::OptionalCount,
     "[=N]  N random bytes (default 16) instead of every text reply"},
    {"eot-ack", SimFault::EotAck, false, FaultName::OptionalRam,
     "[=ram]  ACK instead of NAK for the first EOT of a flash transfer (of the RAM-code load), once"},
    {"erase-fail", SimFault::EraseFail, false, FaultName::None, "fail marker for the next ferase/ferase_all"},
    {"erase-fail-always", SimFault::EraseFail, true, FaultName::None, "fail marker for every ferase/ferase_all"},
    {"addr-fail", SimFault::AddrFail, false, FaultName::None, "fail marker for the next startaddr"},
    {"addr-fail-always", SimFault::AddrFail, true, FaultName::None, "fail marker for every startaddr"},
    {"filecount-off", SimFault::FileCountOff, true, FaultName::OptionalCount,
     "[=D]  filecount reports D more files than written (default 1, may be negative)"},
    {"slow-flash", SimFault::SlowFlash, true, FaultName::Timing,
     "=E,P[,C]  as --flash-timing, from now on"},
    {"disconnect", SimFault::Disconnect, false, FaultName::Block,
     "=K  the port disappears (pty closed, link removed) when block K arrives"},
    {"ram-silent", SimFault::RamSilent, false, FaultName::None,
     "the next RAM-code load is acknowledged but the RAM code never answers"},
    {"baud-ignored", SimFault::BaudIgnored, true, FaultName::None,
     "a baudrate command leaves the chip deaf until the next reset"},
    {"boot-baud-ignored", SimFault::BootBaudIgnored, true, FaultName::None,
     "the boot ROM ignores the boot baudrate line and keeps talking at 115200"},
    {"in-ram", SimFault::InRam, false, FaultName::None,
     "the chip runs its RAM code already (at start, or at once at run time)"},
    {"flash-test-fail", SimFault::FlashTestFail, true, FaultName::None, "flash_test reports \"pos\""},
};

bool parseTiming(const QString &arg, SimFault *f)
{
    const QStringList parts = arg.split(QLatin1Char(','));
    if (parts.size() < 2 || parts.size() > 3)
        return false;
    bool ok1 = false, ok2 = false, ok3 = true;
    f->eraseUs = parts[0].toLongLong(&ok1);
    f->programUs = parts[1].toLongLong(&ok2);
    if (parts.size() == 3)
        f->chipEraseUs = parts[2].toLongLong(&ok3);
    return ok1 && ok2 && ok3 && f->eraseUs >= 0 && f->programUs >= 0;
}

} // namespace

bool parseSimFault(const QString &text, SimFault *out, QString *error)
{
    const int eq = text.indexOf(QLatin1Char('='));
    const QString name = eq < 0 ? text.trimmed() : text.left(eq).trimmed();
    const QString arg = eq < 0 ? QString() : text.mid(eq + 1).trimmed();
    for (const FaultName &n : kFaults) {
        if (name != QLatin1String(n.name))
            continue;
        SimFault f;
        f.kind = n.kind;
        f.always = n.always;
        bool ok = true;
        switch (n.arg) {
        case FaultName::None:
            ok = arg.isEmpty();
            break;
        case FaultName::Block: {
            QString a = arg;
            if (a.startsWith(QLatin1String("ram:"))) {
                f.ram = true;
                a = a.mid(4);
            }
            const int colon = a.indexOf(QLatin1Char(':'));
            if (colon >= 0 && !f.ram) {
                f.file = a.left(colon).toInt(&ok);
                ok = ok && f.file >= 1;
                a = a.mid(colon + 1);
            }
            f.block = ok ? a.toInt(&ok) : -1;
            ok = ok && f.block >= 0;
            break;
        }
        case FaultName::OptionalCount:
            f.count = f.kind == SimFault::FileCountOff ? 1 : 16;
            if (!arg.isEmpty())
                f.count = arg.toInt(&ok);
            break;
        case FaultName::OptionalRam:
            f.ram = arg == QLatin1String("ram");
            ok = arg.isEmpty() || f.ram;
            break;
        case FaultName::Timing:
            ok = parseTiming(arg, &f);
            break;
        }
        if (!ok) {
            if (error)
                *error = QStringLiteral("bad argument for fault %1: \"%2\"").arg(name, arg);
            return false;
        }
        *out = f;
        return true;
    }
    if (error)
        *error = QStringLiteral("unknown fault \"%1\"").arg(name);
    return false;
}

QString simFaultHelp()
{
    QString s;
    for (const FaultName &n : kFaults) {
        QString help = QString::fromLatin1(n.help);
        QString name = QLatin1String(n.name);
        const int gap = help.indexOf(QLatin1String("  "));
        if (help.startsWith(QLatin1Char('=')) || help.startsWith(QLatin1Char('['))) {
            name += help.left(gap);
            help = help.mid(gap + 2);
        }
        s += QStringLiteral("  %1 %2\n").arg(name, -20).arg(help);
    }
    s += QStringLiteral("  Block faults (nak, nak-always, cancel, disconnect) count data blocks from 1 within a flash\n"
                        "  transfer (\"upgrade\"); write K as ram:K to aim at the RAM-code load instead, or as F:K\n"
                        "  to aim at the F-th flash transfer since the RAM code started.\n");
    return s;
}
