// The statistics window over a made-up shift, for the README's picture:
//
//   vq_statistics_shot --db DIR/production.db --shot out.png
//
// A database that does not exist yet is filled with today's shift of one
// line, with a chip that failed on the worn socket and passed on another;
// the window opens on today and searches for that chip.
#include "recordsql.h"
#include "shiftrows.h"
#include "statisticswindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlDatabase>
#include <QTimer>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCommandLineParser p;
    p.addOption({QStringLiteral("db"), QStringLiteral("database"), QStringLiteral("path")});
    p.addOption({QStringLiteral("shot"), QStringLiteral("picture to write"), QStringLiteral("png")});
    p.process(app);
    const QString path = p.value(QStringLiteral("db"));

    QString returned;
    if (!QFileInfo::exists(path)) {
        QSqlDatabase db;
        QString error;
        if (!openLocalDatabase(path, QStringLiteral("fill"), true, &db, &error)) {
            fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        shiftPlan plan;
        plan.day = QDate::currentDate();
        productionRow retest;
        bool ok = true;
        forEachShiftRow(plan, [&](const productionRow &r) {
            ok = ok && insertRow(db, r, &error);
            if (returned.isEmpty() && !r.ok && r.station == plan.wornStation) {
                returned = r.uid;
                retest = r;
            }
        });
        retest.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        retest.timeMs += 20 * 60000;
        retest.station = 3;
        retest.port = QStringLiteral("COM5");
        retest.ok = true;
        retest.code = 0;
        retest.text = QStringLiteral("下载成功");
        ok = ok && insertRow(db, retest, &error);
        db.close();
        if (!ok) {
            fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));

    statisticsWindow w(path, recordServer());
    w.show();
    // The day's answer, and the search's when there is one.
    int answers = returned.isEmpty() ? 1 : 0;
    const auto shoot = [&] {
        if (++answers < 2)
            return;
        // Let the charts finish their first layout before the picture.
        QTimer::singleShot(500, &app, [&] {
            w.grab().save(p.value(QStringLiteral("shot")));
            app.quit();
        });
    };
    QObject::connect(&w, &statisticsWindow::dayShown, &app, [&] {
        static bool searched = false;
        if (searched)
            return;
        searched = true;
        if (returned.isEmpty()) {
            shoot();
            return;
        }
        w.findChild<QLineEdit *>(QStringLiteral("leSearch"))->setText(returned);
        w.findChild<QPushButton *>(QStringLiteral("pbnSearch"))->click();
        shoot();
    });
    QObject::connect(&w, &statisticsWindow::searchShown, &app, shoot);
    return app.exec();
}
