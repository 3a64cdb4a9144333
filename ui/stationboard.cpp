#include "stationboard.h"

stationBoard::stationBoard(int count)
    : panels(count)
{
}

bool stationBoard::followPorts(const QList<portEntry> &ports, const QSet<QString> &selected, bool frozen)
{
    QSet<QString> names;
    for (const portEntry &p : ports)
        names.insert(p.name);
    QVector<panelModel> next = panels;
    if (!frozen) {
        bool anyHeld = false;
        for (const panelModel &m : qAsConst(panels))
            anyHeld = anyHeld || m.held;
        QSet<QString> placed;
        for (panelModel &m : next) {
            const bool keeps = anyHeld && !m.port.isEmpty() && (names.contains(m.port) || m.held);
            if (keeps)
                placed.insert(m.port);
            else
                m = panelModel();
        }
        int free = 0;
        for (const portEntry &p : ports) {
            if (placed.contains(p.name))
                continue;
            while (free < next.size() && !next.at(free).port.isEmpty())
                ++free;
            if (free >= next.size())
                break;
            next[free].port = p.name;
        }
    }
    for (panelModel &m : next) {
        m.present = !m.port.isEmpty() && names.contains(m.port);
        m.selected = m.present && selected.contains(m.port);
        if (!frozen) {
            m.dsr = -1;
            m.ended = false;
        }
    }
    bool changed = false;
    for (int i = 0; i < next.size() && !changed; ++i) {
        const panelModel &a = next.at(i), &b = panels.at(i);
        changed = a.port != b.port || a.present != b.present || a.selected != b.selected || a.look != b.look
                  || a.percent != b.percent || a.dsr != b.dsr || a.held != b.held || a.ended != b.ended;
    }
    panels = next;
    return changed;
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
