// Production orders on simulated chips, through vq_flash and the factory
// window: an order programs its chips (the flash compared byte for byte,
// every row carrying the order), a chip of another model is refused before
// any byte, a changed image or a completed order refuses the start, the
// quantity stops a fixture line, and malformed orders and contradicting
// arguments are refused naming the field, before any port is opened.
#include "factoryrig.h"
#include "recordrows.h"
#include "simfixture.h"
#include "testutil.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QTextEdit>
#include <QtTest>

#include <memory>

namespace {
constexpr int kWaitMs = 120000;
constexpr uint32_t kDataAddress = 0x100000;
constexpr uint32_t kSerialAddress = 0x3ff000;
const QStringList kMacs{"a4:cf:12:00:00:01", "a4:cf:12:00:00:02", "a4:cf:12:00:00:03"};

// A simulated flash as it is after the images went in, and nothing else.
QByteArray flashWith(const QByteArray &flash, const QByteArray &app, const QByteArray &data)
{
    QByteArray expected(flash.size(), char(0xFF));
    expected.replace(0, app.size(), app);
    expected.replace(kDataAddress, data.size(), data);
    return expected;
}

} // namespace

class tst_order : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void orderedChips_data();
    void orderedChips();
    void refusedBeforeAnyChip_data();
    void refusedBeforeAnyChip();
    void windowRefusesTheStart_data();
    void windowRefusesTheStart();
    void quantityStopsTheLine();

private:
    // An order of app.bin@0 and data.bin@0x100000 in a folder of its own,
    // with the list macs.txt beside them, written by vq_flash --make-order;
    // empty on failure.
    // ORDER in extra: the order's folder.
    QString makeOrder(QStringList extra);
    QTemporaryDir config;
    QByteArray app = randomBytes(70000, 251);
    QByteArray data = randomBytes(9000, 252);
    std::unique_ptr<QTemporaryDir> orderDir;
};

void tst_order::initTestCase()
{
    QVERIFY(copyShippedConfig(config.filePath(QStringLiteral("config"))));
    qputenv("VQ_CONFIG_DIR", config.filePath(QStringLiteral("config")).toUtf8());
    initToolResources();
}

QString tst_order::makeOrder(QStringList extra)
{
    orderDir = std::make_unique<QTemporaryDir>();
    const QString folder = orderDir->path();
    if (!writeFile(folder + QStringLiteral("/app.bin"), app) || !writeFile(folder + QStringLiteral("/data.bin"), data)
        || !writeFile(folder + QStringLiteral("/macs.txt"), kMacs.join(QLatin1Char('\n')).toUtf8()))
        return QString();
    const QString path = folder + QStringLiteral("/WO-7.json");
    extra.replaceInStrings(QStringLiteral("ORDER"), folder);
    const ProgramRun made = runProgram(QStringList{builtProgram(QStringLiteral("vq_flash")), QStringLiteral("--make-order"), path}
                                       + extra
                                       + QStringList{folder + QStringLiteral("/app.bin@0"),
                                                     folder + QStringLiteral("/data.bin@100000")});
    return made.exitCode == 0 ? path : QString();
}

void tst_order::orderedChips_data()
{
    QTest::addColumn<QString>("frontEnd");
    QTest::addColumn<QString>("chipModel");
    QTest::addColumn<int>("stations");
    QTest::addColumn<QString>("serial");  // the order's serial rule: none, counter or list
    QTest::newRow("vq_flash --make-order, then --order") << "vq_flash" << "VQ5304" << 3 << "none";
    QTest::newRow("the window loads it") << "window" << "VQ5304" << 2 << "none";
    QTest::newRow("the window saves its rows as an order, then loads it") << "window saves" << "VQ5304" << 1 << "none";
    QTest::newRow("vq_flash, a reel of another model") << "vq_flash" << "VQ571M" << 2 << "none";
    QTest::newRow("the window, a reel of another model") << "window" << "VQ571M" << 1 << "none";
    QTest::newRow("vq_flash, an order with a serial counter") << "vq_flash" << "VQ5304" << 3 << "counter";
    QTest::newRow("the window, an order with a serial list") << "window" << "VQ5304" << 2 << "list";
}

// The chips get exactly the order's images, or, of another model, nothing;
// every row names the order, its operator and the order file's hash.
void tst_order::orderedChips()
{
    QFETCH(QString, frontEnd);
    QFETCH(QString, chipModel);
    QFETCH(int, stations);
    QFETCH(QString, serial);
    SimFixture sim({QStringLiteral("--model"), chipModel}, stations);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    QStringList rule;
    if (serial == QLatin1String("counter"))
        rule = QStringList{"--serial-at", "0x3ff000", "--serial-start", "0x10000000"};
    else if (serial == QLatin1String("list"))
        rule = QStringList{"--serial-at", "0x3ff000", "--serial-list", "ORDER/macs.txt"};
    QString order = makeOrder(QStringList{QStringLiteral("--model"), QStringLiteral("VQ5304"), QStringLiteral("--baud"),
                                          QStringLiteral("921600"), QStringLiteral("--reset")}
                              + rule);
    QVERIFY(!order.isEmpty());
    QString database;
    std::unique_ptr<FactoryRig> rig;
    if (frontEnd == QLatin1String("vq_flash")) {
        database = orderDir->filePath(QStringLiteral("line.db"));
        Flash run({QStringLiteral("--order"), order, QStringLiteral("--operator"), QStringLiteral("王五"),
                   QStringLiteral("--all-ports"), QStringLiteral("--db"), database},
                  sim.dir());
        QCOMPARE(run.finish(), chipModel == QLatin1String("VQ5304") ? 0 : 1);
    } else {
        rig = std::make_unique<FactoryRig>(sim, stations);
        QVERIFY(rig->ready);
        database = rig->database();
        if (frontEnd == QLatin1String("window saves")) {
            // The operator's rows, hashed into an order of the window's own.
            rig->drive->setImages({orderDir->filePath(QStringLiteral("app.bin")) + QStringLiteral("@0"),
                                   orderDir->filePath(QStringLiteral("data.bin")) + QStringLiteral("@100000")});
            rig->drive->setBaud(QStringLiteral("921600"));
            order = orderDir->filePath(QStringLiteral("saved.json"));
            QObject scope;
            FactoryDriver::answerDialogs(&scope, {FactoryDriver::chooseFile(order), [](QDialog *d) {
                                                      d->findChild<QCheckBox *>(QStringLiteral("cbOrderModel_VQ5304"))->setChecked(true);
                                                      d->accept();
                                                  }});
            rig->window->findChild<QPushButton *>(QStringLiteral("pbnSaveOrder"))->click();
            QVERIFY2(QFileInfo::exists(order), qPrintable(rig->log()));
        }
        rig->drive->loadOrder(order, QStringLiteral("王五"));
        QVERIFY2(rig->log().contains(QStringLiteral("已加载工单")), qPrintable(rig->log()));
        QVERIFY(rig->run());
    }

    const QByteArray orderHash = QCryptographicHash::hash(readFile(order), QCryptographicHash::Sha256).toHex();
    QVector<productionRow> rows;
    QVERIFY(QTest::qWaitFor([&] { return (rows = rowsIn(database)).size() == stations; }, 10000));
    for (const productionRow &r : qAsConst(rows)) {
        QCOMPARE(r.order, QFileInfo(order).completeBaseName());
        QCOMPARE(r.operatorName, QStringLiteral("王五"));
        QCOMPARE(r.orderSha256, orderHash);
        QCOMPARE(r.model, chipModel);
        QCOMPARE(r.code, chipModel == QLatin1String("VQ5304") ? 0u : 0x20300u);
    }
    QStringList values;
    for (int i = 0; i < stations; ++i) {
        const QByteArray flash = sim.flash(i);
        QVERIFY(flash.size() > int(kSerialAddress));
        // A chip of another model keeps its flash as it came.
        QByteArray expected = chipModel == QLatin1String("VQ5304") ? flashWith(flash, app, data)
                                                                    : QByteArray(flash.size(), char(0xFF));
        const auto row = std::find_if(rows.begin(), rows.end(),
                                      [&](const productionRow &r) { return r.port == sim.portName(i); });
        QVERIFY(row != rows.end());
        if (serial != QLatin1String("none")) {
            expected.replace(kSerialAddress, row->serial.size() / 2, QByteArray::fromHex(row->serial.toLatin1()));
            values << row->serial;
        }
        QVERIFY2(flash == expected, qPrintable(sim.portName(i)));
    }
    values.sort();
    if (serial == QLatin1String("counter"))
        QCOMPARE(values, (QStringList{"00000010", "01000010", "02000010"}));
    if (serial == QLatin1String("list"))
        QCOMPARE(values, (QStringList{"a4cf12000001", "a4cf12000002"}));
    if (chipModel != QLatin1String("VQ5304"))
        QCOMPARE(rows.first().text, QStringLiteral("芯片型号与工单不符"));
}

void tst_order::refusedBeforeAnyChip_data()
{
    // field: a dotted path into the order to set (value: JSON text; empty:
    // the key removed); args after --order FILE --port PORT.
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("said");
    QTest::newRow("an unknown key") << "colour" << "\"red\"" << QStringList() << "“colour”";
    QTest::newRow("an unknown option") << "options.verify" << "true" << QStringList() << "“options.verify”";
    QTest::newRow("a negative quantity") << "quantity" << "-1" << QStringList() << "“quantity”";
    QTest::newRow("a model the catalogue lacks") << "models" << "[\"VQ9999\"]" << QStringList() << "“models[0]”";
    QTest::newRow("no baud") << "baud" << "" << QStringList() << "“baud”";
    QTest::newRow("an option that is not true or false") << "options.boot" << "1" << QStringList() << "“options.boot”";
    QTest::newRow("an address off the sector") << "images.0.address" << "\"0x800\"" << QStringList()
                                               << "“images[0].address”";
    QTest::newRow("images that overlap") << "images.1.address" << "\"0x10000\"" << QStringList() << "“images”";
    QTest::newRow("an image that is not there") << "images.1.file" << "\"gone.bin\"" << QStringList()
                                                << "“images[1].file”";
    QTest::newRow("an image changed since the order") << "images.0.sha256" << "\"" + QString(64, QLatin1Char('a')) + "\""
                                                      << QStringList() << "烧录文件与工单不符：app.bin";
    QTest::newRow("a serial list changed since the order")
        << "serial" << "{\"at\": \"0x3ff000\", \"list\": \"macs.txt\", \"listSha256\": \"" + QString(64, 'a') + "\"}"
        << QStringList() << "序列号列表与工单不符：macs.txt";
    QTest::newRow("a counter's field in list mode")
        << "serial" << "{\"at\": \"0x3ff000\", \"list\": \"macs.txt\", \"listSha256\": \"" + QString(64, 'a') + "\", \"step\": 2}"
        << QStringList() << "“serial.step”";
    QTest::newRow("a serial value in an image's sector") << "serial" << "{\"at\": \"0x0\"}" << QStringList()
                                                         << "“serial.at”";
    QTest::newRow("a serial rule the order does not have") << "" << "" << QStringList{"--serial-at", "0x3fe000"}
                                                           << "--serial-at contradicts the order (it has no serial rule)";
    QTest::newRow("another speed") << "" << "" << QStringList{"--baud", "115200"}
                                   << "--baud 115200 contradicts the order (baud 921600)";
    QTest::newRow("BOOT control the order leaves off") << "" << "" << QStringList{"--boot"}
                                                       << "--boot contradicts the order (options.boot is false)";
    QTest::newRow("an image of its own") << "" << "" << QStringList{"ORDER/data.bin@0"} << "contradict the order";
    QTest::newRow("--quantity without --make-order") << "" << "" << QStringList{"--quantity", "3"}
                                                     << "--quantity, --model and --product go with --make-order";
}

// Every refusal comes before a port is opened: exit status 2, the chip's
// flash as it came, and the field or argument named.
void tst_order::refusedBeforeAnyChip()
{
    QFETCH(QString, field);
    QFETCH(QString, value);
    QFETCH(QStringList, args);
    QFETCH(QString, said);
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QString order = makeOrder({QStringLiteral("--baud"), QStringLiteral("921600")});
    QVERIFY(!order.isEmpty());
    if (!field.isEmpty()) {
        QJsonObject o = QJsonDocument::fromJson(readFile(order)).object();
        const QStringList path = field.split(QLatin1Char('.'));
        const QJsonValue v = value.isEmpty() ? QJsonValue(QJsonValue::Undefined)
                                             : QJsonDocument::fromJson("[" + value.toUtf8() + "]").array().first();
        if (path.size() == 1 && v.isUndefined()) {
            o.remove(path.first());
        } else if (path.size() == 1) {
            o.insert(path.first(), v);
        } else if (path.first() == QLatin1String("options")) {
            QJsonObject options = o.value(path.first()).toObject();
            options.insert(path.at(1), v);
            o.insert(path.first(), options);
        } else {
            QJsonArray images = o.value(QStringLiteral("images")).toArray();
            QJsonObject image = images.at(path.at(1).toInt()).toObject();
            image.insert(path.at(2), v);
            images.replace(path.at(1).toInt(), image);
            o.insert(QStringLiteral("images"), images);
        }
        QVERIFY(writeFile(order, QJsonDocument(o).toJson()));
    }
    args.replaceInStrings(QStringLiteral("ORDER"), orderDir->path());
    Flash run(QStringList{QStringLiteral("--order"), order, QStringLiteral("--port"), sim.portPath()} + args, sim.dir());
    QCOMPARE(run.finish(), 2);
    QVERIFY2(run.err.contains(said), qPrintable(run.err));
    QCOMPARE(sim.flash(), QByteArray(sim.flash().size(), char(0xFF)));
    QCOMPARE(sim.state().where, QStringLiteral("ROM"));
}

void tst_order::windowRefusesTheStart_data()
{
    QTest::addColumn<QString>("when");
    QTest::addColumn<QString>("said");
    QTest::newRow("an image changed before loading") << "before loading" << "工单未加载：烧录文件与工单不符：app.bin";
    QTest::newRow("an image changed after loading") << "after loading" << "烧录文件与工单不符：app.bin";
    QTest::newRow("the order complete") << "complete" << "工单已完成：WO-7（已完成 1 / 1），未开始烧录";
}

// A start the order does not allow touches no chip and adds no row.
void tst_order::windowRefusesTheStart()
{
    QFETCH(QString, when);
    QFETCH(QString, said);
    SimFixture sim;
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QString order = makeOrder({QStringLiteral("--quantity"), QStringLiteral("1")});
    QVERIFY(!order.isEmpty());
    FactoryRig rig(sim, 1);
    QVERIFY(rig.ready);
    const QByteArray changed = randomBytes(app.size(), 253);
    if (when == QLatin1String("before loading"))
        QVERIFY(writeFile(orderDir->filePath(QStringLiteral("app.bin")), changed));
    rig.drive->loadOrder(order, QString());
    int rowsBefore = 0;
    if (when == QLatin1String("after loading")) {
        QVERIFY(writeFile(orderDir->filePath(QStringLiteral("app.bin")), changed));
    } else if (when == QLatin1String("complete")) {
        QVERIFY(rig.run());
        QTRY_COMPARE_WITH_TIMEOUT(rowsIn(rig.database()).size(), 1, 10000);
        QCOMPARE(rig.drive->orderProgress(), QStringLiteral("已完成 1 / 1"));
        rowsBefore = 1;
        QVERIFY(sim.clearEvents() && sim.request(QStringLiteral("NEXTCHIP")).value(0) == QStringLiteral("OK"));
    }
    const QByteArray flashBefore = sim.flash();
    rig.drive->selectPanels(1);
    rig.drive->pressStart();
    QVERIFY2(rig.log().contains(said), qPrintable(rig.log()));
    QVERIFY(!rig.drive->running());
    QTest::qWait(500);
    QCOMPARE(rowsIn(rig.database()).size(), rowsBefore);
    QCOMPARE(sim.flash(), flashBefore);
    QCOMPARE(sim.state().where, QStringLiteral("ROM"));
}

// Quantity 5 on 8 fixture stations: the line stops by itself at 5 good
// chips and those in hand, at most one per station; run again, the order is
// complete and no chip is touched.
void tst_order::quantityStopsTheLine()
{
    constexpr int kStations = 8;
    constexpr int kQuantity = 5;
    SimFixture sim({}, kStations);
    QVERIFY2(sim.ok(), qPrintable(sim.error()));
    const QString order = makeOrder({QStringLiteral("--continuous"), QStringLiteral("--quantity"),
                                     QString::number(kQuantity)});
    QVERIFY(!order.isEmpty());
    const QString database = orderDir->filePath(QStringLiteral("line.db"));
    const QStringList args{QStringLiteral("--order"), order, QStringLiteral("--all-ports"), QStringLiteral("--json"),
                           QStringLiteral("--db"), database};
    {
        Flash run(args, sim.dir());
        // Every station is fed a chip whenever it waits for one, until the
        // line ends by itself.
        QVector<int> fed(kStations, 0);
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QList<QJsonObject> waits = run.events(QStringLiteral("waiting"));
                for (int s = 0; s < kStations; ++s) {
                    const auto mine = std::count_if(waits.begin(), waits.end(), [&](const QJsonObject &o) {
                        return o.value(QStringLiteral("station")).toInt() == s + 1;
                    });
                    if (mine > fed[s] && sim.request(QStringLiteral("NEXTCHIP"), s).value(0) == QStringLiteral("OK"))
                        fed[s] = static_cast<int>(mine);
                }
                return !run.events(QStringLiteral("summary")).isEmpty();
            },
            kWaitMs));
        QCOMPARE(run.finish(), 0);
        const QList<QJsonObject> done = run.events(QStringLiteral("orderComplete"));
        QCOMPARE(done.size(), 1);
        QCOMPARE(done.first().value(QStringLiteral("done")).toInt(), kQuantity);
        const int good = run.events(QStringLiteral("summary")).value(0).value(QStringLiteral("good")).toInt();
        QVERIFY2(good >= kQuantity && good <= kQuantity + kStations - 1, qPrintable(QString::number(good)));
        QCOMPARE(run.events(QStringLiteral("end")).size(), kStations);
        QTRY_COMPARE_WITH_TIMEOUT(rowsIn(database).size(), run.events(QStringLiteral("result")).size(), 10000);
    }
    QVector<QByteArray> flashes;
    for (int i = 0; i < kStations; ++i) {
        QVERIFY(sim.request(QStringLiteral("NEXTCHIP"), i).value(0) == QStringLiteral("OK"));
        flashes << sim.flash(i);
    }
    const int rows = rowsIn(database).size();
    Flash again(args, sim.dir());
    QCOMPARE(again.finish(), 1);
    QVERIFY2(again.err.contains(QStringLiteral("工单已完成：WO-7")), qPrintable(again.err));
    QCOMPARE(rowsIn(database).size(), rows);
    for (int i = 0; i < kStations; ++i)
        QVERIFY(sim.flash(i) == flashes.at(i));
}

QTEST_MAIN(tst_order)
#include "tst_order.moc"
