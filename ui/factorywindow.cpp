#include "factorywindow.h"

#include "appglobals.h"
#include "cfgfile.h"
#include "downloadgroupbox.h"
#include "filecfg.h"
#include "portlist.h"
#include "recordstore.h"
#include "resultcodes.h"
#include "statisticswindow.h"
#include "tranthread.h"
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
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QSerialPort>
#include <QSoundEffect>
#include <QStatusBar>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>

using namespace jobStatus;

namespace {
constexpr int kFileRowCount = 5;
constexpr int kFileRowHeight = 30;
// Two columns of panels, none taller than this; the log takes the rest.
constexpr int kPanelColumns = 2;
constexpr int kMaxPanelHeight = 50;
constexpr int kRefreshMs = 100;
constexpr int kProgressMs = 50;
constexpr uint32_t kMinBaud = 9600;
constexpr uint32_t kMaxBaud = 3000000;
// The RAM code erases and writes whole 4 KiB sectors.
constexpr uint32_t kSectorSize = 4096;
// Players per sound, taken in turn, so that results of one poll each get
// their own sound instead of restarting one player.
constexpr int kSoundVoices = 4;
// A day on a busy line writes tens of thousands of lines; the view keeps
// the latest, the daily file keeps them all.
constexpr int kLogViewBlocks = 20000;
constexpr char kNoPort[] = "NONE";
constexpr char kBootHelpUrl[] = "https://fae.vqchip.com/tools/uart-boot-adapter";
// A second click on a start button this soon after a run started is the
// rest of a double click, not a stop.
constexpr qint64 kDoubleClickMs = 500;
constexpr int kSaveRetryTicks = 1000 / kRefreshMs;
// Extra settings keys, added to the file the first time they change.
constexpr char kSelectedPortsKey[] = "selected_ports";
constexpr char kKeepGoingKey[] = "continue_fail_flag";

const QString &stateText(int state)
{
    static const QString texts[] = {QStringLiteral("空 闲"), QStringLiteral("烧录中"), QStringLiteral("成 功"),
                                    QStringLiteral("失 败")};
    return texts[state];
}

const QString &stateStyle(int state)
{
    static const QString styles[] = {
        QStringLiteral("background-color:LightBlue;"), QStringLiteral("background-color:Yellow;"),
        QStringLiteral("background-color:LightGreen;"), QStringLiteral("background-color:Red;")};
    return styles[state];
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
    , stationCount(deviceCount)
    , refreshTimer(new QTimer(this))
    , progressTimer(new QTimer(this))
    , testTimer(new QTimer(this))
{
    ui->setupUi(this);
    ui->textEdit->document()->setMaximumBlockCount(kLogViewBlocks);
    refreshTimer->setObjectName(QStringLiteral("refreshTimer"));
    progressTimer->setObjectName(QStringLiteral("progressTimer"));
    testTimer->setObjectName(QStringLiteral("testTimer"));

    buildPanels();
    buildFileRows();
    loadSettings();
    showCounters();
    for (int i = 0; i < panels.size(); ++i) {
        if (!panelParts.at(i).progress)
            qDebug() << "can not find progressBar.";
        setPanelState(i, panelState::Idle);
        if (panelParts.at(i).progress)
            panelParts.at(i).progress->setValue(0);
    }
    // Panels show real ports (or "NONE") from the start, never the form's
    // placeholder name.
    rebuildPorts(true);

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
        // Only what can still become an address: hex digits after an
        // optional 0x, at most 32 bits.
        row.address->setValidator(new QRegularExpressionValidator(
            QRegularExpression(QStringLiteral("(0[xX])?[0-9A-Fa-f]{0,8}")), row.address));
        connect(row.enabled, &QCheckBox::stateChanged, this, qOverload<int>(&factoryWindow::writeFileCfgToJSON));
        connect(row.path, &QLineEdit::textChanged, this, qOverload<QString>(&factoryWindow::writeFileCfgToJSON));
        connect(row.address, &QLineEdit::textChanged, this, qOverload<QString>(&factoryWindow::writeFileCfgToJSON));
    }

    connect(refreshTimer, &QTimer::timeout, this, &factoryWindow::updateUartInfo);
    refreshTimer->start(kRefreshMs);
    connect(progressTimer, &QTimer::timeout, this, &factoryWindow::udateProcess);
    progressTimer->setInterval(kProgressMs);
    connect(testTimer, &QTimer::timeout, this, &factoryWindow::test);

    // A machine without an audio output stays silent rather than queueing
    // sounds into a backend that cannot play them.
    if (!QAudioDeviceInfo::defaultOutputDevice().isNull()) {
        for (int v = 0; v < kSoundVoices; ++v) {
            auto *ok = new QSoundEffect(this);
            ok->setSource(QUrl(QStringLiteral("qrc:/sound/SOUND/success.wav")));
            successSounds.append(ok);
            auto *fail = new QSoundEffect(this);
            fail->setSource(QUrl(QStringLiteral("qrc:/sound/SOUND/fail.wav")));
            failSounds.append(fail);
        }
    }

    appendPlainLine(ui->textEdit, QStringLiteral("当前版本号：") + QLatin1String(kProgramVersion));
    openRecords();
}

void factoryWindow::openRecords()
{
    recordStoreOptions options;
    options.databasePath = QStringLiteral("log/production.db");
    options.csvDailyFolder = QStringLiteral("log");
    QString problem;
    if (!readRecordServer(recordServerConfigPath(), &options.server, &problem))
        log(problem);
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
}

factoryWindow::~factoryWindow()
{
    testTimer->stop();
    progressTimer->stop();
    refreshTimer->stop();
    saveSettings({{QStringLiteral("all_cnt"), QString::number(allCount)},
                  {QStringLiteral("ok_cnt"), QString::number(okCount)},
                  {QStringLiteral("err_cnt"), QString::number(errCount)},
                  {QStringLiteral("baud_rate"), ui->lineEdit->text()}});
    // No job may outlive the window that acknowledges it.
    for (const QPointer<tranThread> &job : jobs + stopping) {
        if (!job)
            continue;
        job->setStopFlag(true);
        job->wait();
        delete job.data();
    }
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
        panelParts.append(w);
    }
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
    allCount = text(QStringLiteral("all_cnt")).toUInt();
    okCount = text(QStringLiteral("ok_cnt")).toUInt();
    errCount = text(QStringLiteral("err_cnt")).toUInt();
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
}

void factoryWindow::applyLock(bool locked)
{
    for (QWidget *w : {static_cast<QWidget *>(ui->fileCfgPanel), static_cast<QWidget *>(ui->cbRefreshUart),
                       static_cast<QWidget *>(ui->cbAutoReset), static_cast<QWidget *>(ui->cbHighSpeedFlag),
                       static_cast<QWidget *>(ui->cbBootCtl), static_cast<QWidget *>(ui->cbDsrCtl),
                       static_cast<QWidget *>(ui->cbFastLoad),
                       static_cast<QWidget *>(ui->lineEdit), static_cast<QWidget *>(ui->pushButton),
                       static_cast<QWidget *>(ui->cbKeepGoing)})
        w->setEnabled(!locked);
    // The erase button follows the lock through the run state.
    refreshButtons();
}

void factoryWindow::setPanelState(int panel, panelState state)
{
    if (panel < 0 || panel >= panelParts.size() || !panelParts.at(panel).status)
        return;
    QLabel *status = panelParts.at(panel).status;
    const int s = static_cast<int>(state);
    if (status->text() != stateText(s))
        status->setText(stateText(s));
    if (status->styleSheet() != stateStyle(s))
        status->setStyleSheet(stateStyle(s));
}

void factoryWindow::updateUartInfo()
{
    // Counts that could not be saved are tried again about once a second,
    // also when no chip comes to trigger it.
    if (countersDirty && ++saveRetryTicks % kSaveRetryTicks == 0)
        saveCounters();
    if (mode != 0 || !autoRefresh)
        return;
    rebuildPorts(false);
}

void factoryWindow::rebuildPorts(bool force)
{
    QList<portRecord> fresh;
    for (const portEntry &p : listSerialPorts()) {
        if (fresh.size() >= panels.size())
            break;
        portRecord r;
        r.number = p.number;
        r.name = p.name;
        r.statusText = stateText(static_cast<int>(panelState::Idle));
        r.styleSheet = stateStyle(static_cast<int>(panelState::Idle));
        fresh.append(r);
    }
    bool same = !force && fresh.size() == ports.size();
    for (int i = 0; same && i < fresh.size(); ++i)
        same = fresh.at(i).number == ports.at(i).number && fresh.at(i).name == ports.at(i).name;
    if (same)
        return;

    // A port that stays keeps its progress and colour, whichever panel it
    // moves to; every port, also one that comes back, its selection.
    for (portRecord &r : fresh) {
        r.selected = selectedPorts.contains(r.name);
        for (int j = 0; j < ports.size() && j < panelParts.size(); ++j) {
            const panelWidgets &w = panelParts.at(j);
            if (ports.at(j).name != r.name || !w.complete())
                continue;
            r.progress = w.progress->value();
            r.statusText = w.status->text();
            r.styleSheet = w.status->styleSheet();
            break;
        }
    }
    ports = fresh;
    for (int i = 0; i < panelParts.size(); ++i) {
        const panelWidgets &w = panelParts.at(i);
        if (!w.complete()) {
            qDebug() << "can not find radioButton.";
            continue;
        }
        w.dsr->setText(QStringLiteral("DSR:N "));
        if (i < ports.size()) {
            const portRecord &r = ports.at(i);
            w.port->setText(r.name);
            w.port->setEnabled(true);
            w.radio->setChecked(r.selected);
            w.radio->setEnabled(true);
            w.progress->setValue(r.progress);
            w.progress->setEnabled(true);
            w.status->setText(r.statusText);
            w.status->setStyleSheet(r.styleSheet);
            w.status->setEnabled(true);
        } else {
            w.port->setText(QLatin1String(kNoPort));
            w.radio->setChecked(false);
            w.radio->setEnabled(false);
            w.progress->setEnabled(false);
            w.status->setEnabled(false);
        }
    }
    syncSelectAll();
}

bool factoryWindow::panelUsable(int panel) const
{
    const panelWidgets &w = panelParts.at(panel);
    if (!w.complete() || !w.radio->isChecked() || !w.radio->isEnabled())
        return false;
    const QString port = w.port->text().trimmed();
    return !port.isEmpty() && port != QLatin1String(kNoPort);
}

bool factoryWindow::anyPanelSelected() const
{
    for (int i = 0; i < panelParts.size(); ++i) {
        if (panelUsable(i))
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
    const QString port = w.port->text().trimmed();
    if (port.isEmpty() || port == QLatin1String(kNoPort)) {
        w.radio->setChecked(false);
        return;
    }
    // During a run the port may be a job's; a selection then only counts for
    // the next run.
    if (mode != 0)
        return;
    QSerialPort probe;
    probe.setPortName(portDevicePath(port));
    if (!probe.open(QIODevice::ReadWrite)) {
        log(port + QStringLiteral("被其它工具占用，无法打开！"));
        w.radio->setChecked(false);
    }
    probe.close();
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
    bool lost = false;
    if (addMissing) {
        for (auto it = values.cbegin(); it != values.cend() && !lost; ++it)
            lost = !addValue(it.key(), it.value());
    } else {
        writeValues(values, &lost);
    }
    if (!lost) {
        settingsFaultShown = false;
        return true;
    }
    reportFault(settingsFaultShown, QStringLiteral("配置文件无法保存，设置和计数暂时只保存在界面上，将在下次变化时重试：")
                                        + QDir::toNativeSeparators(cfgFilePath()));
    return false;
}

void factoryWindow::reportFault(bool &reported, const QString &text)
{
    if (reported)
        return;
    // Raised first: the log line below may meet the same fault.
    reported = true;
    logLine(text, QColor(Qt::red));
    // Not modal: the stations keep running while the box is up.
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("警告"), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

bool factoryWindow::logFolderReady()
{
    const QFileInfo folder(QStringLiteral("log"));
    if ((folder.isDir() || QDir().mkpath(QStringLiteral("log"))) && QFileInfo(QStringLiteral("log")).isDir())
        return true;
    reportFault(logFaultShown, QStringLiteral("无法创建日志文件夹，日志和生产记录无法保存：")
                                   + QDir::toNativeSeparators(folder.absoluteFilePath()));
    return false;
}

void factoryWindow::log(QString s)
{
    logLine(s, QColor());
}

void factoryWindow::logLine(const QString &s, const QColor &colour)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QString line = QLatin1Char('[') + now.toString(QStringLiteral("hh:mm:ss")) + QStringLiteral("] ") + s;
    appendPlainLine(ui->textEdit, line, colour);
    if (!logFolderReady())
        return;
    QFile file(QStringLiteral("./log/") + now.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".text"));
    if (file.open(QIODevice::Append | QIODevice::Text) && file.write((line + QLatin1Char('\n')).toUtf8()) > 0) {
        logFaultShown = false;
        return;
    }
    reportFault(logFaultShown,
                QStringLiteral("日志文件无法写入：") + QDir::toNativeSeparators(QFileInfo(file).absoluteFilePath()));
}

void factoryWindow::appendRecord(int panel, const chipRecord &record, bool ok)
{
    records->append(rowOf(record, panel + 1, ok, origin));
}

void factoryWindow::udateProcess()
{
    struct result {
        int panel;
        chipRecord record;
        bool ok;
    };
    QList<result> counted;
    for (int j = 0; j < jobs.size(); ++j) {
        tranThread *job = jobs.at(j);
        if (!job || job->stopFlag)
            continue;
        const int p = jobPanels.value(j, -1);
        const panelWidgets *w = p >= 0 && p < panelParts.size() && panelParts.at(p).complete() ? &panelParts.at(p)
                                                                                               : nullptr;
        if (w && job->portOpen())
            w->dsr->setText(QStringLiteral("DSR:%1 ").arg(job->dsrAsserted() ? 1 : 0));
        const QString prefix = QLatin1Char('[') + job->portName + QLatin1Char(']');
        int seen = job->status.load();
        // A held result keeps the bar of its chip; the next chip resets it.
        bool showProgress = seen == kBusy || seen == kIdle;
        // Results are acknowledged only if the job still shows what was read,
        // so that an acknowledgement never lands on a state it did not see.
        switch (seen) {
        case kIdle:
            if (!holding.value(p))
                setPanelState(p, panelState::Idle);
            break;
        case kBusy:
            if (p >= 0 && p < holding.size())
                holding[p] = false;
            setPanelState(p, panelState::Busy);
            break;
        case kWaitingChip:
            if (job->status.compare_exchange_strong(seen, kAcknowledged)) {
                if (!holding.value(p))
                    setPanelState(p, panelState::Idle);
                if (p >= 0 && p < waiting.size())
                    waiting[p] = true;
                log(prefix + QStringLiteral("等待新的芯片..."));
            }
            break;
        case kFailed:
        case kSucceeded: {
            const chipRecord record = job->record();
            if (!job->status.compare_exchange_strong(seen, kAcknowledged))
                break;
            const bool ok = seen == kSucceeded;
            // A station that goes on after a failure has not ended its run.
            if (!ok && !(keepGoingRun && !job->eraseFlag))
                jobEnded(j);
            setPanelState(p, ok ? panelState::Success : panelState::Failure);
            showProgress = true;
            if (continuousRun && !job->eraseFlag && p >= 0 && p < holding.size()) {
                holding[p] = true;
                pressSeen[p] = false;
                waiting[p] = false;
            }
            ++allCount;
            ++(ok ? okCount : errCount);
            playSound(ok);
            log(prefix
                + (ok ? QStringLiteral("下载成功")
                      : job->eraseFlag ? QStringLiteral("擦除失败") : QStringLiteral("下载失败")));
            if (!ok && record.portLost)
                log(prefix + QStringLiteral("串口已断开！"));
            // The retry's code alone would hide why the chip first failed; the
            // record keeps the first code in a field of its own.
            if (!ok && record.firstCode != 0)
                log(prefix + QStringLiteral("重试前的错误代码为：0x") + QString::number(record.firstCode, 16)
                    + QLatin1Char(',') + resultText(record.firstCode & ~resultCode::kTransferMask));
            counted.append({p, record, ok});
            break;
        }
        case kFinished:
            if (job->status.compare_exchange_strong(seen, kAcknowledged)) {
                jobEnded(j);
                setPanelState(p, panelState::Success);
                showProgress = true;
            }
            break;
        default:
            break;
        }
        releaseHeldResults(j, p);
        // A station that went on after failures ends when it lingers (its
        // port gone), its last result already counted.
        if (keepGoingRun && job->lingering() && job->status.load() == kAcknowledged)
            jobEnded(j);
        if (w && showProgress)
            w->progress->setValue(static_cast<int>(job->getProcess()));
    }
    if (!counted.isEmpty() || countersDirty) {
        // Counters first: once a chip is in the record, its count is on disk.
        saveCounters();
        for (const result &r : qAsConst(counted))
            appendRecord(r.panel, r.record, r.ok);
    }
    if (mode == 1 && downloadDone >= jobs.size())
        stopDownload();
    else if (mode == 2 && eraseDone >= jobs.size())
        stopErase();
    showCounters();
}

void factoryWindow::jobEnded(int j)
{
    if (j < 0 || j >= ended.size() || ended.at(j))
        return;
    ended[j] = true;
    tranThread *job = jobs.at(j);
    ++(job && job->eraseFlag ? eraseDone : downloadDone);
}

void factoryWindow::releaseHeldResults(int j, int p)
{
    if (p < 0 || p >= holding.size() || !holding.at(p))
        return;
    tranThread *job = jobs.at(j);
    // The job's DSR sample is fresh only once it waits for the next chip:
    // while it programs it does not look.
    if (!job || !job->portOpen() || !waiting.at(p))
        return;
    // The chip is out once the fixture lets go after its result; a fixture
    // already open at the result shows it until the next chip comes.
    if (job->dsrAsserted()) {
        pressSeen[p] = true;
    } else if (pressSeen.at(p)) {
        holding[p] = false;
        setPanelState(p, panelState::Idle);
        panelParts.at(p).progress->setValue(0);
    }
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
    ui->downloadCnt->setText(QString::number(allCount));
    ui->downloadOkCnt->setText(QString::number(okCount));
    ui->downloadErrCnt->setText(QString::number(errCount));
}

void factoryWindow::saveCounters()
{
    countersDirty = !saveSettings({{QStringLiteral("all_cnt"), QString::number(allCount)},
                                   {QStringLiteral("ok_cnt"), QString::number(okCount)},
                                   {QStringLiteral("err_cnt"), QString::number(errCount)}});
}

void factoryWindow::test()
{
}

void factoryWindow::myThreadFinished()
{
    qDebug() << "exit";
    refreshButtons();
}

void factoryWindow::refreshButtons()
{
    // A new run waits until every job of the last one has let go of its port.
    stopping.erase(std::remove_if(stopping.begin(), stopping.end(),
                                  [](const QPointer<tranThread> &job) { return !job || job->isFinished(); }),
                   stopping.end());
    const bool settling = !stopping.isEmpty();
    ui->pbnStartDownload->setEnabled(!erasing && !(settling && !downloading));
    // Under the lock an erase can be stopped, never started.
    ui->pbnEarse->setEnabled(!downloading && !(settling && !erasing) && (erasing || !ui->cbLockUI->isChecked()));
}

void factoryWindow::loadStyle(QString qssFile)
{
    QFile file(qssFile);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    setStyleSheet(QString::fromUtf8(file.readAll()));
}

bool factoryWindow::collectImages(QStringList &paths, QList<uint32_t> &addrs)
{
    struct image {
        int row;
        uint32_t address;
        qint64 size;
    };
    QList<image> images;
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
        if (address % kSectorSize != 0) {
            log(QStringLiteral("烧录地址未进行4k对齐,请检查烧录地址！") + where
                + QStringLiteral("：烧录地址“%1”）").arg(row.address->text()));
            return false;
        }
        // A job would find out only after loading the RAM code, on every
        // station at once.
        QFile file(path);
        if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
            log(QStringLiteral("第%1行的烧录文件不存在或无法读取：%2").arg(n + 1).arg(QDir::toNativeSeparators(path)));
            return false;
        }
        if (file.size() == 0) {
            log(QStringLiteral("第%1行的烧录文件为空：%2").arg(n + 1).arg(QDir::toNativeSeparators(path)));
            return false;
        }
        images.append({n, address, file.size()});
        paths << path;
        addrs << address;
    }
    if (images.isEmpty()) {
        log(QStringLiteral("请设置烧录文件路径和烧录的起始地址，并使能这个设置！"));
        return false;
    }
    for (int a = 0; a < images.size(); ++a) {
        for (int b = a + 1; b < images.size(); ++b) {
            const qint64 startA = images.at(a).address;
            const qint64 startB = images.at(b).address;
            if (startA < startB + images.at(b).size && startB < startA + images.at(a).size) {
                log(QStringLiteral("第%1行与第%2行的烧录区域重叠，请检查烧录地址！")
                        .arg(images.at(a).row + 1)
                        .arg(images.at(b).row + 1));
                return false;
            }
        }
    }
    return true;
}

void factoryWindow::startJobs(bool erase, const QStringList &paths, const QList<uint32_t> &addrs, uint32_t baud,
                              const firmwareImageSet &images)
{
    for (int i = 0; i < panelParts.size(); ++i) {
        if (!panelUsable(i))
            continue;
        auto *job = new tranThread;
        job->setConfig(panelParts.at(i).port->text().trimmed(), paths, addrs, ui->cbHighSpeedFlag->isChecked(),
                       ui->cbAutoReset->isChecked(), ui->cbDsrCtl->isChecked(), ui->cbBootCtl->isChecked(), baud);
        job->eraseFlag = erase;
        job->continueAfterFailure = !erase && ui->cbDsrCtl->isChecked() && ui->cbKeepGoing->isChecked();
        job->fastLoad = ui->cbFastLoad->isChecked();
        job->setImages(images);
        connect(job, &QThread::finished, job, &QObject::deleteLater);
        connect(job, &QThread::finished, this, &factoryWindow::myThreadFinished);
        connect(job, &tranThread::tranThreadLogSingal, this, &factoryWindow::log);
        job->start(QThread::TimeCriticalPriority);
        jobs.append(job);
        jobPanels.append(i);
        ended.append(false);
    }
    continuousRun = !erase && ui->cbDsrCtl->isChecked();
    keepGoingRun = !erase && ui->cbDsrCtl->isChecked() && ui->cbKeepGoing->isChecked();
    holding.fill(false, panelParts.size());
    pressSeen.fill(false, panelParts.size());
    waiting.fill(false, panelParts.size());
    runStarted.start();
}

void factoryWindow::stopRun()
{
    progressTimer->stop();
    settleUnfinishedPanels();
    for (const QPointer<tranThread> &job : qAsConst(jobs)) {
        if (!job)
            continue;
        job->setStopFlag(true);
        stopping.append(job);
    }
    jobs.clear();
    jobPanels.clear();
    ended.clear();
    mode = 0;
    downloading = false;
    erasing = false;
    refreshButtons();
}

void factoryWindow::settleUnfinishedPanels()
{
    // A stopped job says nothing more: a panel it left busy would claim a
    // chip is still being written.
    for (int p : qAsConst(jobPanels)) {
        if (p < 0 || p >= panelParts.size() || !panelParts.at(p).complete())
            continue;
        const panelWidgets &w = panelParts.at(p);
        if (w.status->text() == stateText(static_cast<int>(panelState::Busy))) {
            setPanelState(p, panelState::Idle);
            w.progress->setValue(0);
        }
    }
}

void factoryWindow::clearPanels()
{
    for (int p = 0; p < panelParts.size(); ++p) {
        if (!panelParts.at(p).complete() || !panelParts.at(p).radio->isEnabled())
            continue;
        setPanelState(p, panelState::Idle);
        panelParts.at(p).progress->setValue(0);
    }
}

void factoryWindow::startDownload()
{
    mode = 1;
    downloadDone = 0;
    // A refused start hands the panels back to the port monitor, and no
    // earlier result stays up as if it belonged to this attempt.
    const auto refuse = [this](const QString &text) {
        if (!text.isEmpty())
            log(text);
        clearPanels();
        mode = 0;
    };
    if (!anyPanelSelected())
        return refuse(QStringLiteral("没有选择任何串口，请先选择串口！"));
    log(QStringLiteral("开始下载..."));
    if (logFolderReady())
        log(QStringLiteral("已创建日志文件，文件存放在log目录中。"));
    QStringList paths;
    QList<uint32_t> addrs;
    if (!collectImages(paths, addrs))
        return refuse(QString());
    bool ok = false;
    const uint32_t baud = ui->lineEdit->text().trimmed().toUInt(&ok);
    if (!ok || baud < kMinBaud || baud > kMaxBaud)
        return refuse(QStringLiteral("未正确设置波特率，波特率最小为9600，最大为3000000！"));
    saveSettings({{QStringLiteral("baud_rate"), ui->lineEdit->text()}});
    // Read once for the whole run: every station sends these bytes, whatever
    // happens to the files while the run goes on.
    uint32_t loadCode = 0;
    int failedRow = -1;
    const firmwareImageSet images = loadFirmwareImages(paths, addrs, loadCode, failedRow);
    if (!images)
        return refuse(QStringLiteral("读取烧录文件失败：%1").arg(QDir::toNativeSeparators(paths.value(failedRow))));

    startJobs(false, paths, addrs, baud, images);
    ui->pbnStartDownload->setText(QStringLiteral("停止下载"));
    downloading = true;
    progressTimer->start(kProgressMs);
    refreshButtons();
}

void factoryWindow::startErase()
{
    mode = 2;
    eraseDone = 0;
    if (!anyPanelSelected()) {
        log(QStringLiteral("没有选择任何串口，请先选择串口！"));
        clearPanels();
        mode = 0;
        return;
    }
    if (QMessageBox::question(this, QStringLiteral("整片擦除"),
                              QStringLiteral("整片擦除将清除所选芯片上的全部内容，确定要擦除吗？"),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        != QMessageBox::Yes) {
        mode = 0;
        return;
    }
    log(QStringLiteral("开始擦除..."));
    // The erase job runs at the boot speed; the field only travels along.
    startJobs(true, QStringList(), QList<uint32_t>(), ui->lineEdit->text().trimmed().toUInt());
    ui->pbnEarse->setText(QStringLiteral("停止擦除"));
    erasing = true;
    progressTimer->start(kProgressMs);
    refreshButtons();
}

void factoryWindow::on_pbnStartDownload_clicked()
{
    // The ports belong to the erase run until it is stopped.
    if (erasing)
        return;
    if (!downloading) {
        startDownload();
        return;
    }
    if (runStarted.isValid() && runStarted.elapsed() < kDoubleClickMs)
        return;
    stopDownload();
}

void factoryWindow::stopDownload()
{
    ui->pbnStartDownload->setEnabled(false);
    log(QStringLiteral("停止下载！"));
    stopRun();
    ui->pbnStartDownload->setText(QStringLiteral("开始下载"));
}

void factoryWindow::on_pbnEarse_clicked()
{
    if (downloading)
        return;
    if (!erasing) {
        startErase();
        return;
    }
    if (runStarted.isValid() && runStarted.elapsed() < kDoubleClickMs)
        return;
    stopErase();
}

void factoryWindow::stopErase()
{
    ui->pbnEarse->setEnabled(false);
    log(QStringLiteral("停止擦除！"));
    stopRun();
    ui->pbnEarse->setText(QStringLiteral("整片擦除"));
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
    addValue(QStringLiteral("fast_flag"), flagText(checked));
}

void factoryWindow::on_pushButton_clicked()
{
    if (QMessageBox::question(this, QStringLiteral("清零计数"), QStringLiteral("确定要将烧录计数清零吗？"),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        != QMessageBox::Yes)
        return;
    log(QStringLiteral("已清零计数（烧录总数：%1，烧录成功：%2，烧录失败：%3）").arg(allCount).arg(okCount).arg(errCount));
    allCount = 0;
    okCount = 0;
    errCount = 0;
    showCounters();
    saveCounters();
}

void factoryWindow::on_pbnStatistics_clicked()
{
    // One window, brought forward when asked for again; it reads on its own
    // thread, so the stations' poll goes on undisturbed.
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
    const panelWidgets &w = panelParts.at(panel);
    const QString port = w.port->text().trimmed();
    if (port.isEmpty() || port == QLatin1String(kNoPort))
        return;
    if (w.radio->isChecked())
        selectedPorts.insert(port);
    else
        selectedPorts.remove(port);
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
    for (const panelWidgets &w : qAsConst(panelParts)) {
        if (!w.complete() || !w.radio->isEnabled())
            continue;
        all = w.radio->isChecked();
        if (!all)
            break;
    }
    ui->cbSelectAll->setChecked(all);
}

void factoryWindow::closeEvent(QCloseEvent *event)
{
    if (!downloading && !erasing) {
        event->accept();
        return;
    }
    if (QMessageBox::question(this, QStringLiteral("退出"), QStringLiteral("正在烧录，确定要停止烧录并关闭窗口吗？"),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    recordInterruptedChips();
    // The run may have ended by itself while the question was up.
    if (downloading)
        stopDownload();
    else if (erasing)
        stopErase();
    event->accept();
}

void factoryWindow::recordInterruptedChips()
{
    // Results that came in before the answer are counted as usual first.
    udateProcess();
    QList<int> interrupted;
    for (int j = 0; j < jobs.size(); ++j) {
        tranThread *job = jobs.at(j);
        if (job && !job->stopFlag && job->status.load() == kBusy)
            interrupted << j;
        if (job)
            job->setStopFlag(true);
    }
    for (int j : qAsConst(interrupted)) {
        tranThread *job = jobs.at(j);
        // A stopped run fails within a poll of the link; the job then lingers
        // with its record until its stop flag ends it.
        job->wait();
        const int seen = job->status.load();
        if (seen != kFailed && seen != kSucceeded)
            continue;
        chipRecord record = job->record();
        if (seen == kSucceeded) {
            // Finished just before the stop reached it: a good chip.
            ++allCount;
            ++okCount;
            saveCounters();
            appendRecord(jobPanels.value(j, -1), record, true);
            continue;
        }
        record.text = QStringLiteral("烧录被停止（窗口关闭）：") + record.text;
        log(QLatin1Char('[') + job->portName + QStringLiteral("]烧录被停止（窗口关闭），错误代码为：0x")
            + QString::number(record.code, 16));
        appendRecord(jobPanels.value(j, -1), record, false);
    }
}
