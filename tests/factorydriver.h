#pragma once

// FactoryDriver: works a factory window through its widgets, the way an
// operator does (rows filled in, panels clicked, the start button pressed),
// for the station program, the benchmark and the demo.
//
//   FactoryDriver drive(&window);
//   drive.setImages({"a.bin@1000", "b.bin@40000"});
//   drive.setBaud("2000000");
//   if (drive.panelsWithPorts() >= n) { drive.selectPanels(n); drive.pressStart(); }
//   ... until !drive.running()

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QPointer>
#include <QMessageBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

class FactoryDriver
{
public:
    explicit FactoryDriver(QWidget *window)
        : w(window)
    {
    }

    static constexpr int kRows = 5;

    // "PATH@HEXADDR" per row, top down; rows beyond the list are disabled.
    void setImages(const QStringList &images)
    {
        QWidget *rows = child(w, "fileCfgPanel");
        for (int n = 0; n < kRows; ++n) {
            QWidget *row = child(rows, QStringLiteral("fileRow%1").arg(n));
            const QStringList entry = images.value(n).split(QLatin1Char('@'));
            as<QLineEdit>(row, "lineEdit")->setText(entry.value(0));
            as<QLineEdit>(row, "lineEdit_2")->setText(entry.value(1));
            as<QCheckBox>(row, "checkBox")->setChecked(n < images.size());
        }
    }

    void setBaud(const QString &baud) { as<QLineEdit>(child(w, "otherCfgBox"), "lineEdit")->setText(baud); }
    // Set without the boxes' clicked handlers, which explain the option in a
    // modal message box.
    void setOption(const char *box, bool on) { as<QCheckBox>(child(w, "otherCfgBox"), box)->setChecked(on); }

    int stations() const { return w->findChildren<QRadioButton *>(QStringLiteral("radioButton")).size(); }

    QString port(int panel) const { return as<QLabel>(panelWidget(panel), "label_port")->text(); }
    QString status(int panel) const { return as<QLabel>(panelWidget(panel), "label_sta")->text(); }
    int progress(int panel) const { return as<QProgressBar>(panelWidget(panel), "progressBar")->value(); }

    // The port monitor fills panels from the first; the run may start once
    // enough of them show a port.
    int panelsWithPorts() const
    {
        int n = 0;
        for (int i = 0; i < stations(); ++i)
            n += port(i) != QLatin1String("NONE") ? 1 : 0;
        return n;
    }

    void selectPanels(int count)
    {
        for (int i = 0; i < count; ++i) {
            QRadioButton *radio = as<QRadioButton>(panelWidget(i), "radioButton");
            if (!radio->isChecked())
                radio->click();
        }
    }

    void pressStart() { as<QPushButton>(w, "pbnStartDownload")->click(); }
    // The start button's caption says "stop" while a download run is on.
    bool running() const { return as<QPushButton>(w, "pbnStartDownload")->text() == QStringLiteral("停止下载"); }

    int total() const { return as<QLabel>(w, "downloadCnt")->text().toInt(); }
    int good() const { return as<QLabel>(w, "downloadOkCnt")->text().toInt(); }
    int failed() const { return as<QLabel>(w, "downloadErrCnt")->text().toInt(); }

    // Answers the next modal message box with `answer` from inside the event
    // loop that shows it; the poller dies with `scope`.
    static void answerNextBox(QObject *scope, QMessageBox::StandardButton answer)
    {
        auto *timer = new QTimer(scope);
        QObject::connect(timer, &QTimer::timeout, [timer, answer] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (box && box->button(answer)) {
                timer->stop();
                box->button(answer)->click();
            }
        });
        timer->start(20);
    }

    // Answers the modal dialogs that come next, one step each, from inside
    // the event loops that show them; each step fills its dialog in and
    // accepts it. The poller dies with `scope`.
    using dialogStep = std::function<void(QDialog *)>;
    static void answerDialogs(QObject *scope, const QList<dialogStep> &steps)
    {
        auto *timer = new QTimer(scope);
        auto done = std::make_shared<int>(0);
        auto last = std::make_shared<QPointer<QDialog>>();
        QObject::connect(timer, &QTimer::timeout, [=] {
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible() || dialog == *last || *done >= steps.size())
                return;
            *last = dialog;
            steps.at((*done)++)(dialog);
        });
        timer->start(20);
    }
    static dialogStep chooseFile(const QString &path)
    {
        // Typed whole into the name field, as a user may: the dialog reads
        // its folder in the background, and a selection made in the list
        // meanwhile may not be there yet when the dialog closes.
        return [path](QDialog *d) {
            if (auto *name = d->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                name->setText(path);
            d->done(QDialog::Accepted);
        };
    }
    static dialogStep typeText(const QString &text)
    {
        return [text](QDialog *d) {
            if (auto *input = qobject_cast<QInputDialog *>(d))
                input->setTextValue(text);
            d->accept();
        };
    }

    // "加载工单…": the order chosen in the file dialog, the operator typed in
    // when the window asks.
    void loadOrder(const QString &path, const QString &operatorName = QString())
    {
        QObject scope;
        answerDialogs(&scope, {chooseFile(path), typeText(operatorName)});
        as<QPushButton>(w, "pbnLoadOrder")->click();
    }
    QString orderProgress() const { return as<QLabel>(w, "lbOrderProgress")->text(); }

private:
    static QWidget *child(QWidget *parent, const QString &name)
    {
        return parent ? parent->findChild<QWidget *>(name) : nullptr;
    }
    static QWidget *child(QWidget *parent, const char *name) { return child(parent, QString::fromLatin1(name)); }
    template <typename T>
    static T *as(QWidget *parent, const char *name)
    {
        T *found = qobject_cast<T *>(child(parent, name));
        if (!found)
            qFatal("FactoryDriver: the window has no %s", name);
        return found;
    }
    QWidget *panelWidget(int panel) const { return child(w, QStringLiteral("panel%1").arg(panel)); }

    QWidget *w;
};
