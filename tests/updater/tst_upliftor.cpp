// Runs the real updater in a throw-away installation folder against a local
// HTTP server (well-behaved or not) and a local folder standing for the file
// share, and compares the installation byte for byte afterwards.

#include "httpstub.h"
#include "testutil.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString releaseFolder = QString::fromUtf8("Quorvex串口烧录工具");
const QByteArray endMarker = "[update sequence ended]";

// A stalled server is given up after this long in these runs.
const int stallMs = 5000;

QString buildDir() { return qEnvironmentVariable("VQ_BUILD_DIR"); }

// Packs <folder>/<top> with Info-ZIP, the way releases are published.
QByteArray zipFolder(const QString &folder, const QString &top)
{
    QProcess zip;
    zip.setWorkingDirectory(folder);
    zip.start(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-r"), QStringLiteral("-X"),
                                      QStringLiteral("out.zip"), top});
    zip.waitForFinished(60000);
    return readFile(folder + QStringLiteral("/out.zip"));
}

enum Package { Release, Corrupted, NoReleaseFolder, SparedNames, BackslashNames, ReleaseWithSiteFiles, Bomb, Overrun };
enum Share { NoShare, ShareRelease, ShareCorrupted, ShareLogOnly };

} // namespace

Q_DECLARE_METATYPE(Package)
Q_DECLARE_METATYPE(Share)

class TestUpliftor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void update_data();
    void update();

private:
    QByteArray package(Package kind, const QString &scratch);

    QByteArray release;
    Tree releaseTree;  // files below the release folder of the real package
};

void TestUpliftor::initTestCase()
{
    stretchListingWait();
    qputenv("VQ_TEST_STALL_MS", QByteArray::number(stallMs));
    qputenv("VQ_TEST_RETRY_PAUSE_MS", "100");
    QVERIFY2(QFile::exists(buildDir() + QStringLiteral("/upliftor/upliftor")), "upliftor not built");
    release = readFile(buildDir() + QStringLiteral("/vq_download_tool.zip"));
    QVERIFY2(!release.isEmpty(), "release archive not built");
    releaseTree = unpackedRelease(buildDir() + QStringLiteral("/vq_download_tool.zip"), releaseFolder);
    QVERIFY2(!releaseTree.isEmpty(), "unzip could not unpack the release archive");
    QVERIFY(releaseTree.contains(QStringLiteral("config/VQ571M_RAM_BIN.bin")));
    QVERIFY(releaseTree.contains(QStringLiteral("upliftor/upliftor")));
    QVERIFY(!releaseTree.contains(QStringLiteral("config/update_sources.json")));
}

QByteArray TestUpliftor::package(Package kind, const QString &scratch)
{
    switch (kind) {
    case Release:
        return release;
    case Corrupted: {
        // Inside the RAM-code images, which are installed, not only carried.
        QByteArray bytes = release;
        for (int i = 20000; i < 20064; ++i)
            bytes[i] = char(bytes.at(i) ^ 0x5A);
        return bytes;
    }
    case NoReleaseFolder:
        writeFile(scratch + QStringLiteral("/other/config/VQ571M_RAM_BIN.bin"), "stray");
        return zipFolder(scratch, QStringLiteral("other"));
    case SparedNames:
        for (const char *name : {"config/cfg_file.json", "config/update_sources.json", "log/2026-02-02.text",
                                 "catalog.txt", "upliftor/upliftor", "readme.txt", "docs/changelog.txt",
                                 "config/logo.png", "catalog/index.txt"})
            writeFile(scratch + QLatin1Char('/') + releaseFolder + QLatin1Char('/') + QLatin1String(name),
                      QByteArray("from the package: ") + name);
        return zipFolder(scratch, releaseFolder);
    case BackslashNames: {
        // As some Windows archivers write them.
        QDir().mkpath(scratch);
        QProcess python;
        python.start(QStringLiteral("python3"), {QStringLiteral("-c"), QStringLiteral(
            "import sys, zipfile\n"
            "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
            "    z.writestr(sys.argv[2] + '\\\\config\\\\VQ571M_RAM_BIN.bin', b'new RAM code' * 50)\n"
            "    z.writestr(sys.argv[2] + '\\\\readme.txt', b'read me')\n"),
            scratch + QStringLiteral("/out.zip"), releaseFolder});
        python.waitForFinished(60000);
        return readFile(scratch + QStringLiteral("/out.zip"));
    }
    case ReleaseWithSiteFiles: {
        // The real release with a site's settings packed in by mistake.
        QDir().mkpath(scratch);
        QProcess unzip;
        unzip.setWorkingDirectory(scratch);
        unzip.start(QStringLiteral("unzip"), {QStringLiteral("-q"), buildDir() + QStringLiteral("/vq_download_tool.zip")});
        unzip.waitForFinished(60000);
        const QString config = scratch + QLatin1Char('/') + releaseFolder + QStringLiteral("/config/");
        writeFile(config + QStringLiteral("update_sources.json"),
                  R"({"webHost": "update.elsewhere.lan", "fileServer": "/mnt/elsewhere"})");
        writeFile(config + QStringLiteral("cfg_file.json"), R"({"okCount": 0, "failCount": 0})");
        return zipFolder(scratch, releaseFolder);
    }
    case Bomb: {
        // 64 MiB of zeros from a sparse file, which Info-ZIP packs a
        // thousandfold, as bombs are made.
        QFile zeros(scratch + QLatin1Char('/') + releaseFolder + QStringLiteral("/config/VQ571M_RAM_BIN.bin"));
        QDir().mkpath(QFileInfo(zeros).path());
        if (!zeros.open(QIODevice::WriteOnly) || !zeros.resize(qint64(64) << 20))
            return QByteArray();
        zeros.close();
        return zipFolder(scratch, releaseFolder);
    }
    case Overrun: {
        // The directory declares half of an entry, with the CRC-32 of that
        // half, so that only its data says that it goes on.
        QDir().mkpath(scratch);
        QProcess python;
        python.start(QStringLiteral("python3"), {QStringLiteral("-c"), QStringLiteral(
            "import random, sys, zipfile, zlib\n"
            "out, name = sys.argv[1], sys.argv[2] + '/config/VQ571M_RAM_BIN.bin'\n"
            "data = random.Random(7).randbytes(300000)\n"
            "with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:\n"
            "    z.writestr(sys.argv[2] + '/readme.txt', b'read me')\n"
            "    z.writestr(name, data)\n"
            "    local = z.getinfo(name).header_offset\n"
            "raw = bytearray(open(out, 'rb').read())\n"
            "central = raw.find(b'PK\\x01\\x02', raw.find(b'PK\\x01\\x02') + 4)\n"
            "for at in (local + 14, central + 16):\n"
            "    raw[at:at + 4] = zlib.crc32(data[:150000]).to_bytes(4, 'little')\n"
            "    raw[at + 8:at + 12] = (150000).to_bytes(4, 'little')\n"
            "open(out, 'wb').write(bytes(raw))\n"),
            scratch + QStringLiteral("/out.zip"), releaseFolder});
        python.waitForFinished(60000);
        return readFile(scratch + QStringLiteral("/out.zip"));
    }
    }
    return QByteArray();
}

void TestUpliftor::update_data()
{
    QTest::addColumn<QString>("listedVersion");  // empty: the web server is down
    QTest::addColumn<QList<HttpStub::Answer>>("downloads");
    QTest::addColumn<Package>("kind");
    QTest::addColumn<Share>("share");
    QTest::addColumn<QString>("blockedFile");  // a folder stands where this release file goes
    QTest::addColumn<bool>("staleDownload");   // a longer archive and a cut-off download are left from earlier runs
    QTest::addColumn<bool>("installed");
    QTest::addColumn<int>("downloadCount");
    QTest::addColumn<QString>("lastWords");
    // Log lines ("[box] ..." for boxes) in the order they must come; %size
    // stands for the package's size.
    QTest::addColumn<QStringList>("says");
    QTest::addColumn<QStringList>("never");
    // NAME=value: test variables, such as VQ_TEST_FAIL_AT for writes that
    // fail as on a full disk
    QTest::addColumn<QStringList>("env");

    const HttpStub::Answer whole{200, {}, HttpStub::Whole};
    const HttpStub::Answer cut{200, {}, HttpStub::CutShort};
    const HttpStub::Answer missing{404, "gone", HttpStub::Whole};
    const QString success = QStringLiteral("[box] 成功 升级成功，请关闭本软件！");
    const QString failure = QStringLiteral("[box] 错误 升级失败，请联系我司FAE获取最新的软件下载地址！");

    const QStringList newerOnWeb{QStringLiteral("网络服务器版本号：v1.0.2"), QStringLiteral("检测到服务器有新版本"),
                                 QStringLiteral("\n开始升级...如果升级失败，请联系我司FAE获取最新的下载地址")};
    const QString webDone = QStringLiteral("升级成功，文件大小为%size个字节！");
    const QString notDownloaded = QStringLiteral("升级失败，更新文件下载失败！");
    const QString broken = QStringLiteral("升级失败，更新文件已损坏！");
    auto webFailing = [&](const QStringList &why) {
        QStringList lines = newerOnWeb;
        for (int attempt = 0; attempt < 4; ++attempt)
            lines << why;
        return lines << failure;
    };
    const QStringList newerOnShare{QStringLiteral("无法连接网络服务器，请检查网络状态！"),
                                   QStringLiteral("文件服务器版本号：v1.0.2"),
                                   QStringLiteral("检测到服务器有新版本！"), QStringLiteral("修复若干问题")};
    const QString shareDone = QStringLiteral("更新完成！");
    const QString shareFailed = QStringLiteral("更新失败！");
    const QString sizes = QStringLiteral("服务器文件大小为：%size已下载文件大小为：%size");
    const QStringList webOnly{QStringLiteral("文件服务器版本号"), QStringLiteral("未连接本地服务器！")};
    const QStringList shareSucceeds{shareFailed, QStringLiteral("[box]")};
    // The listing page itself never goes to the log.
    const QStringList webSucceeds =
        webOnly + QStringList{notDownloaded, broken, QStringLiteral("[box] 错误"), QStringLiteral("<html>")};

    QTest::newRow("newer on the web") << "v1.0.2" << QList<HttpStub::Answer>{whole} << Release << NoShare
                                      << "" << true << true << 1 << success
                                      << newerOnWeb + QStringList{webDone, success} << webSucceeds << QStringList();
    QTest::newRow("cut short once, then whole")
        << "v1.0.3" << QList<HttpStub::Answer>{cut, whole} << Release << NoShare << "" << false << true << 2
        << success
        << QStringList{QStringLiteral("网络服务器版本号：v1.0.3"), notDownloaded, webDone, success}
        << webOnly + QStringList{QStringLiteral("[box] 错误")} << QStringList();
    QTest::newRow("same version on the web, newer on the share")
        << "v1.0.1" << QList<HttpStub::Answer>{whole} << Release << ShareRelease << "" << false << false << 0
        << QStringLiteral("[log] 当前已经是最新版本，无需升级！")
        << QStringList{QStringLiteral("网络服务器版本号：v1.0.1"), QStringLiteral("当前已经是最新版本，无需升级！")}
        << webOnly + QStringList{shareDone, shareFailed, QStringLiteral("[box]")} << QStringList();
    QTest::newRow("web down, newer on the share") << "" << QList<HttpStub::Answer>{whole} << Release
                                                  << ShareRelease << "" << false << true << 0
                                                  << QStringLiteral("[log] 文件大小为：%1").arg(release.size())
                                                  << newerOnShare + QStringList{shareDone, QStringLiteral("文件大小为：%size")}
                                                  << shareSucceeds << QStringList();
    // Both passes try and fail.
    QTest::newRow("web down, corrupted on the share")
        << "" << QList<HttpStub::Answer>{whole} << Release << ShareCorrupted << "" << false << false << 0
        << QStringLiteral("[log] 服务器文件大小为：%1已下载文件大小为：%1").arg(release.size())
        << newerOnShare + QStringList{shareFailed, sizes, shareFailed, sizes}
        << QStringList{shareDone, QStringLiteral("[box]")} << QStringList();
    QTest::newRow("web down, share without the archive")
        << "" << QList<HttpStub::Answer>{whole} << Release << ShareLogOnly << "" << false << false << 0
        << QStringLiteral("[log] 在文件服务器中未查询到更新文件！")
        << newerOnShare + QStringList{QStringLiteral("在文件服务器中未查询到更新文件！"),
                                      QStringLiteral("在文件服务器中未查询到更新文件！")}
        << QStringList{shareDone, shareFailed, QStringLiteral("[box]")} << QStringList();
    // Three re-downloads in the life of the process, then the critical box.
    QTest::newRow("HTTP 404") << "v1.0.2" << QList<HttpStub::Answer>{missing} << Release << NoShare << ""
                              << false << false << 4 << failure
                              << webFailing({QStringLiteral("服务器回答 HTTP 404，下载失败！"), notDownloaded})
                              << QStringList{webDone, success} << QStringList();
    // How much arrives before the cut shows depends on the network stack.
    const QString cutAt = QStringLiteral("下载中断：共 %1 字节，只收到 ").arg(release.size());
    QTest::newRow("always cut short") << "v1.0.2" << QList<HttpStub::Answer>{cut} << Release << NoShare << ""
                                      << false << false << 4 << failure << webFailing({cutAt, notDownloaded})
                                      << QStringList{webDone, success} << QStringList();
    QTest::newRow("corrupted archive") << "v1.0.2" << QList<HttpStub::Answer>{whole} << Corrupted << NoShare
                                       << "" << false << false << 4 << failure << webFailing({broken})
                                       << QStringList{webDone, success, notDownloaded} << QStringList();
    QTest::newRow("archive without the release folder") << "v1.0.2" << QList<HttpStub::Answer>{whole}
                                                        << NoReleaseFolder << NoShare << "" << false << false << 4
                                                        << failure << webFailing({broken})
                                                        << QStringList{webDone, success, notDownloaded} << QStringList();
    QTest::newRow("a target that cannot be replaced")
        << "v1.0.2" << QList<HttpStub::Answer>{whole} << Release << NoShare
        << "config/VQ571M_RAM_BIN.bin" << false << false << 4 << failure
        << webFailing({QStringLiteral("升级失败，VQ571M_RAM_BIN.bin文件拷贝失败！")})
        << QStringList{webDone, success, broken} << QStringList();
    QTest::newRow("web down, a target that cannot be replaced, on the share")
        << "" << QList<HttpStub::Answer>{whole} << Release << ShareRelease << "config/VQ571M_RAM_BIN.bin" << false
        << false << 0 << QStringLiteral("[log] 更新失败！")
        << newerOnShare + QStringList{shareFailed, sizes, shareFailed, sizes}
        << QStringList{shareDone, QStringLiteral("[box]")} << QStringList();
    // Listed in the order the rule meets them, folders once.
    const QStringList skipped{QStringLiteral("未安装：catalog/"), QStringLiteral("未安装：catalog.txt"),
                              QStringLiteral("未安装：config/cfg_file.json"), QStringLiteral("未安装：config/logo.png"),
                              QStringLiteral("未安装：config/update_sources.json"),
                              QStringLiteral("未安装：docs/changelog.txt"), QStringLiteral("未安装：log/"),
                              QStringLiteral("未安装：upliftor/")};
    QTest::newRow("spared names in the package") << "v1.0.2" << QList<HttpStub::Answer>{whole} << SparedNames
                                                 << NoShare << "" << false << true << 1 << success
                                                 << newerOnWeb + skipped + QStringList{webDone, success} << webSucceeds
                                                 << QStringList();

    // Servers that misbehave: each attempt ends within its bound and the
    // four attempts end in the critical box, with nothing left behind.
    const QString stalled = QStringLiteral("服务器已停止发送数据（%1 秒未收到任何数据），下载中止！").arg(stallMs / 1000.0);
    const QString overCap = QStringLiteral("更新文件超过 268435456 字节的上限，下载中止！");
    const QList<HttpStub::Answer> endless{{200, {}, HttpStub::Endless, HttpStub::noLength}};
    QTest::newRow("endless body") << "v1.0.2" << endless << Release << NoShare << "" << false << false << 4 << failure
                                  << webFailing({overCap, notDownloaded}) << QStringList{webDone, success} << QStringList();
    QTest::newRow("length over the cap")
        << "v1.0.2" << QList<HttpStub::Answer>{{200, {}, HttpStub::Endless, qint64(8) << 30}} << Release << NoShare
        << "" << false << false << 4 << failure
        << webFailing({QStringLiteral("服务器声明的更新文件大小 8589934592 字节超过 268435456 字节的上限，下载中止！"),
                       notDownloaded})
        << QStringList{webDone, success} << QStringList();
    QTest::newRow("silent server") << "v1.0.2" << QList<HttpStub::Answer>{{200, {}, HttpStub::Silent}} << Release
                                   << NoShare << "" << false << false << 4 << failure
                                   << webFailing({stalled, notDownloaded}) << QStringList{webDone, success} << QStringList();
    QTest::newRow("stall after the head") << "v1.0.2" << QList<HttpStub::Answer>{{200, {}, HttpStub::HeadOnly}}
                                          << Release << NoShare << "" << false << false << 4 << failure
                                          << webFailing({stalled, notDownloaded}) << QStringList{webDone, success}
                                          << QStringList();
    QTest::newRow("trickling server")
        << "v1.0.2" << QList<HttpStub::Answer>{{200, {}, HttpStub::Trickle}} << Release << NoShare << "" << false
        << false << 4 << failure << webFailing({QStringLiteral("服务器发送过慢"), notDownloaded})
        << QStringList{webDone, success, stalled} << QStringList{"VQ_TEST_RATE_WINDOW_MS=1000"};
    QTest::newRow("stall halfway, then whole")
        << "v1.0.2" << QList<HttpStub::Answer>{{200, {}, HttpStub::Stall}, whole} << Release << NoShare << "" << false
        << true << 2 << success << QStringList{stalled, notDownloaded, webDone, success}
        << QStringList{QStringLiteral("[box] 错误")} << QStringList();

    // Full disks, made by the write hook; each time the next attempt finds
    // room again.
    const QString noSpace = QStringLiteral("磁盘空间不足，");
    QTest::newRow("disk full while downloading")
        << "v1.0.2" << QList<HttpStub::Answer>{whole} << Release << NoShare << "" << true << true << 2 << success
        << QStringList{noSpace + QStringLiteral("更新文件下载失败"), notDownloaded, webDone, success}
        << QStringList{QStringLiteral("[box] 错误")} << QStringList{"VQ_TEST_FAIL_AT=download-write:2"};
    QTest::newRow("disk full while unpacking")
        << "v1.0.2" << QList<HttpStub::Answer>{whole} << Release << NoShare << "" << false << true << 2 << success
        << QStringList{noSpace + QStringLiteral("解压更新文件失败"), QStringLiteral("升级失败，vq_flash文件拷贝失败！"),
                       webDone, success}
        << QStringList{broken, QStringLiteral("[box] 错误")} << QStringList{"VQ_TEST_FAIL_AT=unpack-write:2"};
    QTest::newRow("disk full while installing")
        << "v1.0.2" << QList<HttpStub::Answer>{whole} << Release << NoShare << "" << false << true << 2 << success
        << QStringList{noSpace + QStringLiteral("拷贝更新文件失败"),
                       QStringLiteral("升级失败，VQ5304_HIGH_SPEED_BIN.bin文件拷贝失败！"), webDone, success}
        << QStringList{broken, QStringLiteral("[box] 错误")} << QStringList{"VQ_TEST_FAIL_AT=install-write:1"};
    QTest::newRow("web down, disk full while copying from the share")
        << "" << QList<HttpStub::Answer>{whole} << Release << ShareRelease << "" << false << true << 0
        << QStringLiteral("[log] 更新完成！")
        << newerOnShare + QStringList{noSpace + QStringLiteral("从文件服务器复制更新文件失败"), shareFailed, shareDone}
        << QStringList{QStringLiteral("[box]")} << QStringList{"VQ_TEST_FAIL_AT=download-write:1"};
    QTest::newRow("release carrying site settings") << "v1.0.2" << QList<HttpStub::Answer>{whole}
                                                    << ReleaseWithSiteFiles << NoShare << "" << false << true << 1
                                                    << success << newerOnWeb + QStringList{webDone, success}
                                                    << webSucceeds << QStringList();
    QTest::newRow("web down, release carrying site settings on the share")
        << "" << QList<HttpStub::Answer>{whole} << ReleaseWithSiteFiles << ShareRelease << "" << false << true << 0
        << QStringLiteral("[log] 更新完成！")
        << newerOnShare + QStringList{shareDone, QStringLiteral("文件大小为：%size")} << shareSucceeds << QStringList();
    // Hostile releases: refused before a byte is unpacked, or as soon as an
    // entry goes on past its size; nothing of them is left.
    QTest::newRow("bomb") << "v1.0.2" << QList<HttpStub::Answer>{whole} << Bomb << NoShare << "" << false << false
                          << 4 << failure
                          << webFailing({QStringLiteral("更新文件解压后共 67108864 字节，超过上限"), broken})
                          << QStringList{webDone, success} << QStringList();
    QTest::newRow("data past its declared size")
        << "v1.0.2" << QList<HttpStub::Answer>{whole} << Overrun << NoShare << "" << false << false << 4 << failure
        << webFailing({QStringLiteral("更新文件中的 %1/config/VQ571M_RAM_BIN.bin 解压后超出其声明的大小！").arg(releaseFolder),
                       broken})
        << QStringList{webDone, success} << QStringList();
    qint64 unpacked = 0;
    for (const QByteArray &file : qAsConst(releaseTree))
        unpacked += qMax(0, file.size() - 2);  // less the "x:" or "-:" mark
    const QString pastCap = QStringLiteral("更新文件解压后共 %1 字节，超过上限 %2 字节").arg(unpacked).arg(unpacked - 1);
    QTest::newRow("release a byte over the cap")
        << "v1.0.2" << QList<HttpStub::Answer>{whole} << Release << NoShare << "" << false << false << 4 << failure
        << webFailing({pastCap, broken}) << QStringList{webDone, success}
        << QStringList{QStringLiteral("VQ_TEST_UNPACK_CAP_BYTES=%1").arg(unpacked - 1)};
    QTest::newRow("release at the cap")
        << "v1.0.2" << QList<HttpStub::Answer>{whole} << Release << NoShare << "" << false << true << 1 << success
        << newerOnWeb + QStringList{webDone, success} << webSucceeds
        << QStringList{QStringLiteral("VQ_TEST_UNPACK_CAP_BYTES=%1").arg(unpacked)};
    QTest::newRow("no room to unpack twice")
        << "v1.0.2" << QList<HttpStub::Answer>{whole} << Release << NoShare << "" << false << true << 2 << success
        << QStringList{noSpace + QStringLiteral("解压更新文件失败"),
                       QStringLiteral("升级失败，%1文件拷贝失败！").arg(releaseFolder), webDone, success}
        << QStringList{broken, QStringLiteral("[box] 错误")} << QStringList{"VQ_TEST_FAIL_AT=room:1"};
    QTest::newRow("backslash-separated names") << "v1.0.2" << QList<HttpStub::Answer>{whole} << BackslashNames
                                               << NoShare << "" << false << true << 1 << success
                                               << newerOnWeb + QStringList{webDone, success} << webSucceeds << QStringList();
}

void TestUpliftor::update()
{
    QFETCH(QString, listedVersion);
    QFETCH(QList<HttpStub::Answer>, downloads);
    QFETCH(Package, kind);
    QFETCH(Share, share);
    QFETCH(QString, blockedFile);
    QFETCH(bool, staleDownload);
    QFETCH(bool, installed);
    QFETCH(int, downloadCount);
    QFETCH(QString, lastWords);
    QFETCH(QStringList, says);
    QFETCH(QStringList, never);
    QFETCH(QStringList, env);

    QTemporaryDir root;
    const QString inst = root.filePath(QStringLiteral("inst"));
    const QString mount = root.filePath(QStringLiteral("share"));
    const QString shareDir = mount + QStringLiteral("/lab/tools/") + releaseFolder;
    const QByteArray bytes = package(kind, root.filePath(QStringLiteral("scratch")));
    QVERIFY(!bytes.isEmpty());

    HttpStub web;
    const QByteArray name = "vq_download_tool_" + listedVersion.toUtf8() + ".zip";
    web.route("/", {{200, "<html><a href='" + name + "'>" + name + "</a></html>", HttpStub::Whole}});
    for (HttpStub::Answer &a : downloads)
        if (a.status == 200)
            a.body = bytes;
    web.route("/" + name, downloads);
    QString webHost = web.host();
    if (listedVersion.isEmpty()) {
        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost);
        webHost = QStringLiteral("127.0.0.1:%1").arg(closed.serverPort());
    }

    writeFile(inst + QStringLiteral("/config/update_sources.json"),
              QStringLiteral(R"({"webHost": "%1", "fileServer": "%2"})").arg(webHost, mount).toUtf8());
    writeFile(inst + QStringLiteral("/config/cfg_file.json"), R"({"okCount": 41, "failCount": 2})");
    writeFile(inst + QStringLiteral("/config/VQ571M_RAM_BIN.bin"), "old RAM code");
    writeFile(inst + QStringLiteral("/log/2026-01-01.text"), "yesterday's log");
    writeFile(inst + QStringLiteral("/upliftor/upliftor"), "the running updater");
    writeFile(inst + QStringLiteral("/vq_download_tool"), "old tool");
    if (!blockedFile.isEmpty()) {
        QFile::remove(inst + QLatin1Char('/') + blockedFile);
        QVERIFY(QDir().mkpath(inst + QLatin1Char('/') + blockedFile));
    }
    if (staleDownload) {
        writeFile(inst + QStringLiteral("/vq_download_tool.zip"), QByteArray(bytes.size() * 2, 'x'));
        writeFile(inst + QStringLiteral("/upliftor-download.part"), bytes.left(bytes.size() / 3));
    }
    if (share != NoShare) {
        writeFile(shareDir + QStringLiteral("/update_log.txt"),
                  QString::fromUtf8("Quorvex串口烧录工具:v1.0.2\r\n修复若干问题\n").toUtf8());
        if (share != ShareLogOnly)
            writeFile(shareDir + QStringLiteral("/vq_download_tool.zip"),
                      share == ShareRelease ? bytes : package(Corrupted, QString()));
    }
    const Tree before = snapshot(inst);

    QProcess updater;
    QByteArray output;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    for (const QString &variable : qAsConst(env))
        environment.insert(variable.section(QLatin1Char('='), 0, 0), variable.section(QLatin1Char('='), 1));
    updater.setProcessEnvironment(environment);
    updater.setWorkingDirectory(inst);
    connect(&updater, &QProcess::readyReadStandardError, [&] { output += updater.readAllStandardError(); });
    updater.start(buildDir() + QStringLiteral("/upliftor/upliftor"), QStringList());
    QVERIFY(updater.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(output.contains(endMarker) || updater.state() == QProcess::NotRunning, 300000);
    updater.kill();
    updater.waitForFinished();
    output += updater.readAllStandardError();
    QVERIFY2(output.contains(endMarker), output.constData());

    const QString said = QString::fromUtf8(output);
    QVERIFY2(said.contains(lastWords), qPrintable(said));
    // The web path ends in a box; the share path has none and says so in its log.
    if (share == NoShare)
        QVERIFY2(installed == said.contains(QStringLiteral("[box] 成功")), qPrintable(said));
    else
        QVERIFY2(installed == said.contains(QStringLiteral("[log] 更新完成！")), qPrintable(said));
    int from = 0;
    for (QString line : qAsConst(says)) {
        line.replace(QLatin1String("%size"), QString::number(bytes.size()));
        if (!line.startsWith(QLatin1String("[box]")))
            line.prepend(QStringLiteral("[log] "));
        const int at = said.indexOf(line, from);
        QVERIFY2(at >= 0, qPrintable(QStringLiteral("not said (in this order): ") + line + QStringLiteral("\n") + said));
        from = at + line.size();
    }
    for (const QString &line : qAsConst(never))
        QVERIFY2(!said.contains(line), qPrintable(QStringLiteral("said: ") + line + QStringLiteral("\n") + said));
    QCOMPARE(web.requests("/" + name), downloadCount);

    Tree expected = before;
    expected.remove(QStringLiteral("vq_download_tool.zip"));
    expected.remove(QStringLiteral("upliftor-download.part"));
    if (installed) {
        if (kind == SparedNames) {
            expected.insert(QStringLiteral("readme.txt"), "-:from the package: readme.txt");
            expected.insert(QStringLiteral("docs/"), QByteArray());
        } else if (kind == BackslashNames) {
            expected.insert(QStringLiteral("config/VQ571M_RAM_BIN.bin"), "-:" + QByteArray("new RAM code").repeated(50));
            expected.insert(QStringLiteral("readme.txt"), "-:read me");
        } else {
            for (auto it = releaseTree.cbegin(); it != releaseTree.cend(); ++it)
                if (!it.key().startsWith(QLatin1String("upliftor/")))
                    expected.insert(it.key(), it.value());
        }
    }
    const QString difference = treeDifference(snapshot(inst), expected);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

QTEST_GUILESS_MAIN(TestUpliftor)
#include "tst_upliftor.moc"
