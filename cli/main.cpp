// vq_flash: programs one chip or a whole line of them from the command line.
#include "flashline.h"
#include "options.h"
#include "portlist.h"
#include "portreport.h"
#include "chipinfo.h"
#include "workorder.h"

#include <QFileInfo>

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// How often the main thread looks whether a stop signal came.
constexpr int kSignalPollMs = 50;

volatile sig_atomic_t stopSignals = 0;

void onStopSignal(int)
{
    // The first stops the line, the second abandons bringing the chips back;
    // a third takes the default way out.
    if (++stopSignals >= 2) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
    }
}

void out(FILE *stream, const QString &text)
{
    fputs(text.toUtf8().constData(), stream);
    fflush(stream);
}

// --make-order: the order written from the command's images and options.
int makeOrder(const flashOptions &options)
{
    workOrder order;
    order.name = QFileInfo(options.makeOrderPath).completeBaseName();
    order.product = options.product;
    order.quantity = options.quantity;
    order.models = options.models.isEmpty() ? chipInfo().currentModels() : options.models;
    order.baud = options.baud;
    order.eraseAll = options.erase;
    order.highSpeed = options.highSpeed;
    order.fastLoad = options.fastLoad;
    order.boot = options.boot;
    order.reset = options.reset;
    order.dsr = options.continuous;
    // A continuous station of vq_flash goes on after a failed chip.
    order.keepGoing = options.continuous;
    order.serialOn = options.serialOn;
    order.serial = options.serial;
    for (int i = 0; i < options.files.size(); ++i)
        order.images.append({QString(), options.files.at(i), options.addresses.at(i), QByteArray()});
    QString error;
    if (!saveWorkOrder(options.makeOrderPath, order, &error)) {
        out(stderr, QStringLiteral("vq_flash: ") + error + QLatin1Char('\n'));
        return kExitFailed;
    }
    out(stdout, QStringLiteral("order %1 written to %2: %3 images, models %4, quantity %5\n")
                    .arg(order.name, options.makeOrderPath)
                    .arg(order.images.size())
                    .arg(order.models.join(QLatin1Char(',')))
                    .arg(order.quantity == 0 ? QStringLiteral("no limit") : QString::number(order.quantity)));
    return kExitOk;
}

void catchStopSignals()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal must not leave the chips in their RAM code.
    sigaction(SIGHUP, &action, nullptr);
    // A line controller that closes its end of the pipe must not kill the
    // line in the middle of its transfers.
    signal(SIGPIPE, SIG_IGN);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    flashOptions options;
    bool syntax = false;
    const QString error = parseOptions(app.arguments().mid(1), &options, &syntax);
    if (!error.isEmpty()) {
        out(stderr, QStringLiteral("vq_flash: ") + error + QLatin1Char('\n')
                        + (syntax ? QString::fromUtf8(kUsage) : QStringLiteral("(vq_flash --help shows the usage)\n")));
        return kExitUsage;
    }
    if (options.help) {
        out(stdout, QString::fromUtf8(kUsage));
        return kExitOk;
    }
    if (options.listPorts) {
        out(stdout, portReport(options.json));
        return kExitOk;
    }
    if (!options.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    if (!options.makeOrderPath.isEmpty())
        return makeOrder(options);

    QStringList ports = options.ports;
    if (options.allPorts) {
        QStringList left;
        for (const QString &name : qAsConst(options.excluded))
            left << portDevicePath(name);
        for (const portEntry &p : listSerialPorts()) {
            if (!left.contains(portDevicePath(p.name)))
                ports << p.name;
        }
        if (ports.isEmpty()) {
            out(stderr, QStringLiteral("vq_flash: no serial port found\n"));
            return kExitFailed;
        }
    }

    catchStopSignals();
    flashLine line(options, ports);
    QObject::connect(&line, &flashLine::finished, &app, [&app](int status) { app.exit(status); });
    QTimer signalWatch;
    int stopsSeen = 0;
    QObject::connect(&signalWatch, &QTimer::timeout, &line, [&line, &stopsSeen] {
        for (; stopsSeen < stopSignals; ++stopsSeen)
            line.stop();
    });
    signalWatch.start(kSignalPollMs);
    // A completed order (or one whose progress cannot be read) touches no chip.
    if (!line.start())
        return kExitFailed;
    return app.exec();
}
