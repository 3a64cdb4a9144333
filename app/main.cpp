#include "appglobals.h"
#include "chipinfo.h"
#include "instancelock.h"
#include "qtchinese.h"
#include "scriptedhand.h"
#include "startwindow.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {
// The refusal of a second copy goes away by itself: whoever started it may
// not be at the screen, and a launcher must not pile up boxes.
constexpr int kRefusalShownMs = 4000;

int refuseSecondCopy(const QString &why)
{
    std::fprintf(stderr, "%s\n", qUtf8Printable(why));
    std::fflush(stderr);
    QMessageBox box(QMessageBox::Warning, QStringLiteral("烧录工具已在运行"), why, QMessageBox::Ok);
    QTimer::singleShot(kRefusalShownMs, &box, &QMessageBox::accept);
    box.exec();
    return 1;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "1");
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication a(argc, argv);
    initToolResources();
    installQtChinese(&a);

    // A desktop launcher does not start the tool in its folder, and the
    // windows read and write "./config/..." and "./log/..." relative to the
    // working directory.
    if (!QDir::setCurrent(QCoreApplication::applicationDirPath()))
        qWarning() << "cannot work in" << QCoreApplication::applicationDirPath();

    instanceLock lock(configDir());
    if (!lock.acquire())
        return refuseSecondCopy(lock.refusal());

    int code = 0;
    {
        startWindow w;
        w.show();
        scriptedHand::startFromEnvironment(&a);
        code = a.exec();
    }
    // Every window has saved what it keeps and closed its records by now.
    lock.release();
    // The update check may still be waiting for a name server or a file
    // share that does not answer. Neither wait can be cut short, and the
    // application object would sit out the name lookup when it goes, so
    // the process ends here instead of leaving an empty screen behind.
    std::fflush(nullptr);
    std::_Exit(code);
}
