#pragma once
#include <QList>
#include <QObject>
#include <QTimer>

#include "portlist.h"

// Watches the machine's serial ports and says when the list changes, so a
// window follows plugging and unplugging without asking every time. Two
// adapters that swap their names when a hub is replugged change the list
// by their sockets alone.
class portMonitor : public QObject
{
    Q_OBJECT

public:
    explicit portMonitor(int intervalMs, QObject *parent = nullptr);

    // Lists the ports now and says so when they differ from the last list.
    void refresh();
    const QList<portEntry> &ports() const { return current; }

signals:
    void portsChanged(const QList<portEntry> &ports);
    // Every tick, whether the list changed or not.
    void ticked();

private:
    QTimer timer;
    QList<portEntry> current;
};
