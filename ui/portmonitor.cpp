#include "portmonitor.h"

portMonitor::portMonitor(int intervalMs, QObject *parent)
    : QObject(parent)
{
    timer.setObjectName(QStringLiteral("refreshTimer"));
    connect(&timer, &QTimer::timeout, this, [this] {
        emit ticked();
        refresh();
    });
    timer.start(intervalMs);
}

void portMonitor::refresh()
{
    const QList<portEntry> fresh = listSerialPorts();
    bool same = fresh.size() == current.size();
    for (int i = 0; same && i < fresh.size(); ++i)
        same = fresh.at(i).number == current.at(i).number && fresh.at(i).name == current.at(i).name
            && fresh.at(i).socket == current.at(i).socket;
    if (same)
        return;
    current = fresh;
    emit portsChanged(current);
}
