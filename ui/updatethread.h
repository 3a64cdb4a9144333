#pragma once

#include <QStringList>
#include <QThread>
#include <atomic>

class updateModule;

// Looks for a newer release once, shortly after start-up, and keeps asking
// the start window to show the update window until it says it has.
class updateThread : public QThread
{
    Q_OBJECT

public:
    updateThread();
    ~updateThread() override;

    void stopNotify();

    updateModule *checkWindow() const { return window; }
    // The background check's lines; complete once showUI was first emitted
    // or the thread has finished.
    QStringList checkLines() const { return lines; }

signals:
    void showUI();

protected:
    void run() override;

private:
    // Never shown; only its check runs here, and that touches no widget.
    updateModule *window;
    std::atomic<quint8> stopFlag{0};
    QStringList lines;
};
