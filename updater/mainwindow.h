#pragma once

#include "updatesources.h"

#include <QFile>
#include <QMainWindow>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
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
    bool unpackPackage(QString &releaseFolder);
    bool installPackage(QString &failedName, bool &packageBroken);
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
    bool downloadWriteFailed = false;
};
