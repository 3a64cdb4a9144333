#pragma once
#include <QDate>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVector>
#include <QWidget>
#include <memory>

#include "recordstore.h"

class QThread;
class QTimer;

namespace Ui {
class statisticsWindow;
}

// Reads the production records for the statistics window on a thread of its
// own, so that a slow query never stops the GUI thread that also polls the
// stations. It owns its recordQuery (one per thread) and opens it lazily, so
// a database that appears after the window was opened is found on the next
// request.
class statisticsReader : public QObject
{
    Q_OBJECT

public:
    statisticsReader(const QString &databasePath, const recordServer &server);
    ~statisticsReader() override;

public slots:
    // order: the day's chips of one order, and that order's progress over
    // all of its days.
    void loadDay(int request, qint64 fromMs, qint64 toMs, const QString &line, const QString &order);
    void search(int request, const QString &text);
    void close();

signals:
    // source: where the figures came from; note: a problem worth showing even
    // though the figures are there (the server could not be reached).
    // orders: those of the day; progress: the chosen order's, all days.
    void dayLoaded(int request, const recordSummary &summary, const QStringList &lines, const QStringList &orders,
                   const orderCount &progress, const QString &source, const QString &note, const QString &error);
    void found(int request, const QVector<productionRow> &rows, const QString &error);

private:
    bool ensureOpen(QString *error);
    void drop();

    QString databasePath;
    recordServer server;
    std::unique_ptr<recordQuery> query;
    QString source;
    QString note;
    bool onServer = false;
    qint64 serverRetryAfterMs = 0;
};

// "生产统计": a chosen day (today by default) of one line or all of them, from
// the line's database or the factory's server: chips per hour, the day's
// yield, failures ranked, the stations with the worst marked, and every row
// of one chip by its UID or flash ID.
class statisticsWindow : public QWidget
{
    Q_OBJECT

public:
    statisticsWindow(const QString &databasePath, const recordServer &server, QWidget *parent = nullptr);
    ~statisticsWindow() override;

    // The window of this installation: its database, and the factory's
    // server when config/records.json names one.
    static statisticsWindow *forThisLine(QWidget *parent = nullptr);

signals:
    // After every answer to a day request, shown or failed.
    void dayShown();
    void searchShown();

public slots:
    void refresh();

private slots:
    void on_pbnRefresh_clicked();
    void on_pbnSearch_clicked();
    void on_leSearch_returnPressed();
    void showDay(int request, const recordSummary &summary, const QStringList &lines, const QStringList &orders,
                 const orderCount &progress, const QString &source, const QString &note, const QString &error);
    void showFound(int request, const QVector<productionRow> &rows, const QString &error);

private:
    void buildCharts();
    void showHours(const recordSummary &summary);
    void showFailures(const recordSummary &summary);
    void showStations(const recordSummary &summary);
    void showLines(const QStringList &lines);
    void showOrderProgress(const orderCount &progress);
    QString chosenOrder() const;
    void startSearch();
    QString chosenLine() const;

    Ui::statisticsWindow *ui;
    std::unique_ptr<QThread> thread;
    statisticsReader *reader = nullptr;
    QTimer *refreshTimer = nullptr;
    int dayRequest = 0;
    int searchRequest = 0;
    bool dayPending = false;
    QDate shownDay;
    recordSummary lastSummary;
    QString lastKey;  // the day, line and order lastSummary was drawn for
};
