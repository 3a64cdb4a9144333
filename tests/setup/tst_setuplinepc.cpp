// scripts/setup-line-pc.sh with --root: what it leaves in an empty staging
// folder and over an older installation, that a second run changes
// nothing, and that it changes nothing at all when it cannot finish.
#include "testutil.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char kFolder[] = "Quorvex串口烧录工具";
} // namespace

class tst_setuplinepc : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void stagedSetup_data();
    void stagedSetup();

private:
    ProgramRun setup(const QString &root, const QStringList &args, const QString &buildDir = QString());

    QString user;
    QString home;
    uid_t uid = 0;
    QString archive;
    Tree release;
};

void tst_setuplinepc::initTestCase()
{
    // As root (CI) the programs go to nobody, whose home does not exist;
    // otherwise to the user running the test.
    const passwd *pw = ::getuid() == 0 ? ::getpwnam("nobody") : ::getpwuid(::getuid());
    QVERIFY(pw);
    user = QString::fromLocal8Bit(pw->pw_name);
    home = QString::fromLocal8Bit(pw->pw_dir);
    uid = pw->pw_uid;
    archive = qEnvironmentVariable("VQ_BUILD_DIR") + QStringLiteral("/vq_download_tool.zip");
    release = unpackedRelease(archive, QString::fromUtf8(kFolder));
    QVERIFY(release.contains(QStringLiteral("vq_download_tool")));
}

ProgramRun tst_setuplinepc::setup(const QString &root, const QStringList &args, const QString &buildDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("BUILD_DIR"));
    if (!buildDir.isEmpty())
        env.insert(QStringLiteral("BUILD_DIR"), buildDir);
    return runProgram(QStringList{QStringLiteral("bash"),
                                  qEnvironmentVariable("VQ_SOURCE_DIR") + QStringLiteral("/scripts/setup-line-pc.sh"),
                                  QStringLiteral("--root"), root, QStringLiteral("--user"), user}
                          + args,
                      env);
}

void tst_setuplinepc::stagedSetup_data()
{
    QTest::addColumn<QString>("archiveFrom");  // "build dir", "option" or "missing"
    // Files of an installation already there, by path under the staging root
    // ({home} for the user's home), kept unless the archive has them.
    QTest::addColumn<Tree>("before");
    QTest::addColumn<bool>("brltty");
    const QString program = QStringLiteral("{home}/") + QString::fromUtf8(kFolder);
    QTest::newRow("empty root, archive of the build folder") << "build dir" << Tree() << false;
    QTest::newRow("over an older installation with its settings")
        << "option"
        << Tree{{program + "/config/cfg_file.json", "-:{\"ok_cnt\": \"41\"}"},
                {program + "/log/2026-01-05.text", "-:old log"},
                {program + "/vq_flash", "-:an older vq_flash, not executable"}}
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
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString stagedHome = root.path() + home;
    const QString program = stagedHome + QLatin1Char('/') + QString::fromUtf8(kFolder);
    Tree expected;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        const QString path = QString(it.key()).replace(QStringLiteral("{home}"), home.mid(1));
        QVERIFY(writeFile(root.filePath(path), it.value().mid(2)));
        expected.insert(path, it.value());
    }
    const Tree untouched = snapshot(root.path());
    QStringList args;
    if (archiveFrom == QLatin1String("option"))
        args << "--archive" << archive;
    else if (archiveFrom == QLatin1String("missing"))
        args << "--archive" << root.filePath("nowhere.zip");
    const QString buildDir = archiveFrom == QLatin1String("build dir") ? qEnvironmentVariable("VQ_BUILD_DIR") : QString();

    const ProgramRun first = setup(root.path(), args, buildDir);
    if (archiveFrom == QLatin1String("missing")) {
        QCOMPARE(first.exitCode, 1);
        QVERIFY2(first.err.contains("no release archive"), qPrintable(first.err));
        QCOMPARE(treeDifference(snapshot(root.path()), untouched), QString());
        return;
    }
    QVERIFY2(first.exitCode == 0, qPrintable(first.out + first.err));
    QCOMPARE(first.err.contains("warning: brltty is installed"), brltty);

    // The release byte for byte, its programs executable; the site's own
    // files beside it.
    const QString programRel = QDir(root.path()).relativeFilePath(program);
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        expected.insert(programRel + QLatin1Char('/') + it.key(), it.value());
    const Tree staged = snapshot(root.path());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(staged.value(it.key()) == it.value(), qPrintable(it.key()));
    if (::getuid() == 0) {
        for (auto it = staged.cbegin(); it != staged.cend(); ++it) {
            struct stat st {};
            if (it.key().startsWith(programRel))
                QVERIFY2(::lstat(QFile::encodeName(root.filePath(it.key())).constData(), &st) == 0 && st.st_uid == uid,
                         qPrintable(it.key() + " is not the user's"));
        }
    }

    // Group dialout, mode 0660 and ModemManager kept away, for every bridge.
    const QString rule = QString::fromUtf8(readFile(root.filePath("etc/udev/rules.d/70-vq-usb-serial.rules")));
    for (const char *vendor : {"1a86", "4348", "10c4", "0403", "067b"}) {
        const QRegularExpression line(QStringLiteral("^SUBSYSTEM==\"tty\".*ATTRS\\{idVendor\\}==\"%1\".*GROUP=\"dialout\", "
                                                     "MODE=\"0660\", ENV\\{ID_MM_DEVICE_IGNORE\\}=\"1\"$")
                                          .arg(QLatin1String(vendor)),
                                      QRegularExpression::MultilineOption);
        QVERIFY2(line.match(rule).hasMatch(), vendor);
    }
    // The desktop entry names the installed paths, and they are there.
    const QString entry = QString::fromUtf8(readFile(stagedHome + "/.local/share/applications/vq_download_tool.desktop"));
    const QString installed = home + QLatin1Char('/') + QString::fromUtf8(kFolder);
    QVERIFY2(entry.contains("\nExec=\"" + installed + "/vq_download_tool\"\n"), qPrintable(entry));
    QVERIFY2(entry.contains("\nIcon=" + installed + "/vq_download_tool.png"), qPrintable(entry));
    QVERIFY(QFileInfo(root.path() + installed + "/vq_download_tool").isExecutable());
    QVERIFY(QFileInfo(root.path() + installed + "/vq_download_tool.png").size() > 0);

    const ProgramRun second = setup(root.path(), args, buildDir);
    QCOMPARE(second.exitCode, 0);
    QVERIFY2(second.out.contains("nothing to change") && !second.out.contains("changed:"), qPrintable(second.out));
    QCOMPARE(treeDifference(snapshot(root.path()), staged), QString());
}

QTEST_GUILESS_MAIN(tst_setuplinepc)
#include "tst_setuplinepc.moc"
