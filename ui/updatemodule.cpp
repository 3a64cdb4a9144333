#include "updatemodule.h"
#include "ui_updatemodule.h"

#include "appglobals.h"
#include "chipinfo.h"
#include "updaterules.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QTextCursor>
#include <QThread>
#include <QTimer>

bool checkStarted = false;

namespace {

#ifdef Q_OS_WIN
const QString updaterProgram = QStringLiteral("upliftor/upliftor.exe");
#else
const QString updaterProgram = QStringLiteral("upliftor/upliftor");
#endif

// A test that runs the whole program in a child process has no hand to
// press "开始更新"; with this set to 1 the window presses it itself once its
// check has found a release. Test use only.
const char *const autoStartVariable = "VQ_TEST_START_UPDATE";

vqupdate::CheckTexts toolTexts()
{
    vqupdate::CheckTexts t;
    t.webUnreachable = QStringLiteral("无法连接网络服务器，请检查网络状态！");
    t.webNoPackage = QStringLiteral("更新状态获取失败，请联系我们获取最新的软件！");
    t.webParseFailed = QStringLiteral("服务器版本号解析失败，请联系我们获取最新的软件！");
    t.webVersion = QStringLiteral("网络服务器版本号：v%1.%2.%3");
    t.localVersion = QStringLiteral("本地版本号：v%1.%2.%3");
    t.newerOnWeb = QStringList{QStringLiteral("检测到服务器有新版本"),
                               QStringLiteral("\n开始升级...如果升级失败，请联系我司FAE获取最新的下载地址")};
    t.upToDate = QStringLiteral("当前已经是最新版本，无需升级！");
    t.fileParseFailed = QStringLiteral("文件服务器版本号解析失败，请联系Quorvex实验室！");
    t.fileVersion = QStringLiteral("文件服务器版本号：v%1.%2.%3");
    t.newerOnFileServer = QStringLiteral("检测到服务器有新版本！");
    // The share is the fallback: what the web step said no longer applies.
    t.clearLogAtFileServer = true;
    return t;
}

bool updateFound(quint8 result)
{
    return result == vqupdate::WebUpdateAvailable || result == vqupdate::FileServerUpdateAvailable;
}

} // namespace

updateModule::updateModule(QWidget *parent)
    : QWidget(parent), ui(new Ui::updateModule)
{
    ui->setupUi(this);
    sources = vqupdate::loadUpdateSources(configDir());
}

updateModule::~updateModule()
{
    delete ui;
}

int updateModule::queryWebVersion(QString &name) const
{
    return vqupdate::queryWebListing(vqupdate::listingUrl(sources.webHost), &name);
}

quint8 updateModule::checkServerVersion(const vqupdate::CheckLog &log) const
{
    return vqupdate::checkServerVersion(sources, QString::fromLatin1(kProgramVersion), toolTexts(), log)
        .result;
}

quint8 updateModule::checkServerVersion()
{
    vqupdate::CheckLog log;
    log.append = [this](const QString &text) { appendLog(text); };
    log.clear = [this] { ui->textEdit->clear(); };
    return checkServerVersion(log);
}

// Plain text, one paragraph per message: the release log from the share is
// shown as written, even where it holds something that looks like markup.
void updateModule::appendLog(const QString &text)
{
    QTextCursor cursor(ui->textEdit->document());
    cursor.movePosition(QTextCursor::End);
    if (!ui->textEdit->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(text);
    qDebug().noquote() << "[log]" << text;
}

void updateModule::paintEvent(QPaintEvent *e)
{
    QWidget::paintEvent(e);
    if (checkStarted)
        return;
    checkStarted = true;
    // The check waits for the listing in a local event loop; run inside the
    // paint it would re-enter painting, so it runs right after this paint.
    QTimer::singleShot(0, this, [this] {
        const quint8 result = checkServerVersion();
        if (updateFound(result) && qEnvironmentVariableIntValue(autoStartVariable) == 1)
            ui->pushButton->click();
    });
}

void updateModule::on_pushButton_clicked()
{
    // The updater works in its parent folder, the installation, wherever the
    // tool itself was started from.
    const QString folder = QCoreApplication::applicationDirPath();
    const QString program = QDir(folder).filePath(updaterProgram);
    qint64 pid = 0;
    if (!QFile::exists(program) || !QProcess::startDetached(program, QStringList(), folder, &pid)) {
        QMessageBox::critical(this, QStringLiteral("错误"), QStringLiteral("无法打开升级程序，请联系我司售后人员！"),
                              QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok);
        return;
    }
    qDebug() << "[updater started]" << pid;
    emit closeStartWindow();
    // Lets the updater's window come up before the tool's windows go.
    QThread::msleep(100);
    close();
}
