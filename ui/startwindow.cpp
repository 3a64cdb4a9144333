#include "startwindow.h"
#include "ui_startwindow.h"

#include "appglobals.h"
#include "chipinfo.h"
#include "developwindow.h"
#include "factorywindow.h"
#include "updatemodule.h"
#include "updatethread.h"

#include <QDebug>
#include <QFile>
#include <QMessageBox>
#include <QScreen>

unsigned int showCount = 0;

namespace {
// The factory window keeps its station panels usable up to this many.
const unsigned int maxDeviceCount = 32;
// How long the program's end waits for an update check still under way.
// Longer is a name server or a file share that does not answer; that wait
// cannot be cut short, and the process ends around it.
const unsigned long checkLeaveMs = 1000;
const int factoryMode = 0;
const int developerMode = 1;
} // namespace

startWindow::startWindow(QWidget *parent)
    : QWidget(parent), ui(new Ui::startWindow)
{
    ui->setupUi(this);
    // The notes belong to the window they come with: they do not keep the
    // program running once that window is closed.
    releaseNotes.setAttribute(Qt::WA_QuitOnClose, false);
    updateWindow = new updateModule;
    newVersionFlag = false;
    checkThread = new updateThread;
    connect(updateWindow, &updateModule::closeStartWindow, this, &startWindow::closeUI, Qt::QueuedConnection);
    connect(checkThread, &updateThread::showUI, this, &startWindow::showUpdateUI, Qt::QueuedConnection);
    checkThread->start(QThread::InheritPriority);
    checkVersionMarker();
}

startWindow::~startWindow()
{
    // The mode windows keep what they must (the factory counters) when they
    // are destroyed, so they go before the process ends.
    delete factoryWindow.data();
    delete developWindow.data();
    // A thread object destroyed while it runs would abort the program.
    checkThread->stopNotify();
    if (checkThread->wait(checkLeaveMs))
        delete checkThread;
    delete updateWindow;
    delete ui;
}

// The marker holds the version that last started here; a different or
// missing one means this is the first start of this version.
void startWindow::checkVersionMarker()
{
    const QByteArray version(kProgramVersion);
    QFile marker(configDir() + QStringLiteral("/version.txt"));
    if (marker.open(QIODevice::ReadOnly | QIODevice::Text) && marker.readAll() == version)
        return;
    marker.close();
    if (marker.open(QIODevice::ReadWrite | QIODevice::Text | QIODevice::Truncate)) {
        marker.write(version);
        marker.close();
    }
    newVersionFlag = true;
}

void startWindow::paintEvent(QPaintEvent *e)
{
    QWidget::paintEvent(e);
}

void startWindow::showUpdateUI()
{
    if (updateWindow->isHidden()) {
        ++showCount;
        updateWindow->setWindowFlags(updateWindow->windowFlags() | Qt::WindowStaysOnTopHint);
        updateWindow->show();
    }
    if (showCount != 0)
        checkThread->stopNotify();
    qDebug() << "showCount" << showCount;
}

void startWindow::closeUI()
{
    if (factoryWindow)
        factoryWindow->close();
    if (developWindow)
        developWindow->close();
    releaseNotes.close();
    close();
    updateWindow->close();
}

void startWindow::on_pushButton_clicked()
{
    const int mode = ui->comboBox->currentIndex();
    if (mode == factoryMode) {
        // Automatic base, as the field always took it: 0x10 is 16, 010 is 8.
        bool ok = false;
        unsigned int count = ui->lineEdit->text().trimmed().toUInt(&ok, 0);
        if (!ok)
            count = 0;
        // Stations come in pairs, one panel column each.
        if (count % 2 != 0)
            ++count;
        if (count == 0 || count > maxDeviceCount) {
            QMessageBox::warning(this, QStringLiteral("设备数量错误"),
                                 QStringLiteral("设备数量无效，请输入1到%1之间的数字！").arg(maxDeviceCount));
            return;
        }
        deviceCount = count;
        qDebug() << "deviceCount" << deviceCount;
        if (!factoryWindow) {
            factoryWindow = new ::factoryWindow();
            placeOverThis(factoryWindow);
        }
        factoryWindow->show();
    } else if (mode == developerMode) {
        if (!developWindow)
            developWindow = new ::developWindow();
        developWindow->show();
    }
    close();
    if (newVersionFlag) {
        releaseNotes.show();
        // Centred over the window it comes with, not at the screen's corner
        // over that window's labels.
        const QWidget *shown = mode == factoryMode ? static_cast<QWidget *>(factoryWindow)
                                                   : static_cast<QWidget *>(developWindow);
        if (shown) {
            QRect frame = releaseNotes.frameGeometry();
            frame.moveCenter(shown->frameGeometry().center());
            releaseNotes.move(frame.topLeft());
        }
        releaseNotes.raise();
    }
}

// The factory window comes up where the operator was looking, not where a
// window manager puts a new window; as much of it as fits stays on screen.
void startWindow::placeOverThis(QWidget *window) const
{
    QRect target(QPoint(), window->frameGeometry().size());
    target.moveCenter(frameGeometry().center());
    if (const QScreen *shownOn = screen()) {
        const QRect room = shownOn->availableGeometry();
        target.moveLeft(qMax(room.left(), qMin(target.left(), room.right() + 1 - target.width())));
        target.moveTop(qMax(room.top(), qMin(target.top(), room.bottom() + 1 - target.height())));
    }
    window->move(target.topLeft());
}

void startWindow::on_comboBox_activated(int index)
{
    ui->lineEdit->setEnabled(index != developerMode);
}
