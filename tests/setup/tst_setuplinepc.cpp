// scripts/setup-line-pc.sh with --root: what it leaves in an empty staging
// folder and over an older installation, that a second run changes
// nothing, and that it changes nothing at all when it cannot finish.
#include "testutil.h"

#include <QRegularExpression>
#include <QtTest>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

class tst_setuplinepc : public QObject
{
    Q_OBJECT

private slots:
    void stagedSetup_data();
    void stagedSetup();
};

void tst_setuplinepc::stagedSetup_data()
{
    QTest::addColumn<QString>("archiveFrom");  // "build dir", "option" or "missing"
    // Files already under the staging root ({program}: the program folder),
    // kept unless the archive has them.
    QTest::addColumn<Tree>("before");
    QTest::addColumn<bool>("brltty");
    QTest::newRow("empty root, archive of the build folder") << "build dir" << Tree() << false;
    QTest::newRow("over an older installation with its settings")
        << "option"
        << Tree{{"{program}/config/cfg_file.json", "-:{\"ok_cnt\": \"41\"}"},
                {"{program}/log/2026-01-05.text", "-:old log"},
                {"{program}/vq_flash", "-:an older vq_flash, not executable"}}
        << false;
    QTest::newRow("brltty installed")
        << "option"
        << Tree{{"var/lib/dpkg/status", "-:Package: brltty\nStatus: install ok installed\nVersion: 6.5-7\n"
                                         "Architecture: amd64\nMaintainer: x\nDescription: x\n\n"}}
        << true;
    QTest::newRow("no release archive") << "missing" << Tree() << false;
}

void tst_setuplinepc::stagedSetup()
{
    QFETCH(QString, archiveFrom);
    QFETCH(Tree, before);
    QFETCH(bool, brltty);
    // As root (CI) the programs go to nobody, whose home does not exist;
    // otherwise to the user running the test.
    const passwd *pw = ::getuid() == 0 ? ::getpwnam("nobody") : ::getpwuid(::getuid());
    QVERIFY(pw);
    const QString home = QString::fromLocal8Bit(pw->pw_dir);
    const QString program = home.mid(1) + QStringLiteral("/Quorvex串口烧录工具");
    const QString archive = qEnvironmentVariable("VQ_BUILD_DIR") + QStringLiteral("/vq_download_tool.zip");
    QTemporaryDir root;
    QVERIFY(root.isValid());
    Tree expected;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        const QString path = QString(it.key()).replace(QStringLiteral("{program}"), program);
        QVERIFY(writeFile(root.filePath(path), it.value().mid(2)));
        expected.insert(path, it.value());
    }
    const Tree untouched = snapshot(root.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("BUILD_DIR"), archiveFrom == QLatin1String("build dir") ? qEnvironmentVariable("VQ_BUILD_DIR")
                                                                                     : root.filePath("no-build"));
    QStringList command{"bash", qEnvironmentVariable("VQ_SOURCE_DIR") + "/scripts/setup-line-pc.sh", "--root", root.path(),
                        "--user", QString::fromLocal8Bit(pw->pw_name)};
    if (archiveFrom == QLatin1String("option"))
        command << "--archive" << archive;

    const ProgramRun first = runProgram(command, env);
    if (archiveFrom == QLatin1String("missing")) {
        QCOMPARE(first.exitCode, 1);
        QVERIFY2(first.err.contains("no release archive"), qPrintable(first.err));
        QCOMPARE(treeDifference(snapshot(root.path()), untouched), QString());
        return;
    }
    QVERIFY2(first.exitCode == 0, qPrintable(first.out + first.err));
    QCOMPARE(first.err.contains("warning: brltty is installed"), brltty);

    // The release byte for byte, its programs executable, the whole folder
    // the user's (upliftor updates it as that user), the site's own files
    // beside it; the icon.
    const Tree release = unpackedRelease(archive, QStringLiteral("Quorvex串口烧录工具"));
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        expected.insert(program + QLatin1Char('/') + it.key(), it.value());
    const QString icon = home.mid(1) + QStringLiteral("/.local/share/icons/vq_download_tool.png");
    expected.insert(icon, "-:" + readFile(qEnvironmentVariable("VQ_SOURCE_DIR") + "/resources/img/setting.png"));
    const Tree staged = snapshot(root.path());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        struct stat st {};
        QVERIFY2(staged.value(it.key()) == it.value(), qPrintable(it.key()));
        QVERIFY(::lstat(QFile::encodeName(root.filePath(it.key())).constData(), &st) == 0);
        QVERIFY2(!it.key().startsWith(home.mid(1)) || ::getuid() != 0 || st.st_uid == pw->pw_uid, qPrintable(it.key()));
    }

    // Group dialout, mode 0660 and ModemManager kept away, for every bridge.
    const QString rule = QString::fromUtf8(readFile(root.filePath("etc/udev/rules.d/70-vq-usb-serial.rules")));
    for (const char *vendor : {"1a86", "4348", "10c4", "0403", "067b"})
        QVERIFY2(rule.contains(QRegularExpression(QStringLiteral("\n[^\n]*idVendor}==\"%1\"[^\n]*, GROUP=\"dialout\", "
                                                                 "MODE=\"0660\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n")
                                                      .arg(QLatin1String(vendor)))),
                 vendor);
    // The desktop entry names the installed paths, which the staging has.
    const QString entry = QString::fromUtf8(readFile(root.filePath(home.mid(1) + "/.local/share/applications/vq_download_tool.desktop")));
    QVERIFY2(entry.contains("\nExec=\"/" + program + "/vq_download_tool\"\n")
                 && entry.contains("\nIcon=/" + icon + "\n"),
             qPrintable(entry));

    const ProgramRun second = runProgram(command, env);
    QCOMPARE(second.exitCode, 0);
    QVERIFY2(second.out.contains("nothing to change") && !second.out.contains("changed:"), qPrintable(second.out));
    QCOMPARE(treeDifference(snapshot(root.path()), staged), QString());
}

QTEST_GUILESS_MAIN(tst_setuplinepc)
#include "tst_setuplinepc.moc"
