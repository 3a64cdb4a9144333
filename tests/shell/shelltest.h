#pragma once
// Helpers shared by the shell suites: files of a throw-away installation and
// the update sources that point the tool at a local server and share.

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMap>
#include <QMessageBox>
#include <QTcpServer>
#include <QTimer>
#include <QWidget>

#include "testutil.h"

namespace shelltest {

inline const QString releaseFolder() { return QString::fromUtf8("Quorvex串口烧录工具"); }

// A port nothing listens on: the web server is down.
inline QString deadHost()
{
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    return QStringLiteral("127.0.0.1:%1").arg(closed.serverPort());
}

// <config>/update_sources.json naming webHost and a folder standing for the
// mounted share; the share's update_log.txt holds shareLog when given.
inline bool pointSources(const QString &config, const QString &webHost, const QString &mount,
                         const QByteArray &shareLog)
{
    if (!shareLog.isEmpty()
        && !writeFile(mount + QStringLiteral("/lab/tools/") + releaseFolder() + QStringLiteral("/update_log.txt"),
                      shareLog))
        return false;
    return writeFile(config + QStringLiteral("/update_sources.json"),
                     QStringLiteral(R"({"webHost": "%1", "fileServer": "%2"})").arg(webHost, mount).toUtf8());
}


template <typename T>
QList<T *> topLevel()
{
    QList<T *> found;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (T *t = qobject_cast<T *>(w))
            found << t;
    return found;
}

// Answers the next modal message box with OK once it is up and hands back
// "title|text" through *seen.
inline void answerNextBox(QString *seen)
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [poll, seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        *seen = box->windowTitle() + QLatin1Char('|') + box->text();
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->accept();
        poll->deleteLater();
    });
    poll->start(20);
}

} // namespace shelltest
