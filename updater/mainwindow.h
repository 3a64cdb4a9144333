#pragma once

#include "releaseinstall.h"
#include "updatesources.h"

#include <QElapsedTimer>
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
    ExtractOutcome unpackPackage(QString &releaseFolder, ExtractReport &report);
    InstallProblem installPackage(QString &failedName);
    void endDownload(const QString &why);
    bool takeDeclaredLength(qint64 total);
    void checkAverageRate();
    QString interruptedLine(int status) const;
    QString noSpaceLine(const QString &step, qint64 needed = -1, qint64 free = -1);
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
    QTimer *rateTimer = nullptr;      // judges the average since the attempt began
    QTimer *deadlineTimer = nullptr;  // ends the attempt however it goes
    QTimer *retryTimer = nullptr;     // the pause before the next attempt
    QElapsedTimer attemptClock;
};
