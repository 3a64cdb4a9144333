// upliftor against hostile servers, measured from outside as a site meets
// it: how long its update sequence takes to end, its peak resident memory,
// and the most its installation folder held on the disk at once.

#include "updaterbench.h"

#include "httpstub.h"
#include "testutil.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <sys/stat.h>

namespace {

const QString releaseFolder = QString::fromUtf8("Quorvex串口烧录工具");
const QByteArray packagePath = "/vq_download_tool_v1.0.2.zip";

// Blocks in use below root, so that a sparse file counts as what it takes.
qint64 diskBytes(const QString &root)
{
    qint64 total = 0;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        struct stat st;
        if (::lstat(QFile::encodeName(it.next()).constData(), &st) == 0)
            total += qint64(st.st_blocks) * 512;
    }
    return total;
}

// Runs upliftor in a fresh installation against one kind of answer for the
// release and prints one line of figures.
int measure(const char *label, const HttpStub::Answer &answer, int limitSeconds)
{
    QTemporaryDir root;
    const QString inst = root.filePath(QStringLiteral("inst"));
    HttpStub web;
    web.route("/", {{200, "<a href='vq_download_tool_v1.0.2.zip'>v1.0.2</a>", HttpStub::Whole}});
    web.route(packagePath, {answer});
    writeFile(inst + QStringLiteral("/config/update_sources.json"),
              QStringLiteral(R"({"webHost": "%1", "fileServer": "%2"})")
                  .arg(web.host(), root.filePath(QStringLiteral("no-share")))
                  .toUtf8());
    writeFile(inst + QStringLiteral("/vq_download_tool"), "old tool");

    QProcess updater;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // The listing's one second is not what is measured here; a busy machine
    // must not turn it into a silent server.
    env.insert(QStringLiteral("VQ_TEST_LISTING_WAIT_MS"), QStringLiteral("30000"));
    updater.setProcessEnvironment(env);
    updater.setWorkingDirectory(inst);
    QByteArray output;
    QObject::connect(&updater, &QProcess::readyReadStandardError, [&] { output += updater.readAllStandardError(); });
    QElapsedTimer clock;
    clock.start();
    updater.start(QCoreApplication::applicationDirPath() + QStringLiteral("/upliftor/upliftor"), QStringList());
    if (!updater.waitForStarted()) {
        fprintf(stderr, "upliftor did not start\n");
        return 1;
    }
    qint64 peakDisk = 0;
    qint64 peakKiB = 0;
    double firstAttempt = -1;
    QEventLoop loop;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] {
        peakDisk = qMax(peakDisk, diskBytes(inst));
        peakKiB = qMax(peakKiB, peakResidentKiB(updater.processId()));
        if (firstAttempt < 0 && (output.contains(QString::fromUtf8("[log] 升级失败").toUtf8())
                                 || output.contains(QString::fromUtf8("[log] 升级成功").toUtf8())))
            firstAttempt = clock.elapsed() / 1000.0;
        if (output.contains("[update sequence ended]") || updater.state() == QProcess::NotRunning
            || clock.elapsed() > limitSeconds * 1000LL)
            loop.quit();
    });
    // Often enough to catch an archive that is refused a few milliseconds
    // after it has arrived.
    sample.start(5);
    loop.exec();
    const double seconds = clock.elapsed() / 1000.0;
    const bool ended = output.contains("[update sequence ended]");
    updater.kill();
    updater.waitForFinished();
    QString outcome = QStringLiteral("no end");
    if (ended)
        outcome = output.contains(QString::fromUtf8("[box] 成功").toUtf8()) ? QStringLiteral("installed")
                                                                             : QStringLiteral("not installed");
    const QList<QByteArray> logLines = output.split('\n');
    QByteArray why;
    for (const QByteArray &line : logLines)
        if (line.startsWith("[log] ") && !line.contains("升级失败") && !line.contains("重新下载"))
            why = line.mid(6);
    printf("updater-%s: %s after %.1f s (first attempt %.2f s), %d attempts, peak memory %.1f MiB, peak disk "
           "%.1f MiB; last reason: %s\n",
           label, qPrintable(outcome), seconds, firstAttempt, web.requests(packagePath), peakKiB / 1024.0,
           peakDisk / 1048576.0, why.constData());
    fflush(stdout);
    return ended ? 0 : 1;
}

// Zeros from a sparse file, packed by Info-ZIP as a bomb maker would.
QByteArray makeBomb(qint64 bytes)
{
    QTemporaryDir scratch;
    QFile zeros(scratch.filePath(releaseFolder + QStringLiteral("/config/VQ571M_RAM_BIN.bin")));
    QDir().mkpath(QFileInfo(zeros).path());
    if (!zeros.open(QIODevice::WriteOnly) || !zeros.resize(bytes))
        return QByteArray();
    zeros.close();
    QElapsedTimer clock;
    clock.start();
    QProcess zip;
    zip.setWorkingDirectory(scratch.path());
    zip.start(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-r"), QStringLiteral("-X"),
                                      QStringLiteral("bomb.zip"), releaseFolder});
    zip.waitForFinished(-1);
    const QByteArray archive = readFile(scratch.filePath(QStringLiteral("bomb.zip")));
    printf("updater-bomb: %lld bytes packed into %d in %.1f s\n", bytes, archive.size(), clock.elapsed() / 1000.0);
    return archive;
}

} // namespace

int benchUpdater(const QStringList &only, qint64 bombBytes, int trickleMs)
{
    int failed = 0;
    if (only.contains(QStringLiteral("release"))) {
        const QByteArray release =
            readFile(QCoreApplication::applicationDirPath() + QStringLiteral("/vq_download_tool.zip"));
        failed |= measure("release", {200, release, HttpStub::Whole}, 600);
    }
    if (only.contains(QStringLiteral("endless")))
        failed |= measure("endless", {200, {}, HttpStub::Endless, HttpStub::noLength}, 3600);
    if (only.contains(QStringLiteral("bomb"))) {
        const QByteArray bomb = makeBomb(bombBytes);
        failed |= bomb.isEmpty() || measure("bomb", {200, bomb, HttpStub::Whole}, 3600);
    }
    if (only.contains(QStringLiteral("trickle"))) {
        HttpStub::Answer trickle{200, QByteArray(1000, 't'), HttpStub::Trickle};
        trickle.paceMs = trickleMs;
        failed |= measure("trickle", trickle, 3600);
    }
    return failed;
}
