// A factory window driven from the command line, the way an operator would
// drive it: rows filled in, panels clicked, the start button pressed. The
// window suite runs it as a separate process it can kill; the demo of
// scripts/run.sh runs one production line with it and prints the outcome.
//
//   vq_factory_station --stations 16 --image a.bin@1000 --image b.bin@20000
//                      --baud 921600 --start [--until-done] [--report]
//                      [--shot out.png [--shot-when-ok 4]]
//                      [--stop-after MS | --close-after MS]
//                      [--order FILE [--operator NAME]]
//
// --stop-after presses the window's stop button MS after the start, and
// --close-after closes the window (answering yes) then; either way the
// station waits until every job has ended, prints what --report prints and
// exits.
//
// Ports come from VQ_SIM_PORT_DIR, settings from VQ_CONFIG_DIR, the daily
// log and the record go to the working folder's log/.
#include "appglobals.h"
#include "factorydriver.h"
#include "factorywindow.h"
#include "productionline.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDate>
#include <QFile>
#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {
// Each station's panel, then the day's production record.
void printReport(const FactoryDriver &drive, const productionLine &line, int stations)
{
    std::printf("station  port        result   progress\n");
    for (int i = 0; i < stations; ++i)
        std::printf("%7d  %-10s  %s  %3d %%\n", i + 1, qPrintable(drive.port(i)), qPrintable(drive.status(i)),
                    drive.progress(i));
    const int stopped = static_cast<int>(line.counters().stopped);
    const int erased = static_cast<int>(line.counters().erased);
    std::printf("counted: %d, good: %d, failed: %d, stopped: %d\n", drive.total(), drive.good(), drive.failed(),
                stopped);
    QFile record(QStringLiteral("log/%1.csv").arg(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))));
    // The window records off its own thread: its last lines may be a few
    // milliseconds behind the panels.
    QDeadlineTimer wait(5000);
    const int rows = drive.total() + stopped + erased;
    while (record.open(QIODevice::ReadOnly) && record.readAll().count('\n') <= rows && !wait.hasExpired()) {
        record.close();
        QThread::msleep(10);
    }
    record.close();
    if (record.open(QIODevice::ReadOnly)) {
        std::printf("\nproduction record %s:\n%s", qPrintable(record.fileName()),
                    record.readAll().replace("\xEF\xBB\xBF", "").constData());
    }
    std::fflush(stdout);
}
} // namespace

int main(int argc, char **argv)
{
    // The station answers the window's file and input dialogs itself:
    // Qt's own, whatever the desktop would offer.
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
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
    const QCommandLineOption untilDone(QStringLiteral("until-done"),
                                       QStringLiteral("Quit once the run has ended by itself."));
    const QCommandLineOption report(QStringLiteral("report"),
                                    QStringLiteral("At the end, print each station's result and the day's record."));
    const QCommandLineOption shot(QStringLiteral("shot"), QStringLiteral("Save a picture of the window."),
                                  QStringLiteral("PNG"));
    const QCommandLineOption shotWhenOk(QStringLiteral("shot-when-ok"),
                                        QStringLiteral("Take it once this many chips succeeded (default: at the end "
                                                       "with --until-done)."),
                                        QStringLiteral("K"));
    const QCommandLineOption stopAfter(QStringLiteral("stop-after"),
                                       QStringLiteral("Press the stop button MS after the start, then report and quit."),
                                       QStringLiteral("MS"));
    const QCommandLineOption closeAfter(QStringLiteral("close-after"),
                                        QStringLiteral("Close the window (answering yes) MS after the start, then "
                                                       "report and quit."),
                                        QStringLiteral("MS"));
    const QCommandLineOption orderFile(QStringLiteral("order"),
                                       QStringLiteral("Load this production order (加载工单…) instead of image rows."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption operatorName(QStringLiteral("operator"), QStringLiteral("The operator named at loading."),
                                          QStringLiteral("NAME"));
    p.addOptions({stations, ports, image, baud, dsr, start, untilDone, report, shot, shotWhenOk, stopAfter, closeAfter,
                  orderFile, operatorName});
    p.addHelpOption();
    p.process(app);

    deviceCount = p.value(stations).toUInt();
    factoryWindow window;
    window.resize(1500, 900);
    window.show();
    FactoryDriver drive(&window);
    const productionLine &line = *window.findChild<productionLine *>();
    drive.setImages(p.values(image));
    if (p.isSet(baud))
        drive.setBaud(p.value(baud));
    drive.setOption("cbDsrCtl", p.isSet(dsr));
    if (p.isSet(orderFile))
        drive.loadOrder(p.value(orderFile), p.value(operatorName));

    const int wanted = p.isSet(ports) ? p.value(ports).toInt() : static_cast<int>(deviceCount);
    int exitCode = 0;
    // Exit status 0 when every selected station programmed its chip.
    auto finish = [&] {
        if (p.isSet(shot))
            window.grab().save(p.value(shot));
        if (p.isSet(report))
            printReport(drive, line, wanted);
        exitCode = drive.failed() == 0 && drive.good() >= wanted ? 0 : 1;
        QApplication::quit();
    };
    QTimer poll;
    bool started = false;
    bool interrupting = false;
    // The stop button or the window's close, as an operator would.
    const auto interrupt = [&] {
        if (p.isSet(stopAfter)) {
            if (drive.running())
                drive.pressStart();
        } else {
            QObject scope;
            FactoryDriver::answerNextBox(&scope, QMessageBox::Yes);
            window.close();
        }
        interrupting = true;
    };
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!started && p.isSet(start) && drive.panelsWithPorts() >= wanted) {
            started = true;
            drive.selectPanels(wanted);
            drive.pressStart();
            std::printf("started\n");
            std::fflush(stdout);
            if (p.isSet(stopAfter) || p.isSet(closeAfter))
                QTimer::singleShot(p.value(p.isSet(stopAfter) ? stopAfter : closeAfter).toInt(), interrupt);
            return;
        }
        if (!started)
            return;
        if (interrupting) {
            if (line.state() == productionLine::runState::idle)
                finish();
            return;
        }
        if (p.isSet(shotWhenOk) ? drive.good() >= p.value(shotWhenOk).toInt()
                                : p.isSet(untilDone) && !drive.running())
            finish();
    });
    poll.start(20);
    app.exec();
    return exitCode;
}
