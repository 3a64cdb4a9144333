#include "updatethread.h"

#include "updatemodule.h"

#include <QDebug>

namespace {
// Lets the start window come up before the check takes its share of the
// machine and the network.
const unsigned long startDelayMs = 500;
const unsigned long showRetryMs = 1000;
} // namespace

updateThread::updateThread()
    : window(new updateModule)
{
}

// A QThread destroyed while running would abort the program: the loop is
// ended and the check allowed to finish. Its name lookup and its share read
// can wait without bound on a server that does not answer, so the start
// window deletes the thread only once it has ended and otherwise leaves it
// to the end of the process.
updateThread::~updateThread()
{
    stopNotify();
    wait();
    delete window;
}

void updateThread::stopNotify()
{
    stopFlag = 1;
}

void updateThread::run()
{
    msleep(startDelayMs);
    // The program is closing already.
    if (stopFlag == 1)
        return;
    qDebug() << "check update";
    vqupdate::CheckLog log;
    log.append = [this](const QString &text) {
        lines.append(text);
        qDebug().noquote() << "[check]" << text;
    };
    log.clear = [this] { lines.clear(); };
    const quint8 result = window->checkServerVersion(log);
    if (result != vqupdate::WebUpdateAvailable && result != vqupdate::FileServerUpdateAvailable)
        return;
    while (stopFlag != 1) {
        emit showUI();
        msleep(showRetryMs);
    }
}
