#pragma once
#include <QObject>
#include <QString>

// The day's log file, yyyy-MM-dd.text in the line's log folder: one line
// per call, written through at once so a killed program loses nothing.
// A folder or file that cannot be written is said once until it works
// again; the caller's view keeps every line meanwhile.
class dailyLog : public QObject
{
    Q_OBJECT

public:
    explicit dailyLog(QObject *parent = nullptr);
    // log/ of the working folder until told otherwise.
    void setFolder(const QString &path) { folder = path; }

    // Appends the line (already stamped) to today's file.
    void write(const QString &line);
    // Makes the folder if needed; false (and the fault said) when it cannot.
    bool folderReady();

signals:
    // A Chinese sentence naming what cannot be written, once per fault.
    void fault(const QString &text);

private:
    void report(const QString &text);

    QString folder = QStringLiteral("log");
    bool faultShown = false;
};
