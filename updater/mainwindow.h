#pragma once

#include "updatesources.h"

#include <QFile>
#include <QMainWindow>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void httpDowload();
    void httpDowloadFinished();
    void httpDowProcess(qint64 received, qint64 total);

private:
    quint8 checkServerVersion();
    bool startHttpDownload(const QString &url, const QString &unused, const QString &target);
    bool updateFromFileServer();
    enum InstallProblem { Installed, PackageBroken, CopyFailed };
    bool unpackPackage(QString &releaseFolder, QString &failedName, bool &noSpace, bool &broken);
    InstallProblem installPackage(QString &failedName);
    void endDownload(const QString &why);
    void downloadStalled();
    QString noSpaceLine(const QString &step);
    void appendLog(const QString &text);
    void showBox(QMessageBox::Icon icon, const QString &title, const QString &text);
    void sequenceEnded();

    QFile *downloadFile = nullptr;
    QNetworkReply *downloadReply = nullptr;
    QNetworkAccessManager *networkManager = nullptr;
    QUrl downloadUrl;
    quint32 totalBytes = 0;
    quint8 updateState = 0;
    QString packageName;
    Ui::MainWindow *ui = nullptr;

    vqupdate::UpdateSources sources;
    QString stagingFolder;
    QString downloadTarget;
    QString downloadFailure;  // why the running attempt was ended early; empty while it goes well
    qint64 receivedBytes = 0;
    qint64 declaredBytes = -1;  // the reply's Content-Length; -1 when it gave none
    QTimer *stallTimer = nullptr;
};
