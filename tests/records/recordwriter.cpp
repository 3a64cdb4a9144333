// A line that only records: appends made-up chips through the record store
// at a steady pace, as a window or vq_flash would, then waits for the
// server. The server suite runs two of these as two lines.
#include "recordstore.h"
#include "tranthread.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    const QCommandLineOption db(QStringLiteral("db"), QStringLiteral("Database."), QStringLiteral("PATH"));
    const QCommandLineOption line(QStringLiteral("line"), QStringLiteral("Line name."), QStringLiteral("NAME"));
    const QCommandLineOption count(QStringLiteral("count"), QStringLiteral("Chips."), QStringLiteral("N"));
    const QCommandLineOption interval(QStringLiteral("interval"), QStringLiteral("Pace."), QStringLiteral("MS"));
    const QCommandLineOption server(QStringLiteral("server-config"), QStringLiteral("records.json."),
                                    QStringLiteral("PATH"));
    const QCommandLineOption wait(QStringLiteral("upload-wait"), QStringLiteral("Last wait for the server."),
                                  QStringLiteral("MS"), QStringLiteral("120000"));
    p.addOptions({db, line, count, interval, server, wait});
    p.process(app);

    recordStoreOptions options;
    options.databasePath = p.value(db);
    QString problem;
    if (p.isSet(server) && !readRecordServer(p.value(server), &options.server, &problem))
        std::fprintf(stderr, "%s\n", qPrintable(problem));
    recordStore store(options);
    QObject::connect(&store, &recordStore::problem, [](const QString &text) {
        std::fprintf(stderr, "%s\n", text.toUtf8().constData());
        std::fflush(stderr);
    });
    recordOrigin origin = defaultOrigin();
    origin.line = p.value(line);
    const int chips = p.value(count).toInt();
    int next = 0;
    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, [&] {
        chipRecord chip;
        chip.finished = QDateTime::currentDateTime();
        chip.portName = QStringLiteral("ttyS%1").arg(next % 16);
        chip.model = QStringLiteral("VQ571M");
        chip.flashId = QStringLiteral("c8401600");
        chip.flashUid = QStringLiteral("%1-%2").arg(origin.line).arg(next, 4, 10, QLatin1Char('0'));
        const bool ok = next % 5 != 0;
        chip.code = ok ? 0 : 0x409f1;
        chip.text = ok ? QStringLiteral("下载成功") : QStringLiteral("烧录Flash过程出错");
        store.append(rowOf(chip, next % 16 + 1, ok, origin));
        std::printf("appended %d\n", ++next);
        std::fflush(stdout);
        if (next < chips)
            return;
        pace.stop();
        store.flushUpload(p.value(wait).toInt());
        std::printf("%s\n", store.state().text().toUtf8().constData());
        app.quit();
    });
    pace.start(p.value(interval).toInt());
    return app.exec();
}
