#pragma once

// FactoryRig: the factory window of a fresh line PC on a simulator's ports.
// Settings, counters and log/ live in a folder of the rig's own, so a
// suite's windows never see each other's counts or rows; the suite's
// working folder and configuration come back when the rig goes.
//
//   FactoryRig rig(sim, 4);
//   QVERIFY(rig.ready);
//   rig.drive->setImages({"app.bin@0"});
//   QVERIFY(rig.run());
//   rowsIn(rig.database());

#include "appglobals.h"
#include "factorydriver.h"
#include "factorywindow.h"
#include "productionline.h"
#include "simfixture.h"
#include "testutil.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <memory>

class FactoryRig
{
public:
    static constexpr int kWaitMs = 120000;

    // settings: the window's cfg_file.json as the line PC has it (empty:
    // the shipped one); folder: a home that outlives the rig (empty: one
    // that goes with it).
    FactoryRig(const SimFixture &sim, int stations, const QByteArray &settings = QByteArray(),
               const QString &folder = QString())
        : stations(stations)
        , shippedConfig(qgetenv("VQ_CONFIG_DIR"))
        , shippedFolder(QDir::currentPath())
        , home(folder.isEmpty() ? work.path() : folder)
    {
        QDir().mkpath(home);
        const QString config = home + QStringLiteral("/config");
        copyShippedConfig(config);
        if (!settings.isEmpty())
            writeFile(config + QStringLiteral("/cfg_file.json"), settings);
        qputenv("VQ_CONFIG_DIR", QFile::encodeName(config));
        qputenv("VQ_SIM_PORT_DIR", QFile::encodeName(sim.dir()));
        QDir::setCurrent(home);
        deviceCount = static_cast<uint32_t>(stations);
        window = std::make_unique<factoryWindow>();
        window->show();
        drive = std::make_unique<FactoryDriver>(window.get());
        line = window->findChild<productionLine *>();
        ready = QTest::qWaitFor([&] { return drive->panelsWithPorts() >= stations; }, kWaitMs);
    }
    ~FactoryRig()
    {
        window.reset();
        QDir::setCurrent(shippedFolder);
        qputenv("VQ_CONFIG_DIR", shippedConfig);
    }
    FactoryRig(const FactoryRig &) = delete;
    FactoryRig &operator=(const FactoryRig &) = delete;

    // Selects the stations and presses start; true once the run has ended
    // by itself.
    bool run()
    {
        drive->selectPanels(stations);
        drive->pressStart();
        return QTest::qWaitFor([&] { return line->state() == productionLine::runState::idle; }, kWaitMs);
    }
    QString log() const { return window->findChild<QTextEdit *>(QStringLiteral("textEdit"))->toPlainText(); }
    QString database() const { return home + QStringLiteral("/log/production.db"); }

    const int stations;
    std::unique_ptr<factoryWindow> window;
    std::unique_ptr<FactoryDriver> drive;
    productionLine *line = nullptr;
    bool ready = false;

private:
    const QByteArray shippedConfig;
    const QString shippedFolder;
    QTemporaryDir work;
    const QString home;
};
