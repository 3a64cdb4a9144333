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

#include <cerrno>
#include <climits>

namespace {

const QString ownVersion = QStringLiteral("v1.0.1");
const QString localArchive = QStringLiteral("./vq_download_tool.zip");
const QString releaseFolderName = QStringLiteral("Quorvex串口烧录工具");
const QString installFolder = QStringLiteral("./");

// HTTP re-downloads in the life of the process; pressing the update button
// again does not give them back.
quint8 retryCount = 0;
const quint8 retryLimit = 2;

// The largest release that makes sense: the programs with the Qt 5 runtime,
// plug-ins and compiler runtime they ship with on Windows come to some 25 MB
// packed, 60 MB unpacked. 256 MiB leaves ten times that room, and still
// stops a server that sends without end long before a factory PC's disk
// fills: an install holds the archive, the unpacked release, the staged
// copies and the backups at once, about four times the archive.
const qint64 downloadCapBytes = qint64(256) << 20;

// Received bytes that Qt may hold for the updater. They are read and written
// out as they come; when the disk is slower than the network the server is
// held back rather than the bytes kept in memory.
const qint64 downloadBufferBytes = qint64(1) << 20;
const qint64 writeChunkBytes = qint64(64) << 10;

// Tests shorten the waits below through variables named beside them, so as
// not to sit through them on every attempt.
int testableMs(const char *variable, int ms)
{
    bool set = false;
    const int value = qEnvironmentVariableIntValue(variable, &set);
    return set && value > 0 ? value : ms;
}

// The lab server sends a release in seconds; one that sends nothing for half
// a minute has stopped, not slowed down. VQ_TEST_STALL_MS.
const int stallMs = 30000;
int stallWait() { return testableMs("VQ_TEST_STALL_MS", stallMs); }

// A server that trickles keeps the stall wait from ever running out; its
// average gives it away. At 1 KiB/s a 25 MB release takes seven hours, so a
// server that slow will not deliver. It is judged after half a minute, and
// every half minute after that, so that a slow start (a busy server, a link
// coming up) is not taken for it. VQ_TEST_RATE_WINDOW_MS.
const qint64 minAverageBytesPerSecond = 1024;
const int rateWindowMs = 30000;
int rateWindow() { return testableMs("VQ_TEST_RATE_WINDOW_MS", rateWindowMs); }

// However it sends, an attempt ends by a deadline: the rate window and the
// time the declared length (or, with none, the download cap) takes at
// 32 KiB/s, a slow DSL line. A 25 MB release gets some 13 minutes, a download
// of unknown length 2.3 hours.
const qint64 deadlineBytesPerSecond = qint64(32) << 10;

int attemptDeadlineMs(qint64 length)
{
    return int(qMin<qint64>(INT_MAX, rateWindow() + length * 1000 / deadlineBytesPerSecond));
}

// A server that has just failed gets a moment before the next attempt; four
// attempts against a trickling server still end within three minutes.
// VQ_TEST_RETRY_PAUSE_MS.
const int retryPauseMs = 5000;
int retryPause() { return testableMs("VQ_TEST_RETRY_PAUSE_MS", retryPauseMs); }

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
    stallTimer = new QTimer(this);
    stallTimer->setSingleShot(true);
    connect(stallTimer, &QTimer::timeout, this, [this] {
        endDownload(QStringLiteral("服务器已停止发送数据（%1 秒未收到任何数据），下载中止！").arg(stallWait() / 1000.0));
    });
    rateTimer = new QTimer(this);
    connect(rateTimer, &QTimer::timeout, this, &MainWindow::checkAverageRate);
    deadlineTimer = new QTimer(this);
    deadlineTimer->setSingleShot(true);
    connect(deadlineTimer, &QTimer::timeout, this, [this] {
        endDownload(QStringLiteral("下载超过 %1 秒的时限，下载中止！")
                        .arg(attemptDeadlineMs(declaredBytes >= 0 ? declaredBytes : downloadCapBytes) / 1000));
    });
    retryTimer = new QTimer(this);
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, [this] {
        if (!startHttpDownload(downloadUrl.toString(), QString(), localArchive))
            sequenceEnded();
    });
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
    if (downloadReply || retryTimer->isActive())
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
    // Bytes go to the partial file and become the archive once they are all
    // in, so that nothing cut short is ever taken for a release.
    downloadTarget = target;
    downloadFile->setFileName(QDir(QFileInfo(target).path()).filePath(QLatin1String(partialDownloadName)));
    if (!downloadFile->open(QIODevice::ReadWrite | QIODevice::Truncate | QIODevice::Unbuffered)) {
        appendLog(QStringLiteral("更新文件无法保存：") + downloadFile->errorString());
        return false;
    }
    downloadFailure.clear();
    receivedBytes = 0;
    declaredBytes = -1;
    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    downloadReply = networkManager->get(request);
    downloadReply->setReadBufferSize(downloadBufferBytes);
    if (downloadReply->error() != QNetworkReply::NoError) {
        downloadFile->close();
        QFile::remove(downloadFile->fileName());
        downloadReply->deleteLater();
        downloadReply = nullptr;
        return false;
    }
    connect(downloadReply, &QNetworkReply::finished, this, &MainWindow::httpDowloadFinished);
    connect(downloadReply, &QNetworkReply::readyRead, this, &MainWindow::httpDowload);
    connect(downloadReply, &QNetworkReply::downloadProgress, this, &MainWindow::httpDowProcess);
    attemptClock.start();
    stallTimer->start(stallWait());
    rateTimer->start(rateWindow());
    deadlineTimer->start(attemptDeadlineMs(downloadCapBytes));
    return true;
}

void MainWindow::endDownload(const QString &why)
{
    if (!downloadReply || !downloadFailure.isEmpty())
        return;
    downloadFailure = why;
    appendLog(why);
    stallTimer->stop();
    rateTimer->stop();
    deadlineTimer->stop();
    // Aborting finishes the reply at once, and this may run inside one of
    // its own signals: the end is left to the event loop.
    QNetworkReply *reply = downloadReply;
    QMetaObject::invokeMethod(
        reply, [reply] { if (reply->isRunning()) reply->abort(); }, Qt::QueuedConnection);
}

void MainWindow::checkAverageRate()
{
    const qint64 elapsedMs = attemptClock.elapsed();
    if (receivedBytes * 1000 >= elapsedMs * minAverageBytesPerSecond)
        return;
    endDownload(QStringLiteral("服务器发送过慢（%1 秒只收到 %2 字节，平均每秒不足 %3 字节），下载中止！")
                    .arg(elapsedMs / 1000.0, 0, 'f', 1)
                    .arg(receivedBytes)
                    .arg(minAverageBytesPerSecond));
}

// Why an attempt that the updater did not end itself came to nothing.
QString MainWindow::interruptedLine(int status) const
{
    if (status != 0 && (status < 200 || status >= 300))
        return QStringLiteral("服务器回答 HTTP %1，下载失败！").arg(status);
    if (declaredBytes < 0)
        return QStringLiteral("下载中断：服务器未声明大小，收到 %1 字节！").arg(receivedBytes);
    return QStringLiteral("下载中断：共 %1 字节，只收到 %2 字节！").arg(declaredBytes).arg(receivedBytes);
}

QString MainWindow::noSpaceLine(const QString &step, qint64 needed, qint64 free)
{
    QString line = QStringLiteral("磁盘空间不足，%1失败（%2 剩余空间 %3 字节")
                       .arg(step, QDir::currentPath())
                       .arg(free >= 0 ? free : freeSpace(QDir::currentPath()));
    if (needed >= 0)
        line += QStringLiteral("，需要 %1 字节").arg(needed);
    return line + QStringLiteral("）！");
}

void MainWindow::httpDowload()
{
    if (!downloadReply || !downloadFile->isOpen() || !downloadFailure.isEmpty())
        return;
    stallTimer->start(stallWait());
    const QVariant length = downloadReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && !takeDeclaredLength(length.toLongLong()))
        return;
    while (downloadReply->bytesAvailable() > 0) {
        const QByteArray data = downloadReply->read(writeChunkBytes);
        receivedBytes += data.size();
        if (receivedBytes > downloadCapBytes) {
            endDownload(QStringLiteral("更新文件超过 %1 字节的上限，下载中止！").arg(downloadCapBytes));
            return;
        }
        if (declaredBytes >= 0 && receivedBytes > declaredBytes) {
            endDownload(QStringLiteral("服务器发送的数据多于其声明的 %1 字节，下载中止！").arg(declaredBytes));
            return;
        }
        bool noSpace = false;
        if (!writeWhole(*downloadFile, data, "download-write", noSpace)) {
            endDownload(noSpace ? noSpaceLine(QStringLiteral("更新文件下载"))
                                : QStringLiteral("更新文件写入失败：") + downloadFile->errorString());
            return;
        }
        // For the test hooks: half the declared bytes are on the disk, in
        // however many pieces they came.
        const qint64 half = declaredBytes / 2;
        if (half > 0 && receivedBytes >= half && receivedBytes - data.size() < half)
            passPoint("download-half");
    }
}

// Taken from the head as soon as it is in: Qt reports progress a tenth of a
// second apart, and a download on the local network is half over by then.
bool MainWindow::takeDeclaredLength(qint64 total)
{
    if (total < 0 || declaredBytes >= 0)
        return true;
    // A length over the cap is refused before its bytes take up the disk.
    if (total > downloadCapBytes) {
        endDownload(QStringLiteral("服务器声明的更新文件大小 %1 字节超过 %2 字节的上限，下载中止！")
                        .arg(total)
                        .arg(downloadCapBytes));
        return false;
    }
    declaredBytes = total;
    deadlineTimer->start(int(qMax<qint64>(0, attemptDeadlineMs(total) - attemptClock.elapsed())));
    return true;
}

void MainWindow::httpDowProcess(qint64 received, qint64 total)
{
    if (!downloadFailure.isEmpty())
        return;
    stallTimer->start(stallWait());
    if (!takeDeclaredLength(total))
        return;
    // An unknown total (-1) shows as a busy bar rather than a broken range.
    ui->progressBar->setMaximum(int(qMax<qint64>(total, 0)));
    ui->progressBar->setValue(int(qMin<qint64>(received, downloadCapBytes)));
    totalBytes = quint32(total >= 0 ? total : received);
}

void MainWindow::httpDowloadFinished()
{
    httpDowload();
    stallTimer->stop();
    rateTimer->stop();
    deadlineTimer->stop();
    const int status = downloadReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool arrived = downloadFailure.isEmpty() && downloadReply->error() == QNetworkReply::NoError
                         && status >= 200 && status < 300 && (declaredBytes < 0 || receivedBytes == declaredBytes);
    downloadFile->close();
    bool downloaded = false;
    if (arrived) {
        QFile::remove(downloadTarget);
        downloaded = QFile::rename(downloadFile->fileName(), downloadTarget);
    }

    if (!downloaded) {
        updateState = 0;
        QFile::remove(downloadFile->fileName());
        if (downloadFailure.isEmpty())
            appendLog(arrived ? QStringLiteral("更新文件无法保存！") : interruptedLine(status));
        appendLog(QStringLiteral("升级失败，更新文件下载失败！"));
    } else {
        QString failedName;
        const InstallProblem problem = installPackage(failedName);
        if (problem == Installed) {
            updateState = 1;
            appendLog(QStringLiteral("升级成功，文件大小为") + QString::number(totalBytes)
                      + QStringLiteral("个字节！"));
        } else {
            updateState = 0;
            appendLog(problem == PackageBroken ? QStringLiteral("升级失败，更新文件已损坏！")
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
        appendLog(QStringLiteral("%1 秒后重新下载……").arg(retryPause() / 1000.0));
        retryTimer->start(retryPause());
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
    const qint64 remote = QFileInfo(remoteArchive).size();
    auto sizesLine = [&](qint64 local) {
        return QStringLiteral("服务器文件大小为：") + QString::number(remote)
               + QStringLiteral("已下载文件大小为：") + QString::number(local);
    };
    // Copied in pieces through the partial file, like a download: a full
    // disk ends the copy at once and nothing cut short is left behind.
    QFile in(remoteArchive);
    QFile part{QString::fromLatin1(partialDownloadName)};
    if (!QFileInfo(remoteArchive).isFile() || !in.open(QIODevice::ReadOnly)) {
        appendLog(QStringLiteral("在文件服务器中未查询到更新文件！"));
        return false;
    }
    if (remote > downloadCapBytes) {
        appendLog(QStringLiteral("服务器上的更新文件大小 %1 字节超过 %2 字节的上限！").arg(remote).arg(downloadCapBytes));
        appendLog(QStringLiteral("更新失败！"));
        appendLog(sizesLine(0));
        updateState = 0;
        return true;
    }
    bool copied = part.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
    bool noSpace = !copied && part.error() == QFileDevice::ResourceError;
    qint64 local = 0;
    while (copied && local <= downloadCapBytes) {
        const QByteArray chunk = in.read(writeChunkBytes);
        if (chunk.isEmpty())
            break;
        local += chunk.size();
        copied = writeWhole(part, chunk, "download-write", noSpace);
    }
    part.close();
    copied = copied && local <= downloadCapBytes;
    if (copied) {
        QFile::remove(localArchive);
        copied = QFile::rename(part.fileName(), localArchive);
    }
    if (!copied) {
        QFile::remove(part.fileName());
        if (noSpace)
            appendLog(noSpaceLine(QStringLiteral("从文件服务器复制更新文件")));
        else
            appendLog(QStringLiteral("更新文件无法保存：") + part.errorString());
        appendLog(QStringLiteral("更新失败！"));
        appendLog(sizesLine(local));
        updateState = 0;
        return false;
    }
    QString failedName;
    if (local == remote && installPackage(failedName) == Installed) {
        appendLog(QStringLiteral("更新完成！"));
        appendLog(QStringLiteral("文件大小为：") + QString::number(local));
        updateState = 1;
    } else {
        appendLog(QStringLiteral("更新失败！"));
        appendLog(sizesLine(local));
        updateState = 0;
    }
    QFile::remove(localArchive);
    return true;
}

ExtractOutcome MainWindow::unpackPackage(QString &releaseFolder, ExtractReport &report)
{
    report = ExtractReport();
    // A fresh folder per attempt: nothing of an earlier attempt or of the
    // installation can pass for part of this release. Folders of attempts
    // that were cut off by a crash or a power loss go first.
    const QDir work = QDir::current();
    const QStringList leftovers = work.entryList({QStringLiteral("upliftor-staging-*")},
                                                 QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &leftover : leftovers)
        removeDirectory(work.absoluteFilePath(leftover));
    errno = 0;
    QTemporaryDir staging(work.absoluteFilePath(QStringLiteral("upliftor-staging-XXXXXX")));
    if (!staging.isValid()) {
        report.noSpace = errno == ENOSPC;
        report.failedName = releaseFolderName;
        return ExtractWriteFailed;
    }
    staging.setAutoRemove(false);
    stagingFolder = staging.path();
    releaseFolder = stagingFolder + QLatin1Char('/') + releaseFolderName;
    const ExtractOutcome outcome = extractArchive(localArchive, stagingFolder, report);
    if (outcome == Extracted && !QFileInfo(releaseFolder).isDir())
        return ArchiveBroken;
    return outcome;
}

MainWindow::InstallProblem MainWindow::installPackage(QString &failedName)
{
    QString releaseFolder;
    ExtractReport unpacked;
    InstallReport report;
    InstallProblem problem = CopyFailed;
    switch (unpackPackage(releaseFolder, unpacked)) {
    case Extracted:
        if (copyDirectoryFiles(releaseFolder, installFolder, true, failedName, &report))
            problem = Installed;
        else if (report.noSpace)
            appendLog(noSpaceLine(QStringLiteral("拷贝更新文件")));
        break;
    case ArchiveBroken:
        problem = PackageBroken;
        break;
    case EntryTooLong:
        appendLog(QStringLiteral("更新文件中的 %1 解压后超出其声明的大小！").arg(unpacked.failedName));
        problem = PackageBroken;
        break;
    case ReleaseTooLarge:
        appendLog(QStringLiteral("更新文件解压后共 %1 字节，超过上限 %2 字节（1 GiB 与更新文件大小 100 倍中的较小者）！")
                      .arg(unpacked.unpackedBytes)
                      .arg(unpacked.capBytes));
        problem = PackageBroken;
        break;
    case NoRoomToUnpack:
        appendLog(noSpaceLine(QStringLiteral("解压更新文件"), 2 * unpacked.unpackedBytes, unpacked.freeBytes));
        failedName = releaseFolderName;
        break;
    case ExtractWriteFailed:
        if (unpacked.noSpace)
            appendLog(noSpaceLine(QStringLiteral("解压更新文件")));
        failedName = unpacked.failedName;
        break;
    }
    if (!stagingFolder.isEmpty())
        removeDirectory(stagingFolder);
    stagingFolder.clear();
    QFile::remove(localArchive);
    // The rule that spares the installation's own files also catches names
    // such as changelog.txt or logo.png; a success must not hide them.
    if (problem == Installed && !report.skipped.isEmpty()) {
        appendLog(QStringLiteral("以下更新文件未安装（名称含“log”或“upliftor”，或为本机设置文件）："));
        for (const QString &path : qAsConst(report.skipped))
            appendLog(QStringLiteral("未安装：") + path);
    }
    return problem;
}
