#pragma once
#include <QList>
#include <QMainWindow>
#include <QMap>
#include <QElapsedTimer>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QVector>
#include <cstdint>

#include "firmwareimage.h"
#include "recordstore.h"

class QCheckBox;
class QColor;
class QCloseEvent;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSoundEffect;
class QTimer;
class downloadGroupBox;
class fileCfg;
class statisticsWindow;
class tranThread;
struct chipRecord;

namespace Ui {
class factoryWindow;
}

// The production-line screen: one panel per station, five image rows, the
// options, counters and the log. One button starts a download job per
// selected station; the window then polls the jobs, colours the panels,
// counts and records every chip, and plays a sound per result.
class factoryWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit factoryWindow(QWidget *parent = nullptr);
    ~factoryWindow() override;

public slots:
    void checkUartStatus(int id);
    void getFilePath(int id);
    void updateUartInfo();
    void writeFileCfgToJSON(QString);
    void writeFileCfgToJSON(int);
    void log(QString s);
    void udateProcess();
    void test();
    void myThreadFinished();
    void loadStyle(QString qssFile);

private slots:
    void on_pbnStartDownload_clicked();
    void on_pbnEarse_clicked();
    void on_cbLockUI_stateChanged(int state);
    void on_cbAutoReset_stateChanged(int state);
    void on_cbHighSpeedFlag_clicked(bool checked);
    void on_pushButton_clicked();
    void on_pbnStatistics_clicked();
    void on_cbDsrCtl_clicked(bool checked);
    void on_cbLockUI_clicked(bool checked);
    void on_cbRefreshUart_clicked(bool checked);
    void on_cbBootCtl_clicked(bool checked);
    void on_cbFastLoad_clicked(bool checked);
    void on_cbSelectAll_clicked(bool checked);
    void on_cbKeepGoing_clicked(bool checked);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // A port of the monitor's table and the panel state it carries along
    // when the table is rebuilt.
    struct portRecord {
        uint32_t number = 0;
        QString name;
        bool selected = false;
        int progress = 0;
        QString statusText;
        QString styleSheet;
    };
    struct panelWidgets {
        QRadioButton *radio = nullptr;
        QLabel *port = nullptr;
        QLabel *dsr = nullptr;
        QProgressBar *progress = nullptr;
        QLabel *status = nullptr;
        bool complete() const { return radio && port && dsr && progress && status; }
    };
    struct rowWidgets {
        QCheckBox *enabled = nullptr;
        QLineEdit *path = nullptr;
        QLineEdit *address = nullptr;
        QPushButton *choose = nullptr;
        bool complete() const { return enabled && path && address && choose; }
    };
    enum class panelState { Idle, Busy, Success, Failure };

    void buildPanels();
    void buildFileRows();
    void loadSettings();
    void applyLock(bool locked);
    void rebuildPorts(bool force);
    void setPanelState(int panel, panelState state);
    bool panelUsable(int panel) const;
    bool anyPanelSelected() const;
    bool collectImages(QStringList &paths, QList<uint32_t> &addrs);
    void startJobs(bool erase, const QStringList &paths, const QList<uint32_t> &addrs, uint32_t baud,
                   const firmwareImageSet &images = firmwareImageSet());
    void stopRun();
    void startDownload();
    void startErase();
    void stopDownload();
    void stopErase();
    void refreshButtons();
    void showCounters();
    void saveCounters();
    // Stopped and interrupted chips are failures: ok stays false for them.
    void appendRecord(int panel, const chipRecord &record, bool ok = false);
    void openRecords();
    void playSound(bool success);
    void jobEnded(int job);
    void releaseHeldResults(int job, int panel);
    void settleUnfinishedPanels();
    void clearPanels();
    void recordInterruptedChips();
    void rememberSelection(int panel);
    void saveSelection();
    // "全选" shows whether every panel with a port is selected.
    void syncSelectAll();
    // Writes through to the file; addMissing adds keys the file lacks.
    bool saveSettings(const QMap<QString, QString> &values, bool addMissing = false);
    // Said once, in red in the log and in a box, until the fault has gone.
    void reportFault(bool &reported, const QString &text);
    void logLine(const QString &s, const QColor &colour);
    bool logFolderReady();

    Ui::factoryWindow *ui;
    QList<downloadGroupBox *> panels;
    QList<panelWidgets> panelParts;
    QList<fileCfg *> fileRows;
    QList<rowWidgets> rowParts;
    // Guarded: an erase job ends, and is deleted, on its own.
    QList<QPointer<tranThread>> jobs;
    // The panel each job of the current run reports to.
    QList<int> jobPanels;
    // Jobs of stopped runs that still hold their ports.
    QList<QPointer<tranThread>> stopping;
    QList<portRecord> ports;
    QPointer<statisticsWindow> statistics;
    uint32_t allCount = 0;
    uint32_t okCount = 0;
    uint32_t errCount = 0;
    uint8_t mode = 0;
    int downloadDone = 0;
    int eraseDone = 0;
    bool autoRefresh = true;
    bool downloading = false;
    bool erasing = false;
    uint32_t stationCount = 0;
    recordStore *records = nullptr;
    recordOrigin origin;
    QLabel *recordState = nullptr;
    QTimer *refreshTimer;
    QTimer *progressTimer;
    QTimer *testTimer;
    QList<QSoundEffect *> successSounds;
    QList<QSoundEffect *> failSounds;
    int nextSuccessSound = 0;
    int nextFailSound = 0;
    // The selection belongs to the port, not to the panel showing it: a port
    // that goes and comes back is selected again.
    QSet<QString> selectedPorts;
    // Per job of the current run: its end already counted.
    QVector<bool> ended;
    // Per panel, in fixture mode: the last result stays up while its chip is
    // in the fixture; pressSeen once DSR was seen pressed since the result.
    QVector<bool> holding;
    QVector<bool> pressSeen;
    // Per panel: the job has said it waits for the next chip since the result.
    QVector<bool> waiting;
    bool continuousRun = false;
    bool keepGoingRun = false;
    // A double click on a start button must not stop the run it has just
    // started.
    QElapsedTimer runStarted;
    // Counters not yet on disk: written again at every chance.
    bool countersDirty = false;
    int saveRetryTicks = 0;
    // Each fault is reported once until the next success.
    bool settingsFaultShown = false;
    bool logFaultShown = false;
};
