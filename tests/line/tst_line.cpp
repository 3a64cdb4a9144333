// One production line under both front ends: every scenario is played
// through the factory window's widgets and through vq_flash's arguments
// and signals, against simulated chips, and must leave the same counters
// and the same rows (operation, ok, code family, stopped) either way.
#include "factoryrig.h"
#include "recordrows.h"
#include "simfixture.h"
#include "testutil.h"

#include <QCheckBox>
#include <QLabel>
#include <QTextEdit>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {
constexpr int kWaitMs = 120000;

struct lineSetup {
    int stations = 1;
    QStringList simArgs;
    int imageSize = 8000;
    int baud = 921600;
    bool fixture = false;
    bool keepGoing = false;
    bool erase = false;
};

struct lineCounts {
    int good = -1;
    int failed = -1;
    int stopped = -1;
    bool operator==(const lineCounts &o) const { return good == o.good && failed == o.failed && stopped == o.stopped; }
};

QString countsText(const lineCounts &c)
{
    return QStringLiteral("good %1 failed %2 stopped %3").arg(c.good).arg(c.failed).arg(c.stopped);
}

// "station operation ok|failed|stopped family", sorted: what both front
// ends must agree on, whatever the order the chips ended in.
QStringList rowKeys(const QString &database)
{
    QStringList keys;
    for (const productionRow &r : rowsIn(database)) {
        const bool stopped = !r.ok && (r.code & 0xFFu) == 0xE8u;
        keys << QStringLiteral("%1 %2 %3 %4")
                    .arg(r.station)
                    .arg(r.operation, r.ok ? QStringLiteral("ok") : stopped ? QStringLiteral("stopped")
                                                                             : QStringLiteral("failed"))
                    .arg(r.ok ? QStringLiteral("-") : QStringLiteral("0x") + QString::number(r.code >> 8, 16));
    }
    keys.sort();
    return keys;
}

// Waits without running this thread's event loop: a window's controller
// then hears nothing until the test acts.
bool sleepUntil(const std::function<bool()> &done, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

// A front end as the scenarios drive it.
class lineUnderTest
{
public:
    virtual ~lineUnderTest() = default;
    virtual void start() = 0;
    // The stop button, or SIGINT.
    virtual void stop() = 0;
    // The window closed (answered yes), or SIGTERM.
    virtual void close() = 0;
    virtual bool ended() = 0;
    // How often the station has said it waits for a chip.
    virtual int waits(int station) = 0;
    virtual int results() = 0;
    virtual lineCounts counts() = 0;
    virtual QString database() const = 0;
    // What the window's panels show, "port status" each; none for vq_flash.
    virtual QStringList panels() { return {}; }
};

class windowLine : public lineUnderTest
{
public:
    windowLine(const lineSetup &setup, const SimFixture &sim, const QString &image)
        : s(setup)
        , rig(sim, setup.stations)
        , window(rig.window.get())
        , drive(rig.drive.get())
        , line(rig.line)
    {
        drive->setImages(setup.erase ? QStringList() : QStringList{image + QStringLiteral("@0")});
        drive->setBaud(QString::number(setup.baud));
        drive->setOption("cbDsrCtl", setup.fixture);
        drive->setOption("cbKeepGoing", setup.keepGoing);
    }

    void start() override
    {
        drive->selectPanels(s.stations);
        if (s.erase) {
            QObject scope;
            FactoryDriver::answerNextBox(&scope, QMessageBox::Yes);
            window->findChild<QPushButton *>(QStringLiteral("pbnEarse"))->click();
        } else {
            drive->pressStart();
        }
        started.start();
    }
    void stop() override
    {
        // Past the start button's double-click guard.
        while (started.elapsed() < 600)
            QThread::msleep(20);
        if (line->state() == productionLine::runState::running)
            window->findChild<QPushButton *>(s.erase ? QStringLiteral("pbnEarse") : QStringLiteral("pbnStartDownload"))
                ->click();
    }
    void close() override
    {
        QObject scope;
        FactoryDriver::answerNextBox(&scope, QMessageBox::Yes);
        window->close();
    }
    bool ended() override { return line->state() == productionLine::runState::idle; }
    int waits(int station) override
    {
        return window->findChild<QTextEdit *>(QStringLiteral("textEdit"))
            ->toPlainText()
            .count(QStringLiteral("[%1]等待新的芯片...").arg(drive->port(station)));
    }
    int results() override
    {
        const lineCounters &c = line->counters();
        return static_cast<int>(c.total + c.stopped + c.erased);
    }
    lineCounts counts() override { return {drive->good(), drive->failed(), static_cast<int>(line->counters().stopped)}; }
    QString database() const override { return rig.database(); }
    QStringList panels() override
    {
        QStringList shown;
        for (int i = 0; i < s.stations; ++i)
            shown << drive->port(i) + QLatin1Char(' ') + drive->status(i);
        return shown;
    }

private:
    lineSetup s;
    FactoryRig rig;
    factoryWindow *window;
    FactoryDriver *drive;
    productionLine *line;
    QElapsedTimer started;
};

class flashLine : public lineUnderTest
{
public:
    flashLine(const lineSetup &setup, const SimFixture &sim, const QString &image)
        : s(setup)
        , simDir(sim.dir())
    {
        args << QStringLiteral("--all-ports") << QStringLiteral("--json") << QStringLiteral("--db") << database()
             << QStringLiteral("--baud") << QString::number(setup.baud);
        if (setup.fixture)
            args << QStringLiteral("--continuous");
        if (setup.erase)
            args << QStringLiteral("--erase");
        else
            args << image + QStringLiteral("@0");
    }
    void start() override { run = std::make_unique<Flash>(args, simDir); }
    void stop() override { run->signal(SIGINT); }
    void close() override { run->signal(SIGTERM); }
    bool ended() override
    {
        run->objects();
        return run->p.state() == QProcess::NotRunning;
    }
    int waits(int station) override
    {
        int n = 0;
        for (const QJsonObject &o : run->events(QStringLiteral("waiting")))
            n += o.value(QStringLiteral("station")).toInt() == station + 1;
        return n;
    }
    int results() override { return run->events(QStringLiteral("result")).size(); }
    lineCounts counts() override
    {
        const QJsonObject o = run->events(QStringLiteral("summary")).value(0);
        return {o.value(QStringLiteral("good")).toInt(-1), o.value(QStringLiteral("failed")).toInt(-1),
                o.value(QStringLiteral("stopped")).toInt(-1)};
    }
    QString database() const override { return work.filePath(QStringLiteral("production.db")); }

private:
    lineSetup s;
    QString simDir;
    QTemporaryDir work;
    QStringList args;
    std::unique_ptr<Flash> run;
};

bool flashHolds(const SimFixture &sim, int chip, const QByteArray &bytes)
{
    return sim.flash(chip).left(bytes.size()) == bytes;
}
} // namespace

class tst_line : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sameLineBothWays_data();
    void sameLineBothWays();

private:
    void play(const QString &scenario, lineUnderTest &line, SimFixture &sim, const QByteArray &image);
    QTemporaryDir config;
};

void tst_line::initTestCase()
{
    QVERIFY(copyShippedConfig(config.filePath(QStringLiteral("config"))));
    qputenv("VQ_CONFIG_DIR", config.filePath(QStringLiteral("config")).toUtf8());
    initToolResources();
}

void tst_line::sameLineBothWays_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("counts");
    // The window's panels at the end, "<chip> <status>" with the chip's
    // index for its port; empty: not looked at.
    QTest::addColumn<QStringList>("panels");
    const QString ok = QStringLiteral("成 功"), failed = QStringLiteral("失 败"), idle = QStringLiteral("空 闲");

    QTest::newRow("stop right after the results were published")
        << "published" << QStringList{"1 download ok -", "2 download ok -"} << "good 2 failed 0 stopped 0"
        << QStringList{"0 " + ok, "1 " + ok};
    QTest::newRow("stop mid-write on 4 stations")
        << "stop mid-write"
        << QStringList{"1 download stopped 0x409", "2 download stopped 0x409", "3 download stopped 0x409",
                       "4 download stopped 0x409"}
        << "good 0 failed 0 stopped 4" << QStringList{"0 " + idle, "1 " + idle, "2 " + idle, "3 " + idle};
    QTest::newRow("window closed mid-write, or SIGTERM")
        << "close mid-write"
        << QStringList{"1 download stopped 0x409", "2 download stopped 0x409", "3 download stopped 0x409",
                       "4 download stopped 0x409"}
        << "good 0 failed 0 stopped 4" << QStringList();
    QTest::newRow("a good and a failed whole-chip erase")
        << "erase" << QStringList{"1 erase ok -", "2 erase failed 0x407"} << "good 0 failed 1 stopped 0"
        << QStringList{"0 " + ok, "1 " + failed};
    QTest::newRow("fixture, keep going after a failed chip")
        << "keep going" << QStringList{"1 download failed 0x409", "1 download ok -"} << "good 1 failed 1 stopped 0"
        << QStringList{"0 " + ok};
    QTest::newRow("fixture open at the start")
        << "open fixture" << QStringList{"1 download ok -"} << "good 1 failed 0 stopped 0"
        << QStringList{"0 " + ok, "1 " + idle};
    QTest::newRow("a port lost while waiting for the next chip")
        << "lost while waiting" << QStringList{"1 download ok -", "1 download ok -"} << "good 2 failed 0 stopped 0"
        << QStringList{"0 " + ok};
    QTest::newRow("two ports unplugged mid-run")
        << "unplugged"
        << QStringList{"1 download ok -", "2 download failed 0x409", "3 download failed 0x409", "4 download ok -"}
        << "good 2 failed 2 stopped 0" << QStringList{"0 " + ok, "1 " + failed, "2 " + failed, "3 " + ok};
}

void tst_line::sameLineBothWays()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, rows);
    QFETCH(QString, counts);
    QFETCH(QStringList, panels);

    lineSetup setup;
    if (scenario == "published") {
        setup.stations = 2;
        setup.simArgs = QStringList{"--pace"};
    } else if (scenario.endsWith("mid-write") || scenario == "unplugged") {
        setup.stations = 4;
        setup.simArgs = QStringList{"--pace"};
        setup.imageSize = 200000;
        setup.baud = 230400;
    } else if (scenario == "erase") {
        setup.stations = 2;
        setup.erase = true;
    } else {
        setup.stations = scenario == "open fixture" ? 2 : 1;
        setup.simArgs = scenario == "lost while waiting" ? QStringList{"--pace", "--fixture-pressed"} : QStringList{"--pace"};
        setup.fixture = true;
        setup.keepGoing = true;
    }
    const QByteArray image = randomBytes(setup.imageSize, 71);
    const QString imagePath = config.filePath(QStringLiteral("line.bin"));
    QVERIFY(writeFile(imagePath, image));

    for (const char *frontEnd : {"window", "vq_flash"}) {
        SimFixture sim(setup.simArgs, setup.stations);
        QVERIFY2(sim.ok(), qPrintable(sim.error()));
        std::unique_ptr<lineUnderTest> line;
        if (frontEnd == QLatin1String("window"))
            line = std::make_unique<windowLine>(setup, sim, imagePath);
        else
            line = std::make_unique<flashLine>(setup, sim, imagePath);
        play(scenario, *line, sim, image);
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(QTest::qWaitFor([&] { return line->ended(); }, kWaitMs), frontEnd);
        QVERIFY2(QTest::qWaitFor([&] { return rowKeys(line->database()) == rows; }, 10000),
                 qPrintable(QStringLiteral("%1: %2").arg(frontEnd, rowKeys(line->database()).join(QStringLiteral(", ")))));
        QCOMPARE(countsText(line->counts()), counts);
        const QStringList shown = line->panels();
        for (int i = 0; i < shown.size() && !panels.isEmpty(); ++i) {
            const int chip = panels.at(i).section(QLatin1Char(' '), 0, 0).toInt();
            // A station keeps its panel and its port, whatever became of
            // the port.
            QCOMPARE(shown.at(i), sim.portName(chip) + QLatin1Char(' ') + panels.at(i).section(QLatin1Char(' '), 1));
        }
    }
}

void tst_line::play(const QString &scenario, lineUnderTest &line, SimFixture &sim, const QByteArray &image)
{
    const int stations = sim.count();
    const auto everyChip = [&](const std::function<bool(int)> &test) {
        for (int i = 0; i < stations; ++i) {
            if (!test(i))
                return false;
        }
        return true;
    };
    if (scenario == "erase")
        QVERIFY(sim.addFault(QStringLiteral("erase-fail-always"), 1));
    if (scenario == "keep going") {
        QVERIFY(sim.addFault(QStringLiteral("nak-always=1")));
        // A board held down from the start, as the fixture's lever stays.
        QVERIFY(sim.setDsr(true));
    }
    line.start();

    if (scenario == "published") {
        // Every chip is written, and has had time to say so; the window
        // hears of it only when its stop button is pressed.
        QVERIFY(sleepUntil([&] { return everyChip([&](int i) { return flashHolds(sim, i, image); }); }, kWaitMs));
        QTest::qSleep(1500);
        line.stop();
    } else if (scenario.endsWith("mid-write") || scenario == "unplugged") {
        QVERIFY(QTest::qWaitFor(
            [&] { return everyChip([&](int i) { return flashHolds(sim, i, image.left(16384)); }); }, kWaitMs));
        if (scenario == "unplugged") {
            QVERIFY(sim.unplug(1) && sim.unplug(2));
        } else if (scenario == "stop mid-write") {
            line.stop();
        } else {
            line.close();
        }
    } else if (scenario == "keep going") {
        QVERIFY(QTest::qWaitFor([&] { return line.results() == 1 && line.waits(0) == 1; }, kWaitMs));
        // The failed chip's panel stays red while the station waits; the
        // operator swaps the chip faster than DSR is sampled.
        QTest::qWait(300);
        const QStringList shown = line.panels();
        QVERIFY(shown.isEmpty() || shown.first().endsWith(QStringLiteral("失 败")));
        QVERIFY(sim.clearFaults());
        QVERIFY(sim.request(QStringLiteral("NEXTCHIP hold")).value(0) == QStringLiteral("OK"));
        QVERIFY(QTest::qWaitFor([&] { return line.results() == 2 && line.waits(0) == 2; }, kWaitMs));
        line.stop();
    } else if (scenario == "open fixture") {
        // Open sockets hold no chips: nothing is programmed, nothing failed.
        QVERIFY(QTest::qWaitFor([&] { return line.waits(0) == 1 && line.waits(1) == 1; }, kWaitMs));
        QTest::qWait(1000);
        QCOMPARE(line.results(), 0);
        QVERIFY(sim.request(QStringLiteral("NEXTCHIP"), 0).value(0) == QStringLiteral("OK"));
        QVERIFY(QTest::qWaitFor([&] { return line.results() == 1 && line.waits(0) == 2; }, kWaitMs));
        line.stop();
    } else if (scenario == "lost while waiting") {
        QVERIFY(QTest::qWaitFor([&] { return line.results() == 1 && line.waits(0) == 1; }, kWaitMs));
        QVERIFY(sim.unplug(0));
        QTest::qWait(1000);
        QVERIFY(sim.request(QStringLiteral("PLUG")).value(0) == QStringLiteral("OK"));
        // The station looks for its port every half second.
        QTest::qWait(1500);
        QVERIFY(sim.request(QStringLiteral("NEXTCHIP")).value(0) == QStringLiteral("OK"));
        QVERIFY(QTest::qWaitFor([&] { return line.results() == 2 && line.waits(0) == 2; }, kWaitMs));
        line.stop();
    }
}

QTEST_MAIN(tst_line)
#include "tst_line.moc"
