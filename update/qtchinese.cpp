#include "qtchinese.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLibraryInfo>
#include <QTranslator>

bool installQtChinese(QCoreApplication *app)
{
    // Owned by the application: it must outlive every dialog.
    auto *translator = new QTranslator(app);
    const QString folder = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
    if (translator->load(QStringLiteral("qtbase_zh_CN"), folder) && app->installTranslator(translator))
        return true;
    qDebug() << "no Chinese Qt translation in" << folder;
    delete translator;
    return false;
}
