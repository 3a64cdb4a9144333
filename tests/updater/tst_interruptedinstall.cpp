// Kills the real updater in the middle of installing the real release and
// checks what a site would find: every installed file whole (the old or the
// new one), and after the next start of the updater nothing left over and
// the installation wholly old or wholly new, with its programs runnable.

#include "httpstub.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString releaseFolder = QString::fromUtf8("Quorvex串口烧录工具");
const QByteArray endMarker = "[update sequence ended]";

QString buildDir() { return qEnvironmentVariable("VQ_BUILD_DIR"); }

enum State { Old, Mixed, New };

struct Run {
    QByteArray output;
    bool killed = false;
};

// Runs upliftor in `inst` until its update sequence ends or it dies.
// killAt / failAt are the test hooks' <point>:<n> (empty: none).
Run runUpdater(const QString &inst, const QString &killAt, const QString &failAt)
{
    Run run;
    QProcess updater;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.remove(QStringLiteral("VQ_TEST_KILL_AT"));
    env.remove(QStringLiteral("VQ_TEST_FAIL_AT"));
    if (!killAt.isEmpty())
        env.insert(QStringLiteral("VQ_TEST_KILL_AT"), killAt);
    if (!failAt.isEmpty())
        env.insert(QStringLiteral("VQ_TEST_FAIL_AT"), failAt);
    updater.setProcessEnvironment(env);
    updater.setWorkingDirectory(inst);
    QObject::connect(&updater, &QProcess::readyReadStandardError,
                     [&] { run.output += updater.readAllStandardError(); });
    updater.start(buildDir() + QStringLiteral("/upliftor/upliftor"), QStringList());
    if (!updater.waitForStarted())
        return run;
    (void)QTest::qWaitFor([&] { return run.output.contains(endMarker) || updater.state() == QProcess::NotRunning; },
                    180000);
    run.killed = updater.state() == QProcess::NotRunning && updater.exitStatus() == QProcess::CrashExit;
    updater.kill();
    updater.waitForFinished();
    run.output += updater.readAllStandardError();
    return run;
}

// Files only: what a file of the installation may hold right now.
Tree filesOf(const Tree &tree)
{
    Tree files;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        if (!it.key().endsWith(QLatin1Char('/')))
            files.insert(it.key(), it.value());
    return files;
}

} // namespace

Q_DECLARE_METATYPE(State)

class TestInterruptedInstall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void killed_data();
    void killed();

private:
    QByteArray release;
    Tree releaseTree;
};

void TestInterruptedInstall::initTestCase()
{
    stretchListingWait();
    QVERIFY2(QFile::exists(buildDir() + QStringLiteral("/upliftor/upliftor")), "upliftor not built");
    release = readFile(buildDir() + QStringLiteral("/vq_download_tool.zip"));
    QVERIFY2(!release.isEmpty(), "release archive not built");
    releaseTree = unpackedRelease(buildDir() + QStringLiteral("/vq_download_tool.zip"), releaseFolder);
    QVERIFY2(!releaseTree.isEmpty(), "unzip could not unpack the release archive");
    // The rows below count on six installed files, the RAM code first.
    QStringList installed;
    for (const QString &path : filesOf(releaseTree).keys())
        if (!path.startsWith(QLatin1String("upliftor/")))
            installed << path;
    QCOMPARE(installed.size(), 6);
}

void TestInterruptedInstall::killed_data()
{
    // The hooks count passes of a point within one process: "place:n" and
    // "rollback:n" are reached before the n-th rename or backup put back,
    // "stage:n" half-way through writing the n-th staged copy, "cleanup:n"
    // after the n-th backup is deleted. Files go in in name order (the four
    // RAM-code images, vq_download_tool, vq_flash) and come back reversed.
    QTest::addColumn<QString>("killAt");  // empty: the first run is not killed
    QTest::addColumn<QString>("failAt");
    QTest::addColumn<State>("afterKill");
    QTest::addColumn<QString>("killAgainAt");  // during the next start's recovery
    QTest::addColumn<State>("outcome");
    QTest::addColumn<QByteArray>("recovery");  // what the next start says it did

    const QByteArray finished = "[interrupted installation finished]";
    const QByteArray undone = "[interrupted installation undone]";
    // "download-half:1" is reached once half the download is on the disk,
    // however many pieces a build's archive comes in.
    QTest::newRow("downloading") << "download-half:1" << "" << Old << "" << Old
                                 << QByteArray("[partial download removed]");
    QTest::newRow("unpacking") << "extract:3" << "" << Old << "" << Old << undone;
    QTest::newRow("writing a staged copy") << "stage:2" << "" << Old << "" << Old << undone;
    QTest::newRow("all staged, none placed") << "staged:1" << "" << Old << "" << New << finished;
    QTest::newRow("placing the third file") << "place:3" << "" << Mixed << "" << New << finished;
    QTest::newRow("placing the tool") << "place:5" << "" << Mixed << "" << New << finished;
    QTest::newRow("placing, then again while finishing") << "place:3" << "" << Mixed << "place:2" << New
                                                         << finished;
    QTest::newRow("removing the backups") << "cleanup:2" << "" << New << "" << New << finished;
    // Undone while running, and the re-downloads find nothing more.
    QTest::newRow("a rename fails") << "" << "place:5" << Old << "" << Old << QByteArray();
    QTest::newRow("rolling back a failed rename") << "rollback:3" << "place:5" << Mixed << "" << Old << undone;
    QTest::newRow("rolling back, then again while finishing") << "rollback:3" << "place:5" << Mixed
                                                              << "rollback:2" << Old << undone;
    // vq_flash's backup cannot go back at first (as a running program's
    // file on Windows); its bytes are the release's too, so the others
    // are all old, and the next start finishes the rollback.
    QTest::newRow("a backup cannot be put back") << "" << "place:5,rollback:1" << Old << "" << Old << undone;
}

void TestInterruptedInstall::killed()
{
    QFETCH(QString, killAt);
    QFETCH(QString, failAt);
    QFETCH(State, afterKill);
    QFETCH(QString, killAgainAt);
    QFETCH(State, outcome);
    QFETCH(QByteArray, recovery);

    QTemporaryDir root;
    const QString inst = root.filePath(QStringLiteral("inst"));
    HttpStub web;
    web.route("/", {{200, "<a href='vq_download_tool_v1.0.2.zip'>v1.0.2</a>", HttpStub::Whole}});
    web.route("/vq_download_tool_v1.0.2.zip", {{200, release, HttpStub::Whole}, {404, "gone", HttpStub::Whole}});
    const QString sources = inst + QStringLiteral("/config/update_sources.json");
    QVERIFY(writeFile(sources, QStringLiteral(R"({"webHost": "%1", "fileServer": "%2"})")
                                   .arg(web.host(), root.filePath(QStringLiteral("no-share")))
                                   .toUtf8()));
    QVERIFY(writeFile(inst + QStringLiteral("/config/cfg_file.json"), R"({"okCount": 41, "failCount": 2})"));
    QVERIFY(writeFile(inst + QStringLiteral("/config/VQ571M_RAM_BIN.bin"), "old RAM code"));
    QVERIFY(writeFile(inst + QStringLiteral("/config/VQ5304_RAM_BIN.bin"), QByteArray(70000, 'o')));
    QVERIFY(writeFile(inst + QStringLiteral("/log/2026-01-01.text"), "yesterday's log"));
    QVERIFY(writeFile(inst + QStringLiteral("/upliftor/upliftor"), "the running updater"));
    QVERIFY(writeFile(inst + QStringLiteral("/vq_download_tool"), "old tool"));
    QVERIFY(QFile::copy(buildDir() + QStringLiteral("/vq_flash"), inst + QStringLiteral("/vq_flash")));
    Tree oldTree = filesOf(snapshot(inst));
    Tree newTree = oldTree;
    for (auto it = releaseTree.cbegin(); it != releaseTree.cend(); ++it)
        if (!it.key().startsWith(QLatin1String("upliftor/")) && !it.key().endsWith(QLatin1Char('/')))
            newTree.insert(it.key(), it.value());

    const Run first = runUpdater(inst, killAt, failAt);
    if (killAt.isEmpty()) {
        QVERIFY2(!first.killed && first.output.contains(endMarker), first.output.constData());
        QVERIFY2(first.output.contains(QString::fromUtf8("[log] 升级失败，vq_download_tool文件拷贝失败！").toUtf8())
                     && first.output.contains(QString::fromUtf8("[box] 错误").toUtf8()),
                 first.output.constData());
    } else {
        QVERIFY2(first.killed && first.output.contains("[killed at]"), first.output.constData());
    }

    // Every file of either installation is whole: the old or the new bytes.
    auto checkWhole = [&](State expected) {
        const Tree now = filesOf(snapshot(inst));
        int oldCount = 0;
        int newCount = 0;
        for (const QString &path : (oldTree.keys() + newTree.keys())) {
            const bool isOld = now.value(path) == oldTree.value(path) && now.contains(path) == oldTree.contains(path);
            const bool isNew = now.value(path) == newTree.value(path) && now.contains(path) == newTree.contains(path);
            if (!isOld && !isNew)
                return QStringLiteral("neither old nor new: ") + path;
            if (isOld != isNew) {
                oldCount += isOld;
                newCount += isNew;
            }
        }
        const State state = newCount == 0 ? Old : oldCount == 0 ? New : Mixed;
        return state == expected ? QString() : QStringLiteral("%1 old, %2 new files").arg(oldCount).arg(newCount);
    };
    QString wrong = checkWhole(afterKill);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    // What the next start has to work on.
    QStringList leftovers;
    for (const QString &path : snapshot(inst).keys()) {
        if (path.contains(QLatin1String(".vqnew")) || path.contains(QLatin1String(".vqold"))
            || path.endsWith(QLatin1String(".plan")) || path.startsWith(QLatin1String("upliftor-staging-"))
            || path == QLatin1String("upliftor-download.part"))
            leftovers << path;
    }
    QVERIFY2(leftovers.isEmpty() == recovery.isEmpty(), qPrintable(leftovers.join(QLatin1Char(' '))));

    // The next start finds neither web server nor share: all it does to the
    // installation is to finish or undo what was cut off.
    QVERIFY(writeFile(sources, QStringLiteral(R"({"webHost": "127.0.0.1:1", "fileServer": "%1"})")
                                   .arg(root.filePath(QStringLiteral("no-share")))
                                   .toUtf8()));
    oldTree.insert(QStringLiteral("config/update_sources.json"), "-:" + readFile(sources));
    newTree.insert(QStringLiteral("config/update_sources.json"), "-:" + readFile(sources));
    if (!killAgainAt.isEmpty()) {
        const Run again = runUpdater(inst, killAgainAt, QString());
        QVERIFY2(again.killed && again.output.contains("[killed at]"), again.output.constData());
        wrong = checkWhole(Mixed);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    }
    const Run next = runUpdater(inst, QString(), QString());
    QVERIFY2(!next.killed && next.output.contains(endMarker), next.output.constData());
    if (recovery.isEmpty())
        QVERIFY2(!next.output.contains("[interrupted installation"), next.output.constData());
    else
        QVERIFY2(next.output.contains(recovery), next.output.constData());

    // Nothing of the attempt is left, not even an empty folder.
    const Tree expected = outcome == New ? newTree : oldTree;
    Tree expectedWithFolders = expected;
    for (const QString &path : expected.keys())
        for (int cut = path.indexOf(QLatin1Char('/')); cut > 0; cut = path.indexOf(QLatin1Char('/'), cut + 1))
            expectedWithFolders.insert(path.left(cut + 1), QByteArray());
    const QString difference = treeDifference(snapshot(inst), expectedWithFolders);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    // A third start has nothing to finish.
    const Run quiet = runUpdater(inst, QString(), QString());
    QVERIFY2(!quiet.output.contains("[interrupted installation"), quiet.output.constData());

    QProcess flash;
    flash.start(inst + QStringLiteral("/vq_flash"), {QStringLiteral("--help")});
    QVERIFY(flash.waitForFinished(60000));
    QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
    QCOMPARE(flash.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestInterruptedInstall)
#include "tst_interruptedinstall.moc"
