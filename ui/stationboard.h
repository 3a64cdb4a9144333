#pragma once
#include <QList>
#include <QSet>
#include <QString>
#include <QVector>

#include "portlist.h"
#include "productionline.h"

// What a station panel shows.
enum class panelLook { idle, busy, success, failure };

struct panelModel {
    QString port;          // empty: the panel has no port ("NONE")
    bool present = false;  // the port is on the machine now
    bool selected = false;
    panelLook look = panelLook::idle;
    int percent = 0;
    int dsr = -1;          // -1: not sampled
    // The station of this fixture run has ended: nothing watches its
    // fixture any more.
    bool ended = false;
    // A result of the last run is up: the panel keeps its station (and a
    // vanished port's name) until the next run.
    bool held = false;
};

// The factory window's panels as data: which port each shows, and the state
// of its station. The window draws from this and never reads its widgets
// back.
class stationBoard
{
public:
    explicit stationBoard(int panels);

    int size() const { return panels.size(); }
    const panelModel &panel(int index) const { return panels.at(index); }

    // Lays the machine's ports (sorted by number) onto the panels. While a
    // run is on (frozen), or while a panel shows a result, stations keep
    // their panels: a port only comes or goes on a free panel. Otherwise
    // the panels show the lowest-numbered ports in order. True when a panel
    // changed.
    bool followPorts(const QList<portEntry> &ports, const QSet<QString> &selected, bool frozen);
    // Every panel idle at 0 %, no result held; for a new run.
    void clearResults();
    // A panel of a run follows its station. fixture: the run waits on the
    // fixtures, so a station that has ended says it no longer watches its.
    void showStation(int index, const stationStatus &station, bool fixture);
    void setSelected(int index, bool on);
    // Selected, with a port that is there.
    bool usable(int index) const;

private:
    QVector<panelModel> panels;
};
