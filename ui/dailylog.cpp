#include "dailylog.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>

dailyLog::dailyLog(QObject *parent)
    : QObject(parent)
{
}

bool dailyLog::folderReady()
{
    if ((QFileInfo(folder).isDir() || QDir().mkpath(folder)) && QFileInfo(folder).isDir())
        return true;
    report(QStringLiteral("无法创建日志文件夹，日志和生产记录无法保存：")
           + QDir::toNativeSeparators(QFileInfo(folder).absoluteFilePath()));
    return false;
}

void dailyLog::write(const QString &line)
{
    if (!folderReady())
        return;
    QFile file(folder + QLatin1Char('/') + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))
               + QStringLiteral(".text"));
    if (file.open(QIODevice::Append | QIODevice::Text) && file.write((line + QLatin1Char('\n')).toUtf8()) > 0) {
        faultShown = false;
        return;
    }
    report(QStringLiteral("日志文件无法写入：") + QDir::toNativeSeparators(QFileInfo(file).absoluteFilePath()));
}

void dailyLog::report(const QString &text)
{
    if (faultShown)
        return;
    // Raised first: whoever shows the fault may write a line that meets it.
    faultShown = true;
    emit fault(text);
}
