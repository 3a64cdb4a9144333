#include "httpstub.h"
#include "updaterules.h"
#include "updatesources.h"
#include "versioncheck.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using namespace vqupdate;

class TestUpdateRules : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void versionNumbers_data();
    void versionNumbers();
    void listingPackage_data();
    void listingPackage();
    void updateLogHead_data();
    void updateLogHead();
    void sourcesFile();
    void webQuery_data();
    void webQuery();
    void toolCheck_data();
    void toolCheck();
};

void TestUpdateRules::versionNumbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<quint32>("number");
    QTest::newRow("tool") << "v3.0.2" << true << 302u;
    QTest::newRow("updater") << "v1.0.1" << true << 101u;
    QTest::newRow("patch carries into minor") << "v3.0.10" << true << 310u;
    QTest::newRow("minor step") << "v3.1.0" << true << 310u;
    QTest::newRow("line end after patch") << "v3.0.3\r\n" << true << 303u;
    QTest::newRow("blank before v") << " v3.0.3" << true << 3u;
    QTest::newRow("any first character") << "x1.0.2" << true << 102u;
    QTest::newRow("not a number") << "v3.a.3" << true << 303u;
    QTest::newRow("two parts") << "v3.0" << false << 0u;
    QTest::newRow("four parts") << "v3.0.3.1" << false << 0u;
    QTest::newRow("empty") << "" << false << 0u;
}

void TestUpdateRules::versionNumbers()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(quint32, number);
    const VersionText v = parseVersionText(text);
    QCOMPARE(v.valid, valid);
    if (valid)
        QCOMPARE(versionNumber(v), number);
}

void TestUpdateRules::listingPackage_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("versionValid");
    QTest::addColumn<quint32>("number");
    QTest::newRow("quoted") << QByteArray("<a href='vq_download_tool_v3.0.3.zip'>new</a>") << true
                            << "vq_download_tool_v3.0.3.zip" << true << 303u;
    QTest::newRow("first unquoted, later quoted")
        << QByteArray("see vq_download_tool_v3.0.3.zip or 'vq_download_tool_v3.0.4.zip'") << false
        << "" << false << 0u;
    QTest::newRow("at the very start") << QByteArray("vq_download_tool_v3.0.3.zip'") << false << ""
                                       << false << 0u;
    QTest::newRow("no closing quote") << QByteArray("x'vq_download_tool_v1.0.2.zip\n</p>") << true
                                      << "vq_download_tool_v1.0.2.zip\n</p>" << true << 102u;
    QTest::newRow("NUL inside the name") << QByteArray("'vq_download_tool_v1.0.2.zip\0junk'", 34)
                                         << true << "vq_download_tool_v1.0.2.zip" << true << 102u;
    QTest::newRow("no dot after the version") << QByteArray("'vq_download_tool_v3.0.3'") << true
                                              << "vq_download_tool_v3.0.3" << false << 0u;
    QTest::newRow("two-part version") << QByteArray("'vq_download_tool_v3.0.zip'") << true
                                      << "vq_download_tool_v3.0.zip" << false << 0u;
    QTest::newRow("no marker") << QByteArray("<html>nothing</html>") << false << "" << false << 0u;
}

void TestUpdateRules::listingPackage()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, found);
    QFETCH(QString, name);
    QFETCH(bool, versionValid);
    QFETCH(quint32, number);
    QString got;
    QCOMPARE(packageNameFromListing(body, &got), found);
    if (!found)
        return;
    QCOMPARE(got, name);
    const VersionText v = parseVersionText(versionTextOfPackage(got));
    QCOMPARE(v.valid, versionValid);
    if (versionValid)
        QCOMPARE(versionNumber(v), number);
}

void TestUpdateRules::updateLogHead_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<quint32>("number");
    QTest::addColumn<QString>("releaseLog");
    QTest::newRow("label, CRLF") << QByteArray("Quorvex串口烧录工具:v3.1.0\r\n修复\n新增") << 310u
                                 << QString::fromUtf8("修复\n新增");
    QTest::newRow("no colon") << QByteArray("v3.0.3\n") << 303u << "";
    QTest::newRow("no line end at all") << QByteArray("release:v1.0.2") << 102u << "";
    QTest::newRow("blank after colon") << QByteArray("release: v3.0.3\nnotes") << 3u << "notes";
    QTest::newRow("second colon stays in the text") << QByteArray("a:b:v1.0.3\n") << 3u << "";
    QTest::newRow("log ends at NUL") << QByteArray("r:v1.0.2\nlog\0tail", 17) << 102u << "log";
}

void TestUpdateRules::updateLogHead()
{
    QFETCH(QByteArray, content);
    QFETCH(quint32, number);
    QFETCH(QString, releaseLog);
    const UpdateLog log = parseUpdateLog(content);
    QCOMPARE(versionNumber(log.versionText), number);
    QCOMPARE(log.releaseLog, releaseLog);
}

void TestUpdateRules::sourcesFile()
{
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("config"));
    const UpdateSources first = loadUpdateSources(config);
    QFile written(config + QStringLiteral("/update_sources.json"));
    QVERIFY(written.open(QIODevice::ReadOnly));
    const QJsonObject o = QJsonDocument::fromJson(written.readAll()).object();
    QCOMPARE(o.value(QStringLiteral("webHost")).toString(), first.webHost);
    QCOMPARE(o.value(QStringLiteral("fileServer")).toString(), first.fileServer);
    QCOMPARE(listingUrl(first.webHost).port(), 801);

    written.close();
    QVERIFY(written.open(QIODevice::WriteOnly | QIODevice::Truncate));
    written.write(R"({"webHost": "127.0.0.1:8123", "fileServer": "/srv/fs/"})");
    written.close();
    const UpdateSources site = loadUpdateSources(config);
    QCOMPARE(listingUrl(site.webHost), QUrl(QStringLiteral("http://127.0.0.1:8123/")));
    QCOMPARE(shareFolder(site.fileServer), QString::fromUtf8("/srv/fs/lab/tools/Quorvex串口烧录工具/"));
}


void TestUpdateRules::webQuery_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<HttpStub::Delivery>("delivery");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("name");
    QTest::newRow("listing") << 200 << HttpStub::Whole << int(WebPackageFound)
                             << "vq_download_tool_v1.0.2.zip";
    QTest::newRow("not found") << 404 << HttpStub::Whole << int(WebUnreachable) << "";
    // The wait ends before the body does; what arrived is read, not dropped.
    QTest::newRow("stalled half way") << 200 << HttpStub::Stall << int(WebPackageFound)
                                      << "vq_download_tool_v1.0.2.zip";
}

void TestUpdateRules::webQuery()
{
    QFETCH(int, status);
    QFETCH(HttpStub::Delivery, delivery);
    QFETCH(int, result);
    QFETCH(QString, name);
    HttpStub web;
    HttpStub::Answer listing;
    listing.status = status;
    listing.body = "<a href='vq_download_tool_v1.0.2.zip'>release</a>" + QByteArray(4000, ' ');
    listing.delivery = delivery;
    web.route("/", {listing});
    // A stalled body holds the query for its whole wait.
    stretchListingWait(delivery == HttpStub::Stall ? 5000 : 30000);
    QString got;
    QCOMPARE(int(queryWebListing(listingUrl(web.host()), &got)), result);
    QCOMPARE(got, name);
}

void TestUpdateRules::initTestCase()
{
    stretchListingWait();
}

static CheckTexts toolTexts()
{
    CheckTexts t;
    t.webUnreachable = QStringLiteral("无法连接网络服务器，请检查网络状态！");
    t.webNoPackage = QStringLiteral("更新状态获取失败，请联系我们获取最新的软件！");
    t.webParseFailed = QStringLiteral("服务器版本号解析失败，请联系我们获取最新的软件！");
    t.webVersion = QStringLiteral("网络服务器版本号：v%1.%2.%3");
    t.localVersion = QStringLiteral("本地版本号：v%1.%2.%3");
    t.newerOnWeb = QStringList{QStringLiteral("检测到服务器有新版本"), QStringLiteral("\n开始升级")};
    t.upToDate = QStringLiteral("当前已经是最新版本，无需升级！");
    t.fileParseFailed = QStringLiteral("文件服务器版本号解析失败，请联系Quorvex实验室！");
    t.fileVersion = QStringLiteral("文件服务器版本号：v%1.%2.%3");
    t.newerOnFileServer = QStringLiteral("检测到服务器有新版本！");
    t.clearLogAtFileServer = true;
    return t;
}

void TestUpdateRules::toolCheck_data()
{
    QTest::addColumn<QByteArray>("listing");  // empty: nothing listens
    QTest::addColumn<QByteArray>("shareLog");  // empty: no file on the share
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("log");
    QTest::newRow("newer on the web")
        << QByteArray("'vq_download_tool_v3.0.3.zip'") << QByteArray("r:v3.1.0\n") << int(WebUpdateAvailable)
        << QStringList{"网络服务器版本号：v3.0.3", "本地版本号：v3.0.2", "检测到服务器有新版本", "\n开始升级"};
    QTest::newRow("web current, share not asked")
        << QByteArray("'vq_download_tool_v3.0.2.zip'") << QByteArray("r:v3.1.0\n") << int(UpToDate)
        << QStringList{"网络服务器版本号：v3.0.2", "本地版本号：v3.0.2", "当前已经是最新版本，无需升级！"};
    QTest::newRow("no package, newer on the share")
        << QByteArray("x vq_download_tool_v3.0.3.zip") << QByteArray("label:v3.1.0\r\n新增") << int(FileServerUpdateAvailable)
        << QStringList{"文件服务器版本号：v3.1.0", "本地版本号：v3.0.2", "检测到服务器有新版本！", "新增"};
    QTest::newRow("web down, share unparsable") << QByteArray() << QByteArray("v3.0\n") << int(UpToDate)
        << QStringList{"文件服务器版本号解析失败，请联系Quorvex实验室！"};
    QTest::newRow("web down, no share") << QByteArray() << QByteArray() << int(NoFileServer) << QStringList();
}

void TestUpdateRules::toolCheck()
{
    QFETCH(QByteArray, listing);
    QFETCH(QByteArray, shareLog);
    QFETCH(int, result);
    QFETCH(QStringList, log);

    QTemporaryDir mount;
    UpdateSources sources;
    sources.fileServer = mount.path();
    if (!shareLog.isEmpty()) {
        QDir().mkpath(shareFolder(sources.fileServer));
        QFile f(shareFolder(sources.fileServer) + QStringLiteral("update_log.txt"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(shareLog);
    }
    HttpStub web;
    web.route("/", {HttpStub::Answer{200, listing, HttpStub::Whole}});
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    sources.webHost = QStringLiteral("127.0.0.1:%1").arg(closed.serverPort());
    closed.close();
    if (!listing.isEmpty())
        sources.webHost = web.host();

    QStringList lines;
    CheckLog sink;
    sink.append = [&lines](const QString &text) { lines << text; };
    sink.clear = [&lines] { lines.clear(); };
    const CheckOutcome outcome = checkServerVersion(sources, QStringLiteral("v3.0.2"), toolTexts(), sink);
    QCOMPARE(int(outcome.result), result);
    QCOMPARE(lines, log);
    if (outcome.result == WebUpdateAvailable)
        QCOMPARE(outcome.downloadUrl.toString(), web.host().prepend("http://") + "/vq_download_tool_v3.0.3.zip");
}

QTEST_GUILESS_MAIN(TestUpdateRules)
#include "tst_updaterules.moc"
