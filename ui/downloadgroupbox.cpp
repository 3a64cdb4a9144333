#include "downloadgroupbox.h"

#include "ui_downloadgroupbox.h"

#include <QDebug>
#include <QKeyEvent>

namespace {
// A press held longer than this on the port name opens its editor; a
// shorter one is a click that selects the panel.
constexpr qint64 kLongPressMs = 800;
constexpr int kLabelPage = 0;
constexpr int kEditorPage = 1;
} // namespace

downloadGroupBox::downloadGroupBox(QWidget *parent)
    : QGroupBox(parent)
    , ui(new Ui::downloadGroupBox)
{
    ui->setupUi(this);
    ui->label_port->installEventFilter(this);
    ui->le_port->installEventFilter(this);
    pressTimer.start();
}

downloadGroupBox::~downloadGroupBox()
{
    delete ui;
}

void downloadGroupBox::commitPortEdit()
{
    ui->label_port->setText(ui->le_port->text());
    ui->stackedWidget->setCurrentIndex(kLabelPage);
    qDebug() << ui->label_port->text();
}

void downloadGroupBox::on_label_port_linkActivated(QString)
{
}

bool downloadGroupBox::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->label_port) {
        if (event->type() == QEvent::MouseButtonPress) {
            pressTimer.restart();
            qDebug() << "press";
            return true;
        }
        if (event->type() == QEvent::MouseButtonRelease) {
            if (pressTimer.elapsed() > kLongPressMs) {
                ui->le_port->setText(ui->label_port->text());
                ui->stackedWidget->setCurrentIndex(kEditorPage);
                pressTimer.restart();
            } else {
                ui->radioButton->click();
            }
            return true;
        }
        return false;
    }
    if (watched == ui->le_port) {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent *>(event)->key();
            if ((key == Qt::Key_Return || key == Qt::Key_Enter)
                && ui->stackedWidget->currentIndex() == kEditorPage) {
                commitPortEdit();
                return true;
            }
            return false;
        }
        if (event->type() == QEvent::Leave) {
            commitPortEdit();
            return true;
        }
        return false;
    }
    return QGroupBox::eventFilter(watched, event);
}
