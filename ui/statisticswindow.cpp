#include "statisticswindow.h"
#include "ui_statisticswindow.h"

#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QHorizontalBarSeries>
#include <QSet>
#include <QStackedBarSeries>
#include <QTableWidgetItem>
#include <QThread>
#include <QTimer>
#include <QValueAxis>

#include <algorithm>

QT_CHARTS_USE_NAMESPACE

namespace {
// While the chosen day is today the figures move with the line; five seconds
// is fresh enough for a glance and leaves the database to the stations.
constexpr int kRefreshMs = 5000;
// A factory server that cannot be reached is tried again after a minute;
// meanwhile the line's own database answers without waiting for a timeout.
constexpr qint64 kServerRetryMs = 60000;
// More failure codes than this make the bars too thin to read.
constexpr int kShownFailures = 8;
const QColor kGoodColor(0x1c, 0x8c, 0x2e);
const QColor kFailedColor(0xc6, 0x28, 0x28);
// Stopped runs are neither: a neutral grey beside the two.
const QColor kStoppedColor(0x90, 0x90, 0x90);
const QColor kWorstBackground(0xff, 0xcd, 0xd2);
const QString kAllLines = QStringLiteral("全部产线");

QString yieldText(qint64 good, qint64 failed)
{
    const qint64 total = good + failed;
    if (total == 0)
        return QStringLiteral("—");
    return QString::number(100.0 * good / total, 'f', 1) + QLatin1Char('%');
}

QString codeText(uint32_t code)
{
    return QStringLiteral("0x") + QString::number(code, 16).toUpper();
}

QString operationText(const QString &operation)
{
    if (operation == QLatin1String("download"))
        return QStringLiteral("下载");
    if (operation == QLatin1String("erase"))
        return QStringLiteral("擦除");
    return operation;
}

QString resultText(const productionRow &r)
{
    QString s = r.ok        ? QStringLiteral("成功")
                : r.stopped() ? QStringLiteral("停止：%1（%2）").arg(r.text, codeText(r.code))
                              : QStringLiteral("失败：%1（%2）").arg(r.text, codeText(r.code));
    if (r.firstCode != 0)
        s += QStringLiteral("，首次失败 %1").arg(codeText(r.firstCode));
    return s;
}

QString imagesText(const productionRow &r)
{
    QStringList lines;
    for (const imageFacts &f : r.images)
        lines << QStringLiteral("%1 @%2，%3 字节，%4")
                     .arg(f.fileName, codeText(f.address))
                     .arg(f.size)
                     .arg(QString::fromLatin1(f.sha256));
    return lines.join(QLatin1Char('\n'));
}

bool sameSummary(const recordSummary &a, const recordSummary &b)
{
    const auto sameCounts = [](const chipCounts &x, const chipCounts &y) {
        return x.good == y.good && x.failed == y.failed && x.stopped == y.stopped && x.erased == y.erased;
    };
    const auto sameHours = [&](const hourCount &x, const hourCount &y) {
        return x.hourMs == y.hourMs && sameCounts(x, y);
    };
    const auto sameFailures = [](const failureCount &x, const failureCount &y) {
        return x.code == y.code && x.count == y.count && x.text == y.text;
    };
    const auto sameStations = [&](const stationCount &x, const stationCount &y) {
        return x.line == y.line && x.station == y.station && sameCounts(x, y);
    };
    return std::equal(a.hours.begin(), a.hours.end(), b.hours.begin(), b.hours.end(), sameHours)
           && std::equal(a.failures.begin(), a.failures.end(), b.failures.begin(), b.failures.end(), sameFailures)
           && std::equal(a.stations.begin(), a.stations.end(), b.stations.begin(), b.stations.end(), sameStations);
}

QTableWidgetItem *cell(const QString &text, Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter)
{
    auto *item = new QTableWidgetItem(text);
    item->setTextAlignment(static_cast<int>(align));
    return item;
}

QTableWidgetItem *number(qint64 value)
{
    return cell(QString::number(value), Qt::AlignRight | Qt::AlignVCenter);
}
} // namespace

// ---------------------------------------------------------------------------

statisticsReader::statisticsReader(const QString &databasePath, const recordServer &server)
    : databasePath(databasePath), server(server)
{
}

statisticsReader::~statisticsReader() = default;

void statisticsReader::close()
{
    drop();
}

void statisticsReader::drop()
{
    query.reset();
    source.clear();
}

bool statisticsReader::ensureOpen(QString *error)
{
    if (query)
        return true;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (server.valid() && now >= serverRetryAfterMs) {
        note.clear();
        QString why;
        query = recordQuery::openServer(server, &why);
        if (query) {
            onServer = true;
            source = QStringLiteral("数据来源：服务器 %1:%2/%3（全厂）").arg(server.host).arg(server.port).arg(server.database);
            return true;
        }
        serverRetryAfterMs = now + kServerRetryMs;
        note = QStringLiteral("无法连接记录服务器 %1:%2：%3；显示本机数据。").arg(server.host).arg(server.port).arg(why.trimmed());
    }
    QString why;
    onServer = false;
    query = recordQuery::openLocal(databasePath, &why);
    if (!query) {
        *error = QStringLiteral("无法打开记录数据库：%1").arg(why.trimmed());
        return false;
    }
    source = QStringLiteral("数据来源：本机 %1").arg(QDir::toNativeSeparators(QFileInfo(databasePath).absoluteFilePath()));
    if (server.valid() && note.isEmpty())
        // Local while the server is being waited for: try it again later.
        note = QStringLiteral("记录服务器暂不可用，显示本机数据。");
    return true;
}

void statisticsReader::loadDay(int request, qint64 fromMs, qint64 toMs, const QString &line, const QString &order)
{
    recordSummary summary;
    QStringList lines;
    QStringList orders;
    orderCount progress;
    QString error;
    if (server.valid() && query && !onServer && QDateTime::currentMSecsSinceEpoch() >= serverRetryAfterMs)
        drop();  // time to try the factory's server again
    if (ensureOpen(&error)) {
        recordFilter filter;
        filter.fromMs = fromMs;
        filter.toMs = toMs;
        recordSummary all;
        bool good = query->summary(filter, &all, &error);
        if (good && (!line.isEmpty() || !order.isEmpty())) {
            filter.line = line;
            filter.order = order;
            good = query->summary(filter, &summary, &error);
        } else {
            summary = all;
        }
        // An order's progress counts every day of it, on every line.
        QVector<orderCount> chosen;
        if (good && !order.isEmpty()) {
            recordFilter ofOrder;
            ofOrder.order = order;
            good = query->orders(ofOrder, &chosen, &error);
            progress = chosen.value(0);
            progress.order = order;
        }
        if (good) {
            for (const stationCount &s : all.stations)
                if (!lines.contains(s.line))
                    lines << s.line;
            for (const orderCount &o : all.orders)
                orders << o.order;
        } else {
            error = QStringLiteral("查询失败：%1").arg(error.trimmed());
            summary = recordSummary();
            drop();  // a server that went away is opened afresh next time
        }
    }
    // The line's file is opened afresh for every answer: a database that
    // was made again meanwhile is the one read, and no reader holds it.
    if (!onServer)
        query.reset();
    emit dayLoaded(request, summary, lines, orders, progress, source, note, error);
}

void statisticsReader::search(int request, const QString &text)
{
    QVector<productionRow> rows;
    QString error;
    if (ensureOpen(&error)) {
        // One field takes every identity: a UID, a flash ID and a serial
        // value never look alike enough to be mistaken for each other in
        // practice, and the person holding a returned board may have read
        // any of them (the serial from its label).
        recordFilter byUid;
        byUid.uid = text;
        recordFilter byFlash;
        byFlash.flashId = text;
        recordFilter bySerial;
        bySerial.serial = text;
        QVector<productionRow> flashRows;
        QVector<productionRow> serialRows;
        if (query->find(byUid, &rows, &error) && query->find(byFlash, &flashRows, &error)
            && query->find(bySerial, &serialRows, &error)) {
            QSet<QString> seen;
            for (const productionRow &r : rows)
                seen.insert(r.id);
            for (const productionRow &r : flashRows + serialRows) {
                if (!seen.contains(r.id))
                    rows.append(r);
                seen.insert(r.id);
            }
            std::stable_sort(rows.begin(), rows.end(),
                             [](const productionRow &a, const productionRow &b) { return a.timeMs > b.timeMs; });
        } else {
            error = QStringLiteral("查询失败：%1").arg(error.trimmed());
            rows.clear();
            drop();
        }
    }
    if (!onServer)
        query.reset();
    emit found(request, rows, error);
}

// ---------------------------------------------------------------------------

statisticsWindow::statisticsWindow(const QString &databasePath, const recordServer &server, QWidget *parent)
    : QWidget(parent, Qt::Window), ui(new Ui::statisticsWindow)
{
    qRegisterMetaType<recordSummary>("recordSummary");
    qRegisterMetaType<orderCount>("orderCount");
    qRegisterMetaType<QVector<productionRow>>("QVector<productionRow>");
    ui->setupUi(this);
    ui->deDay->setDate(QDate::currentDate());
    // The figures take what they need; the line's name the rest.
    ui->twStations->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    ui->twStations->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    // The hashes need the room: the short columns take what they need, the
    // images the rest (the whole text is in the cell's tool tip as well).
    ui->twSearch->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    ui->twSearch->horizontalHeader()->setSectionResizeMode(4, QHeaderView::Interactive);
    ui->twSearch->horizontalHeader()->resizeSection(4, 260);
    ui->twSearch->horizontalHeader()->setSectionResizeMode(5, QHeaderView::Stretch);
    ui->labelSource->setText(server.valid() ? QStringLiteral("数据来源：服务器 %1:%2").arg(server.host).arg(server.port)
                                            : QStringLiteral("数据来源：本机"));
    buildCharts();

    thread = std::make_unique<QThread>();
    thread->setObjectName(QStringLiteral("statistics"));
    reader = new statisticsReader(databasePath, server);
    reader->moveToThread(thread.get());
    connect(reader, &statisticsReader::dayLoaded, this, &statisticsWindow::showDay);
    connect(reader, &statisticsReader::found, this, &statisticsWindow::showFound);
    // Below the stations' threads and the GUI thread: a long query waits for
    // the chips, never the other way round.
    thread->start(QThread::LowPriority);

    connect(ui->deDay, &QDateEdit::dateChanged, this, &statisticsWindow::refresh);
    connect(ui->cbLine, QOverload<int>::of(&QComboBox::activated), this, &statisticsWindow::refresh);
    connect(ui->cbOrder, QOverload<int>::of(&QComboBox::activated), this, &statisticsWindow::refresh);
    showOrderProgress(orderCount());
    refreshTimer = new QTimer(this);
    refreshTimer->setInterval(kRefreshMs);
    connect(refreshTimer, &QTimer::timeout, this, [this] {
        // Only today's figures move; an answer still on its way is not
        // asked for twice.
        if (!dayPending && ui->deDay->date() == QDate::currentDate())
            refresh();
    });
    refreshTimer->start();
    refresh();
}

statisticsWindow::~statisticsWindow()
{
    // The query belongs to the reader's thread and is closed there.
    QMetaObject::invokeMethod(reader, &statisticsReader::close, Qt::BlockingQueuedConnection);
    thread->quit();
    thread->wait();
    delete reader;
    delete ui;
}

statisticsWindow *statisticsWindow::forThisLine(QWidget *parent)
{
    recordServer server;
    QString error;
    if (!readRecordServer(recordServerConfigPath(), &server, &error))
        server = recordServer();
    // The window works in the programs' folder: its log/ is the line's.
    return new statisticsWindow(lineLogFolderOf(QDir::currentPath()).path + QStringLiteral("/production.db"), server,
                                parent);
}

void statisticsWindow::buildCharts()
{
    auto *hours = new QChart();
    hours->setTitle(QStringLiteral("每小时烧录数量"));
    hours->legend()->setAlignment(Qt::AlignBottom);
    auto *series = new QStackedBarSeries(hours);
    auto *good = new QBarSet(QStringLiteral("成功"));
    good->setColor(kGoodColor);
    auto *failed = new QBarSet(QStringLiteral("失败"));
    failed->setColor(kFailedColor);
    auto *stopped = new QBarSet(QStringLiteral("停止"));
    stopped->setColor(kStoppedColor);
    QStringList categories;
    for (int h = 0; h < 24; ++h) {
        categories << QStringLiteral("%1").arg(h, 2, 10, QLatin1Char('0'));
        *good << 0;
        *failed << 0;
        *stopped << 0;
    }
    series->append(good);
    series->append(failed);
    series->append(stopped);
    hours->addSeries(series);
    auto *x = new QBarCategoryAxis(hours);
    x->append(categories);
    // Twenty-four labels side by side: small enough not to be cut to "…".
    QFont small = x->labelsFont();
    small.setPointSize(7);
    x->setLabelsFont(small);
    hours->setMargins(QMargins(2, 2, 2, 2));
    hours->addAxis(x, Qt::AlignBottom);
    series->attachAxis(x);
    auto *y = new QValueAxis(hours);
    y->setLabelFormat(QStringLiteral("%d"));
    y->setRange(0, 1);
    hours->addAxis(y, Qt::AlignLeft);
    series->attachAxis(y);
    ui->chartHours->setChart(hours);
    ui->chartHours->setRenderHint(QPainter::Antialiasing);

    auto *failures = new QChart();
    failures->setTitle(QStringLiteral("失败原因"));
    failures->legend()->hide();
    ui->chartFailures->setChart(failures);
    ui->chartFailures->setRenderHint(QPainter::Antialiasing);
}

QString statisticsWindow::chosenLine() const
{
    return ui->cbLine->currentIndex() <= 0 ? QString() : ui->cbLine->currentText();
}

QString statisticsWindow::chosenOrder() const
{
    return ui->cbOrder->currentIndex() <= 0 ? QString() : ui->cbOrder->currentText();
}

void statisticsWindow::refresh()
{
    const QDate day = ui->deDay->date();
    const qint64 from = QDateTime(day, QTime(0, 0)).toMSecsSinceEpoch();
    const qint64 to = QDateTime(day.addDays(1), QTime(0, 0)).toMSecsSinceEpoch();
    dayPending = true;
    const int request = ++dayRequest;
    const QString line = chosenLine();
    const QString order = chosenOrder();
    QMetaObject::invokeMethod(reader,
                              [r = reader, request, from, to, line, order] { r->loadDay(request, from, to, line, order); });
}

void statisticsWindow::on_pbnRefresh_clicked()
{
    refresh();
}

void statisticsWindow::showDay(int request, const recordSummary &summary, const QStringList &lines,
                               const QStringList &orders, const orderCount &progress, const QString &source,
                               const QString &note, const QString &error)
{
    if (request != dayRequest)
        return;  // the day or line changed meanwhile; a newer answer follows
    dayPending = false;
    shownDay = ui->deDay->date();
    if (!source.isEmpty())
        ui->labelSource->setText(source);
    showLines(lines);
    // Orders seen on any shown day stay choosable, as lines do.
    for (const QString &o : orders) {
        if (ui->cbOrder->findText(o, Qt::MatchExactly | Qt::MatchCaseSensitive) < 1)
            ui->cbOrder->addItem(o);
    }
    showOrderProgress(progress);
    // The refresh of a quiet line changes nothing: the charts and the table
    // are left alone, so the GUI thread the stations' poll runs on does no
    // work for them.
    const QString shownKey = shownDay.toString(Qt::ISODate) + chosenLine() + QLatin1Char('\n') + chosenOrder();
    if (!sameSummary(summary, lastSummary) || shownKey != lastKey || !error.isEmpty()) {
        showHours(summary);
        showFailures(summary);
        showStations(summary);
        lastSummary = summary;
        lastKey = error.isEmpty() ? shownKey : QString();
    }

    chipCounts day;
    for (const hourCount &h : summary.hours) {
        day.good += h.good;
        day.failed += h.failed;
        day.stopped += h.stopped;
        day.erased += h.erased;
    }
    const qint64 good = day.good, failed = day.failed;
    ui->labelYield->setText(yieldText(good, failed));
    // Stopped runs and erases are outside the yield; they are shown beside it.
    ui->labelTotals->setText(QStringLiteral("成功 %1，失败 %2，停止 %3").arg(good).arg(failed).arg(day.stopped)
                             + (day.erased > 0 ? QStringLiteral("，擦除 %1").arg(day.erased) : QString()));
    if (!error.isEmpty()) {
        ui->labelStatus->setStyleSheet(QStringLiteral("color:#c62828;"));
        ui->labelStatus->setText(error);
    } else {
        ui->labelStatus->setStyleSheet(note.isEmpty() ? QString() : QStringLiteral("color:#b26a00;"));
        const QString when = QStringLiteral("更新于 %1").arg(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")));
        const QString empty = good + failed + day.stopped + day.erased == 0 ? QStringLiteral("该日没有生产记录。")
                                                                             : QString();
        ui->labelStatus->setText(note + empty + when);
    }
    emit dayShown();
}

void statisticsWindow::showOrderProgress(const orderCount &progress)
{
    ui->pbOrderProgress->setVisible(progress.quantity > 0);
    if (progress.order.isEmpty()) {
        ui->labelOrderProgress->clear();
        return;
    }
    if (progress.quantity <= 0) {
        ui->labelOrderProgress->setText(
            QStringLiteral("工单 %1：已完成 %2（不限数量）").arg(progress.order).arg(progress.good));
        return;
    }
    ui->labelOrderProgress->setText(QStringLiteral("工单 %1：已完成 %2 / %3，剩余 %4")
                                        .arg(progress.order)
                                        .arg(progress.good)
                                        .arg(progress.quantity)
                                        .arg(std::max<qint64>(0, progress.quantity - progress.good)));
    ui->pbOrderProgress->setRange(0, 1000);
    ui->pbOrderProgress->setValue(static_cast<int>(1000 * std::min(progress.good, progress.quantity) / progress.quantity));
    ui->pbOrderProgress->setFormat(QStringLiteral("%1%").arg(100.0 * progress.good / progress.quantity, 0, 'f', 1));
}

void statisticsWindow::showLines(const QStringList &lines)
{
    // Lines seen on any shown day stay choosable; the chosen one stays chosen.
    QStringList known;
    for (int i = 1; i < ui->cbLine->count(); ++i)
        known << ui->cbLine->itemText(i);
    for (const QString &l : lines)
        if (!l.isEmpty() && !known.contains(l)) {
            known << l;
            ui->cbLine->addItem(l);
        }
}

void statisticsWindow::showHours(const recordSummary &summary)
{
    QVector<qint64> good(24, 0), failed(24, 0), stopped(24, 0);
    for (const hourCount &h : summary.hours) {
        // The store counts UTC hours; the chart shows the viewer's clock.
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(h.hourMs);
        if (local.date() != shownDay)
            continue;
        good[local.time().hour()] += h.good;
        failed[local.time().hour()] += h.failed;
        stopped[local.time().hour()] += h.stopped;
    }
    auto *series = qobject_cast<QStackedBarSeries *>(ui->chartHours->chart()->series().value(0));
    qint64 top = 0;
    QList<qreal> values[3];
    for (int i = 0; i < 24; ++i) {
        values[0] << good[i];
        values[1] << failed[i];
        values[2] << stopped[i];
        top = std::max(top, good[i] + failed[i] + stopped[i]);
    }
    // Whole sets at once: one layout of the chart, not one per bar.
    const QList<QBarSet *> sets = series->barSets();
    for (int s = 0; s < sets.size() && s < 3; ++s) {
        sets.at(s)->remove(0, sets.at(s)->count());
        sets.at(s)->append(values[s]);
    }
    auto *y = qobject_cast<QValueAxis *>(ui->chartHours->chart()->axes(Qt::Vertical).value(0));
    y->setRange(0, std::max<qint64>(top, 1));
    y->applyNiceNumbers();
}

void statisticsWindow::showFailures(const recordSummary &summary)
{
    QChart *chart = ui->chartFailures->chart();
    chart->removeAllSeries();
    for (QAbstractAxis *a : chart->axes())
        chart->removeAxis(a), delete a;
    const int shown = std::min(summary.failures.size(), kShownFailures);
    chart->setTitle(summary.failures.size() > shown
                        ? QStringLiteral("失败原因（前 %1 种，共 %2 种）").arg(shown).arg(summary.failures.size())
                        : QStringLiteral("失败原因"));
    auto *series = new QHorizontalBarSeries(chart);
    auto *set = new QBarSet(QStringLiteral("次数"));
    set->setColor(kFailedColor);
    QStringList categories;
    // A horizontal bar chart draws its first category at the bottom: add the
    // ranking backwards so the most frequent failure is on top.
    for (int i = shown - 1; i >= 0; --i) {
        const failureCount &f = summary.failures.at(i);
        QString text = f.text;
        if (text.size() > 18)
            text = text.left(17) + QStringLiteral("…");
        categories << QStringLiteral("%1 %2").arg(codeText(f.code), text);
        *set << f.count;
    }
    series->append(set);
    series->setLabelsVisible(true);
    chart->addSeries(series);
    auto *y = new QBarCategoryAxis(chart);
    y->append(categories);
    chart->addAxis(y, Qt::AlignLeft);
    series->attachAxis(y);
    auto *x = new QValueAxis(chart);
    x->setLabelFormat(QStringLiteral("%d"));
    x->setRange(0, shown > 0 ? std::max<qint64>(summary.failures.first().count, 1) : 1);
    x->applyNiceNumbers();
    chart->addAxis(x, Qt::AlignBottom);
    series->attachAxis(x);
}

void statisticsWindow::showStations(const recordSummary &summary)
{
    qint64 good = 0, failed = 0;
    for (const stationCount &s : summary.stations) {
        good += s.good;
        failed += s.failed;
    }
    const double dayYield = good + failed > 0 ? double(good) / (good + failed) : 1.0;
    // The worst: the lowest yield among stations that failed at all, when it
    // is below the day's (a line where every socket fails alike has no worst
    // socket).
    double worst = 2.0;
    for (const stationCount &s : summary.stations)
        if (s.failed > 0)
            worst = std::min(worst, double(s.good) / (s.good + s.failed));
    const bool markWorst = worst < dayYield - 1e-9;

    ui->twStations->setUpdatesEnabled(false);
    ui->twStations->setRowCount(summary.stations.size());
    for (int i = 0; i < summary.stations.size(); ++i) {
        const stationCount &s = summary.stations.at(i);
        ui->twStations->setItem(i, 0, cell(s.line));
        ui->twStations->setItem(i, 1, number(s.station));
        ui->twStations->setItem(i, 2, number(s.good));
        ui->twStations->setItem(i, 3, number(s.failed));
        ui->twStations->setItem(i, 4, cell(yieldText(s.good, s.failed), Qt::AlignRight | Qt::AlignVCenter));
        ui->twStations->setItem(i, 5, number(s.stopped));
        const bool isWorst =
            markWorst && s.failed > 0 && std::abs(double(s.good) / (s.good + s.failed) - worst) < 1e-9;
        for (int c = 0; c < 6; ++c) {
            QTableWidgetItem *item = ui->twStations->item(i, c);
            if (isWorst) {
                item->setBackground(kWorstBackground);
                item->setToolTip(QStringLiteral("良率最低的工位"));
            }
        }
    }
    ui->twStations->setUpdatesEnabled(true);
}

void statisticsWindow::on_pbnSearch_clicked()
{
    startSearch();
}

void statisticsWindow::on_leSearch_returnPressed()
{
    startSearch();
}

void statisticsWindow::startSearch()
{
    const QString text = ui->leSearch->text().trimmed();
    if (text.isEmpty()) {
        ui->labelSearch->setText(QStringLiteral("请输入芯片的 UID、Flash ID 或序列号。"));
        return;
    }
    ui->labelSearch->setText(QStringLiteral("查询中…"));
    const int request = ++searchRequest;
    QMetaObject::invokeMethod(reader, [r = reader, request, text] { r->search(request, text); });
}

void statisticsWindow::showFound(int request, const QVector<productionRow> &rows, const QString &error)
{
    if (request != searchRequest)
        return;
    ui->twSearch->setRowCount(rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        const productionRow &r = rows.at(i);
        ui->twSearch->setItem(i, 0, cell(r.localTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))));
        ui->twSearch->setItem(i, 1, cell(r.line));
        ui->twSearch->setItem(i, 2, number(r.station));
        ui->twSearch->setItem(i, 3, cell(operationText(r.operation)));
        QTableWidgetItem *result = cell(resultText(r));
        result->setToolTip(result->text());
        result->setForeground(r.ok ? kGoodColor : r.stopped() ? kStoppedColor : kFailedColor);
        ui->twSearch->setItem(i, 4, result);
        QTableWidgetItem *images = cell(imagesText(r));
        images->setToolTip(images->text());
        ui->twSearch->setItem(i, 5, images);
        ui->twSearch->setItem(i, 6, cell(r.serial));
    }
    ui->twSearch->resizeRowsToContents();
    if (!error.isEmpty())
        ui->labelSearch->setText(error);
    else if (rows.isEmpty())
        ui->labelSearch->setText(QStringLiteral("没有这块芯片的记录。"));
    else
        ui->labelSearch->setText(QStringLiteral("共 %1 条记录，最新的在前。").arg(rows.size()));
    emit searchShown();
}
