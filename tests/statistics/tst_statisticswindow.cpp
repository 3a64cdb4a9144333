// The statistics window over a database of known rows, driven through its
// widgets: the hour bars, the yield, the failure ranking and the station
// table for a chosen day and line; the chip search; an empty day and a
// database that cannot be opened.
#include "testutil.h"
#include "recordsql.h"
#include "recordstore.h"
#include "resultcodes.h"
#include "statisticswindow.h"
#include "appglobals.h"
#include "factorywindow.h"

#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChartView>
#include <QComboBox>
#include <QDateEdit>
#include <QHorizontalBarSeries>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlDatabase>
#include <QStackedBarSeries>
#include <QTableWidget>
#include <QtTest>

#include <time.h>

QT_CHARTS_USE_NAMESPACE

namespace {
constexpr int kWaitMs = 60000;
const QDate kDay(2026, 3, 2);
constexpr char kUid[] = "A1B2C3D4E5F60718";
constexpr uint32_t kSyncFail = resultCode::kNoChipInfo;
constexpr uint32_t kFlashFail = resultCode::kRamCodeFailed;

struct known {
    int dayOffset;
    const char *time;
    const char *line;
    int station;
    bool ok;
    uint32_t code;
    const char *uid;
    bool erase = false;
    const char *order = "";  // of quantity 5 when given
};

// A day of two lines, and a row just before and just after it.
const known kRows[] = {
    {0, "09:05", "L1", 1, true, 0, "0001", false, "WO-7"},
    {0, "09:10", "L1", 1, true, 0, "0002", false, "WO-7"},
    {0, "09:20", "L1", 2, false, kSyncFail, kUid, false, "WO-7"},
    {0, "09:40", "L1", 2, true, 0, kUid},
    {0, "10:15", "L1", 1, true, 0, "0003"},
    {0, "10:30", "L1", 2, false, kSyncFail, "0004"},
    {0, "10:45", "L1", 3, false, kFlashFail, "0005"},
    {0, "10:50", "L2", 1, true, 0, "0006"},
    // Neither good nor failed: a run stopped by the operator, an erase.
    {0, "10:20", "L1", 3, false, resultCode::kFlashWriteFailed | resultCode::kTransferStopped, "0009"},
    {0, "10:25", "L1", 2, true, 0, "0010", true},
    {0, "23:30", "L2", 1, true, 0, kUid},
    {-1, "23:59", "L1", 1, false, kFlashFail, "0007", false, "WO-7"},
    {1, "00:00", "L1", 1, true, 0, "0008", false, "WO-7"},
};

productionRow rowOf(const known &k)
{
    productionRow r;
    r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QDateTime at(kDay.addDays(k.dayOffset), QTime::fromString(QLatin1String(k.time), QStringLiteral("hh:mm")));
    r.timeMs = at.toMSecsSinceEpoch();
    r.utcOffset = at.offsetFromUtc();
    r.host = r.line = QLatin1String(k.line);
    r.station = k.station;
    r.port = QStringLiteral("COM%1").arg(k.station);
    r.model = QStringLiteral("VQ571M");
    r.uid = QLatin1String(k.uid);
    r.flashId = QStringLiteral("C84017") + QLatin1String(k.uid).right(2);
    r.operation = k.erase ? QStringLiteral("erase") : QStringLiteral("download");
    r.order = QLatin1String(k.order);
    r.orderQuantity = r.order.isEmpty() ? 0 : 5;
    r.toolVersion = QStringLiteral("v3.0.2");
    r.ok = k.ok;
    r.code = k.code;
    r.text = k.ok ? QStringLiteral("下载成功") : resultText(k.code);
    r.images.append({QStringLiteral("app.bin"), 4096, 0x10000,
                     QCryptographicHash::hash(QByteArray(k.time), QCryptographicHash::Sha256).toHex()});
    return r;
}

template <typename T>
T *child(QObject *parent, const char *name)
{
    T *w = parent->findChild<T *>(QLatin1String(name));
    if (!w)
        qWarning() << "missing" << name;
    return w;
}

// "hh:good/failed/stopped" for every hour with chips.
QString hoursOf(statisticsWindow &w)
{
    auto *series = qobject_cast<QStackedBarSeries *>(child<QChartView>(&w, "chartHours")->chart()->series().value(0));
    QStringList out;
    for (int h = 0; h < 24; ++h) {
        const qreal good = series->barSets().at(0)->at(h), failed = series->barSets().at(1)->at(h),
                    stopped = series->barSets().at(2)->at(h);
        if (good + failed + stopped > 0)
            out << QStringLiteral("%1:%2/%3/%4").arg(h, 2, 10, QLatin1Char('0')).arg(good).arg(failed).arg(stopped);
    }
    return out.join(QLatin1Char(' '));
}

// "code:count" from the top bar down.
QString failuresOf(statisticsWindow &w)
{
    QChart *chart = child<QChartView>(&w, "chartFailures")->chart();
    auto *series = qobject_cast<QHorizontalBarSeries *>(chart->series().value(0));
    auto *axis = qobject_cast<QBarCategoryAxis *>(chart->axes(Qt::Vertical).value(0));
    QStringList out;
    for (int i = axis->count() - 1; i >= 0; --i)
        out << axis->at(i).section(QLatin1Char(' '), 0, 0) + QLatin1Char(':')
                   + QString::number(series->barSets().at(0)->at(i));
    return out.join(QLatin1Char(' '));
}

// "line-station good/failed/stopped yield", "*" after a station marked as
// worst.
QString stationsOf(statisticsWindow &w)
{
    auto *t = child<QTableWidget>(&w, "twStations");
    QStringList out;
    for (int r = 0; r < t->rowCount(); ++r)
        out << QStringLiteral("%1-%2 %3/%4/%5 %6%7")
                   .arg(t->item(r, 0)->text(), t->item(r, 1)->text(), t->item(r, 2)->text(), t->item(r, 3)->text(),
                        t->item(r, 5)->text(), t->item(r, 4)->text(),
                        t->item(r, 0)->toolTip().isEmpty() ? QString() : QStringLiteral("*"));
    return out.join(QLatin1String(", "));
}
} // namespace

class tst_statisticswindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void dayView_data();
    void dayView();
    void search_data();
    void search();
    void fromFactoryWindow();

private:
    QTemporaryDir dir;
    QString database;
};

void tst_statisticswindow::initTestCase()
{
    // A fixed zone: the day and its hours are the viewer's local ones.
    qputenv("TZ", "Asia/Shanghai");
    tzset();
    QVERIFY(dir.isValid());
    database = dir.filePath(QStringLiteral("log/production.db"));
    {
        QSqlDatabase db;
        QString error;
        QVERIFY2(openLocalDatabase(database, QStringLiteral("fill"), true, &db, &error), qPrintable(error));
        for (const known &k : kRows)
            QVERIFY2(insertRow(db, rowOf(k), &error), qPrintable(error));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("garbage.db")), QByteArray(8192, 'x')));
}

void tst_statisticswindow::dayView_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("dayOffset");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("hours");
    QTest::addColumn<QString>("yield");
    QTest::addColumn<QString>("stations");
    QTest::addColumn<QString>("failures");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("serverPort");  // 0: no factory server
    QTest::addColumn<QString>("order");
    QTest::addColumn<QString>("progress");

    // The stopped run and the erase stay out of the yield and the failures.
    QTest::newRow("whole factory") << "log/production.db" << 0 << QString() << "09:3/1/0 10:2/2/1 23:1/0/0" << "66.7%"
                                   << "L1-1 3/0/0 100.0%, L1-2 1/2/0 33.3%, L1-3 0/1/1 0.0%*, L2-1 2/0/0 100.0%"
                                   << "0x20200:2 0x30100:1" << "更新于" << 0 << QString() << QString();
    QTest::newRow("one line") << "log/production.db" << 0 << "L2" << "10:1/0/0 23:1/0/0" << "100.0%"
                              << "L2-1 2/0/0 100.0%" << "" << "更新于" << 0 << QString() << QString();
    // Every station failed alike: none is singled out.
    QTest::newRow("day before, its last minute") << "log/production.db" << -1 << QString() << "23:0/1/0" << "0.0%"
                                                 << "L1-1 0/1/0 0.0%" << "0x30100:1" << "更新于" << 0 << QString() << QString();
    QTest::newRow("empty day") << "log/production.db" << 5 << QString() << "" << "—" << "" << ""
                               << "该日没有生产记录" << 0 << QString() << QString();
    QTest::newRow("not a database") << "garbage.db" << 0 << QString() << "" << "—" << "" << ""
                                    << "无法打开记录数据库" << 0 << QString() << QString();
    QTest::newRow("no database yet") << "log/none.db" << 0 << QString() << "" << "—" << "" << ""
                                     << "无法打开记录数据库" << 0 << QString() << QString();
    // Nothing listens on port 1: the line's own figures, and the reason.
    QTest::newRow("factory server away") << "log/production.db" << 0 << QString() << "09:3/1/0 10:2/2/1 23:1/0/0" << "66.7%"
                                         << "L1-1 3/0/0 100.0%, L1-2 1/2/0 33.3%, L1-3 0/1/1 0.0%*, L2-1 2/0/0 100.0%"
                                         << "0x20200:2 0x30100:1" << "无法连接记录服务器 127.0.0.1:1" << 1 << QString() << QString();
    // The day's chips of one order; its progress counts every day of it.
    QTest::newRow("one order") << "log/production.db" << 0 << QString() << "09:2/1/0" << "66.7%"
                               << "L1-1 2/0/0 100.0%, L1-2 0/1/0 0.0%*" << "0x20200:1" << "更新于" << 0 << "WO-7"
                               << "工单 WO-7：已完成 3 / 5，剩余 2";
}

void tst_statisticswindow::dayView()
{
    QFETCH(QString, file);
    QFETCH(int, dayOffset);
    QFETCH(QString, line);
    QFETCH(QString, hours);
    QFETCH(QString, yield);
    QFETCH(QString, stations);
    QFETCH(QString, failures);
    QFETCH(QString, status);
    QFETCH(int, serverPort);
    QFETCH(QString, order);
    QFETCH(QString, progress);

    recordServer server;
    if (serverPort != 0)
        server = {QStringLiteral("127.0.0.1"), serverPort, QStringLiteral("records"), QStringLiteral("vq")};
    statisticsWindow w(dir.filePath(file), server);
    QSignalSpy shown(&w, &statisticsWindow::dayShown);
    QTRY_VERIFY_WITH_TIMEOUT(shown.count() >= 1, kWaitMs);
    shown.clear();
    child<QDateEdit>(&w, "deDay")->setDate(kDay.addDays(dayOffset));
    QTRY_VERIFY_WITH_TIMEOUT(shown.count() >= 1, kWaitMs);
    if (!line.isEmpty()) {
        auto *lines = child<QComboBox>(&w, "cbLine");
        QVERIFY(lines->findText(line) > 0);
        lines->setCurrentIndex(lines->findText(line));
        shown.clear();
        QTest::mouseClick(child<QPushButton>(&w, "pbnRefresh"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(shown.count() >= 1, kWaitMs);
    }
    if (!order.isEmpty()) {
        auto *orders = child<QComboBox>(&w, "cbOrder");
        QVERIFY(orders->findText(order) > 0);
        orders->setCurrentIndex(orders->findText(order));
        shown.clear();
        QTest::mouseClick(child<QPushButton>(&w, "pbnRefresh"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(shown.count() >= 1, kWaitMs);
    }
    QCOMPARE(child<QLabel>(&w, "labelOrderProgress")->text(), progress);

    QCOMPARE(hoursOf(w), hours);
    QCOMPARE(child<QLabel>(&w, "labelYield")->text(), yield);
    QCOMPARE(stationsOf(w), stations);
    QCOMPARE(failuresOf(w), failures);
    const QString said = child<QLabel>(&w, "labelStatus")->text();
    QVERIFY2(said.contains(status), qPrintable(said));
}

void tst_statisticswindow::search_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("rows");  // newest first: time, line, station, result

    const QString uidRows = QStringLiteral("2026-03-02 23:30 L2 1 成功; 2026-03-02 09:40 L1 2 成功; "
                                           "2026-03-02 09:20 L1 2 失败");
    QTest::newRow("uid") << kUid << uidRows;
    QTest::newRow("uid in lower case, with blanks") << QStringLiteral("  %1 ").arg(QString(kUid).toLower()) << uidRows;
    QTest::newRow("flash id") << "C8401705" << "2026-03-02 10:45 L1 3 失败";
    // A UID that is the start of another must not find it.
    QTest::newRow("part of a uid") << "A1B2C3D4" << "";
    QTest::newRow("unknown chip") << "FFFF" << "";
}

void tst_statisticswindow::search()
{
    QFETCH(QString, typed);
    QFETCH(QString, rows);

    statisticsWindow w(database, recordServer());
    QSignalSpy found(&w, &statisticsWindow::searchShown);
    QTest::keyClicks(child<QLineEdit>(&w, "leSearch"), typed);
    QTest::mouseClick(child<QPushButton>(&w, "pbnSearch"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(found.count() == 1, kWaitMs);

    auto *t = child<QTableWidget>(&w, "twSearch");
    QStringList shown;
    for (int r = 0; r < t->rowCount(); ++r) {
        shown << QStringLiteral("%1 %2 %3 %4")
                     .arg(t->item(r, 0)->text().left(16), t->item(r, 1)->text(), t->item(r, 2)->text(),
                          t->item(r, 4)->text().left(2));
        // Every row names its image and the hash of the bytes sent.
        const known *k = std::find_if(std::begin(kRows), std::end(kRows), [&](const known &k) {
            return t->item(r, 0)->text().mid(11, 5) == QLatin1String(k.time);
        });
        QVERIFY(k != std::end(kRows));
        QVERIFY2(t->item(r, 5)->text().contains(rowOf(*k).images.first().sha256), qPrintable(t->item(r, 5)->text()));
    }
    QCOMPARE(shown.join(QLatin1String("; ")), rows);
    if (rows.isEmpty())
        QCOMPARE(child<QLabel>(&w, "labelSearch")->text(), QStringLiteral("没有这块芯片的记录。"));
}

// "生产统计" opens the line's own database: log/production.db where the
// tool runs.
void tst_statisticswindow::fromFactoryWindow()
{
    qputenv("VQ_CONFIG_DIR", dir.filePath(QStringLiteral("config")).toLocal8Bit());
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    deviceCount = 2;
    {
        factoryWindow f;
        QTest::mouseClick(child<QPushButton>(&f, "pbnStatistics"), Qt::LeftButton);
        auto *w = f.findChild<statisticsWindow *>();
        QVERIFY(w && w->isVisible());
        QSignalSpy shown(w, &statisticsWindow::dayShown);
        child<QDateEdit>(w, "deDay")->setDate(kDay);
        QTRY_VERIFY_WITH_TIMEOUT(shown.count() >= 1, kWaitMs);
        QCOMPARE(child<QLabel>(w, "labelYield")->text(), QStringLiteral("66.7%"));
        // Asked for again, the same window comes forward.
        QTest::mouseClick(child<QPushButton>(&f, "pbnStatistics"), Qt::LeftButton);
        QCOMPARE(f.findChildren<statisticsWindow *>().size(), 1);
    }
    QDir::setCurrent(before);
}

QTEST_MAIN(tst_statisticswindow)
#include "tst_statisticswindow.moc"
