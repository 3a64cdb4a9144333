#pragma once
#include "options.h"
#include "productionline.h"
#include "recordstore.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVector>
#include <cstdio>
#include <memory>

// vq_flash's rendering of a production line: the line controller runs the
// stations, counts and records them; this shows them as a live status,
// plain lines, JSON lines and a summary, and turns the end into an exit
// status. Lives on the main thread.
class flashLine : public QObject
{
    Q_OBJECT

public:
    flashLine(const flashOptions &options, const QStringList &ports);
    ~flashLine() override;

    // false, with why on standard error, when the run cannot start (its
    // order is complete or its progress cannot be read, the serial values'
    // store cannot be used); no port has been opened then.
    bool start();
    // The first request stops the line (every chip in hand ends with the
    // stop code and is brought back to its boot ROM); a second one
    // abandons the bringing back. The summary follows once every job has
    // ended.
    void stop();
    bool stopping() const { return stopRequests > 0; }

signals:
    // Every job has ended; the exit status of the command.
    void finished(int exitStatus);

private:
    void stationChanged(int index);
    void counted(int index, chipOutcome outcome, const chipRecord &record);
    void logged(int index, lineKind kind, const QString &text);
    void tick();
    void finish();
    // Waits for the rows the disk has not taken yet, then concludes.
    void drain();
    void conclude();
    int exitStatus() const;
    // The order's part of the job: its models, and its progress from the
    // records; false when the order must not run.
    bool orderJob(lineJob *job);
    void orderCompleted();

    QString prefix(int index) const;
    void print(FILE *stream, const QString &text);
    void queue(FILE *stream, const QString &text);
    void flushLines();
    void drawStatus();
    void eraseStatus();
    QString statusLine(int index) const;
    void summary();
    void json(int index, const QString &event, const chipRecord *record = nullptr);

    const flashOptions options;
    // One station with today's output of vq_flash: lines without the port,
    // percent lines, no table.
    const bool single;
    FILE *human;
    const bool live;
    QStringList ports;
    QTimer redraw;
    int stopRequests = 0;
    // Rows the disk never took, printed at the end instead.
    int unwrittenAtEnd = 0;
    bool draining = false;
    bool drainCut = false;
    QElapsedTimer drainClock;
    QTimer drainTimer;
    bool done = false;
    int drawnLines = 0;
    int lastPercentShown = -1;
    // Per station: the last activity a "waiting" event was given for.
    QVector<bool> toldWaiting;
    struct pendingLine {
        FILE *stream;
        QString text;
    };
    QList<pendingLine> pending;
    recordOrigin origin;
    // The order's good chips in the records, read before the store opens
    // its file; orderReadError when they could not be read.
    orderTally orderBefore;
    QString orderReadError;
    // The store outlives the line that appends to it; its destructor waits
    // for the rows still being written.
    std::unique_ptr<recordStore> records;
    recordServer server;
    std::unique_ptr<productionLine> line;
};
