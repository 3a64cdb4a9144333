#include "factorywindow.h"

#include "appglobals.h"
#include "cfgfile.h"
#include "chipinfo.h"
#include "orderdialog.h"
#include "downloadgroupbox.h"
#include "filecfg.h"
#include "portlist.h"
#include "recordstore.h"
#include "resultcodes.h"
#include "serialdialog.h"
#include "serialstore.h"
#include "statisticswindow.h"
#include "dailylog.h"
#include "imageplan.h"
#include "portmonitor.h"
#include "ui_factorywindow.h"

#include <QAudioDeviceInfo>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSerialPort>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSoundEffect>
#include <QStatusBar>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>

namespace {
constexpr int kFileRowCount = 5;
constexpr int kFileRowHeight = 30;
// Two columns of panels, none taller than this; the log takes the rest.
constexpr int kPanelColumns = 2;
constexpr int kMaxPanelHeight = 50;
constexpr int kRefreshMs = 100;
// Panels are drawn at this pace during a run, whatever the number of
// stations reporting in between.
constexpr int kProgressMs = 50;
// A window closed during a run waits this long for its stations' last
// results before it goes.
constexpr int kCloseWaitMs = 10000;
// Rows take milliseconds to reach the disk; one that has not taken them by
// then is asked about.
constexpr int kCloseFlushMs = 2000;
// Players per sound, taken in turn, so that results of one poll each get
// their own sound instead of restarting one player.
constexpr int kSoundVoices = 4;
// A day on a busy line writes tens of thousands of lines; the view keeps
// the latest, the daily file keeps them all.
constexpr int kLogViewBlocks = 20000;
constexpr char kNoPort[] = "NONE";
constexpr char kStationEnded[] = "工位已停止";
// A pinned station whose socket holds no adapter now.
constexpr char kEmptySocket[] = "空插口";
constexpr char kBootHelpUrl[] = "https://fae.vqchip.com/tools/uart-boot-adapter";
// A second click on a start button this soon after a run started is the
// rest of a double click, not a stop.
constexpr qint64 kDoubleClickMs = 500;
constexpr int kSaveRetryTicks = 1000 / kRefreshMs;
// Extra settings keys, added to the file the first time they change.
constexpr char kSelectedPortsKey[] = "selected_ports";
constexpr char kKeepGoingKey[] = "continue_fail_flag";
constexpr char kPinSocketsKey[] = "socket_flag";
// Each panel's pinned socket, in order, separated by commas (by-path names
// have none).
constexpr char kStationSocketsKey[] = "station_sockets";

const QString &lookText(panelLook look)
{
    static const QString texts[] = {QStringLiteral("空 闲"), QStringLiteral("烧录中"), QStringLiteral("成 功"),
                                    QStringLiteral("失 败")};
    return texts[static_cast<int>(look)];
}

const QString &lookStyle(panelLook look)
{
    static const QString styles[] = {
        QStringLiteral("background-color:LightBlue;"), QStringLiteral("background-color:Yellow;"),
        QStringLiteral("background-color:LightGreen;"), QStringLiteral("background-color:Red;")};
    return styles[static_cast<int>(look)];
}

template <typename T>
void setIfChanged(T *widget, const QString &text)
{
    if (widget->text() != text)
        widget->setText(text);
}

QString flagText(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

// Hex digits, with or without 0x; false for anything else (an empty field
// included), rather than reading it as address 0.
bool parseAddress(const QString &text, uint32_t &address)
{
    QString digits = text.trimmed();
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        digits = digits.mid(2);
    static const QRegularExpression hexDigits(QStringLiteral("^[0-9A-Fa-f]{1,8}$"));
    if (!hexDigits.match(digits).hasMatch())
        return false;
    address = digits.toUInt(nullptr, 16);
    return true;
}

void appendPlainLine(QTextEdit *view, const QString &line, const QColor &colour = QColor())
{
    // Inserted as plain text: a path or reply with '<' must not turn into
    // markup. The view follows new lines unless the operator has clicked
    // somewhere above to read.
    const bool following = view->textCursor().atEnd();
    QTextCursor cursor(view->document());
    cursor.movePosition(QTextCursor::End);
    if (!view->document()->isEmpty())
        cursor.insertBlock();
    QTextCharFormat format;
    if (colour.isValid())
        format.setForeground(colour);
    cursor.insertText(line, format);
    if (following)
        view->moveCursor(QTextCursor::End);
}
} // namespace


factoryWindow::factoryWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::factoryWindow)
    , board(static_cast<int>(deviceCount))
    , stationCount(deviceCount)
    , progressTimer(new QTimer(this))
    , testTimer(new QTimer(this))
{
    ui->setupUi(this);
    ui->textEdit->document()->setMaximumBlockCount(kLogViewBlocks);
    progressTimer->setObjectName(QStringLiteral("progressTimer"));
    progressTimer->setInterval(kProgressMs);
    testTimer->setObjectName(QStringLiteral("testTimer"));
    daily = new dailyLog(this);
    connect(daily, &dailyLog::fault, this, &factoryWindow::showFault);

    buildPanels();
    buildFileRows();
    openRecords();
    loadSettings();
    showCounters();
    connectWidgets();
    loadSounds();

    monitor = new portMonitor(kRefreshMs, this);
    connect(monitor, &portMonitor::ticked, this, &factoryWindow::updateUartInfo);
    connect(monitor, &portMonitor::portsChanged, this, &factoryWindow::followPorts);
    // Panels show real ports (or "NONE") from the start, never the form's
    // placeholder name.
    monitor->refresh();
    followPorts();
    renderPanels();
    connect(progressTimer, &QTimer::timeout, this, &factoryWindow::udateProcess);
    connect(testTimer, &QTimer::timeout, this, &factoryWindow::test);

    appendPlainLine(ui->textEdit, QStringLiteral("当前版本号：") + QLatin1String(kProgramVersion));
    showOrder();
}

void factoryWindow::connectWidgets()
{
    for (int i = 0; i < panels.size(); ++i) {
        if (!panelParts.at(i).radio) {
            qDebug() << "can not find radioButton.";
            continue;
        }
        connect(panelParts.at(i).radio, &QRadioButton::clicked, this, [this, i] {
            checkUartStatus(i);
            rememberSelection(i);
        });
    }
    for (int i = 0; i < rowParts.size(); ++i) {
        const rowWidgets &row = rowParts.at(i);
        if (!row.complete()) {
            qDebug() << "can not find pushButton.";
            continue;
        }
        connect(row.choose, &QPushButton::clicked, this, [this, i] { getFilePath(i); });
        acceptHexOnly(row.address);
        connect(row.enabled, &QCheckBox::stateChanged, this, qOverload<int>(&factoryWindow::writeFileCfgToJSON));
        connect(row.path, &QLineEdit::textChanged, this, qOverload<QString>(&factoryWindow::writeFileCfgToJSON));
        connect(row.address, &QLineEdit::textChanged, this, qOverload<QString>(&factoryWindow::writeFileCfgToJSON));
    }
}

void factoryWindow::loadSounds()
{
    // A machine without an audio output stays silent rather than queueing
    // sounds into a backend that cannot play them.
    if (QAudioDeviceInfo::defaultOutputDevice().isNull())
        return;
    for (int v = 0; v < kSoundVoices; ++v) {
        auto *ok = new QSoundEffect(this);
        ok->setSource(QUrl(QStringLiteral("qrc:/sound/SOUND/success.wav")));
        successSounds.append(ok);
        auto *fail = new QSoundEffect(this);
        fail->setSource(QUrl(QStringLiteral("qrc:/sound/SOUND/fail.wav")));
        failSounds.append(fail);
    }
}

void factoryWindow::openRecords()
{
    // log/ of the working folder, which the program makes its own; the
    // user's data folder where that cannot be written.
    const lineLogFolder folder = lineLogFolderOf(QDir::currentPath());
    daily->setFolder(folder.path);
    if (!folder.note.isEmpty())
        log(folder.note);
    recordStoreOptions options;
    options.databasePath = folder.path + QStringLiteral("/production.db");
    options.csvDailyFolder = folder.path;
    QString problem;
    if (!readRecordServer(recordServerConfigPath(), &options.server, &problem))
        log(problem);
    server = options.server;
    origin = defaultOrigin();
    origin.line = lineName();
    origin.toolVersion = QLatin1String(kProgramVersion);
    records = new recordStore(options, this);
    recordState = new QLabel(this);
    recordState->setObjectName(QStringLiteral("lbRecordState"));
    statusBar()->addPermanentWidget(recordState);
    // Both arrive queued from the store's threads; the state is a few
    // atomic words, so the label never waits on a disk or a server.
    connect(records, &recordStore::problem, this, &factoryWindow::log);
    connect(records, &recordStore::stateChanged, this, [this] { recordState->setText(records->state().text()); });
    recordState->setText(records->state().text());

    line = new productionLine(records, origin, this);
    connect(line, &productionLine::stationChanged, this, &factoryWindow::stationChanged);
    connect(line, &productionLine::chipCounted, this, &factoryWindow::chipCounted);
    connect(line, &productionLine::lineLogged, this, &factoryWindow::jobLine);
    connect(line, &productionLine::countersChanged, this, [this] {
        // Counters first: once a chip is in the record, its count is on disk.
        saveCounters();
        showCounters();
    });
    connect(line, &productionLine::runEnded, this, &factoryWindow::myThreadFinished);
    connect(line, &productionLine::orderCompleted, this, [this] {
        log(QStringLiteral("工单已完成：%1（已完成 %2 / %3），各工位烧完手中的芯片后停止")
                .arg(order ? order->name : QString())
                .arg(line->orderDone())
                .arg(order ? order->quantity : 0));
        showOrder();
    });
}

factoryWindow::~factoryWindow()
{
    testTimer->stop();
    progressTimer->stop();
    // Whatever the stations still report is counted and recorded before the
    // counters are saved for the last time.
    line->finishNow(kCloseWaitMs);
    saveForExit();
    delete line;
    line = nullptr;
    qDebug() << "exit";
    delete ui;
}

void factoryWindow::buildPanels()
{
    auto *grid = ui->panelGrid;
    for (int c = 0; c < kPanelColumns; ++c)
        grid->setColumnStretch(c, 1);
    for (uint32_t i = 0; i < stationCount; ++i) {
        auto *panel = new downloadGroupBox(ui->downloadPanel);
        panel->setObjectName(QStringLiteral("panel%1").arg(i));
        panel->setMaximumHeight(kMaxPanelHeight);
        grid->addWidget(panel, static_cast<int>(i) / kPanelColumns, static_cast<int>(i) % kPanelColumns);
        panels.append(panel);
        panelWidgets w;
        w.radio = panel->findChild<QRadioButton *>(QStringLiteral("radioButton"));
        w.port = panel->findChild<QLabel *>(QStringLiteral("label_port"));
        w.dsr = panel->findChild<QLabel *>(QStringLiteral("label_dsr"));
        w.progress = panel->findChild<QProgressBar *>(QStringLiteral("progressBar"));
        w.status = panel->findChild<QLabel *>(QStringLiteral("label_sta"));
        // Room for the longest thing the label says, so that no panel's
        // bar moves when a station ends.
        if (w.dsr)
            w.dsr->setMinimumWidth(w.dsr->fontMetrics().horizontalAdvance(kStationEnded));
        if (!w.progress)
            qDebug() << "can not find progressBar.";
        panelParts.append(w);
    }
    tooltipFor.resize(panelParts.size());
    // An odd last panel and a single station take a row of their own.
    const int rows = (static_cast<int>(stationCount) + kPanelColumns - 1) / kPanelColumns;
    ui->downloadPanel->setMaximumHeight(rows * kMaxPanelHeight);
}

void factoryWindow::buildFileRows()
{
    for (int i = 0; i < kFileRowCount; ++i) {
        auto *row = new fileCfg(ui->fileCfgPanel);
        row->setObjectName(QStringLiteral("fileRow%1").arg(i));
        row->setFixedHeight(kFileRowHeight);
        ui->fileRowsLayout->addWidget(row);
        fileRows.append(row);
        rowWidgets w;
        w.enabled = row->findChild<QCheckBox *>(QStringLiteral("checkBox"));
        w.path = row->findChild<QLineEdit *>(QStringLiteral("lineEdit"));
        w.address = row->findChild<QLineEdit *>(QStringLiteral("lineEdit_2"));
        w.choose = row->findChild<QPushButton *>(QStringLiteral("pushButton"));
        rowParts.append(w);
    }
}

void factoryWindow::loadSettings()
{
    QString keptAside;
    if (!ensureDefaults(kFileRowCount, &keptAside))
        log(QStringLiteral("未检测到配置文件，已重新创建默认配置文件。"));
    if (!keptAside.isEmpty())
        log(QStringLiteral("原配置文件无法读取，已另存为：") + QDir::toNativeSeparators(keptAside));
    // A missing key keeps its own default, never the value of the key read
    // before it.
    const auto text = [](const QString &key, const QString &fallback = QString()) {
        QString value = fallback;
        readValue(key, value);
        return value;
    };
    const auto flag = [&](const QString &key) { return text(key).toUInt() == 1; };

    for (int n = 0; n < rowParts.size(); ++n) {
        const rowWidgets &row = rowParts.at(n);
        if (!row.complete())
            continue;
        row.path->setText(text(QStringLiteral("file_path_%1").arg(n)));
        row.enabled->setChecked(text(QStringLiteral("path_sta_%1").arg(n)).toUInt() != 0);
        row.address->setText(text(QStringLiteral("file_addr_%1").arg(n)));
    }
    lineCounters counters;
    counters.total = text(QStringLiteral("all_cnt")).toUInt();
    counters.good = text(QStringLiteral("ok_cnt")).toUInt();
    counters.failed = text(QStringLiteral("err_cnt")).toUInt();
    line->setCounters(counters);
    ui->lineEdit->setText(text(QStringLiteral("baud_rate"), ui->lineEdit->text()));
    const bool locked = flag(QStringLiteral("lock_flag"));
    ui->cbLockUI->setChecked(locked);
    applyLock(locked);
    ui->cbAutoReset->setChecked(flag(QStringLiteral("reset_flag")));
    ui->cbHighSpeedFlag->setChecked(flag(QStringLiteral("high_flag")));
    ui->cbDsrCtl->setChecked(flag(QStringLiteral("continue_flag")));
    QString boot;
    if (readValue(QStringLiteral("boot_flag"), boot)) {
        ui->cbBootCtl->setChecked(boot.toUInt() == 1);
    } else {
        ui->cbBootCtl->setChecked(false);
        addValue(QStringLiteral("boot_flag"), QStringLiteral("0"));
    }
    ui->cbKeepGoing->setChecked(flag(QLatin1String(kKeepGoingKey)));
    for (const QString &port : text(QLatin1String(kSelectedPortsKey)).split(QLatin1Char(','), Qt::SkipEmptyParts))
        selectedPorts.insert(port.trimmed());
    // Off until it has met real chips: a file without the key (every file
    // until the box is first clicked) leaves it off.
    QString fast;
    ui->cbFastLoad->setChecked(readValue(QStringLiteral("fast_flag"), fast) && fast.toUInt() == 1);
    const bool pinning = flag(QLatin1String(kPinSocketsKey));
    ui->cbPinSockets->setChecked(pinning);
    if (pinning) {
        board.restorePins(text(QLatin1String(kStationSocketsKey)).split(QLatin1Char(',')));
        board.setPinning(true);
    }
    ui->cbSerial->setChecked(serialSettings::read().enabled);
    readSerialRule();
}

void factoryWindow::applyLock(bool locked)
{
    for (QWidget *w : {static_cast<QWidget *>(ui->cbRefreshUart), static_cast<QWidget *>(ui->pushButton),
                       static_cast<QWidget *>(ui->cbPinSockets)})
        w->setEnabled(!locked);
    // What a loaded order fixes stays as the order says, lock or no lock.
    for (QWidget *w : {static_cast<QWidget *>(ui->fileCfgPanel), static_cast<QWidget *>(ui->cbAutoReset),
                       static_cast<QWidget *>(ui->cbHighSpeedFlag), static_cast<QWidget *>(ui->cbBootCtl),
                       static_cast<QWidget *>(ui->cbDsrCtl), static_cast<QWidget *>(ui->cbFastLoad),
                       static_cast<QWidget *>(ui->lineEdit), static_cast<QWidget *>(ui->cbKeepGoing),
                       static_cast<QWidget *>(ui->cbSerial), static_cast<QWidget *>(ui->pbnSerial)})
        w->setEnabled(!locked && !order);
    // The erase button follows the lock through the run state.
    refreshButtons();
}

void factoryWindow::updateUartInfo()
{
    // Counts that could not be saved are tried again about once a second,
    // also when no chip comes to trigger it.
    if (countersDirty && ++saveRetryTicks % kSaveRetryTicks == 0)
        saveCounters();
}

void factoryWindow::followPorts()
{
    // During a run every panel stays with its station; between runs the
    // panels follow the ports when the operator wants them to.
    const bool frozen = run != runState::idle;
    if (!frozen && !autoRefresh)
        return;
    const QStringList pins = board.pins();
    if (board.followPorts(monitor->ports(), selectedPorts, frozen))
        renderPanels();
    if (board.pins() != pins)
        savePins();
    syncSelectAll();
}

void factoryWindow::renderPanel(int i)
{
    const panelWidgets &w = panelParts.at(i);
    if (!w.complete()) {
        qDebug() << "can not find radioButton.";
        return;
    }
    const panelModel &m = board.panel(i);
    // A pinned station whose socket was emptied after its chip keeps that
    // chip's result up, as a panel whose port went does.
    const bool hasPort = !m.port.isEmpty() || m.held;
    setIfChanged(w.port, !m.port.isEmpty() ? m.port
                         : m.pinned        ? QString::fromUtf8(kEmptySocket)
                                           : QString::fromLatin1(kNoPort));
    const QString tipKey = m.port + QLatin1Char('\n') + m.socket;
    if (tooltipFor.value(i) != tipKey) {
        tooltipFor[i] = tipKey;
        w.port->setToolTip(!m.port.isEmpty() ? portTooltip(m.port)
                           : m.pinned        ? QStringLiteral("USB插口：%1\n该插口中没有串口").arg(m.socket)
                                             : QString());
    }
    w.port->setEnabled(m.present);
    w.radio->setEnabled(m.present);
    w.radio->setChecked(m.selected);
    w.progress->setEnabled(hasPort);
    w.status->setEnabled(hasPort);
    if (w.progress->value() != (hasPort ? m.percent : 0))
        w.progress->setValue(hasPort ? m.percent : 0);
    // A result shows the value its chip got in place of the percentage.
    const QString format = hasPort && m.held && !m.serial.isEmpty() ? m.serial : QStringLiteral("%p%");
    if (w.progress->format() != format)
        w.progress->setFormat(format);
    // A panel without a port claims nothing, least of all a result.
    setIfChanged(w.status, hasPort ? lookText(m.look) : QString());
    const QString style = hasPort ? lookStyle(m.look) : QString();
    if (w.status->styleSheet() != style)
        w.status->setStyleSheet(style);
    if (m.ended)
        setIfChanged(w.dsr, QString::fromUtf8(kStationEnded));
    else
        setIfChanged(w.dsr, m.dsr < 0 ? QStringLiteral("DSR:N ") : QStringLiteral("DSR:%1 ").arg(m.dsr));
}

void factoryWindow::renderPanels()
{
    for (int i = 0; i < panelParts.size(); ++i)
        renderPanel(i);
}

bool factoryWindow::anyPanelSelected() const
{
    for (int i = 0; i < board.size(); ++i) {
        if (board.usable(i))
            return true;
    }
    return false;
}

void factoryWindow::checkUartStatus(int id)
{
    if (id < 0 || id >= panelParts.size() || !panelParts.at(id).complete())
        return;
    const panelWidgets &w = panelParts.at(id);
    if (!w.radio->isChecked())
        return;
    const QString port = board.panel(id).port;
    if (port.isEmpty() || !board.panel(id).present) {
        w.radio->setChecked(false);
        return;
    }
    // During a run the port may be a job's; a selection then only counts for
    // the next run.
    if (run != runState::idle)
        return;
    QSerialPort probe;
    const QString device = portDevicePath(port);
    probe.setPortName(device);
    if (!probe.open(QIODevice::ReadWrite)) {
        logRefusal(port, device);
        w.radio->setChecked(false);
    }
    probe.close();
}

void factoryWindow::logRefusal(const QString &port, const QString &device)
{
    portAccess access = examinePortAccess(device);
    if (access.state == portState::NoPermission) {
        log(port + QStringLiteral("无法打开！"));
        for (const QString &why : openProblemText(port, device, access))
            log(why);
        return;
    }
    // Refused though this user may open it: someone holds it, seen or not.
    access.state = portState::Busy;
    log(port + QStringLiteral("被其它工具占用，无法打开！"));
    // The holder, where it can be seen; the first line says what the one
    // above does.
    for (const QString &why : openProblemText(port, device, access).mid(1))
        log(why);
}

void factoryWindow::getFilePath(int id)
{
    // Remembered for the whole program run.
#ifdef Q_OS_WIN
    static QString folder = QStringLiteral("C:");
#else
    static QString folder = QDir::homePath();
#endif
    if (id < 0 || id >= rowParts.size() || !rowParts.at(id).path) {
        qDebug() << "can not find lineEdit." << __FILE__ << __LINE__;
        return;
    }
    // A row is most often given the next build from the folder of its last.
    const QString current = rowParts.at(id).path->text().trimmed();
    const QString currentFolder = current.isEmpty() ? QString() : QFileInfo(current).absolutePath();
    const QString start = !currentFolder.isEmpty() && QDir(currentFolder).exists() ? currentFolder : folder;
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("打开文件"), start,
                                                      QStringLiteral("固件文件(*.bin  *.img)"));
    if (!path.isEmpty())
        folder = QFileInfo(path).absolutePath();
    if (path.isEmpty() || (!path.endsWith(QLatin1String(".bin")) && !path.endsWith(QLatin1String(".img")))) {
        log(QStringLiteral("选中了无效的文件，请重新选择烧录文件！"));
        return;
    }
    rowParts.at(id).path->setText(path);
}

void factoryWindow::writeFileCfgToJSON(QString)
{
    writeFileCfgToJSON(0);
}

void factoryWindow::writeFileCfgToJSON(int)
{
    QMap<QString, QString> values;
    for (int n = 0; n < rowParts.size(); ++n) {
        const rowWidgets &row = rowParts.at(n);
        if (!row.complete())
            continue;
        const bool on = row.enabled->isChecked();
        values.insert(QStringLiteral("file_path_%1").arg(n), on ? row.path->text() : QString());
        values.insert(QStringLiteral("file_addr_%1").arg(n), on ? row.address->text() : QString());
        values.insert(QStringLiteral("path_sta_%1").arg(n), flagText(on));
    }
    saveSettings(values);
}

bool factoryWindow::saveSettings(const QMap<QString, QString> &values, bool addMissing)
{
    // Every success below is a write that reached the disk: a key whose
    // value the file already holds must not count as the fault gone.
    bool lost = false;
    if (!writeValues(values, &lost) && !lost && addMissing) {
        for (auto it = values.cbegin(); it != values.cend() && !lost; ++it) {
            QString present;
            if (!readValue(it.key(), present))
                lost = !addValue(it.key(), it.value());
        }
    }
    if (!lost) {
        settingsFaultShown = false;
        return true;
    }
    reportFault(settingsFaultShown, QStringLiteral("配置文件无法保存，设置和计数暂时只保存在界面上，将在下次变化时重试：")
                                        + QDir::toNativeSeparators(cfgFilePath()));
    return false;
}

void factoryWindow::saveForExit()
{
    const lineCounters &c = line->counters();
    // The operator's own speed, not a loaded order's.
    saveSettings({{QStringLiteral("all_cnt"), QString::number(c.total)},
                  {QStringLiteral("ok_cnt"), QString::number(c.good)},
                  {QStringLiteral("err_cnt"), QString::number(c.failed)},
                  {QStringLiteral("baud_rate"), order ? beforeOrder.baud : ui->lineEdit->text()}});
}

void factoryWindow::reportFault(bool &reported, const QString &text)
{
    if (reported)
        return;
    // Raised first: the log line below may meet the same fault.
    reported = true;
    showFault(text);
}

void factoryWindow::showFault(const QString &text)
{
    logLine(text, QColor(Qt::red));
    pendingFaults << text;
    // A box shown before the window is would open wherever the screen has
    // room, under the window that comes up next.
    if (isVisible())
        showPendingFaults();
}

void factoryWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // Once the window is placed and drawn.
    QTimer::singleShot(0, this, &factoryWindow::showPendingFaults);
}

void factoryWindow::showPendingFaults()
{
    for (const QString &text : qAsConst(pendingFaults)) {
        // Not modal: the stations keep running while the box is up.
        auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("警告"), text, QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setModal(false);
        box->show();
        QRect frame = box->frameGeometry();
        frame.moveCenter(frameGeometry().center());
        box->move(frame.topLeft());
    }
    pendingFaults.clear();
}

void factoryWindow::log(QString s)
{
    logLine(s, QColor());
}

void factoryWindow::logLine(const QString &s, const QColor &colour)
{
    const QString line = QLatin1Char('[') + QTime::currentTime().toString(QStringLiteral("hh:mm:ss"))
                         + QStringLiteral("] ") + s;
    appendPlainLine(ui->textEdit, line, colour);
    daily->write(line);
}

void factoryWindow::stationChanged(int station)
{
    if (station < 0 || station >= stationPanel.size())
        return;
    const int panel = stationPanel.at(station);
    const stationStatus &s = line->station(station);
    board.showStation(panel, s, fixtureRun);
    renderPanel(panel);
    // Said once each time the station starts to wait for a chip.
    if (s.activity != stationActivity::waiting) {
        waitingTold.remove(station);
    } else if (!waitingTold.contains(station)) {
        waitingTold.insert(station);
        log(QLatin1Char('[') + s.port + QStringLiteral("]等待新的芯片..."));
    }
}

void factoryWindow::chipCounted(int station, chipOutcome outcome, const chipRecord &record)
{
    const QString prefix = QLatin1Char('[') + record.portName + QLatin1Char(']');
    // The chip's own time, as its production record keeps it.
    const QString took = QStringLiteral("（用时%1秒）").arg(record.seconds, 0, 'f', 2);
    switch (outcome) {
    case chipOutcome::good:
        playSound(true);
        log(prefix + QStringLiteral("下载成功") + took);
        if (order)
            showOrder();
        break;
    case chipOutcome::failed:
        playSound(false);
        log(prefix + (record.erase ? QStringLiteral("擦除失败") : QStringLiteral("下载失败")) + took);
        break;
    case chipOutcome::stopped:
    case chipOutcome::erased:
        break;
    }
    Q_UNUSED(station)
    if (serialOn)
        showNextSerial();
}

void factoryWindow::jobLine(int station, lineKind kind, const QString &text)
{
    Q_UNUSED(kind)
    const QString port = station >= 0 && station < line->stationCount() ? line->station(station).port : QString();
    log(QLatin1Char('[') + port + QLatin1Char(']') + text);
}

void factoryWindow::udateProcess()
{
    // Panels follow their stations as the controller reports them; this
    // pass only catches a panel whose widgets were changed behind its back
    // (a click on a running station's radio button).
    for (int panel : qAsConst(stationPanel))
        renderPanel(panel);
}

void factoryWindow::playSound(bool success)
{
    QList<QSoundEffect *> &voices = success ? successSounds : failSounds;
    if (voices.isEmpty())
        return;
    int &next = success ? nextSuccessSound : nextFailSound;
    voices.at(next)->play();
    next = (next + 1) % voices.size();
}

void factoryWindow::showCounters()
{
    const lineCounters &c = line->counters();
    ui->downloadCnt->setText(QString::number(c.total));
    ui->downloadOkCnt->setText(QString::number(c.good));
    ui->downloadErrCnt->setText(QString::number(c.failed));
}

void factoryWindow::saveCounters()
{
    const lineCounters &c = line->counters();
    countersDirty = !saveSettings({{QStringLiteral("all_cnt"), QString::number(c.total)},
                                   {QStringLiteral("ok_cnt"), QString::number(c.good)},
                                   {QStringLiteral("err_cnt"), QString::number(c.failed)}});
}

void factoryWindow::test()
{
}

void factoryWindow::myThreadFinished()
{
    qDebug() << "exit";
    progressTimer->stop();
    const runState was = run;
    run = runState::idle;
    if (order && !line->erasing())
        orderDoneBefore = line->orderDone();
    udateProcess();
    if (was == runState::erasing || ui->pbnEarse->text() != QStringLiteral("整片擦除"))
        ui->pbnEarse->setText(QStringLiteral("整片擦除"));
    ui->pbnStartDownload->setText(QStringLiteral("开始下载"));
    stationPanel.clear();
    followPorts();
    refreshButtons();
    if (order)
        showOrder();
}

void factoryWindow::refreshButtons()
{
    const bool downloading = run == runState::downloading;
    const bool erasing = run == runState::erasing;
    // A new run waits until every job of the last one has let go of its port.
    ui->pbnStartDownload->setEnabled(run == runState::idle || downloading);
    // Under the lock an erase can be stopped, never started.
    ui->pbnEarse->setEnabled(erasing || (run == runState::idle && !ui->cbLockUI->isChecked()));
    // Orders change between runs, and not under the lock.
    const bool free = run == runState::idle && !ui->cbLockUI->isChecked();
    ui->pbnLoadOrder->setEnabled(free);
    ui->pbnUnloadOrder->setEnabled(free && order);
    ui->pbnSaveOrder->setEnabled(free);
}

void factoryWindow::loadStyle(QString qssFile)
{
    QFile file(qssFile);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    setStyleSheet(QString::fromUtf8(file.readAll()));
}

bool factoryWindow::collectImages(QStringList &paths, QList<uint32_t> &addrs, const serialRule *serial)
{
    QList<int> rows;
    for (int n = 0; n < rowParts.size(); ++n) {
        const rowWidgets &row = rowParts.at(n);
        if (!row.complete() || !row.enabled->isChecked())
            continue;
        const QString path = row.path->text();
        uint32_t address = 0;
        const QString where = QStringLiteral("（第%1行").arg(n + 1);
        if (path.isEmpty()) {
            log(QStringLiteral("未正确设置烧录文件路径或烧录的起始地址！") + where + QStringLiteral("：烧录文件路径为空）"));
            return false;
        }
        if (!parseAddress(row.address->text(), address)) {
            log(QStringLiteral("未正确设置烧录文件路径或烧录的起始地址！") + where
                + QStringLiteral("：烧录地址“%1”无效）").arg(row.address->text()));
            return false;
        }
        // A job would find out only after loading the RAM code, on every
        // station at once.
        QFile file(path);
        if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
            log(QStringLiteral("第%1行的烧录文件不存在或无法读取：%2").arg(n + 1).arg(QDir::toNativeSeparators(path)));
            return false;
        }
        rows << n;
        paths << path;
        addrs << address;
    }
    if (rows.isEmpty()) {
        log(QStringLiteral("请设置烧录文件路径和烧录的起始地址，并使能这个设置！"));
        return false;
    }
    return checkPlan(rows, paths, addrs, serial);
}

bool factoryWindow::checkPlan(const QList<int> &rows, const QStringList &paths, const QList<uint32_t> &addrs,
                              const serialRule *serial)
{
    QVector<imagePlan::image> plan;
    for (int i = 0; i < paths.size(); ++i)
        plan.append({addrs.at(i), QFileInfo(paths.at(i)).size()});
    // The serial value's sector is the serial's alone.
    if (serial)
        plan.append({serial->address, imagePlan::kSectorSize});
    const imagePlan::problem p = imagePlan::check(plan);
    if (!p)
        return true;
    if (p.kind == imagePlan::fault::overlap && p.second == paths.size()) {
        log(QStringLiteral("序列号地址所在的4k扇区与第%1行的烧录区域重叠，请检查序列号地址！").arg(rows.value(p.first) + 1));
        return false;
    }
    const int row = rows.value(p.first) + 1;
    switch (p.kind) {
    case imagePlan::fault::unaligned:
        log(QStringLiteral("烧录地址未进行4k对齐,请检查烧录地址！")
            + QStringLiteral("（第%1行：烧录地址“%2”）").arg(row).arg(rowParts.at(row - 1).address->text()));
        break;
    case imagePlan::fault::empty:
        log(QStringLiteral("第%1行的烧录文件为空：%2").arg(row).arg(QDir::toNativeSeparators(paths.at(p.first))));
        break;
    case imagePlan::fault::pastAddressSpace:
        log(QStringLiteral("第%1行的烧录文件超出32位地址范围，请检查烧录地址！").arg(row));
        break;
    case imagePlan::fault::overlap:
        log(QStringLiteral("第%1行与第%2行的烧录区域重叠，请检查烧录地址！").arg(row).arg(rows.value(p.second) + 1));
        break;
    case imagePlan::fault::pastFlash:
    case imagePlan::fault::none:
        return true;
    }
    return false;
}

QVector<lineStation> factoryWindow::selectedStations()
{
    QVector<lineStation> list;
    stationPanel.clear();
    for (int i = 0; i < board.size(); ++i) {
        if (!board.usable(i))
            continue;
        const panelModel &m = board.panel(i);
        list.append({i + 1, m.port, m.pinned ? m.socket : QString()});
        stationPanel.append(i);
    }
    return list;
}

bool factoryWindow::startRun(const lineJob &job, runState state)
{
    const QVector<lineStation> stations = selectedStations();
    waitingTold.clear();
    if (!line->start(stations, job))
        return false;
    run = state;
    runStarted.start();
    progressTimer->start();
    refreshButtons();
    return true;
}

void factoryWindow::refuseStart(const QString &text)
{
    // A refused start hands the panels back to the port monitor, and no
    // earlier result stays up as if it belonged to this attempt.
    if (!text.isEmpty())
        log(text);
    board.clearResults();
    followPorts();
    renderPanels();
}

void factoryWindow::startDownload()
{
    if (!anyPanelSelected())
        return refuseStart(QStringLiteral("没有选择任何串口，请先选择串口！"));
    log(QStringLiteral("开始下载..."));
    if (daily->folderReady())
        log(QStringLiteral("已创建日志文件，文件存放在log目录中。"));
    lineJob job;
    if (order) {
        const QString refusal = orderJob(&job);
        if (!refusal.isEmpty())
            return refuseStart(refusal);
        serialOn = order->serialOn;
        shownRule = order->serial;
        if (order->serialOn && !(job.serials = openSerials(order->serial)))
            return refuseStart(QString());
    } else {
        serialRule rule;
        const serialSettings serial = serialSettings::read();
        QString why;
        if (serial.enabled && !serial.rule(&rule, &why))
            return refuseStart(why);
        serialOn = serial.enabled;
        shownRule = rule;
        if (!collectImages(job.files, job.addresses, serial.enabled ? &rule : nullptr))
            return refuseStart(QString());
        bool ok = false;
        job.baud = ui->lineEdit->text().trimmed().toUInt(&ok);
        if (!ok || !imagePlan::baudAllowed(job.baud))
            return refuseStart(QStringLiteral("未正确设置波特率，波特率最小为9600，最大为3000000！"));
        saveSettings({{QStringLiteral("baud_rate"), ui->lineEdit->text()}});
        // Read once for the whole run: every station sends these bytes, whatever
        // happens to the files while the run goes on.
        uint32_t loadCode = 0;
        int failedRow = -1;
        job.images = loadFirmwareImages(job.files, job.addresses, loadCode, failedRow);
        if (!job.images)
            return refuseStart(
                QStringLiteral("读取烧录文件失败：%1").arg(QDir::toNativeSeparators(job.files.value(failedRow))));
        job.highSpeed = ui->cbHighSpeedFlag->isChecked();
        job.reset = ui->cbAutoReset->isChecked();
        job.boot = ui->cbBootCtl->isChecked();
        job.fixture = ui->cbDsrCtl->isChecked();
        job.keepGoing = job.fixture && ui->cbKeepGoing->isChecked();
        job.fastLoad = ui->cbFastLoad->isChecked();
        if (serial.enabled && !(job.serials = openSerials(rule)))
            return refuseStart(QString());
    }
    fixtureRun = job.fixture;
    board.clearResults();
    followPorts();
    if (startRun(job, runState::downloading))
        ui->pbnStartDownload->setText(QStringLiteral("停止下载"));
    renderPanels();
}

std::shared_ptr<chipSerialSource> factoryWindow::openSerials(const serialRule &rule)
{
    auto serials = std::make_shared<serialStore>(records->databasePath(), server, rule, origin);
    QString error;
    int voided = 0;
    if (!serials->open(&error, &voided)) {
        log(QStringLiteral("序列号无法保存在生产记录数据库中：%1").arg(error));
        return nullptr;
    }
    if (voided > 0)
        log(QStringLiteral("上次中断的运行预留的%1个序列号已作废，不会再次使用").arg(voided));
    return serials;
}

void factoryWindow::readSerialRule()
{
    const serialSettings settings = serialSettings::read();
    serialOn = settings.enabled;
    serialProblem.clear();
    if (serialOn && !settings.rule(&shownRule, &serialProblem))
        serialOn = false;
    showNextSerial();
}

void factoryWindow::showNextSerial()
{
    if (!serialOn) {
        ui->lbSerialNext->setText(serialProblem.isEmpty() ? QString() : QStringLiteral("设置无效"));
        ui->lbSerialNext->setToolTip(serialProblem);
        return;
    }
    bool usedUp = false;
    const QString next = nextSerialText(records->databasePath(), server, shownRule, &usedUp);
    ui->lbSerialNext->setText(usedUp ? QStringLiteral("序列号已用完")
                              : next.isEmpty() ? QStringLiteral("下一个：由服务器分配")
                                               : QStringLiteral("下一个：") + next);
    ui->lbSerialNext->setToolTip(QStringLiteral("写入地址 0x%1").arg(shownRule.address, 0, 16));
}

void factoryWindow::on_cbSerial_clicked(bool checked)
{
    saveSettings({{QStringLiteral("serial_flag"), flagText(checked)}}, true);
    readSerialRule();
}

void factoryWindow::on_pbnSerial_clicked()
{
    serialDialog dialog(serialSettings::read(), this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    saveSettings(dialog.settings().keys(), true);
    readSerialRule();
}

void factoryWindow::startErase()
{
    if (!anyPanelSelected())
        return refuseStart(QStringLiteral("没有选择任何串口，请先选择串口！"));
    int stations = 0;
    for (int i = 0; i < board.size(); ++i)
        stations += board.usable(i) ? 1 : 0;
    if (!confirmWholeErase(this, stations))
        return;
    log(QStringLiteral("开始擦除..."));
    // The erase runs at the boot speed; the other options do not apply.
    lineJob job;
    job.erase = true;
    job.reset = ui->cbAutoReset->isChecked();
    job.boot = ui->cbBootCtl->isChecked();
    fixtureRun = false;
    board.clearResults();
    followPorts();
    if (startRun(job, runState::erasing))
        ui->pbnEarse->setText(QStringLiteral("停止擦除"));
    renderPanels();
}

void factoryWindow::stopRun()
{
    // The controller counts what was published, records every chip in hand
    // as stopped and says when the last job has let go of its port.
    run = runState::stopping;
    refreshButtons();
    line->stop();
}

void factoryWindow::on_pbnStartDownload_clicked()
{
    // The ports belong to the erase run until it is stopped.
    if (run == runState::erasing || run == runState::stopping)
        return;
    if (run == runState::idle) {
        startDownload();
        return;
    }
    if (runStarted.isValid() && runStarted.elapsed() < kDoubleClickMs)
        return;
    log(QStringLiteral("停止下载！"));
    stopRun();
}

void factoryWindow::on_pbnEarse_clicked()
{
    if (run == runState::downloading || run == runState::stopping)
        return;
    if (run == runState::idle) {
        startErase();
        return;
    }
    if (runStarted.isValid() && runStarted.elapsed() < kDoubleClickMs)
        return;
    log(QStringLiteral("停止擦除！"));
    stopRun();
}

void factoryWindow::on_cbLockUI_stateChanged(int state)
{
    saveSettings({{QStringLiteral("lock_flag"), flagText(state == Qt::Checked)}});
}

void factoryWindow::on_cbAutoReset_stateChanged(int state)
{
    saveSettings({{QStringLiteral("reset_flag"), flagText(state == Qt::Checked)}});
}

void factoryWindow::on_cbHighSpeedFlag_clicked(bool checked)
{
    if (checked)
        warnHighSpeed(this);
    saveSettings({{QStringLiteral("high_flag"), flagText(checked)}});
}

void factoryWindow::on_cbFastLoad_clicked(bool checked)
{
    saveSettings({{QStringLiteral("fast_flag"), flagText(checked)}}, true);
}

void factoryWindow::on_pushButton_clicked()
{
    if (QMessageBox::question(this, QStringLiteral("清零计数"), QStringLiteral("确定要将烧录计数清零吗？"),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        != QMessageBox::Yes)
        return;
    const lineCounters &c = line->counters();
    log(QStringLiteral("已清零计数（烧录总数：%1，烧录成功：%2，烧录失败：%3）").arg(c.total).arg(c.good).arg(c.failed));
    line->setCounters(lineCounters());
}

void factoryWindow::on_pbnStatistics_clicked()
{
    // One window, brought forward when asked for again; it reads on its own
    // thread, so the stations go on undisturbed.
    if (!statistics) {
        statistics = statisticsWindow::forThisLine(this);
        statistics->setAttribute(Qt::WA_DeleteOnClose);
    }
    statistics->show();
    statistics->raise();
    statistics->activateWindow();
}

void factoryWindow::on_cbDsrCtl_clicked(bool checked)
{
    if (checked) {
        QMessageBox::information(
            this, QStringLiteral("消息"),
            QStringLiteral("本模式用于通过检测DSR的状态来判断治具是否下压，一旦检测到DSR的状态有效就开始进行烧录。"
                           "备注：DSR低电平有效，当DSR有效时界面显示DSR:1,请注意硬件接线！"));
    }
    saveSettings({{QStringLiteral("continue_flag"), flagText(checked)}});
}

void factoryWindow::on_cbLockUI_clicked(bool checked)
{
    applyLock(checked);
}

void factoryWindow::on_cbRefreshUart_clicked(bool checked)
{
    autoRefresh = checked;
}

void factoryWindow::on_cbBootCtl_clicked(bool checked)
{
    if (checked) {
        QMessageBox::information(
            this, QStringLiteral("消息"),
            QStringLiteral("本模式用于通过控制串口芯片的DTR和RTS引脚使芯片自动进入串口烧录模式，本模式仅支持特定的串口烧录工具"
                           "（DTR和RTS通过三极管进行控制），具体请联系我司FAE，或参考串口烧录工具说明：")
                + QLatin1String(kBootHelpUrl));
    }
    saveSettings({{QStringLiteral("boot_flag"), flagText(checked)}});
}

void factoryWindow::on_cbKeepGoing_clicked(bool checked)
{
    saveSettings({{QLatin1String(kKeepGoingKey), flagText(checked)}}, true);
}

void factoryWindow::on_cbPinSockets_clicked(bool checked)
{
    // A selected station stays selected under the key it goes by now.
    QList<int> chosen;
    for (int i = 0; i < board.size(); ++i) {
        if (board.panel(i).selected)
            chosen << i;
        selectedPorts.remove(board.selectionKey(i));
    }
    board.setPinning(checked);
    for (int i : qAsConst(chosen))
        selectedPorts.insert(board.selectionKey(i));
    saveSettings({{QLatin1String(kPinSocketsKey), flagText(checked)}}, true);
    savePins();
    saveSelection();
    followPorts();
    renderPanels();
}

void factoryWindow::savePins()
{
    // Added only once pinning is on: a first start keeps its default keys.
    saveSettings({{QLatin1String(kStationSocketsKey), board.pins().join(QLatin1Char(','))}}, board.pinning());
}

void factoryWindow::on_cbSelectAll_clicked(bool checked)
{
    for (int i = 0; i < panelParts.size(); ++i) {
        const panelWidgets &w = panelParts.at(i);
        if (!w.complete() || !w.radio->isEnabled() || w.radio->isChecked() == checked)
            continue;
        w.radio->setChecked(checked);
        checkUartStatus(i);
        rememberSelection(i);
    }
}

void factoryWindow::rememberSelection(int panel)
{
    if (panel < 0 || panel >= panelParts.size() || !panelParts.at(panel).complete())
        return;
    const QString key = board.selectionKey(panel);
    if (key.isEmpty() || !board.panel(panel).present)
        return;
    const bool on = panelParts.at(panel).radio->isChecked();
    if (on)
        selectedPorts.insert(key);
    else
        selectedPorts.remove(key);
    board.setSelected(panel, on);
    saveSelection();
}

void factoryWindow::saveSelection()
{
    QStringList names = selectedPorts.values();
    std::sort(names.begin(), names.end());
    const QString value = names.join(QLatin1Char(','));
    saveSettings({{QLatin1String(kSelectedPortsKey), value}}, true);
    syncSelectAll();
}

void factoryWindow::syncSelectAll()
{
    bool all = false;
    for (int i = 0; i < board.size(); ++i) {
        if (!board.panel(i).present)
            continue;
        all = board.panel(i).selected;
        if (!all)
            break;
    }
    ui->cbSelectAll->setChecked(all);
}

void factoryWindow::closeEvent(QCloseEvent *event)
{
    // Each step may ask the operator; a "no" keeps the window open.
    if (!stopRunForClose() || !unwrittenRowsLetGo()) {
        event->ignore();
        return;
    }
    saveForExit();
    event->accept();
}

bool factoryWindow::stopRunForClose()
{
    if (run == runState::idle)
        return true;
    if (QMessageBox::question(this, QStringLiteral("退出"), QStringLiteral("正在烧录，确定要停止烧录并关闭窗口吗？"),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        != QMessageBox::Yes)
        return false;
    // The run may have ended by itself while the question was up.
    if (run == runState::idle)
        return true;
    // The same stop as the button's, without waiting to bring the chips
    // back: every chip in hand is counted and recorded before the window
    // goes.
    log(run == runState::erasing ? QStringLiteral("停止擦除！") : QStringLiteral("停止下载！"));
    line->finishNow(kCloseWaitMs);
    return true;
}

bool factoryWindow::unwrittenRowsLetGo()
{
    if (records->flushLocal(kCloseFlushMs))
        return true;
    // The store keeps trying while the question is up; once the disk has
    // taken every row there is nothing left to ask.
    const auto text = [this] {
        return QStringLiteral("仍有%1条生产记录未能写入磁盘（磁盘已满或数据库被其他程序占用），"
                              "关闭窗口将丢失这些记录。确定要关闭吗？")
            .arg(records->unwrittenRows().size());
    };
    QMessageBox box(QMessageBox::Warning, QStringLiteral("退出"), text(), QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    QTimer watch;
    connect(&watch, &QTimer::timeout, &box, [&] {
        if (records->flushLocal(0))
            box.done(QMessageBox::Yes);
        else
            box.setText(text());
    });
    watch.start(kCloseFlushMs / 4);
    return box.exec() == QMessageBox::Yes;
}

QList<QCheckBox *> factoryWindow::orderOptionBoxes() const
{
    return {ui->cbHighSpeedFlag, ui->cbFastLoad, ui->cbBootCtl, ui->cbAutoReset, ui->cbDsrCtl, ui->cbKeepGoing,
            ui->cbSerial};
}

factoryWindow::formState factoryWindow::readForm() const
{
    formState state;
    for (const rowWidgets &row : rowParts) {
        if (row.complete())
            state.rows.append({row.enabled->isChecked(), row.path->text(), row.address->text()});
    }
    state.baud = ui->lineEdit->text();
    for (QCheckBox *box : orderOptionBoxes())
        state.boxes.insert(box->objectName(), box->isChecked());
    return state;
}

void factoryWindow::writeForm(const formState &state)
{
    // Blocked: these widgets write the settings file when they change.
    int n = 0;
    for (const rowWidgets &row : qAsConst(rowParts)) {
        if (!row.complete())
            continue;
        const formState::row value = state.rows.value(n++);
        const QSignalBlocker enabled(row.enabled), path(row.path), address(row.address);
        row.enabled->setChecked(value.enabled);
        row.path->setText(value.path);
        row.address->setText(value.address);
    }
    const QSignalBlocker baud(ui->lineEdit);
    ui->lineEdit->setText(state.baud);
    for (QCheckBox *box : orderOptionBoxes()) {
        const QSignalBlocker blocked(box);
        box->setChecked(state.boxes.value(box->objectName()));
    }
}

void factoryWindow::on_pbnLoadOrder_clicked()
{
    const QString start = order ? QFileInfo(order->path).absolutePath() : QDir::currentPath();
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("加载工单"), start,
                                                      QStringLiteral("工单文件(*.json)"));
    if (!path.isEmpty())
        loadOrder(path);
}

void factoryWindow::loadOrder(const QString &path)
{
    workOrder read;
    QString error;
    if (!loadWorkOrder(path, &read, &error))
        return showFault(QStringLiteral("工单未加载：") + error);
    if (read.images.size() > rowParts.size())
        return showFault(QStringLiteral("工单未加载：工单字段“images”有%1个烧录文件，工厂模式只有%2行")
                             .arg(read.images.size())
                             .arg(rowParts.size()));
    bool answered = false;
    const QString name = QInputDialog::getText(this, QStringLiteral("加载工单"),
                                               QStringLiteral("工单 %1：操作员姓名（可不填）").arg(read.name),
                                               QLineEdit::Normal, QString(), &answered)
                             .trimmed();
    if (!answered)
        return;
    if (!order)
        beforeOrder = readForm();
    order = read;
    orderOperator = name;
    formState shown;
    for (const workOrder::image &image : read.images)
        shown.rows.append({true, QDir::toNativeSeparators(image.path), QString::number(image.address, 16)});
    shown.baud = QString::number(read.baud);
    const bool options[] = {read.highSpeed, read.fastLoad, read.boot, read.reset, read.dsr, read.keepGoing, read.serialOn};
    const QList<QCheckBox *> boxes = orderOptionBoxes();
    for (int i = 0; i < boxes.size(); ++i)
        shown.boxes.insert(boxes.at(i)->objectName(), options[i]);
    writeForm(shown);
    applyLock(ui->cbLockUI->isChecked());
    // The next value shown is the order's rule's.
    serialOn = read.serialOn;
    shownRule = read.serial;
    serialProblem.clear();
    showNextSerial();
    QString why;
    if (!tallyLoadedOrder(&why))
        log(QStringLiteral("无法读取工单进度：") + why);
    log(QStringLiteral("已加载工单：%1（%2），芯片型号 %3，数量 %4%5")
            .arg(read.name, QDir::toNativeSeparators(read.path), read.models.join(QLatin1Char('/')),
                 read.quantity > 0 ? QString::number(read.quantity) : QStringLiteral("不限"),
                 read.eraseAll ? QStringLiteral("，写入前整片擦除") : QString()));
    showOrder();
}

void factoryWindow::on_pbnUnloadOrder_clicked()
{
    unloadOrder();
}

void factoryWindow::unloadOrder()
{
    if (!order)
        return;
    log(QStringLiteral("已卸载工单：") + order->name);
    order.reset();
    orderOperator.clear();
    orderDoneBefore = -1;
    writeForm(beforeOrder);
    applyLock(ui->cbLockUI->isChecked());
    readSerialRule();
    showOrder();
}

bool factoryWindow::tallyLoadedOrder(QString *error)
{
    orderDoneBefore = -1;
    // The rows this window has counted are in the database first.
    records->flushLocal(kCloseFlushMs);
    orderTally tally;
    if (!tallyOrder(records->databasePath(), server, order->name, origin.host, &tally, error))
        return false;
    if (!tally.note.isEmpty())
        log(tally.note);
    orderDoneBefore = tally.good;
    return true;
}

QString factoryWindow::orderJob(lineJob *job)
{
    const workOrder &w = *order;
    QString error;
    if (!tallyLoadedOrder(&error))
        return QStringLiteral("无法读取工单进度，未开始烧录：") + error;
    showOrder();
    if (w.quantity > 0 && orderDoneBefore >= w.quantity)
        return QStringLiteral("工单已完成：%1（已完成 %2 / %3），未开始烧录").arg(w.name).arg(orderDoneBefore).arg(w.quantity);
    // A file replaced on the share since loading is not the approved one.
    error = checkOrderFiles(w);
    if (!error.isEmpty())
        return error;
    *job = jobFor(w, orderOperator, orderDoneBefore);
    return QString();
}

void factoryWindow::showOrder()
{
    refreshButtons();
    if (!order) {
        ui->lbOrder->setText(QStringLiteral("未加载工单"));
        ui->lbProduct->setText(QStringLiteral("—"));
        ui->lbOperator->setText(QStringLiteral("—"));
        ui->lbOrderProgress->clear();
        ui->pbOrder->setVisible(false);
        return;
    }
    ui->lbOrder->setText(order->name);
    ui->lbProduct->setText(order->product.isEmpty() ? QStringLiteral("—") : order->product);
    ui->lbOperator->setText(orderOperator.isEmpty() ? QStringLiteral("—") : orderOperator);
    // While a run of the order is on, the line counts on from the records'
    // figure it started with.
    const bool counting = run != runState::idle && !line->erasing();
    const qint64 done = counting ? line->orderDone() : orderDoneBefore;
    const QString doneText = done < 0 ? QStringLiteral("?") : QString::number(done);
    if (order->quantity > 0) {
        ui->lbOrderProgress->setText(QStringLiteral("已完成 %1 / %2").arg(doneText).arg(order->quantity));
        ui->pbOrder->setRange(0, 1000);
        ui->pbOrder->setValue(static_cast<int>(1000 * std::min(std::max<qint64>(done, 0), order->quantity) / order->quantity));
        ui->pbOrder->setFormat(QStringLiteral("%1%").arg(100.0 * std::max<qint64>(done, 0) / order->quantity, 0, 'f', 1));
        ui->pbOrder->setVisible(true);
    } else {
        ui->lbOrderProgress->setText(QStringLiteral("已完成 %1（不限数量）").arg(doneText));
        ui->pbOrder->setVisible(false);
    }
}

void factoryWindow::on_pbnSaveOrder_clicked()
{
    workOrder made;
    // The serial rule shown: a loaded order's, or the operator's settings.
    if (order) {
        made.serialOn = order->serialOn;
        made.serial = order->serial;
    } else {
        const serialSettings serial = serialSettings::read();
        QString why;
        if (serial.enabled && !serial.rule(&made.serial, &why))
            return log(why);
        made.serialOn = serial.enabled;
    }
    QStringList paths;
    QList<uint32_t> addresses;
    if (!collectImages(paths, addresses, made.serialOn ? &made.serial : nullptr))
        return;
    bool ok = false;
    made.baud = ui->lineEdit->text().trimmed().toUInt(&ok);
    if (!ok || !imagePlan::baudAllowed(made.baud))
        return log(QStringLiteral("未正确设置波特率，波特率最小为9600，最大为3000000！"));
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("保存为工单"), QFileInfo(paths.first()).absolutePath(),
                                                QStringLiteral("工单文件(*.json)"));
    if (path.isEmpty())
        return;
    if (!path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive))
        path += QStringLiteral(".json");
    orderDialog ask(QFileInfo(path).completeBaseName(), chipInfo().currentModels(), this);
    if (ask.exec() != QDialog::Accepted)
        return;
    made.name = ask.number();
    made.product = ask.product();
    made.quantity = ask.quantity();
    made.models = ask.models();
    made.highSpeed = ui->cbHighSpeedFlag->isChecked();
    made.fastLoad = ui->cbFastLoad->isChecked();
    made.boot = ui->cbBootCtl->isChecked();
    made.reset = ui->cbAutoReset->isChecked();
    made.dsr = ui->cbDsrCtl->isChecked();
    made.keepGoing = made.dsr && ui->cbKeepGoing->isChecked();
    made.eraseAll = order && order->eraseAll;
    for (int i = 0; i < paths.size(); ++i)
        made.images.append({QString(), paths.at(i), addresses.at(i), QByteArray()});
    QString error;
    if (!saveWorkOrder(path, made, &error))
        return showFault(QStringLiteral("工单未保存：") + error);
    log(QStringLiteral("已保存工单：%1（%2）").arg(made.name, QDir::toNativeSeparators(path)));
}
