#pragma once
#include <QElapsedTimer>
#include <QList>
#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QVector>
#include <cstdint>
#include <optional>

#include "firmwareimage.h"
#include "productionline.h"
#include "recordstore.h"
#include "serialrule.h"
#include "stationboard.h"
#include "workorder.h"

class QCheckBox;
class QColor;
class QCloseEvent;
class QShowEvent;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSoundEffect;
class QTimer;
class dailyLog;
class downloadGroupBox;
class fileCfg;
class portMonitor;
class statisticsWindow;

namespace Ui {
class factoryWindow;
}

// The production-line screen: one panel per station, five image rows, the
// options, counters and the log. The stations are run, counted and
// recorded by its line controller; the window gathers what a run needs,
// starts and stops it, and shows what the controller emits.
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
    void on_cbSerial_clicked(bool checked);
    void on_pbnSerial_clicked();
    void on_cbPinSockets_clicked(bool checked);
    void on_pbnLoadOrder_clicked();
    void on_pbnUnloadOrder_clicked();
    void on_pbnSaveOrder_clicked();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    enum class runState { idle, downloading, erasing, stopping };

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

    void buildPanels();
    void buildFileRows();
    void connectWidgets();
    void loadSounds();
    void loadSettings();
    void openRecords();
    void applyLock(bool locked);
    void followPorts();
    void renderPanel(int panel);
    void renderPanels();
    bool anyPanelSelected() const;
    bool collectImages(QStringList &paths, QList<uint32_t> &addrs, const serialRule *serial);
    bool checkPlan(const QList<int> &rows, const QStringList &paths, const QList<uint32_t> &addrs,
                   const serialRule *serial);
    // The serial values' store for a run, open, or null when the settings
    // or the database refuse (said in the log).
    std::shared_ptr<chipSerialSource> openSerials(const serialRule &rule);
    // Reads the serial settings into shownRule (a list file is read here,
    // not at every chip), then shows the next value.
    void readSerialRule();
    // "下一个：…" beside the serial box: the value the next chip gets.
    void showNextSerial();
    QVector<lineStation> selectedStations();
    bool startRun(const lineJob &job, runState state);
    void startDownload();
    void startErase();
    void stopRun();
    void refreshButtons();
    void showCounters();
    void saveCounters();
    void playSound(bool success);
    void stationChanged(int station);
    void chipCounted(int station, chipOutcome outcome, const chipRecord &record);
    void jobLine(int station, lineKind kind, const QString &text);
    void refuseStart(const QString &text);
    void rememberSelection(int panel);
    void saveSelection();
    // Why the selection check could not open a port, as far as can be seen.
    void logRefusal(const QString &port, const QString &device);
    void savePins();
    // "全选" shows whether every panel with a port is selected.
    void syncSelectAll();
    // Writes through to the file; addMissing adds keys the file lacks.
    bool saveSettings(const QMap<QString, QString> &values, bool addMissing = false);
    // Said once, in red in the log and in a box, until the fault has gone.
    void reportFault(bool &reported, const QString &text);
    void showFault(const QString &text);
    void showPendingFaults();
    // Closing: false when the operator keeps a run going.
    bool stopRunForClose();
    void saveForExit();
    void logLine(const QString &s, const QColor &colour);
    // True when every row is on the disk, or the operator lets the rest go.
    bool unwrittenRowsLetGo();

    // What the file rows, speed and options held before an order took them
    // over, put back when it goes; the settings file never sees the order's.
    struct formState {
        struct row {
            bool enabled = false;
            QString path;
            QString address;
        };
        QList<row> rows;
        QString baud;
        QMap<QString, bool> boxes;
    };
    formState readForm() const;
    void writeForm(const formState &state);
    QList<QCheckBox *> orderOptionBoxes() const;
    void loadOrder(const QString &path);
    void unloadOrder();
    // The order's good chips in the records; false when they cannot be read.
    bool tallyLoadedOrder(QString *error);
    // The order's part of a run, or why it must not start.
    QString orderJob(lineJob *job);
    void showOrder();

    Ui::factoryWindow *ui;
    QList<downloadGroupBox *> panels;
    QList<panelWidgets> panelParts;
    // What each panel's port tooltip was made for: it asks the system about
    // the adapter, so it is made again only when the port or socket changes.
    QVector<QString> tooltipFor;
    QList<fileCfg *> fileRows;
    QList<rowWidgets> rowParts;
    stationBoard board;
    portMonitor *monitor = nullptr;
    dailyLog *daily = nullptr;
    QPointer<statisticsWindow> statistics;
    runState run = runState::idle;
    bool autoRefresh = true;
    uint32_t stationCount = 0;
    recordStore *records = nullptr;
    recordServer server;
    // The serial rule the settings make, and why not when they make none.
    bool serialOn = false;
    serialRule shownRule;
    QString serialProblem;
    productionLine *line = nullptr;
    recordOrigin origin;
    QLabel *recordState = nullptr;
    // The panel each station of the current run shows.
    QVector<int> stationPanel;
    // The run waits on its fixtures (DSR).
    bool fixtureRun = false;
    // Stations that have said they wait for a chip since their last one.
    QSet<int> waitingTold;
    QTimer *progressTimer;
    QTimer *testTimer;
    QList<QSoundEffect *> successSounds;
    QList<QSoundEffect *> failSounds;
    int nextSuccessSound = 0;
    int nextFailSound = 0;
    // The selection belongs to the port, not to the panel showing it: a port
    // that goes and comes back is selected again. A station pinned to a
    // socket is selected by its socket, whatever its port is called.
    QSet<QString> selectedPorts;
    // A double click on a start button must not stop the run it has just
    // started.
    QElapsedTimer runStarted;
    // Counters not yet on disk: written again at every chance.
    bool countersDirty = false;
    int saveRetryTicks = 0;
    // Each fault is reported once until the next success.
    bool settingsFaultShown = false;
    // Faults said before the window was on screen, for their boxes.
    QStringList pendingFaults;
    // The production order loaded, if any, and who runs it.
    std::optional<workOrder> order;
    QString orderOperator;
    // The order's good chips in the records before the current run; -1:
    // unknown.
    qint64 orderDoneBefore = -1;
    formState beforeOrder;
};
