// The program's end and its one copy per installation, as an operator meets
// them: the real vq_download_tool, offscreen, worked through its windows by
// VQ_TEST_STEPS, while its update check waits on a name server and a file
// share that never answer.

#include "shelltest.h"
#include "simfixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>
#include <sys/stat.h>

using namespace shelltest;

namespace {
QString buildDir() { return qEnvironmentVariable("VQ_BUILD_DIR"); }
// How long a closed program may take to end by itself.
constexpr int kEndMs = 30000;
// The steps, a run of two paced chips among them.
constexpr int kStepsMs = 120000;
constexpr char kLockName[] = "vq_download_tool.lock";
}

class TestExit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void closing_data();
    void closing();
    void secondCopy_data();
    void secondCopy();

private:
    // A copy of the tool, started; it is killed at the end of the case if
    // it is still there.
    QProcess *start(const QString &steps, const QMap<QString, QString> &env = {});
    QString config() const { return inst.filePath(QStringLiteral("config")); }

    QTemporaryDir inst;
    QTemporaryDir scratch;
    std::unique_ptr<SimFixture> sim;
    std::vector<std::unique_ptr<QProcess>> started;
};

void TestExit::initTestCase()
{
    QVERIFY(inst.isValid() && scratch.isValid());
    QVERIFY(QFile::copy(buildDir() + QStringLiteral("/vq_download_tool"), inst.filePath(QStringLiteral("vq_download_tool"))));
    QVERIFY(QFile::exists(QStringLiteral(SILENT_RESOLVER)));
    // The share holds a pipe nobody writes to: reading it waits for ever,
    // as a read from a mount whose server is gone does.
    const QString share = scratch.filePath(QStringLiteral("share"));
    const QString folder = share + QStringLiteral("/lab/tools/") + releaseFolder();
    QVERIFY(QDir().mkpath(folder));
    QCOMPARE(::mkfifo(QFile::encodeName(folder + QStringLiteral("/update_log.txt")).constData(), 0600), 0);
    QVERIFY(writeFile(scratch.filePath(QStringLiteral("app.bin")), randomBytes(120000, 5)));
}

void TestExit::init()
{
    QDir(config()).removeRecursively();
    QDir(inst.filePath(QStringLiteral("log"))).removeRecursively();
    QVERIFY(copyShippedConfig(config()));
    QVERIFY(pointSources(config(), QStringLiteral("update.silent"), scratch.filePath(QStringLiteral("share")), QByteArray()));
    // Not a first start: no release notes unless a row asks for them.
    QVERIFY(writeFile(config() + QStringLiteral("/version.txt"), VQ_PROGRAM_VERSION));
    // Two paced chips and an image row, for the rows with a run.
    sim = std::make_unique<SimFixture>(QStringList{QStringLiteral("--pace")}, 2);
    QVERIFY2(sim->ok(), qPrintable(sim->error()));
    const QJsonObject cfg{{"file_path_0", scratch.filePath(QStringLiteral("app.bin"))}, {"path_sta_0", "1"},
                          {"file_addr_0", "0"}, {"baud_rate", "115200"}};
    QVERIFY(writeFile(config() + QStringLiteral("/cfg_file.json"), QJsonDocument(cfg).toJson()));
}

void TestExit::cleanup()
{
    started.clear();
    sim.reset();
}

QProcess *TestExit::start(const QString &steps, const QMap<QString, QString> &extra)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("VQ_CONFIG_DIR"));
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(SILENT_RESOLVER));
    env.insert(QStringLiteral("VQ_SIM_PORT_DIR"), sim->dir());
    env.insert(QStringLiteral("VQ_TEST_STEPS"), QString(steps).replace(QStringLiteral("SECOND"), sim->portName(1)));
    for (auto it = extra.cbegin(); it != extra.cend(); ++it)
        env.insert(it.key(), it.value());
    started.push_back(std::make_unique<QProcess>());
    QProcess *tool = started.back().get();
    tool->setProcessEnvironment(env);
    tool->start(inst.filePath(QStringLiteral("vq_download_tool")), QStringList());
    tool->waitForStarted();
    return tool;
}

void TestExit::closing_data()
{
    QTest::addColumn<bool>("firstStart"); // the release notes come up too
    QTest::addColumn<QString>("steps");
    const QString factory = QStringLiteral("type startWindow/lineEdit 2;press pushButton;");
    // A baud rate typed and never started with is kept all the same.
    const QString typeBaud = QStringLiteral("type factoryWindow/otherCfgBox/lineEdit 460800;");
    // SECOND stands for the second chip's port.
    const QString run = QStringLiteral("until factoryWindow/panel1/label_port SECOND;press cbSelectAll;press pbnStartDownload;");
    QTest::newRow("start window") << false << "wait 1000;close startWindow";
    QTest::newRow("factory, idle") << false << factory + typeBaud + "wait 1000;close factoryWindow";
    QTest::newRow("factory, first start") << true << factory + typeBaud + "wait 1000;close factoryWindow";
    QTest::newRow("factory, after the statistics window")
        << false << factory + typeBaud + "press pbnStatistics;wait 1000;close statisticsWindow;close factoryWindow";
    QTest::newRow("factory, after a run")
        << false << factory + run + "until downloadOkCnt 2;" + typeBaud + "close factoryWindow";
    QTest::newRow("factory, during a run, no then yes")
        << false << factory + run + "until factoryWindow/panel0/label_sta 烧录中;" + typeBaud
                      + "close factoryWindow;answer 否;wait 300;close factoryWindow;answer 是";
    QTest::newRow("developer window")
        << false << "type startWindow/comboBox 开发者模式;press pushButton;wait 1000;close developWindow";
}

void TestExit::closing()
{
    QFETCH(bool, firstStart);
    QFETCH(QString, steps);
    if (firstStart)
        QVERIFY(QFile::remove(config() + QStringLiteral("/version.txt")));
    QProcess *tool = start(steps);
    // The steps (a whole run among them) first, then the end by itself.
    const QString lastStep = QStringLiteral("[step] ") + steps.split(QLatin1Char(';')).last();
    QString said;
    const bool done = QTest::qWaitFor([&] {
        said += QString::fromUtf8(tool->readAllStandardError());
        return said.contains(lastStep) || tool->state() == QProcess::NotRunning;
    }, kStepsMs);
    QVERIFY2(done && said.contains(lastStep), qPrintable(said));
    const bool ended = tool->waitForFinished(kEndMs);
    said += QString::fromUtf8(tool->readAllStandardError());
    QVERIFY2(ended, qPrintable(said));
    QCOMPARE(tool->exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool->exitCode(), 0);
    QVERIFY(!QFile::exists(config() + QLatin1Char('/') + QLatin1String(kLockName)));
    if (steps.contains(QStringLiteral("460800"))) {
        const QJsonObject saved = QJsonDocument::fromJson(readFile(config() + QStringLiteral("/cfg_file.json"))).object();
        QCOMPARE(saved.value(QStringLiteral("baud_rate")).toString(), QStringLiteral("460800"));
    }
}

void TestExit::secondCopy_data()
{
    QTest::addColumn<bool>("configWritable");
    QTest::newRow("lock in config/") << true;
    // A config folder that cannot be made: the lock goes to the runtime folder.
    QTest::newRow("lock in the runtime folder") << false;
}

void TestExit::secondCopy()
{
    QFETCH(bool, configWritable);
    const QString runtime = scratch.filePath(QStringLiteral("runtime"));
    QVERIFY(QDir().mkpath(runtime));
    // As the session makes it: Qt takes no other.
    QVERIFY(QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    QMap<QString, QString> env{{QStringLiteral("XDG_RUNTIME_DIR"), runtime}};
    if (!configWritable) {
        QVERIFY(writeFile(scratch.filePath(QStringLiteral("a-file")), "not a folder"));
        env.insert(QStringLiteral("VQ_CONFIG_DIR"), scratch.filePath(QStringLiteral("a-file/config")));
    }
    const auto lockFiles = [&] {
        return QDir(configWritable ? config() : runtime).entryList({QStringLiteral("vq_download_tool*.lock")}, QDir::Files);
    };
    QProcess *first = start(QStringLiteral("wait 600000"), env);
    QTRY_COMPARE_WITH_TIMEOUT(lockFiles().size(), 1, kEndMs);

    // Refused without a click, naming the copy that runs.
    QProcess *second = start(QString(), env);
    QVERIFY(second->waitForFinished(kEndMs));
    QCOMPARE(second->exitCode(), 1);
    const QString refusal = QString::fromUtf8(second->readAllStandardError());
    QVERIFY2(refusal.contains(QStringLiteral("烧录工具已在运行（进程号 %1，").arg(first->processId())), qPrintable(refusal));
    QCOMPARE(first->state(), QProcess::Running);

    // A copy that died without a word leaves its lock behind; the next
    // start takes it over and gives it up when it ends.
    ::kill(pid_t(first->processId()), SIGKILL);
    QVERIFY(first->waitForFinished());
    QCOMPARE(lockFiles().size(), 1);
    QProcess *third = start(QStringLiteral("close startWindow"), env);
    QVERIFY(third->waitForFinished(kEndMs));
    QCOMPARE(third->exitCode(), 0);
    QCOMPARE(lockFiles(), QStringList());
}

QTEST_MAIN(TestExit)
#include "tst_exit.moc"
