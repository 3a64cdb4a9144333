#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "releaseinstall.h"
#include "versioncheck.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QTemporaryDir>

namespace {

const QString ownVersion = QStringLiteral("v1.0.1");
const QString localArchive = QStringLiteral("./vq_download_tool.zip");
const QString releaseFolderName = QStringLiteral("Quorvex串口烧录工具");
const QString installFolder = QStringLiteral("./");

// HTTP re-downloads in the life of the process; pressing the update button
// again does not give them back.
quint8 retryCount = 0;
const quint8 retryLimit = 2;

vqupdate::CheckTexts checkTexts()
{
    vqupdate::CheckTexts t;
    t.webUnreachable = QStringLiteral("无法连接网络服务器，请检查网络状态！");
    t.webNoPackage = QStringLiteral("更新状态获取失败，请联系我们获取最新的软件！");
    t.webParseFailed = QStringLiteral("服务器版本号解析失败，请联系我们获取最新的软件！");
    t.webVersion = QStringLiteral("网络服务器版本号：v%1.%2.%3");
    t.newerOnWeb = QStringList{QStringLiteral("检测到服务器有新版本"),
                               QStringLiteral("\n开始升级...如果升级失败，请联系我司FAE获取最新的下载地址")};
    t.upToDate = QStringLiteral("当前已经是最新版本，无需升级！");
    t.noFileServer = QStringLiteral("未连接本地服务器！");
    t.fileParseFailed = QStringLiteral("文件服务器版本号解析失败，请联系Quorvex实验室！");
    t.fileVersion = QStringLiteral("文件服务器版本号：v%1.%2.%3");
    t.newerOnFileServer = QStringLiteral("检测到服务器有新版本！");
    return t;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    ui->progressBar->setValue(0);
    updateState = 0;
    downloadFile = new QFile;
    networkManager = new QNetworkAccessManager(this);
    finishInterruptedInstall(installFolder);
    sources = vqupdate::loadUpdateSources(QStringLiteral("./config"));
    on_pushButton_clicked();
}

MainWindow::~MainWindow()
{
    delete ui;
    delete downloadFile;
}

void MainWindow::appendLog(const QString &text)
{
    ui->textEdit->append(text);
    qDebug().noquote() << "[log]" << text;
}

// Non-modal, so that the event loop (and a test driving the program) is
// never held up by an unanswered box.
void MainWindow::showBox(QMessageBox::Icon icon, const QString &title, const QString &text)
{
    auto *box = new QMessageBox(icon, title, text, QMessageBox::Ok | QMessageBox::Cancel, this);
    box->setDefaultButton(QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    qDebug().noquote() << "[box]" << title << text;
}

void MainWindow::sequenceEnded()
{
    qDebug() << "[update sequence ended]";
}

void MainWindow::on_pushButton_clicked()
{
    // A second download would share downloadFile with the running one.
    if (downloadReply)
        return;
    updateState = 0;
    const quint8 r = checkServerVersion();
    if (r == vqupdate::WebUpdateAvailable) {
        ui->progressBar->setValue(0);
        if (!startHttpDownload(downloadUrl.toString(), QString(), localArchive))
            sequenceEnded();
        return;
    }
    if (r == vqupdate::FileServerUpdateAvailable) {
        for (int pass = 0; pass < 2; ++pass) {
            if (updateState == 0) {
                updateFromFileServer();
            } else {
                ui->progressBar->setValue(0);
                ui->progressBar->setValue(100);
                updateState = 2;
            }
        }
    }
    sequenceEnded();
}

void MainWindow::on_pushButton_2_clicked()
{
    close();
}

quint8 MainWindow::checkServerVersion()
{
    ui->textEdit->clear();
    appendLog(QStringLiteral("当前时间：")
              + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    vqupdate::CheckLog log;
    log.append = [this](const QString &text) { appendLog(text); };
    const vqupdate::CheckOutcome outcome =
        vqupdate::checkServerVersion(sources, ownVersion, checkTexts(), log);
    packageName = outcome.packageName;
    if (outcome.result == vqupdate::WebUpdateAvailable)
        downloadUrl = outcome.downloadUrl;
    return outcome.result;
}

bool MainWindow::startHttpDownload(const QString &url, const QString &, const QString &target)
{
    qDebug() << "[download file]" << url;
    downloadFile->setFileName(target);
    // A leftover of an earlier attempt must not trail behind a shorter download.
    if (!downloadFile->open(QIODevice::ReadWrite | QIODevice::Truncate))
        return false;
    downloadWriteFailed = false;
    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    downloadReply = networkManager->get(request);
    if (downloadReply->error() != QNetworkReply::NoError) {
        downloadFile->close();
        downloadReply->deleteLater();
        downloadReply = nullptr;
        return false;
    }
    connect(downloadReply, &QNetworkReply::finished, this, &MainWindow::httpDowloadFinished);
    connect(downloadReply, &QNetworkReply::readyRead, this, &MainWindow::httpDowload);
    connect(downloadReply, &QNetworkReply::downloadProgress, this, &MainWindow::httpDowProcess);
    return true;
}

void MainWindow::httpDowload()
{
    if (!downloadReply || !downloadFile->isOpen())
        return;
    const QByteArray data = downloadReply->readAll();
    if (downloadFile->write(data) != data.size())
        downloadWriteFailed = true;
}

void MainWindow::httpDowProcess(qint64 received, qint64 total)
{
    // An unknown total (-1) shows as a busy bar rather than a broken range.
    ui->progressBar->setMaximum(int(qMax<qint64>(total, 0)));
    ui->progressBar->setValue(int(received));
    totalBytes = quint32(total >= 0 ? total : received);
}

void MainWindow::httpDowloadFinished()
{
    httpDowload();
    const int status = downloadReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool downloaded = downloadReply->error() == QNetworkReply::NoError && status >= 200
                            && status < 300 && !downloadWriteFailed;
    downloadFile->seek(0);
    downloadFile->close();

    if (!downloaded) {
        updateState = 0;
        QFile::remove(localArchive);
        appendLog(QStringLiteral("升级失败，更新文件下载失败！"));
    } else {
        QString failedName;
        bool packageBroken = false;
        if (installPackage(failedName, packageBroken)) {
            updateState = 1;
            appendLog(QStringLiteral("升级成功，文件大小为") + QString::number(totalBytes)
                      + QStringLiteral("个字节！"));
        } else {
            updateState = 0;
            appendLog(packageBroken ? QStringLiteral("升级失败，更新文件已损坏！")
                                    : QStringLiteral("升级失败，") + failedName
                                          + QStringLiteral("文件拷贝失败！"));
        }
    }

    disconnect(downloadReply, nullptr, this, nullptr);
    downloadReply->deleteLater();
    downloadReply = nullptr;

    if (updateState == 1) {
        showBox(QMessageBox::Information, tr("成功"), tr("升级成功，请关闭本软件！"));
    } else if (retryCount <= retryLimit) {
        ++retryCount;
        ui->progressBar->setValue(0);
        if (startHttpDownload(downloadUrl.toString(), QString(), localArchive))
            return;
    } else {
        showBox(QMessageBox::Critical, tr("错误"), tr("升级失败，请联系我司FAE获取最新的软件下载地址！"));
    }
    sequenceEnded();
}

bool MainWindow::updateFromFileServer()
{
    QFile::remove(localArchive);
    const QString remoteArchive =
        vqupdate::shareFolder(sources.fileServer) + QStringLiteral("vq_download_tool.zip");
    if (!QFile::copy(remoteArchive, localArchive)) {
        appendLog(QStringLiteral("在文件服务器中未查询到更新文件！"));
        return false;
    }
    const qint64 local = QFileInfo(localArchive).size();
    const qint64 remote = QFileInfo(remoteArchive).size();
    const QString sizes = QStringLiteral("服务器文件大小为：") + QString::number(remote)
                          + QStringLiteral("已下载文件大小为：") + QString::number(local);
    QString failedName;
    bool packageBroken = false;
    if (local == remote && installPackage(failedName, packageBroken)) {
        appendLog(QStringLiteral("更新完成！"));
        appendLog(QStringLiteral("文件大小为：") + QString::number(local));
        updateState = 1;
    } else {
        appendLog(QStringLiteral("更新失败！"));
        appendLog(sizes);
        updateState = 0;
    }
    QFile::remove(localArchive);
    return true;
}

bool MainWindow::unpackPackage(QString &releaseFolder)
{
    // A fresh folder per attempt: nothing of an earlier attempt or of the
    // installation can pass for part of this release. Folders of attempts
    // that were cut off by a crash or a power loss go first.
    const QDir work = QDir::current();
    const QStringList leftovers = work.entryList({QStringLiteral("upliftor-staging-*")},
                                                 QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &leftover : leftovers)
        removeDirectory(work.absoluteFilePath(leftover));
    QTemporaryDir staging(work.absoluteFilePath(QStringLiteral("upliftor-staging-XXXXXX")));
    if (!staging.isValid())
        return false;
    staging.setAutoRemove(false);
    stagingFolder = staging.path();
    releaseFolder = stagingFolder + QLatin1Char('/') + releaseFolderName;
    return extractArchive(localArchive, stagingFolder) && QFileInfo(releaseFolder).isDir();
}

bool MainWindow::installPackage(QString &failedName, bool &packageBroken)
{
    QString releaseFolder;
    packageBroken = !unpackPackage(releaseFolder);
    const bool ok = !packageBroken && copyDirectoryFiles(releaseFolder, installFolder, true, failedName);
    if (!stagingFolder.isEmpty())
        removeDirectory(stagingFolder);
    stagingFolder.clear();
    QFile::remove(localArchive);
    return ok;
}
