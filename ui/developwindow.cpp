#include "developwindow.h"

#include "imageplan.h"
#include "ui_developwindow.h"

#include "appglobals.h"
#include "chipcommand.h"
#include "chipinfo.h"
#include "linktiming.h"
#include "resultcodes.h"
#include "serial.h"
#include "ymodemsender.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QScreen>
#include <QTime>
#include <QTimer>

namespace {
const QString kAccessCode = QStringLiteral("QX48213957");
constexpr uint32_t kRamLoadAddress = 0x20000000;
using imagePlan::kSectorSize;
constexpr uint32_t kMaxBaudRate = 3000000;
constexpr int kWindowWidth = 600;
constexpr int kWindowHeight = 500;
// New ports show up within a tenth of a second of being plugged in.
constexpr int kPortRefreshMs = 100;
// Twenty updates a second move the bar smoothly without costing the
// transfer, which shares the GUI thread.
constexpr int kProgressMs = 50;
// The raw erase button asks for this much; the command rounds it up to one sector.
constexpr uint32_t kRawEraseLength = 256;

// The first image and the one that runs the chip live at 0: an address that
// does not parse must never turn into 0 by itself.
const QString kSetAddressText = QStringLiteral("请设置烧录地址！");
const QString kBaudErrorText = QStringLiteral("波特率设置错误，请重新设置波特率！");
const QString kOpenPortFirstText = QStringLiteral("请先打开串口！");
const QString kInvalidFileText = QStringLiteral("选中了无效的文件，请重新选择烧录文件！");
const QString kWaitText = QStringLiteral("请等待当前操作完成！");
const QString kFileDialogTitle = QStringLiteral("打开文件");

QString lastFilePath;

// A line speed the port and the chip can take: 0 would leave the chip deaf.
bool readBaud(const QString &text, uint32_t &baud)
{
    bool ok = false;
    baud = text.toUInt(&ok, 10);
    return ok && baud > 0 && baud <= kMaxBaudRate;
}

// The images' plan as the other front ends check it, in this window's words;
// empty when it holds.
QString planRefusal(const QStringList &files, const QList<uint32_t> &addresses)
{
    QVector<imagePlan::image> plan;
    for (int i = 0; i < files.size(); ++i)
        plan.append({addresses.at(i), QFileInfo(files.at(i)).size()});
    const imagePlan::problem p = imagePlan::check(plan);
    switch (p.kind) {
    case imagePlan::fault::unaligned:
        return QStringLiteral("烧录地址未进行4k对齐！");
    case imagePlan::fault::empty:
        return QStringLiteral("烧录文件为空或无法读取：") + QDir::toNativeSeparators(files.at(p.first));
    case imagePlan::fault::pastAddressSpace:
        return QStringLiteral("烧录文件超出32位地址范围：") + QDir::toNativeSeparators(files.at(p.first));
    case imagePlan::fault::overlap:
        return QStringLiteral("第%1个与第%2个烧录文件的烧录区域重叠，请检查烧录地址！").arg(p.first + 1).arg(p.second + 1);
    case imagePlan::fault::pastFlash:
    case imagePlan::fault::none:
        break;
    }
    return QString();
}

// Hexadecimal, with or without "0x".
bool readHex(const QString &text, uint32_t &value)
{
    bool ok = false;
    value = text.trimmed().toUInt(&ok, 16);
    return ok;
}

// The advanced panel's raw address fields: decimal, or hexadecimal after "0x".
bool readAddress(const QString &text, uint32_t &value)
{
    const QString t = text.trimmed();
    bool ok = false;
    if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        value = t.mid(2).toUInt(&ok, 16);
    else
        value = t.toUInt(&ok, 10);
    return ok;
}

QString startFolder(const QString &preferred)
{
    return QDir(preferred).exists() ? preferred : QDir::homePath();
}
} // namespace

developWindow::developWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::developWindow)
{
    ui->setupUi(this);

    uartTimer = new QTimer(this);
    connect(uartTimer, &QTimer::timeout, this, &developWindow::updateUartInfo);
    uartTimer->start(kPortRefreshMs);

    portOpen = false;
    serial = new Serial;
    cmd = new chipCommand;
    cmd->noteLine = [this](const QString &text) { appendLog(text); };
    fileCount = 0;

    progressTimer = new QTimer(this);
    progressTimer->setInterval(kProgressMs);
    connect(progressTimer, &QTimer::timeout, this, &developWindow::updateProcessBar);

    ui->groupBox_4->hide();
    placeWindow();
    acceptHexOnly(ui->leEraseAddr);
    acceptHexOnly(ui->leEraseLen);

    ui->textEdit->append(QStringLiteral("当前版本号：") + QLatin1String(kProgramVersion));

    const QString ramCode = configDir() + QStringLiteral("/VQ571M_RAM_BIN.bin");
    ui->leRamFile->setText(ramCode);
    ui->leDownloadRam->setText(ramCode);

    updateUartInfo();
}

developWindow::~developWindow()
{
    uartTimer->stop();
    progressTimer->stop();
    if (serial->isOpen())
        serial->closePort();
    delete cmd;
    delete serial;
    delete ui;
}

void developWindow::closeEvent(QCloseEvent *event)
{
    if (portOpen)
        on_pbnOpenUart_clicked();
    QMainWindow::closeEvent(event);
}

void developWindow::appendLog(const QString &message)
{
    ui->textEdit->append(QLatin1Char('[') + QTime::currentTime().toString(QStringLiteral("hh:mm:ss"))
                         + QStringLiteral("] ") + message);
}

void developWindow::placeWindow()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, kWindowWidth, kWindowHeight);
    setGeometry((available.width() - kWindowWidth) / 2, (available.height() - kWindowHeight) / 2, kWindowWidth,
                kWindowHeight);
}

void developWindow::updateUartInfo()
{
    if (portOpen)
        return;
    const QList<portEntry> ports = listSerialPorts();
    bool same = ports.size() == portList.size();
    for (int i = 0; same && i < ports.size(); ++i)
        same = ports.at(i).number == portList.at(i).number && ports.at(i).name == portList.at(i).name;
    if (same)
        return;

    // A port coming or going must not move the choice to another chip.
    const QString chosen = ui->comboBox->currentText();
    portList = ports;
    ui->comboBox->clear();
    for (const portEntry &p : portList)
        ui->comboBox->addItem(p.name);
    const int index = ui->comboBox->findText(chosen);
    if (index >= 0)
        ui->comboBox->setCurrentIndex(index);
}

void developWindow::updateProcessBar()
{
    const double steps = static_cast<double>(cmd->progress());
    ui->progressBar->setValue(static_cast<int>(steps / (fileCount + 1) * 100.0));
}

bool developWindow::beginOperation(bool &flag)
{
    if (flag)
        return false;
    if (linkBusy) {
        appendLog(kWaitText);
        return false;
    }
    flag = true;
    linkBusy = true;
    cmd->stop.clear();
    return true;
}

void developWindow::endOperation(bool &flag)
{
    flag = false;
    linkBusy = false;
    cmd->stop.clear();
}

void developWindow::runCommand(bool &flag, const std::function<void()> &steps)
{
    if (!portOpen)
        return;
    if (!beginOperation(flag))
        return;
    steps();
    endOperation(flag);
}

void developWindow::on_pbnOpenUart_clicked()
{
    if (portOpen) {
        if (linkBusy) {
            // The running operation ends at its next poll instead of
            // waiting out its transfer's idle limit on a closed port.
            cmd->stop.raise(stopRequest::stop);
        }
        serial->closePort();
        portOpen = false;
        ui->pbnOpenUart->setText(QStringLiteral("打开串口"));
        ui->comboBox->setEnabled(true);
        return;
    }

    // An operation still unwinding after its port was closed would carry on
    // on the reopened port.
    if (linkBusy) {
        appendLog(kWaitText);
        return;
    }
    const QString name = ui->comboBox->currentText();
    if (name.isEmpty()) {
        appendLog(QStringLiteral("没有扫描到串口！"));
        return;
    }
    uint32_t baud = 0;
    if (!readBaud(ui->leBaud->text(), baud)) {
        appendLog(kBaudErrorText);
        return;
    }
    if (serial->openPort(name, baud)) {
        portOpen = true;
        ui->pbnOpenUart->setText(QStringLiteral("关闭串口"));
        ui->comboBox->setEnabled(false);
        appendLog(QStringLiteral("打开成功！"));
        cmd->setSerial(serial);
    } else {
        serial->closePort();
        appendLog(QStringLiteral("打开串口失败，请检查串口是否被占用或者检查USB接线！"));
        for (const QString &why : serial->openProblem())
            appendLog(why);
    }
}

void developWindow::chooseImage(int row)
{
    QLineEdit *field = findChild<QLineEdit *>(QStringLiteral("le_fileName_%1").arg(row));
    // The row's own file's folder first: its next build is most often there.
    const QString current = field->text().trimmed();
    const QString folder = current.isEmpty() ? QString() : QFileInfo(current).absolutePath();
    const QString start = !folder.isEmpty() && QDir(folder).exists() ? folder : lastFilePath;
    const QString path = QFileDialog::getOpenFileName(this, kFileDialogTitle, start,
                                                      QStringLiteral("固件文件(*.bin *.img)"));
    if (!path.isEmpty())
        lastFilePath = path;
    if (!path.isEmpty() && (path.endsWith(QLatin1String(".bin")) || path.endsWith(QLatin1String(".img")))) {
        field->setText(path);
    } else {
        appendLog(kInvalidFileText);
    }
}

void developWindow::on_selectFile_1_clicked()
{
    chooseImage(1);
}

void developWindow::on_selectFile_2_clicked()
{
    chooseImage(2);
}

void developWindow::on_selectFile_3_clicked()
{
    chooseImage(3);
}

void developWindow::on_selectFile_4_clicked()
{
    chooseImage(4);
}

void developWindow::on_ptnGetVerion_clicked()
{
    runCommand(busy.getVersion, [this] {
        QString model;
        if (cmd->getVersion(model))
            appendLog(QStringLiteral("检测到芯片，芯片信息为") + model);
        else
            appendLog(QStringLiteral("无法连接芯片，请检查接线，并确保BOOT PIN已经正确配置为UART BOOT,串口波特率为115200!"));
    });
}

void developWindow::on_ptnSetBaudRate_clicked()
{
    runCommand(busy.setBaudRate, [this] {
        uint32_t baud = 0;
        if (!readBaud(ui->leSetBaudRate->text(), baud)) {
            appendLog(kBaudErrorText);
            return;
        }
        ui->leBaud->setText(QString::number(baud));
        appendLog(QStringLiteral("已更改上位机波特率为") + ui->leSetBaudRate->text());
        if (cmd->setBootBaudRate(baud))
            appendLog(QStringLiteral("成功设置波特率！"));
        else
            appendLog(QStringLiteral("设置波特率失败！"));
    });
}

void developWindow::on_ptnSelectRamFile_clicked()
{
    const QString path = QFileDialog::getOpenFileName(this, kFileDialogTitle, startFolder(QStringLiteral("C:")),
                                                      QStringLiteral("bin文件(*bin)"));
    if (!path.isEmpty() && path.endsWith(QLatin1String(".bin"))) {
        ui->leRamFile->setText(path);
        ui->leDownloadRam->setText(path);
    } else {
        appendLog(kInvalidFileText);
    }
}

void developWindow::on_ptnDownloadRam_clicked()
{
    runCommand(busy.downloadRam, [this] {
        uint32_t code = 0;
        if (cmd->downloadRamCode(kRamLoadAddress, ui->leDownloadRam->text(), code))
            appendLog(QStringLiteral("下载RAMCODE成功！"));
        else
            appendLog(QStringLiteral("下载RAMCODE失败！"));
    });
}

void developWindow::on_ptnErase_clicked()
{
    runCommand(busy.erase, [this] {
        uint32_t address = 0;
        if (!readAddress(ui->leErase->text(), address)) {
            appendLog(QStringLiteral("擦除地址错误！"));
            return;
        }
        if (cmd->eraseFlash(address, kRawEraseLength))
            appendLog(QStringLiteral("擦除Flash成功！"));
        else
            appendLog(QStringLiteral("擦除Flash失败！"));
    });
}

void developWindow::on_ptnEraseAll_clicked()
{
    runCommand(busy.eraseAll, [this] {
        // The port may have been closed while the question was up.
        if (!confirmWholeErase(this, 1) || !portOpen)
            return;
        if (cmd->eraseChip())
            appendLog(QStringLiteral("擦除芯片成功！"));
        else
            appendLog(QStringLiteral("擦除芯片失败！"));
    });
}

void developWindow::on_ptnSetStartAddr_clicked()
{
    runCommand(busy.setStartAddr, [this] {
        uint32_t address = 0;
        if (!readAddress(ui->leSetStartAddr->text(), address)) {
            appendLog(kSetAddressText);
            return;
        }
        if (cmd->setStartAddr(address))
            appendLog(QStringLiteral("设置烧写地址成功！"));
        else
            appendLog(QStringLiteral("设置烧写地址失败！"));
    });
}

void developWindow::on_ptnSetBaud_clicked()
{
    runCommand(busy.setBaud, [this] {
        uint32_t baud = 0;
        if (!readBaud(ui->leSetBaud->text(), baud)) {
            appendLog(kBaudErrorText);
            return;
        }
        ui->leBaud->setText(QString::number(baud));
        appendLog(QStringLiteral("已更改上位机波特率为") + ui->leSetBaud->text());
        if (cmd->setBurnBaudRate(baud))
            appendLog(QStringLiteral("设置烧写波特率成功！"));
        else
            appendLog(QStringLiteral("设置烧写波特率失败！"));
    });
}

void developWindow::on_ptnDownloadFlash_clicked()
{
    runCommand(busy.downloadFlash, [this] {
        const QString path = ui->leDownloadFlash->text().trimmed();
        if (path.isEmpty()) {
            appendLog(QStringLiteral("请先选择要烧写的文件！"));
            return;
        }
        // The chip would be told to take a file that never comes.
        if (!QFileInfo(path).isFile() || !QFileInfo(path).isReadable()) {
            appendLog(QStringLiteral("烧写文件不存在或无法读取：") + QDir::toNativeSeparators(path));
            return;
        }
        appendLog(QStringLiteral("开始烧录！"));
        fileCount = 1;
        progressTimer->start();
        uint32_t code = 0;
        if (cmd->upgradeFile(path, code)) {
            ui->progressBar->setValue(100);
            appendLog(QStringLiteral("烧写Flash成功！"));
        } else {
            appendLog(QStringLiteral("烧写Flash失败！"));
        }
        progressTimer->stop();
    });
}

void developWindow::on_ptnGetFileCnt_clicked()
{
    runCommand(busy.getFileCnt, [this] {
        uint32_t count = 0;
        if (cmd->getFileCount(count))
            appendLog(QStringLiteral("读取烧写文件数量成功，数量：") + QString::number(count));
        else
            appendLog(QStringLiteral("读取烧写文件数量失败！"));
    });
}

void developWindow::on_ptnReboot_clicked()
{
    runCommand(busy.reboot, [this] {
        if (cmd->rebootChip())
            appendLog(QStringLiteral("复位芯片成功！"));
        else
            appendLog(QStringLiteral("复位芯片失败！"));
    });
}

void developWindow::on_ptnFlashTest_clicked()
{
    runCommand(busy.flashTest, [this] {
        appendLog(QStringLiteral("Flash 测试大概需要30s左右，请耐心等待！"));
        QString text;
        const bool passed = cmd->flashTest(text);
        appendLog(text);
        appendLog(passed ? QStringLiteral("Flash 测试成功！") : QStringLiteral("Flash 测试失败！"));
    });
}

void developWindow::on_leBaud_textEdited(const QString &arg1)
{
    uint32_t baud = 0;
    if (readBaud(arg1, baud))
        serial->setBaudRate(baud);
}

void developWindow::on_ptnSelectRamFile_2_clicked()
{
    const QString path = QFileDialog::getOpenFileName(this, kFileDialogTitle, startFolder(QStringLiteral("C:")),
                                                      QStringLiteral("bin文件(*bin)"));
    qDebug() << path;
    if (!path.isEmpty() && path.endsWith(QLatin1String(".bin"))) {
        ui->leDownloadFlash->setText(path);
        ui->leDownloadFlash_2->setText(path);
    } else {
        appendLog(kInvalidFileText);
    }
}

void developWindow::on_ptnEraseChip_clicked()
{
    if (!portOpen) {
        appendLog(kOpenPortFirstText);
        return;
    }
    if (!beginOperation(busy.eraseChip))
        return;
    uint32_t baud = 0;
    if (!readBaud(ui->lineEdit->text(), baud)) {
        appendLog(kBaudErrorText);
        endOperation(busy.eraseChip);
        return;
    }
    // Asked with the link claimed: no other operation starts while the
    // question is up.
    if (!confirmWholeErase(this, 1) || !portOpen) {
        endOperation(busy.eraseChip);
        return;
    }
    appendLog(QStringLiteral("开始擦除！"));
    cmd->fastLoad = ui->cbFastLoad->isChecked();
    const uint32_t result = cmd->programFlash(baud, {}, {}, 1, false);
    if (result == resultCode::kSuccess)
        appendLog(QStringLiteral("擦除成功！"));
    else
        appendLog(QStringLiteral("擦除失败，错误代码：0x") + QString::number(result, 16) + QLatin1Char(',')
                  + resultText(result));
    uint32_t portBaud = 0;
    if (readBaud(ui->leBaud->text(), portBaud))
        serial->setBaudRate(portBaud);
    endOperation(busy.eraseChip);
}

void developWindow::on_ptnStartDownload_clicked()
{
    if (!portOpen) {
        appendLog(kOpenPortFirstText);
        return;
    }
    if (!beginOperation(busy.startDownload))
        return;
    // Reset only once this click owns the run: a click on a running download
    // must not pull its progress back.
    cmd->done = 0.0f;
    cmd->ymodem->fraction = 0.0f;
    ui->ptnStartDownload->setEnabled(false);

    auto refuse = [this](const QString &message) {
        appendLog(message);
        ui->ptnStartDownload->setEnabled(true);
        endOperation(busy.startDownload);
    };

    appendLog(QStringLiteral("开始烧录！"));
    QList<uint32_t> addresses;
    QStringList files;
    for (int row = 1; row <= 4; ++row) {
        if (!findChild<QCheckBox *>(QStringLiteral("cb_fileCheck_%1").arg(row))->isChecked())
            continue;
        const QString addressText = findChild<QLineEdit *>(QStringLiteral("le_fileAddr_%1").arg(row))->text();
        const QString path = findChild<QLineEdit *>(QStringLiteral("le_fileName_%1").arg(row))->text();
        uint32_t address = 0;
        if (addressText.isEmpty() || !readHex(addressText, address))
            return refuse(kSetAddressText);
        if (address & (kSectorSize - 1))
            return refuse(QStringLiteral("烧录地址未进行4k对齐！"));
        addresses.append(address);
        if (path.isEmpty())
            return refuse(QStringLiteral("请设置文件路径！"));
        files.append(path);
    }
    fileCount = static_cast<uint8_t>(files.size());
    if (fileCount == 0)
        return refuse(QStringLiteral("请设置烧录文件路径和烧录的起始地址，并使能这个路径！"));
    const QString planProblem = planRefusal(files, addresses);
    if (!planProblem.isEmpty())
        return refuse(planProblem);
    uint32_t burnBaud = 0;
    if (!readBaud(ui->lineEdit->text(), burnBaud) || !imagePlan::baudAllowed(burnBaud))
        return refuse(kBaudErrorText);

    progressTimer->start();
    cmd->fastLoad = ui->cbFastLoad->isChecked();
    const uint32_t result = cmd->programFlash(burnBaud, addresses, files, 2, highSpeed);
    progressTimer->stop();
    finishDownload(result);

    // The run left the host on the burn speed.
    uint32_t portBaud = 0;
    if (readBaud(ui->leBaud->text(), portBaud))
        serial->setBaudRate(portBaud);
    ui->ptnStartDownload->setEnabled(true);
    endOperation(busy.startDownload);
}

void developWindow::finishDownload(uint32_t result)
{
    if (result == resultCode::kSuccess) {
        ui->progressBar->setValue(100);
        appendLog(QStringLiteral("烧录成功！"));
        return;
    }
    const uint32_t transfer = result & resultCode::kTransferMask;
    appendLog(QStringLiteral("烧录失败，错误代码：0x") + QString::number(result, 16) + QLatin1Char(',')
              + resultText(result & ~resultCode::kTransferMask));
    if (transfer != 0)
        appendLog(QStringLiteral("传输文件时失败，错误代码为：0x") + QString::number(transfer, 16) + QLatin1Char(',')
                  + resultText(transfer));
}

void developWindow::on_radioButton_clicked()
{
}

void developWindow::on_radioButton_clicked(bool checked)
{
    if (!checked) {
        ui->groupBox_4->hide();
        // The panel's width leaves the window's minimum only once the
        // layout has seen it go.
        ui->centralwidget->layout()->activate();
        layout()->activate();
        placeWindow();
        return;
    }
    bool accepted = false;
    const QString code = QInputDialog::getText(this, QStringLiteral("输入密码"),
                                               QStringLiteral("警告：烧录测试模式只能由内部人员使用！"),
                                               QLineEdit::Password, QString(), &accepted);
    if (accepted && !code.isEmpty() && code == kAccessCode) {
        ui->groupBox_4->show();
        return;
    }
    QMessageBox::warning(this, QStringLiteral("错误"), QStringLiteral("密码输入错误！"), QMessageBox::Ok);
    ui->radioButton->setChecked(false);
}

void developWindow::on_ptnGetFlashInfo_clicked()
{
    runCommand(busy.getFlashInfo, [this] {
        QString id;
        const bool read = cmd->getFlashInfo(id);
        appendLog(QStringLiteral("ID:") + id);
        appendLog(read ? QStringLiteral("获取Flash信息成功！") : QStringLiteral("获取Flash信息失败！"));
    });
}

void developWindow::on_pbnEraseArea_clicked()
{
    if (!portOpen) {
        appendLog(kOpenPortFirstText);
        return;
    }
    if (!beginOperation(busy.eraseArea))
        return;

    const QString bootModeText = QStringLiteral("擦除失败，请检查是否处于BOOT模式！");
    [&] {
        // The fields are checked before the chip is touched, so a typo does
        // not leave the chip in its RAM code for nothing.
        uint32_t address = 0;
        uint32_t length = 0;
        if (!readHex(ui->leEraseAddr->text(), address)) {
            appendLog(QStringLiteral("擦除地址错误！"));
            return;
        }
        // A length of 0 erases nothing, yet the chip would report success.
        if (!readHex(ui->leEraseLen->text(), length) || length == 0
            || static_cast<uint64_t>(address) + length > (uint64_t(1) << 32)) {
            appendLog(QStringLiteral("擦除长度错误！"));
            return;
        }
        // Erasing is by whole sectors; the range asked for may start and
        // end inside one, and every sector it touches goes.
        const uint32_t eraseStart = address & ~(kSectorSize - 1);
        const uint64_t eraseEnd =
            (static_cast<uint64_t>(address) + length + kSectorSize - 1) / kSectorSize * kSectorSize;

        QString model;
        bool found = false;
        for (int i = 0; i < linkTiming::kIdentifyTries && !found; ++i)
            found = cmd->probeVersion(model);
        if (!found || model.contains(QLatin1String("RAMCODE"))) {
            appendLog(bootModeText);
            return;
        }
        const QString ramCode = chipInfo::ramCodePath(model, false);
        uint32_t code = 0;
        if (!cmd->downloadRamCode(kRamLoadAddress, ramCode, code)
            && !cmd->downloadRamCode(kRamLoadAddress, ramCode, code)) {
            appendLog(QStringLiteral("擦除失败，下载RAMCODE失败！"));
            return;
        }
        model.clear();
        found = false;
        for (int i = 0; i < linkTiming::kIdentifyTries && !found; ++i)
            found = cmd->probeVersion(model);
        if (!model.contains(QLatin1String("RAMCODE"))) {
            appendLog(QStringLiteral("擦除失败，无法进入RAMCODE模式！"));
            return;
        }
        if (cmd->eraseFlash(eraseStart, static_cast<uint32_t>(eraseEnd - eraseStart)))
            appendLog(QStringLiteral("擦除成功！"));
        else
            appendLog(QStringLiteral("执行擦除动作失败！"));
    }();
    endOperation(busy.eraseArea);
}

void developWindow::on_ptnGetFlashUUID_clicked()
{
    runCommand(busy.getFlashUuid, [this] {
        QString uid;
        const bool read = cmd->getFlashUid(uid);
        appendLog(QStringLiteral("UUID:") + uid);
        appendLog(read ? QStringLiteral("获取Flash UUID成功！") : QStringLiteral("获取Flash UUID失败！"));
    });
}

void developWindow::on_checkBox_clicked(bool checked)
{
    if (checked) {
        warnHighSpeed(this);
        highSpeed = true;
    } else {
        highSpeed = false;
    }
}
