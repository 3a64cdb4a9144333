// The whole update as a site sees it: the real vq_download_tool, started
// from elsewhere, finds a newer release on a local web server, hands over to
// the real upliftor and exits; upliftor installs the real release archive
// over the installation and spares its settings and logs.

#include "httpstub.h"
#include "shelltest.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

using namespace shelltest;

namespace {
QString buildDir() { return qEnvironmentVariable("VQ_BUILD_DIR"); }
const QByteArray updaterEnded = "[update sequence ended]";

// The tool and its updater as the release lays them out.
bool installPrograms(const QString &inst)
{
    return QDir().mkpath(inst + QStringLiteral("/upliftor"))
        && QFile::copy(buildDir() + QStringLiteral("/vq_download_tool"), inst + QStringLiteral("/vq_download_tool"))
        && QFile::copy(buildDir() + QStringLiteral("/upliftor/upliftor"), inst + QStringLiteral("/upliftor/upliftor"));
}

// A site's settings, counters and logs, and an older RAM code, in an
// installation that says it is `version`.
bool writeSiteFiles(const QString &inst, const QByteArray &version)
{
    return writeFile(inst + QStringLiteral("/config/cfg_file.json"), R"({"okCount": 41, "failCount": 2})")
        && writeFile(inst + QStringLiteral("/config/VQ571M_RAM_BIN.bin"), "old RAM code")
        && writeFile(inst + QStringLiteral("/config/version.txt"), version)
        && writeFile(inst + QStringLiteral("/log/2026-01-01.text"), "yesterday's log");
}
} // namespace

class TestHandover : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void updateFromTheWeb();
    void updateFromTheShare_data();
    void updateFromTheShare();

private:
    // Starts the installed tool from another folder with the update check
    // forced, and waits until the updater it hands over to has ended; both
    // programs write to `output`.
    void runTool(const QString &inst, const QString &elsewhere, const QString &output);

    QByteArray release;
    Tree releaseTree;
    qint64 updaterPid = 0;
};

void TestHandover::initTestCase()
{
    stretchListingWait();
    for (const char *program : {"/vq_download_tool", "/upliftor/upliftor"})
        QVERIFY2(QFile::exists(buildDir() + QLatin1String(program)), program);
    release = readFile(buildDir() + QStringLiteral("/vq_download_tool.zip"));
    QVERIFY2(!release.isEmpty(), "release archive not built");
    releaseTree = unpackedRelease(buildDir() + QStringLiteral("/vq_download_tool.zip"), releaseFolder());
    QVERIFY2(!releaseTree.isEmpty(), "unzip could not unpack the release archive");
    QVERIFY(releaseTree.contains(QStringLiteral("vq_download_tool")));
}

void TestHandover::runTool(const QString &inst, const QString &elsewhere, const QString &output)
{
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("VQ_CONFIG_DIR"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("VQ_TEST_START_UPDATE"), QStringLiteral("1"));
    tool.setProcessEnvironment(env);
    tool.setWorkingDirectory(elsewhere);
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.setStandardOutputFile(output);
    tool.start(inst + QStringLiteral("/vq_download_tool"), QStringList());
    QVERIFY(tool.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(tool.state() == QProcess::NotRunning, 120000);
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 0);

    const QRegularExpressionMatch started =
        QRegularExpression(QStringLiteral("\\[updater started\\] (\\d+)")).match(QString::fromUtf8(readFile(output)));
    QVERIFY2(started.hasMatch(), readFile(output).constData());
    updaterPid = started.captured(1).toLongLong();
    QTRY_VERIFY_WITH_TIMEOUT(readFile(output).contains(updaterEnded), 180000);
}

void TestHandover::cleanup()
{
    // upliftor stays up with its outcome box until someone closes it.
    if (updaterPid > 0)
        ::kill(pid_t(updaterPid), SIGTERM);
    updaterPid = 0;
}

void TestHandover::updateFromTheWeb()
{
    QTemporaryDir root;
    const QString inst = root.filePath(QStringLiteral("inst"));
    const QString elsewhere = root.filePath(QStringLiteral("desktop"));
    QVERIFY(QDir().mkpath(elsewhere));

    HttpStub web;
    web.route("/", {{200, "<html><a href='vq_download_tool_v3.0.3.zip'>v3.0.3</a></html>", HttpStub::Whole}});
    web.route("/vq_download_tool_v3.0.3.zip", {{200, release, HttpStub::Whole}});

    // An installation of the running version with a site's settings and logs.
    QVERIFY(installPrograms(inst));
    QVERIFY(pointSources(inst + QStringLiteral("/config"), web.host(), root.filePath(QStringLiteral("no-share")),
                         QByteArray()));
    QVERIFY(writeSiteFiles(inst, "v3.0.1"));
    const Tree before = snapshot(inst);

    const QString output = root.filePath(QStringLiteral("output.txt"));
    runTool(inst, elsewhere, output);
    if (QTest::currentTestFailed())
        return;

    const QString said = QString::fromUtf8(readFile(output));
    // The tool's update window showed what it found before it handed over.
    for (const char *line : {"[log] 网络服务器版本号：v3.0.3", "[log] 本地版本号：v3.0.2", "[log] 检测到服务器有新版本"})
        QVERIFY2(said.contains(QString::fromUtf8(line)), qPrintable(said));
    QVERIFY2(said.contains(QStringLiteral("[box] 成功 升级成功，请关闭本软件！")), qPrintable(said));
    QCOMPARE(web.requests("/vq_download_tool_v3.0.3.zip"), 1);

    // The release is installed; the settings, the logs and the updater that
    // ran are as they were, and nothing of the download is left.
    Tree expected = before;
    expected.insert(QStringLiteral("config/version.txt"), "-:v3.0.2");
    for (auto it = releaseTree.cbegin(); it != releaseTree.cend(); ++it)
        if (!it.key().startsWith(QLatin1String("upliftor/")))
            expected.insert(it.key(), it.value());
    const QString difference = treeDifference(snapshot(inst), expected);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestHandover::updateFromTheShare_data()
{
    QTest::addColumn<bool>("corrupted");
    // After "[updater started]", in this order; %size is the archive's size.
    QTest::addColumn<QStringList>("updaterSays");
    QTest::addColumn<QStringList>("neverSaid");
    const QStringList found{"无法连接网络服务器，请检查网络状态！", "文件服务器版本号：v3.0.3", "检测到服务器有新版本！",
                            "修复若干问题"};
    const QString sizes = QStringLiteral("服务器文件大小为：%size已下载文件大小为：%size");
    QTest::newRow("release on the share") << false << found + QStringList{"更新完成！", "文件大小为：%size"}
                                          << QStringList{"[log] 更新失败！", "[box]"};
    // Both passes try; the installation stays as it was.
    QTest::newRow("corrupted release on the share")
        << true << found + QStringList{"更新失败！", sizes, "更新失败！", sizes}
        << QStringList{"[log] 更新完成！", "[box]"};
}

// The same hand-over with the web server down: the tool and then upliftor
// find the release on the share, and upliftor installs it from there.
void TestHandover::updateFromTheShare()
{
    QFETCH(bool, corrupted);
    QFETCH(QStringList, updaterSays);
    QFETCH(QStringList, neverSaid);

    QTemporaryDir root;
    const QString inst = root.filePath(QStringLiteral("inst"));
    const QString elsewhere = root.filePath(QStringLiteral("desktop"));
    const QString mount = root.filePath(QStringLiteral("share"));
    QVERIFY(QDir().mkpath(elsewhere));
    QByteArray archive = release;
    if (corrupted) {
        for (int i = 20000; i < 20064; ++i)
            archive[i] = char(archive.at(i) ^ 0x5A);
    }
    QVERIFY(writeFile(mount + QStringLiteral("/lab/tools/") + releaseFolder() + QStringLiteral("/vq_download_tool.zip"),
                      archive));

    QVERIFY(installPrograms(inst));
    QVERIFY(pointSources(inst + QStringLiteral("/config"), deadHost(), mount,
                         QString::fromUtf8("Quorvex串口烧录工具:v3.0.3\r\n修复若干问题\n").toUtf8()));
    QVERIFY(writeSiteFiles(inst, "v3.0.2"));
    const Tree before = snapshot(inst);

    const QString output = root.filePath(QStringLiteral("output.txt"));
    runTool(inst, elsewhere, output);
    if (QTest::currentTestFailed())
        return;

    const QString said = QString::fromUtf8(readFile(output));
    const int handOver = said.indexOf(QStringLiteral("[updater started]"));
    for (const char *line : {"[log] 文件服务器版本号：v3.0.3", "[log] 本地版本号：v3.0.2", "[log] 检测到服务器有新版本！"})
        QVERIFY2(said.lastIndexOf(QString::fromUtf8(line), handOver) >= 0, qPrintable(said));
    int from = handOver;
    for (QString line : qAsConst(updaterSays)) {
        line = QStringLiteral("[log] ") + line.replace(QLatin1String("%size"), QString::number(archive.size()));
        const int at = said.indexOf(line, from);
        QVERIFY2(at >= 0, qPrintable(QStringLiteral("not said (in this order): ") + line + QStringLiteral("\n") + said));
        from = at + line.size();
    }
    for (const QString &line : qAsConst(neverSaid))
        QVERIFY2(!said.contains(line), qPrintable(QStringLiteral("said: ") + line + QStringLiteral("\n") + said));

    Tree expected = before;
    if (!corrupted) {
        for (auto it = releaseTree.cbegin(); it != releaseTree.cend(); ++it)
            if (!it.key().startsWith(QLatin1String("upliftor/")))
                expected.insert(it.key(), it.value());
    }
    const QString difference = treeDifference(snapshot(inst), expected);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

QTEST_GUILESS_MAIN(TestHandover)
#include "tst_handover.moc"
