#include "stationboard.h"

#include <QHash>

stationBoard::stationBoard(int count)
    : panels(count)
    , pinned(count)
{
}

namespace {
QString keyOf(const panelModel &m)
{
    return m.pinned ? m.socket : m.port;
}
} // namespace

bool stationBoard::followPorts(const QList<portEntry> &ports, const QSet<QString> &selected, bool frozen)
{
    QSet<QString> names;
    QHash<QString, QString> socketOf;
    QHash<QString, QString> portIn;
    for (const portEntry &p : ports) {
        names.insert(p.name);
        if (p.socket.isEmpty())
            continue;
        socketOf.insert(p.name, p.socket);
        if (!portIn.contains(p.socket))
            portIn.insert(p.socket, p.name);
    }
    QVector<panelModel> next = panels;
    if (!frozen) {
        bool anyHeld = false;
        for (const panelModel &m : qAsConst(panels))
            anyHeld = anyHeld || m.held;
        QSet<QString> placed;
        // A pinned station shows the port in its socket, under whatever
        // name the port came back with, and keeps its result meanwhile.
        for (int i = 0; i < next.size(); ++i) {
            if (pinned.at(i).isEmpty())
                continue;
            next[i].port = portIn.value(pinned.at(i));
            if (!next.at(i).port.isEmpty())
                placed.insert(next.at(i).port);
        }
        for (int i = 0; i < next.size(); ++i) {
            if (!pinned.at(i).isEmpty())
                continue;
            panelModel &m = next[i];
            const bool keeps = anyHeld && !m.port.isEmpty() && !placed.contains(m.port)
                && (names.contains(m.port) || m.held);
            if (keeps)
                placed.insert(m.port);
            else
                m = panelModel();
        }
        int free = 0;
        for (const portEntry &p : ports) {
            if (placed.contains(p.name))
                continue;
            while (free < next.size() && (!next.at(free).port.isEmpty() || !pinned.at(free).isEmpty()))
                ++free;
            if (free >= next.size())
                break;
            next[free].port = p.name;
            if (pinOn && !p.socket.isEmpty())
                pinned[free] = p.socket;
        }
    }
    for (int i = 0; i < next.size(); ++i) {
        panelModel &m = next[i];
        m.pinned = !pinned.at(i).isEmpty();
        m.socket = m.pinned ? pinned.at(i) : socketOf.value(m.port);
        m.present = !m.port.isEmpty() && names.contains(m.port);
        m.selected = m.present && selected.contains(keyOf(m));
        if (!frozen) {
            m.dsr = -1;
            m.ended = false;
        }
    }
    bool changed = false;
    for (int i = 0; i < next.size() && !changed; ++i) {
        const panelModel &a = next.at(i), &b = panels.at(i);
        changed = a.port != b.port || a.socket != b.socket || a.pinned != b.pinned || a.present != b.present
                  || a.selected != b.selected || a.look != b.look || a.percent != b.percent || a.dsr != b.dsr
                  || a.held != b.held || a.ended != b.ended;
    }
    panels = next;
    return changed;
}

void stationBoard::setPinning(bool on)
{
    pinOn = on;
    for (int i = 0; i < panels.size(); ++i) {
        panelModel &m = panels[i];
        if (!on)
            pinned[i].clear();
        else if (pinned.at(i).isEmpty() && m.present)
            pinned[i] = m.socket;
        m.pinned = !pinned.at(i).isEmpty();
        if (!m.pinned && !m.present)
            m.socket.clear();
    }
}

QStringList stationBoard::pins() const
{
    QStringList list = pinned.toList();
    while (!list.isEmpty() && list.last().isEmpty())
        list.removeLast();
    return list;
}

void stationBoard::restorePins(const QStringList &sockets)
{
    QSet<QString> seen;
    for (int i = 0; i < pinned.size(); ++i) {
        const QString socket = sockets.value(i).trimmed();
        pinned[i] = seen.contains(socket) ? QString() : socket;
        if (!socket.isEmpty())
            seen.insert(socket);
    }
}

QString stationBoard::selectionKey(int index) const
{
    return index >= 0 && index < panels.size() ? keyOf(panels.at(index)) : QString();
}

void stationBoard::clearResults()
{
    for (panelModel &m : panels) {
        m.look = panelLook::idle;
        m.percent = 0;
        m.held = false;
        m.ended = false;
    }
}

void stationBoard::showStation(int index, const stationStatus &s, bool fixture)
{
    if (index < 0 || index >= panels.size())
        return;
    panelModel &m = panels[index];
    m.dsr = s.portOpen ? (s.dsr ? 1 : 0) : -1;
    m.ended = fixture && s.activity == stationActivity::ended;
    if (s.activity == stationActivity::busy) {
        m.look = panelLook::busy;
        m.percent = s.percent;
        m.held = false;
        return;
    }
    if (!s.hasResult || s.outcome == chipOutcome::stopped) {
        // A stopped chip is no result to keep up: the panel claims nothing.
        m.look = panelLook::idle;
        m.percent = 0;
        m.held = false;
        return;
    }
    m.look = s.outcome == chipOutcome::failed ? panelLook::failure : panelLook::success;
    m.percent = s.percent;
    m.held = true;
    m.serial = s.last.serialText;
}

void stationBoard::setSelected(int index, bool on)
{
    if (index >= 0 && index < panels.size())
        panels[index].selected = on && panels.at(index).present;
}

bool stationBoard::usable(int index) const
{
    return index >= 0 && index < panels.size() && panels.at(index).present && panels.at(index).selected;
}
