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
    QString port;          // empty: the panel has no port ("NONE", or an empty socket)
    // The USB socket the panel's station is pinned to, or else its port's;
    // empty when neither is known.
    QString socket;
    bool pinned = false;   // the station keeps its socket, whatever port is in it
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
    // The serial value the shown result's chip got (empty: none).
    QString serial;
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
    // the panels show the lowest-numbered ports in order. A pinned panel
    // shows whatever port is in its socket, or none; with pinning on, a
    // free panel that takes a port in a socket pins that socket. `selected`
    // holds selection keys. True when a panel changed.
    bool followPorts(const QList<portEntry> &ports, const QSet<QString> &selected, bool frozen);

    // Stations pinned to USB sockets ("按USB插口固定工位"). On: each panel
    // pins the socket of the port it shows now, and free panels pin the
    // sockets of the ports they take later; off: every pin is let go.
    void setPinning(bool on);
    bool pinning() const { return pinOn; }
    // The pinned socket of each panel, in order (empty: none), as saved.
    QStringList pins() const;
    // Pins read back at start; unknown or repeated sockets are dropped.
    void restorePins(const QStringList &sockets);
    // What a panel's selection is remembered by: its pinned socket, or its
    // port. Empty for a panel with neither.
    QString selectionKey(int index) const;
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
    QVector<QString> pinned;
    bool pinOn = false;
};
