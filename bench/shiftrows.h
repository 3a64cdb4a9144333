#pragma once
// A made-up production shift as the record store keeps it, for the
// statistics window's picture and the records benchmark: every station makes
// chips at a steady pace; a few fail for the usual reasons, one worn socket
// fails more often, and one hour goes wrong for the whole line.
#include "recordstore.h"
#include "resultcodes.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDateTime>
#include <QRandomGenerator>
#include <QStringList>
#include <QUuid>

struct shiftPlan {
    QDate day;
    QStringList lines{QStringLiteral("LINE-A")};
    int stations = 16;
    int firstHour = 8;
    int hours = 9;
    int chipsPerStationHour = 60;
    int wornStation = 7;        // fails about one chip in twelve; 0: none
    int badHour = 13;           // a loose cable: one chip in five fails; -1: none
    int stopOneIn = 400;        // chips stopped by the operator
    quint32 seed = 20261208;
};

// Calls add(row) for every row of the shift, oldest first per station.
template <typename Add>
void forEachShiftRow(const shiftPlan &plan, Add add)
{
    using namespace resultCode;
    static const uint32_t usual[] = {kNoChipInfo, kTransferTimeout | kRamCodeFailed, kBaudRateFailed,
                                     kTransferDataAckError | kStartAddrFailed};
    static const QByteArray imageHash =
        QCryptographicHash::hash(QByteArrayLiteral("app image"), QCryptographicHash::Sha256).toHex();
    static const QByteArray bootHash =
        QCryptographicHash::hash(QByteArrayLiteral("boot image"), QCryptographicHash::Sha256).toHex();
    QRandomGenerator rng(plan.seed);
    const qint64 start = QDateTime(plan.day, QTime(plan.firstHour, 0)).toMSecsSinceEpoch();
    const qint64 gapMs = 3600000 / plan.chipsPerStationHour;
    quint64 chip = (quint64(plan.seed) << 24);
    for (const QString &line : plan.lines)
        for (int station = 1; station <= plan.stations; ++station)
            for (int n = 0; n < plan.hours * plan.chipsPerStationHour; ++n) {
                productionRow r;
                r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
                r.timeMs = start + n * gapMs + rng.bounded(int(gapMs / 2));
                const QDateTime at = QDateTime::fromMSecsSinceEpoch(r.timeMs);
                r.utcOffset = at.offsetFromUtc();
                r.host = line.toLower();
                r.line = line;
                r.station = station;
                r.port = QStringLiteral("COM%1").arg(station + 2);
                r.model = QStringLiteral("VQ571M");
                ++chip;
                r.uid = QStringLiteral("%1").arg(chip, 16, 16, QLatin1Char('0')).toUpper();
                r.flashId = QStringLiteral("C8401%1").arg(chip % 4 + 5);
                r.operation = QStringLiteral("download");
                int failOneIn = 200;
                if (station == plan.wornStation)
                    failOneIn = 12;
                if (at.time().hour() == plan.badHour)
                    failOneIn = 5;
                r.ok = rng.bounded(failOneIn) != 0;
                r.code = r.ok ? 0 : usual[station == plan.wornStation ? 1 : rng.bounded(4)];
                // Now and then the operator stops a chip mid-run: neither
                // good nor failed.
                if (r.ok && rng.bounded(plan.stopOneIn) == 0) {
                    r.ok = false;
                    r.code = kFlashWriteFailed | kTransferStopped;
                }
                r.text = r.ok ? QStringLiteral("下载成功") : resultText(r.code);
                if (r.text.isEmpty())
                    r.text = resultText(r.code & 0xFFFFFF00u) + QStringLiteral("，") + resultText(r.code & 0xFFu);
                r.seconds = r.ok ? 9.5 + rng.bounded(100) / 100.0 : 3.0;
                r.bytes = r.ok ? 1 << 20 : 0;
                r.baud = 2000000;
                r.toolVersion = QStringLiteral("v3.0.2");
                r.images.append({QStringLiteral("boot.bin"), 16384, 0x0, bootHash});
                r.images.append({QStringLiteral("app.bin"), (1 << 20) - 16384, 0x10000, imageHash});
                add(r);
            }
}
