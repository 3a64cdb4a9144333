// The ZIP reader against archives written by the real archivers (Info-ZIP,
// 7-Zip, Python's zipfile, bsdtar), compared with what Info-ZIP unzip makes
// of the same archive, and against hand-made hostile archives.

#include "zipreader.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <utime.h>

namespace {

const char *const kPython = "/usr/bin/python3";
const char *const kPassword = "s3cret";

// Writes the archives that no command-line archiver writes on request.
const char *const kMaker = R"PY(
import os, sys, zipfile, zlib

kind, out = sys.argv[1], sys.argv[2]
arg = sys.argv[3] if len(sys.argv) > 3 else ''
STAMP = (2021, 6, 15, 12, 34, 56)

def single(name, data=b'payload\n' * 50, method=zipfile.ZIP_DEFLATED, comment=b''):
    with zipfile.ZipFile(out, 'w') as z:
        z.comment = comment
        info = zipfile.ZipInfo(name, STAMP)
        info.compress_type = method
        info.external_attr = 0o100644 << 16
        z.writestr(info, data)

def tree(method):
    with zipfile.ZipFile(out, 'w', method) as z:
        for root, dirs, files in os.walk('.'):
            dirs.sort()
            for d in dirs:
                z.write(os.path.join(root, d))
            for f in sorted(files):
                z.write(os.path.join(root, f))

def flip_data_byte():
    with zipfile.ZipFile(out) as z:
        info = z.infolist()[0]
    with open(out, 'r+b') as f:
        f.seek(info.header_offset + 26)
        head = f.read(4)
        start = info.header_offset + 30 + head[0] + head[1] * 256 + head[2] + head[3] * 256
        f.seek(start + info.compress_size // 2)
        b = f.read(1)
        f.seek(-1, 1)
        f.write(bytes([b[0] ^ 0x55]))

if kind == 'tree':
    tree(zipfile.ZIP_STORED if arg == 'stored' else zipfile.ZIP_DEFLATED)
elif kind == 'name':
    single(arg)
elif kind == 'longname':
    n = int(arg)
    single('d/' * ((n - 1) // 2) + 'f' * (n - 2 * ((n - 1) // 2)))
elif kind == 'comment':
    single('a.txt', comment=b'c' * int(arg))
elif kind == 'empty':
    zipfile.ZipFile(out, 'w').close()
elif kind == 'bzip2':
    single('b.txt', method=zipfile.ZIP_BZIP2)
elif kind == 'flip':
    single('f.bin', data=bytes(range(256)) * 300,
           method=zipfile.ZIP_STORED if arg == 'stored' else zipfile.ZIP_DEFLATED)
    flip_data_byte()
elif kind == 'truncate':
    single('t.bin', data=os.urandom(5000), method=zipfile.ZIP_STORED)
    size = os.path.getsize(out)
    os.truncate(out, size - int(arg))
elif kind == 'badcentral':
    with zipfile.ZipFile(out, 'w') as z:
        z.writestr('first.txt', b'1' * 400)
        z.writestr('second.txt', b'2' * 400)
    data = bytearray(open(out, 'rb').read())
    at = data.find(b'PK\x01\x02')
    data[at + 3] = 0x7F
    open(out, 'wb').write(bytes(data))
elif kind == 'oversize':
    single('o.txt')
    data = bytearray(open(out, 'rb').read())
    for at in (22, data.find(b'PK\x01\x02') + 24):
        data[at:at + 4] = (400 + int(arg)).to_bytes(4, 'little')
    open(out, 'wb').write(bytes(data))
elif kind == 'undersize':
    # The directory declares half the data, with the CRC-32 of that half.
    data = bytes(range(256)) * 8
    single('u.bin', data=data, method=zipfile.ZIP_STORED if arg == 'stored' else zipfile.ZIP_DEFLATED)
    raw = bytearray(open(out, 'rb').read())
    half = len(data) // 2
    for at in (14, raw.find(b'PK\x01\x02') + 16):
        raw[at:at + 4] = zlib.crc32(data[:half]).to_bytes(4, 'little')
        raw[at + 8:at + 12] = half.to_bytes(4, 'little')
    open(out, 'wb').write(bytes(raw))
elif kind == 'flags':
    with zipfile.ZipFile(out) as z:
        print(' '.join(str(i.flag_bits) for i in z.infolist() if not i.is_dir()))
)PY";

struct FileFacts {
    bool folder = false;
    QByteArray digest;
    qint64 mtime = 0;
    bool operator==(const FileFacts &o) const
    {
        return folder == o.folder && digest == o.digest && mtime == o.mtime;
    }
};

QMap<QString, FileFacts> treeOf(const QString &root, bool withTimes, bool withFolders = true)
{
    QMap<QString, FileFacts> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        FileFacts facts;
        facts.folder = info.isDir();
        if (facts.folder && !withFolders)
            continue;
        if (!facts.folder) {
            QFile f(info.filePath());
            if (f.open(QIODevice::ReadOnly))
                facts.digest = QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
            if (withTimes)
                facts.mtime = info.lastModified().toSecsSinceEpoch();
        }
        tree.insert(QDir(root).relativeFilePath(info.filePath()), facts);
    }
    return tree;
}

QString describe(const QMap<QString, FileFacts> &a, const QMap<QString, FileFacts> &b)
{
    QStringList diff;
    for (auto it = a.begin(); it != a.end(); ++it) {
        if (!b.contains(it.key()))
            diff << "only in ours: " + it.key();
        else if (!(b.value(it.key()) == it.value()))
            diff << QString("differs: %1 (mtime %2 vs %3)")
                        .arg(it.key())
                        .arg(it.value().mtime)
                        .arg(b.value(it.key()).mtime);
    }
    for (auto it = b.begin(); it != b.end(); ++it)
        if (!a.contains(it.key()))
            diff << "only in unzip's: " + it.key();
    return diff.join("; ");
}

struct Outcome {
    bool opened = false;
    int count = 0;
    QList<uint32_t> getResults, extractResults;
};

// Walks the archive the way the updater does, or backwards.
Outcome extractAll(const QString &archive, const QString &base, const char *password,
                   bool backwards = false)
{
    Outcome o;
    ZipHandle *h = openArchiveAt(QFile::encodeName(archive).constData(), password,
                                 QFile::encodeName(base).constData());
    ArchiveEntry entry;
    getArchiveEntry(h, -1, &entry);
    o.opened = h != nullptr;
    o.count = entry.index;
    for (int k = 0; k < o.count; ++k) {
        const int i = backwards ? o.count - 1 - k : k;
        o.getResults << getArchiveEntry(h, i, &entry);
        o.extractResults << extractEntry(h, i, entry.name);
    }
    if (h)
        closeArchive(h);
    return o;
}

} // namespace

class TestZipReader : public QObject {
    Q_OBJECT

private:
    QTemporaryDir tmp_;
    QString src_, maker_;

    // Info-ZIP unzip exits with 1 when it only warned.
    QString run(const QString &command, const QString &workDir, int worstExit = 0)
    {
        QProcess p;
        p.setWorkingDirectory(workDir);
        p.start("/bin/sh", {"-c", command});
        if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() > worstExit)
            return QString();
        return QString::fromUtf8(p.readAllStandardOutput()) + QStringLiteral("ok");
    }

    // Builds an archive from the source tree with a shell command that writes
    // to "$OUT"; PY runs the maker script.
    QString build(const QString &command, const QString &name)
    {
        const QString out = tmp_.filePath(QStringLiteral("archives/") + name + ".zip");
        QFile::remove(out);
        const QString full = QString("OUT='%1'; PY='%2 %3'; STUB='%4'; %5")
                                 .arg(out, kPython, maker_, tmp_.filePath("stub.bin"), command);
        return run(full, src_).isEmpty() ? QString() : out;
    }

    QString freshFolder(const QString &name)
    {
        QDir(tmp_.filePath(name)).removeRecursively();
        QDir().mkpath(tmp_.filePath(name));
        return tmp_.filePath(name);
    }

    void writeFile(const QString &rel, const QByteArray &data)
    {
        QDir(src_).mkpath(QFileInfo(rel).path());
        QFile f(src_ + "/" + rel);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(data), qint64(data.size()));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(tmp_.isValid());
        src_ = tmp_.filePath("src");
        QDir().mkpath(tmp_.filePath("archives"));
        maker_ = tmp_.filePath("maker.py");
        QFile m(maker_);
        QVERIFY(m.open(QIODevice::WriteOnly));
        m.write(kMaker);
        m.close();

        QRandomGenerator rng(571);
        QByteArray random(400 * 1024, 0);
        for (char &c : random)
            c = char(rng.generate());
        QByteArray text;
        for (int i = 0; text.size() < 600 * 1024; ++i)
            text += QByteArray("line ") + QByteArray::number(i) + " of a well compressible log\n";

        writeFile("empty.txt", QByteArray());
        writeFile("readme.txt", "Serial flashing tool\n");
        writeFile(QString::fromUtf8("Quorvex串口烧录工具/config/chip_info.json"),
                  "{\"VQ571M\": \"Jan 01 2020\"}\n");
        writeFile("firmware/random.bin", random);
        writeFile("firmware/log.txt", text);
        writeFile("firmware/exact16384.bin", random.left(16384));
        writeFile("firmware/exact16385.bin", text.left(16385));
        writeFile("deep/a/b/c/d/leaf.txt", "leaf\n");
        writeFile("deep/a/b/zero.bin", QByteArray());
        QDir(src_).mkpath("emptydir");

        // An odd second: the DOS time cannot hold it, the "UT" block can.
        const time_t stamp = 1623760497;
        QDirIterator it(src_, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            struct utimbuf t = {stamp, stamp};
            utime(QFile::encodeName(it.next()).constData(), &t);
        }
        QFile stub(tmp_.filePath("stub.bin"));
        QVERIFY(stub.open(QIODevice::WriteOnly));
        stub.write(QByteArray("MZ self-extractor stub ").repeated(97));
    }

    void matchesUnzip_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("encrypted");
        // "1" when every file entry carries a data descriptor, "0" when none does.
        QTest::addColumn<QString>("descriptors");

        QTest::newRow("zip deflated") << "zip -qr \"$OUT\" ." << false << "0";
        QTest::newRow("zip stored") << "zip -qr0 \"$OUT\" ." << false << "0";
        QTest::newRow("zip no UT") << "zip -qrX \"$OUT\" ." << false << "0";
        QTest::newRow("zip no folders") << "zip -qrD \"$OUT\" ." << false << "0";
        QTest::newRow("zip streamed -fd") << "zip -qr -fd \"$OUT\" ." << false << "1";
        QTest::newRow("zip to a pipe") << "zip -qr - . | cat > \"$OUT\"" << false << "1";
        QTest::newRow("zip -P") << "zip -qr -P s3cret \"$OUT\" ." << true << "1";
        QTest::newRow("zip -P stored") << "zip -qr0 -P s3cret \"$OUT\" ." << true << "1";
        QTest::newRow("7z") << "7z a -tzip -bd \"$OUT\" . >/dev/null" << false << "0";
        QTest::newRow("7z stored") << "7z a -tzip -mx0 -bd \"$OUT\" . >/dev/null" << false << "0";
        QTest::newRow("7z -p") << "7z a -tzip -ps3cret -bd \"$OUT\" . >/dev/null" << true << "0";
        QTest::newRow("python stored") << "$PY tree \"$OUT\" stored" << false << "0";
        QTest::newRow("python deflated") << "$PY tree \"$OUT\" deflated" << false << "0";
        QTest::newRow("bsdtar") << "bsdtar -a -cf \"$OUT\" ." << false << "";
        QTest::newRow("stub, offsets unadjusted")
            << "zip -qr \"$OUT.in\" . && cat \"$STUB\" \"$OUT.in\" > \"$OUT\"" << false << "0";
        QTest::newRow("stub, zip -A")
            << "zip -qr \"$OUT.in\" . && cat \"$STUB\" \"$OUT.in\" > \"$OUT\" && zip -qA \"$OUT\""
            << false << "0";
    }

    void matchesUnzip()
    {
        QFETCH(QString, command);
        QFETCH(bool, encrypted);
        QFETCH(QString, descriptors);

        const QString archive = build(command, QTest::currentDataTag());
        QVERIFY2(!archive.isEmpty(), "the archiver failed");
        // The row must exercise what it claims: streamed writers set flag bit 3.
        const QString flags = run(QString("%1 %2 flags '%3'").arg(kPython, maker_, archive), src_);
        QVERIFY(!flags.isEmpty());
        for (const QString &f : flags.chopped(2).simplified().split(' ', Qt::SkipEmptyParts)) {
            if (descriptors == "1")
                QVERIFY2(f.toInt() & 8, qPrintable(flags));
            if (descriptors == "0")
                QVERIFY2(!(f.toInt() & 8), qPrintable(flags));
            QCOMPARE(bool(f.toInt() & 1), encrypted);
        }

        const QString ref = freshFolder("ref");
        QVERIFY(!run(QString("unzip -qq -P %1 '%2' -d '%3'").arg(kPassword, archive, ref), src_, 1).isEmpty());
        const auto expected = treeOf(ref, true);
        QVERIFY(expected.size() > 10);

        for (bool backwards : {false, true}) {
            const QString base = freshFolder("ours");
            const Outcome o = extractAll(archive, base, kPassword, backwards);
            QVERIFY(o.opened);
            for (int i = 0; i < o.count; ++i) {
                QCOMPARE(o.getResults[i], uint32_t(ZipOk));
                QCOMPARE(o.extractResults[i], uint32_t(ZipOk));
            }
            const auto ours = treeOf(base, true);
            QVERIFY2(ours == expected, qPrintable(describe(ours, expected)));
        }
        // The archive holds the source files themselves, not just what unzip
        // agrees on; folders without entries of their own may be missing.
        auto source = treeOf(src_, false, false);
        auto plain = treeOf(tmp_.filePath("ours"), false, false);
        QVERIFY2(plain == source, qPrintable(describe(plain, source)));
    }

    void wrongPassword_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("password");
        QTest::newRow("zip -P, wrong") << "zip -qr -P s3cret \"$OUT\" ." << QByteArray("s3cres");
        QTest::newRow("zip -P, none") << "zip -qr -P s3cret \"$OUT\" ." << QByteArray();
        QTest::newRow("7z -p, wrong") << "7z a -tzip -ps3cret -bd \"$OUT\" . >/dev/null" << QByteArray("S3cret");
        QTest::newRow("zip -P stored, wrong") << "zip -qr0 -P s3cret \"$OUT\" ." << QByteArray("x");
    }

    void wrongPassword()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, password);
        const QString archive = build(command, QTest::currentDataTag());
        QVERIFY(!archive.isEmpty());
        const QString base = freshFolder("ours");
        const Outcome o = extractAll(archive, base, password.isNull() ? nullptr : password.constData());
        QVERIFY(o.opened);
        int refusedByCheckByte = 0, refused = 0;
        for (uint32_t r : o.extractResults) {
            if (r == ZipOk)
                continue;
            ++refused;
            // One wrong password in 256 passes the check byte; the data then fails.
            QVERIFY2(r == ZipPassword || r == ZipCrcMismatch || r == ZipInflateFailed,
                     qPrintable(QString::number(r, 16)));
            refusedByCheckByte += r == ZipPassword;
        }
        // An empty file has nothing but the check byte to refuse it by, and
        // nothing to get wrong when that passes.
        const QByteArray emptyDigest = QCryptographicHash::hash(QByteArray(), QCryptographicHash::Sha256);
        const auto left = treeOf(base, false);
        int emptyFilesLeft = 0;
        for (const FileFacts &f : left) {
            QVERIFY(f.folder || f.digest == emptyDigest);
            emptyFilesLeft += !f.folder;
        }
        QCOMPARE(refused + emptyFilesLeft, 9);
        QVERIFY(refusedByCheckByte >= 5);
    }

    void endRecordSearch_data()
    {
        QTest::addColumn<int>("commentLength");
        QTest::addColumn<bool>("opens");
        QTest::newRow("no comment") << 0 << true;
        QTest::newRow("1000, first window") << 1000 << true;
        QTest::newRow("1003, across windows") << 1003 << true;
        QTest::newRow("65513, farthest reach") << 65513 << true;
        QTest::newRow("65514, beyond") << 65514 << false;
        QTest::newRow("65535") << 65535 << false;
    }

    void endRecordSearch()
    {
        QFETCH(int, commentLength);
        QFETCH(bool, opens);
        const QString archive = build(QString("$PY comment \"$OUT\" %1").arg(commentLength),
                                      QTest::currentDataTag());
        QVERIFY(!archive.isEmpty());
        const QString base = freshFolder("ours");
        const Outcome o = extractAll(archive, base, nullptr);
        QCOMPARE(o.opened, opens);
        QCOMPARE(o.count, opens ? 1 : 0);
        QCOMPARE(QFile(base + "/a.txt").size(), opens ? qint64(400) : qint64(0));
    }

    // Every row builds a small archive, or one that must not open, and checks
    // what each entry gives and where it lands; nothing may appear beside the base.
    void hostile_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("opens");
        // Hex result codes; either of two when the damage may show either way.
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("landsAt");

        QTest::newRow("../x") << "$PY name \"$OUT\" ../x" << true << QString("40000") << "";
        QTest::newRow("a/../../x") << "$PY name \"$OUT\" a/../../x" << true << QString("40000") << "";
        QTest::newRow("a/../b/../../x")
            << "$PY name \"$OUT\" a/../b/../../x" << true << QString("40000") << "";
        QTest::newRow("..\\x") << "$PY name \"$OUT\" '..\\x'" << true << QString("40000") << "";
        QTest::newRow("x/..\\..\\y") << "$PY name \"$OUT\" 'x/..\\..\\y'" << true
                                     << QString("0") << "y";
        QTest::newRow("/abs/x") << "$PY name \"$OUT\" /abs/x" << true << QString("0") << "abs/x";
        QTest::newRow("C:\\x\\y.txt") << "$PY name \"$OUT\" 'C:\\x\\y.txt'" << true << QString("0")
                                      << "x/y.txt";
        QTest::newRow("\\\\server\\x.txt") << "$PY name \"$OUT\" '\\\\server\\x.txt'" << true
                                           << QString("0") << "server/x.txt";
        QTest::newRow("/x/../y.bin") << "$PY name \"$OUT\" /x/../y.bin" << true << QString("0") << "y.bin";
        QTest::newRow("name of 1023 bytes") << "$PY longname \"$OUT\" 1023" << true << QString("0")
                                            << QString("d/").repeated(511) + "f";
        QTest::newRow("name of 1024 bytes") << "$PY longname \"$OUT\" 1024" << true
                                            << QString("20000") << "";
        QTest::newRow("name of 5000 bytes") << "$PY longname \"$OUT\" 5000" << true
                                            << QString("20000") << "";
        QTest::newRow("first central entry spoilt")
            << "$PY badcentral \"$OUT\"" << true << QString("700") << "";
        QTest::newRow("deflate stream ends early")
            << "$PY oversize \"$OUT\" 1" << true << QString("5000000") << "";
        QTest::newRow("deflated data past its size")
            << "$PY undersize \"$OUT\" deflated" << true << QString("7000000") << "";
        QTest::newRow("stored data past its size")
            << "$PY undersize \"$OUT\" stored" << true << QString("7000000") << "";
        QTest::newRow("method 12") << "$PY bzip2 \"$OUT\"" << true << QString("700") << "";
        QTest::newRow("flipped deflated byte")
            << "$PY flip \"$OUT\" deflated" << true << QString("5000000|6000000") << "";
        QTest::newRow("flipped stored byte")
            << "$PY flip \"$OUT\" stored" << true << QString("6000000") << "";
        QTest::newRow("7z AES-256") << "7z a -tzip -ps3cret -mem=AES256 -bd \"$OUT\" readme.txt >/dev/null"
                                    << true << QString("700") << "";
        QTest::newRow("zip -fz") << "zip -q -fz \"$OUT\" readme.txt" << false << QString("0") << "";
        QTest::newRow("zip -fz to a pipe") << "zip -q -fz - readme.txt > \"$OUT\"" << false
                                           << QString("0") << "";
        QTest::newRow("end record cut") << "$PY truncate \"$OUT\" 10" << false << QString("0") << "";
        QTest::newRow("central directory cut")
            << "$PY truncate \"$OUT\" 40" << false << QString("0") << "";
        QTest::newRow("data cut") << "$PY truncate \"$OUT\" 0 && head -c 4000 \"$OUT\" > \"$OUT.h\" && "
                                     "tail -c 73 \"$OUT\" > \"$OUT.t\" && cat \"$OUT.h\" \"$OUT.t\" > \"$OUT\""
                                  << false << QString("0") << "";
    }

    void hostile()
    {
        QFETCH(QString, command);
        QFETCH(bool, opens);
        QFETCH(QString, result);
        QFETCH(QString, landsAt);

        const QString archive = build(command, QString::number(qHash(QTest::currentDataTag())));
        QVERIFY2(!archive.isEmpty(), "could not build the archive");
        const QString jail = freshFolder("jail");
        const QString base = jail + "/base";
        QDir().mkpath(base);
        const Outcome o = extractAll(archive, base, kPassword);
        QCOMPARE(o.opened, opens);
        if (opens) {
            QVERIFY(o.count >= 1);
            for (uint32_t r : o.extractResults)
                QVERIFY2(result.split('|').contains(QString::number(r, 16)), qPrintable(QString::number(r, 16)));
        }
        QCOMPARE(QDir(jail).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{"base"});
        const auto inside = treeOf(base, false);
        if (landsAt.isEmpty()) {
            QVERIFY2(inside.isEmpty(), qPrintable(QStringList(inside.keys()).join(", ")));
        } else {
            QVERIFY(inside.contains(landsAt));
            QCOMPARE(QFile(base + "/" + landsAt).size(), qint64(400));
        }
        QVERIFY(!QFile::exists("/abs/x"));
    }

    void targetConfinement_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<uint32_t>("result");
        QTest::newRow("plain") << "out.txt" << uint32_t(ZipOk);
        QTest::newRow("dot components") << "./a/./b.txt" << uint32_t(ZipOk);
        QTest::newRow("dots inside names") << "..a/b../.c." << uint32_t(ZipOk);
        QTest::newRow("backslash folders") << "w\\x\\y.txt" << uint32_t(ZipOk);
        QTest::newRow("empty") << "" << uint32_t(ZipUnsafeName);
        QTest::newRow("slash") << "/tmp/escaped.txt" << uint32_t(ZipUnsafeName);
        QTest::newRow("backslash") << "\\escaped.txt" << uint32_t(ZipUnsafeName);
        QTest::newRow("drive") << "C:escaped.txt" << uint32_t(ZipUnsafeName);
        QTest::newRow("up") << "../escaped.txt" << uint32_t(ZipUnsafeName);
        QTest::newRow("up at the end") << "a/.." << uint32_t(ZipUnsafeName);
        QTest::newRow("up in the middle") << "a/../../escaped.txt" << uint32_t(ZipUnsafeName);
        QTest::newRow("up with backslashes") << "a\\..\\..\\escaped.txt" << uint32_t(ZipUnsafeName);
        QTest::newRow("three dots") << "a/.../escaped.txt" << uint32_t(ZipUnsafeName);
        QTest::newRow("dots and a space") << "a/.. /escaped.txt" << uint32_t(ZipUnsafeName);
        QTest::newRow("stream colon") << "a.txt:hidden" << uint32_t(ZipUnsafeName);
        QTest::newRow("device") << "firmware/COM1" << uint32_t(ZipUnsafeName);
        QTest::newRow("device with extension") << "nul.txt" << uint32_t(ZipUnsafeName);
        QTest::newRow("device folder") << "Aux /x.txt" << uint32_t(ZipUnsafeName);
        QTest::newRow("names like devices") << "console/com10.txt" << uint32_t(ZipOk);
    }

    void targetConfinement()
    {
        QFETCH(QString, target);
        QFETCH(uint32_t, result);
        const QString archive = build("$PY name \"$OUT\" entry.txt", "confinement");
        QVERIFY(!archive.isEmpty());
        const QString jail = freshFolder("jail");
        const QString base = jail + "/base";
        ZipHandle *h = openArchiveAt(QFile::encodeName(archive).constData(), nullptr,
                                     QFile::encodeName(base).constData());
        QVERIFY(h);
        QCOMPARE(QString::number(extractEntry(h, 0, target.toUtf8().constData()), 16),
                 QString::number(result, 16));
        QCOMPARE(closeArchive(h), uint32_t(ZipOk));
        QCOMPARE(QDir(jail).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(),
                 result == ZipOk ? 1 : 0);
        QVERIFY(!QFile::exists("/tmp/escaped.txt"));
        if (result == ZipOk) {
            QString landed = target;
            QCOMPARE(QFile(base + "/" + landed.replace('\\', '/')).size(), qint64(400));
        }
    }

    void handleAndIndexChecks()
    {
        const QString archive = build("$PY empty \"$OUT\"", "empty");
        QVERIFY(!archive.isEmpty());
        ZipHandle *h = openArchiveAt(QFile::encodeName(archive).constData(), nullptr,
                                     QFile::encodeName(tmp_.path()).constData());
        QVERIFY(h);
        ArchiveEntry e;
        e.index = 7;
        QCOMPARE(getArchiveEntry(h, -1, &e), uint32_t(ZipOk));
        QCOMPARE(e.index, 0);
        QCOMPARE(getArchiveEntry(h, 0, &e), uint32_t(ZipArgs));
        QCOMPARE(getArchiveEntry(h, -2, &e), uint32_t(ZipArgs));
        QCOMPARE(extractEntry(h, 0, "x"), uint32_t(ZipArgs));
        QCOMPARE(extractEntry(h, -1, "x"), uint32_t(ZipArgs));
        QCOMPARE(closeArchive(h), uint32_t(ZipOk));
        QCOMPARE(getArchiveEntry(nullptr, -1, &e), uint32_t(ZipArgs));
        QCOMPARE(extractEntry(nullptr, 0, "x"), uint32_t(ZipArgs));
        QCOMPARE(closeArchive(nullptr), uint32_t(ZipArgs));
        QVERIFY(!openArchive(QFile::encodeName(tmp_.filePath("missing.zip")).constData(), nullptr));
        QVERIFY(!openArchive(QFile::encodeName(src_).constData(), nullptr));
    }
};

QTEST_GUILESS_MAIN(TestZipReader)
#include "tst_zipreader.moc"
