// A factory window driven from the command line, the way an operator would
// drive it: rows filled in, panels clicked, the start button pressed. The
// window suite runs it as a separate process it can kill; it also takes the
// screenshot of a busy line.
//
//   vq_factory_station --stations 16 --image a.bin@1000 --image b.bin@20000
//                      --baud 921600 --start [--shot out.png --shot-when-ok 4]
//
// Ports come from VQ_SIM_PORT_DIR, settings from VQ_CONFIG_DIR, the daily
// log and the record go to the working folder's log/.
#include "appglobals.h"
#include "factorywindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <cstdio>

namespace {
QWidget *child(QObject *parent, const QString &name)
{
    return parent ? parent->findChild<QWidget *>(name) : nullptr;
}

// Ports appear on the monitor's first ticks; the run starts once the wanted
// number of panels show one.
int panelsWithPorts(QWidget &window, int stations)
{
    int n = 0;
    for (int i = 0; i < stations; ++i) {
        auto *port = qobject_cast<QLabel *>(child(child(&window, QStringLiteral("panel%1").arg(i)),
                                                  QStringLiteral("label_port")));
        if (port && port->text() != QLatin1String("NONE"))
            ++n;
    }
    return n;
}
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    initToolResources();
    QCommandLineParser p;
    const QCommandLineOption stations(QStringLiteral("stations"), QStringLiteral("Station count."),
                                      QStringLiteral("N"), QStringLiteral("8"));
    const QCommandLineOption ports(QStringLiteral("ports"), QStringLiteral("Panels to select (default: stations)."),
                                   QStringLiteral("N"));
    const QCommandLineOption image(QStringLiteral("image"), QStringLiteral("Image row PATH@HEXADDR (repeatable)."),
                                   QStringLiteral("PATH@ADDR"));
    const QCommandLineOption baud(QStringLiteral("baud"), QStringLiteral("Burn baud rate."), QStringLiteral("B"));
    const QCommandLineOption dsr(QStringLiteral("dsr"), QStringLiteral("Continuous (DSR) mode."));
    const QCommandLineOption start(QStringLiteral("start"), QStringLiteral("Press the start button."));
    const QCommandLineOption shot(QStringLiteral("shot"), QStringLiteral("Save a picture of the window."),
                                  QStringLiteral("PNG"));
    const QCommandLineOption shotWhenOk(QStringLiteral("shot-when-ok"),
                                        QStringLiteral("Take it once this many chips succeeded."), QStringLiteral("K"),
                                        QStringLiteral("0"));
    p.addOptions({stations, ports, image, baud, dsr, start, shot, shotWhenOk});
    p.addHelpOption();
    p.process(app);

    deviceCount = p.value(stations).toUInt();
    factoryWindow window;
    window.resize(1500, 900);
    window.show();

    QWidget *rowsPanel = child(&window, QStringLiteral("fileCfgPanel"));
    const QStringList images = p.values(image);
    for (int n = 0; n < 5; ++n) {
        QObject *row = child(rowsPanel, QStringLiteral("fileRow%1").arg(n));
        const QStringList entry = images.value(n).split(QLatin1Char('@'));
        qobject_cast<QLineEdit *>(child(row, QStringLiteral("lineEdit")))->setText(entry.value(0));
        qobject_cast<QLineEdit *>(child(row, QStringLiteral("lineEdit_2")))->setText(entry.value(1));
        qobject_cast<QCheckBox *>(child(row, QStringLiteral("checkBox")))->setChecked(n < images.size());
    }
    QWidget *options = child(&window, QStringLiteral("otherCfgBox"));
    if (p.isSet(baud))
        qobject_cast<QLineEdit *>(child(options, QStringLiteral("lineEdit")))->setText(p.value(baud));
    qobject_cast<QCheckBox *>(child(options, QStringLiteral("cbDsrCtl")))->setChecked(p.isSet(dsr));

    const int wanted = p.isSet(ports) ? p.value(ports).toInt() : static_cast<int>(deviceCount);
    QTimer poll;
    bool started = false;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!started && p.isSet(start) && panelsWithPorts(window, static_cast<int>(deviceCount)) >= wanted) {
            started = true;
            for (int i = 0; i < wanted; ++i) {
                auto *radio = qobject_cast<QRadioButton *>(
                    child(child(&window, QStringLiteral("panel%1").arg(i)), QStringLiteral("radioButton")));
                if (!radio->isChecked())
                    radio->click();
            }
            qobject_cast<QPushButton *>(child(&window, QStringLiteral("pbnStartDownload")))->click();
            std::printf("started\n");
            std::fflush(stdout);
        }
        if (started && p.isSet(shot)) {
            auto *ok = qobject_cast<QLabel *>(child(&window, QStringLiteral("downloadOkCnt")));
            if (ok->text().toInt() >= p.value(shotWhenOk).toInt()) {
                window.grab().save(p.value(shot));
                QApplication::quit();
            }
        }
    });
    poll.start(20);
    return app.exec();
}
