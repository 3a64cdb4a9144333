#include "portreport.h"

#include "portlist.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QVector>

namespace {
QString stateWord(portState state)
{
    switch (state) {
    case portState::Free:
        return QStringLiteral("free");
    case portState::Busy:
        return QStringLiteral("busy");
    case portState::NoPermission:
        return QStringLiteral("no-permission");
    case portState::Missing:
        break;
    }
    return QStringLiteral("missing");
}

QString stateText(const portAccess &a)
{
    switch (a.state) {
    case portState::Busy:
        return a.holderPid > 0 ? QStringLiteral("busy: held by %1 (pid %2)").arg(a.holder).arg(a.holderPid)
                               : QStringLiteral("busy");
    case portState::NoPermission:
        if (!a.group.isEmpty())
            return QStringLiteral("no permission: group %1 may read and write it").arg(a.group);
        if (!a.owner.isEmpty())
            return QStringLiteral("no permission: only its owner %1 may open it").arg(a.owner);
        return QStringLiteral("no permission");
    case portState::Free:
    case portState::Missing:
        break;
    }
    return stateWord(a.state);
}

QString usbId(quint16 id)
{
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
}

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonObject jsonOf(const portFacts &f)
{
    const portIdentity &id = f.identity;
    const bool usb = id.vendorId != 0 || id.productId != 0;
    const bool denied = f.access.state == portState::NoPermission;
    QJsonObject holder;
    if (f.access.holderPid > 0)
        holder = {{QStringLiteral("name"), f.access.holder}, {QStringLiteral("pid"), f.access.holderPid}};
    return {
        {QStringLiteral("name"), f.name},
        {QStringLiteral("device"), id.device},
        {QStringLiteral("socket"), orNull(id.socket)},
        {QStringLiteral("vendorId"), usb ? QJsonValue(usbId(id.vendorId)) : QJsonValue()},
        {QStringLiteral("productId"), usb ? QJsonValue(usbId(id.productId)) : QJsonValue()},
        {QStringLiteral("adapter"), orNull(id.adapter)},
        {QStringLiteral("serialNumber"), orNull(id.serialNumber)},
        {QStringLiteral("state"), stateWord(f.access.state)},
        {QStringLiteral("holder"), holder.isEmpty() ? QJsonValue() : QJsonValue(holder)},
        {QStringLiteral("group"), denied ? orNull(f.access.group) : QJsonValue()},
        {QStringLiteral("owner"), denied ? orNull(f.access.owner) : QJsonValue()},
    };
}

QString dashIfEmpty(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}
} // namespace

QString portReport(bool json)
{
    const QList<portFacts> ports = examinePorts();
    QString out;
    if (json) {
        for (const portFacts &f : ports)
            out += QString::fromUtf8(QJsonDocument(jsonOf(f)).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
        return out;
    }
    if (ports.isEmpty())
        return QStringLiteral("no serial port found\n");
    QVector<QStringList> rows{{QStringLiteral("port"), QStringLiteral("device"), QStringLiteral("socket"),
                               QStringLiteral("adapter"), QStringLiteral("serial"), QStringLiteral("state")}};
    for (const portFacts &f : ports)
        rows.append({f.name, f.identity.device, dashIfEmpty(f.identity.socket), dashIfEmpty(adapterText(f.identity)),
                     dashIfEmpty(f.identity.serialNumber), stateText(f.access)});
    QVector<int> widths(rows.first().size(), 0);
    for (const QStringList &row : qAsConst(rows)) {
        for (int c = 0; c < row.size(); ++c)
            widths[c] = qMax(widths[c], row.at(c).size());
    }
    for (const QStringList &row : qAsConst(rows)) {
        QString line;
        for (int c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? row.at(c).leftJustified(widths[c] + 2) : row.at(c);
        out += line + QLatin1Char('\n');
    }
    return out;
}
