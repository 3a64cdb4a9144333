// The factory settings file: defaults, keys the program does not know,
// spoiled files and whole-file replacement.
#include "cfgfile.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

class tst_factorysettings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void defaultsWhenMissing();
    void knownKeysOnly();
    void spoiledFileKeptAside_data();
    void spoiledFileKeptAside();
    void writesLeaveOneWholeFile();

private:
    QJsonObject onDisk() const;
    void put(const QByteArray &text) const;

    std::unique_ptr<QTemporaryDir> work;
    QString config;
};

void tst_factorysettings::init()
{
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
    // A config folder that does not exist yet, as on a first start.
    config = work->filePath(QStringLiteral("install/config"));
    qputenv("VQ_CONFIG_DIR", config.toLocal8Bit());
}

QJsonObject tst_factorysettings::onDisk() const
{
    QFile f(cfgFilePath());
    if (!f.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(f.readAll()).object();
}

void tst_factorysettings::put(const QByteArray &text) const
{
    QDir().mkpath(config);
    QFile f(cfgFilePath());
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
}

void tst_factorysettings::defaultsWhenMissing()
{
    QString aside;
    QVERIFY(!ensureDefaults(5, &aside));
    QVERIFY(aside.isEmpty());
    const QJsonObject o = onDisk();
    QCOMPARE(o.size(), 24);
    for (auto it = o.begin(); it != o.end(); ++it)
        QVERIFY2(it.value().isString(), qPrintable(it.key()));
    QCOMPARE(o.value("baud_rate").toString(), QString("1000000"));
    QCOMPARE(o.value("path_sta_4").toString(), QString("0"));
    QCOMPARE(o.value("file_addr_4").toString(), QString());
    QFile f(cfgFilePath());
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll().contains("\n    \"all_cnt\": \"0\""));
    QVERIFY(ensureDefaults(5));

    QString value = "kept";
    QVERIFY(!readValue("no_such_key", value));
    QCOMPARE(value, QString("kept"));
}

void tst_factorysettings::knownKeysOnly()
{
    const QByteArray old =
        R"({"all_cnt": 12, "ok_cnt": "10", "operator": "张三", "path_sta_0": 1, "file_path_0": "D:/固件/app.bin"})";
    put(old);
    // A counter that is no count is kept aside with the file and starts
    // again from 0; the rest stays in use.
    QString aside;
    QVERIFY(ensureDefaults(5, &aside));
    QCOMPARE(aside, cfgFilePath() + ".bad");
    QCOMPARE(readFile(aside), old);
    QString value = "x";
    QVERIFY(readValue("all_cnt", value));
    QCOMPARE(value, QString("0"));

    // A number where text belongs reads as empty text, not as its digits.
    QVERIFY(readValue("path_sta_0", value));
    QCOMPARE(value, QString());

    QVERIFY(writeValue("ok_cnt", "11"));
    QVERIFY(!writeValue("boot_flag", "1"));
    QVERIFY(!onDisk().contains("boot_flag"));
    QVERIFY(addValue("boot_flag", "0"));
    QVERIFY(writeValues({{"ok_cnt", "12"}, {"file_path_0", "D:/固件/新.bin"}}));

    const QJsonObject o = onDisk();
    QCOMPARE(o.value("operator").toString(), QString("张三"));
    QCOMPARE(o.value("boot_flag").toString(), QString("0"));
    QCOMPARE(o.value("ok_cnt").toString(), QString("12"));
    QCOMPARE(o.value("file_path_0").toString(), QString("D:/固件/新.bin"));
    QVERIFY(readValue("file_path_0", value));
    QCOMPARE(value, QString("D:/固件/新.bin"));
}

void tst_factorysettings::spoiledFileKeptAside_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("keptAside");
    QTest::newRow("cut off") << QByteArray(R"({"all_cnt": "1520", "ok_cnt": ")") << true;
    QTest::newRow("not an object") << QByteArray(R"(["all_cnt", "1520"])") << true;
    QTest::newRow("empty") << QByteArray() << false;
    // Far too large for settings, though it parses: junk to be parsed and
    // rewritten after every chip.
    QTest::newRow("over 1 MiB") << QByteArray(R"({"all_cnt": "3", "pad": ")" + QByteArray(1 << 20, 'x') + R"("})")
                                << true;
}

void tst_factorysettings::spoiledFileKeptAside()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, keptAside);
    const QString bad = cfgFilePath() + ".bad";
    put("an older spoiled copy");
    QVERIFY(!ensureDefaults(5));
    put(content);

    QString aside;
    QVERIFY(!ensureDefaults(5, &aside));
    QCOMPARE(onDisk().size(), 24);
    QFile kept(bad);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    if (keptAside) {
        QCOMPARE(aside, bad);
        QCOMPARE(kept.readAll(), content);
    } else {
        QVERIFY(aside.isEmpty());
        QCOMPARE(kept.readAll(), QByteArray("an older spoiled copy"));
    }
    // Reads and writes of a spoiled file change nothing.
    put(content);
    QString value = "kept";
    QVERIFY(!readValue("all_cnt", value));
    QCOMPARE(value, QString("kept"));
    QVERIFY(!writeValue("all_cnt", "0"));
    QFile still(cfgFilePath());
    QVERIFY(still.open(QIODevice::ReadOnly));
    QCOMPARE(still.readAll(), content);
}

void tst_factorysettings::writesLeaveOneWholeFile()
{
    QVERIFY(!ensureDefaults(5));
    QFile before(cfgFilePath());
    QVERIFY(before.open(QIODevice::ReadOnly));
    // An open reader keeps the text it opened: the writer replaces the file
    // instead of cutting it short and refilling it.
    for (int i = 0; i < 50; ++i)
        QVERIFY(writeValue("all_cnt", QString::number(i)));
    QVERIFY(before.readAll().contains("\"all_cnt\": \"0\""));
    QCOMPARE(QDir(config).entryList(QDir::Files | QDir::Hidden), QStringList{"cfg_file.json"});
    QString value;
    QVERIFY(readValue("all_cnt", value));
    QCOMPARE(value, QString("49"));
}

QTEST_GUILESS_MAIN(tst_factorysettings)
#include "tst_factorysettings.moc"
