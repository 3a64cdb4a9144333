#include "appglobals.h"
#include "qtchinese.h"
#include "startwindow.h"

#include <QApplication>
#include <QDebug>
#include <QDir>

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

    startWindow w;
    w.show();
    return a.exec();
}
