#pragma once
#include "options.h"
#include "recordstore.h"
#include "tranthread.h"

#include <QObject>
#include <QTimer>
#include <QVector>
#include <cstdio>
#include <memory>

// The production line behind vq_flash: one download job per port, run by the
// factory window's engine, watched and acknowledged the way the window does,
// and reported as a live status, plain lines, JSON lines and the production
// record. Lives on the main thread.
class flashLine : public QObject
{
    Q_OBJECT

public:
    flashLine(const flashOptions &options, const QStringList &ports);
    ~flashLine() override;

    void start();
    // Ends every running chip with the stop code and brings it back to its
    // boot ROM; the summary follows once every job has ended.
    void stop();
    bool stopping() const { return stopRequested; }

signals:
    // Every job has ended; the exit status of the command.
    void finished(int exitStatus);

private:
    enum class stationState { Starting, Busy, Good, Failed, Waiting, Ended };
    struct station {
        int number = 0;
        QString port;
        std::unique_ptr<tranThread> job;
        stationState state = stationState::Starting;
        int percent = 0;
        int good = 0;
        int failed = 0;
        bool hasRecord = false;
        chipRecord last;
        bool released = false;  // told to stop
    };

    void poll();
    void take(station &s, int seen);
    void count(station &s, const chipRecord &record, bool ok);
    void release(station &s);
    void finish();
    int exitStatus() const;

    void line(const QString &portLine);
    void print(FILE *stream, const QString &text);
    void flushLines();
    void drawStatus();
    void eraseStatus();
    QString statusLine(const station &s) const;
    void summary();
    void json(const station &s, const QString &event, const chipRecord *record = nullptr);

    const flashOptions options;
    // One station with today's output of vq_flash: lines without the port,
    // percent lines, no table.
    const bool single;
    FILE *human;
    const bool live;
    QVector<station *> stations;
    QTimer ticker;
    int ticks = 0;
    bool stopRequested = false;
    bool recordFailed = false;
    bool done = false;
    int drawnLines = 0;
    int lastPercentShown = -1;
    struct pendingLine {
        FILE *stream;
        QString text;
    };
    QList<pendingLine> pending;
    // Last member: its destructor waits for the rows still being written.
    recordOrigin origin;
    std::unique_ptr<recordStore> records;
};
