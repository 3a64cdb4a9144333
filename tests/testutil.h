#pragma once
// Small helpers the suites share: test data, files, the shipped RAM-code
// images in a throw-away config folder, and a byte-for-byte picture of a
// folder tree.

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QString>
#include <QTemporaryDir>

inline QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    QRandomGenerator rng(seed);
    for (char &c : bytes)
        c = static_cast<char>(rng.bounded(256));
    return bytes;
}

// Creates the file's folder when missing.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Copies the RAM-code images of the source tree's config/ into `folder`,
// which a suite then names in VQ_CONFIG_DIR.
inline bool copyShippedConfig(const QString &folder)
{
    if (!QDir().mkpath(folder))
        return false;
    const QDir shipped(qEnvironmentVariable("VQ_SOURCE_DIR") + QStringLiteral("/config"));
    const QStringList images = shipped.entryList({QStringLiteral("*.bin")}, QDir::Files);
    for (const QString &name : images) {
        QFile::remove(folder + QLatin1Char('/') + name);
        if (!QFile::copy(shipped.filePath(name), folder + QLatin1Char('/') + name))
            return false;
    }
    return !images.isEmpty();
}

// relative path -> "x:" or "-:" (executable or not) + bytes; folders end in "/"
using Tree = QMap<QString, QByteArray>;

inline Tree snapshot(const QString &root)
{
    Tree tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = QDir(root).relativeFilePath(path);
        if (it.fileInfo().isDir())
            tree.insert(rel + QLatin1Char('/'), QByteArray());
        else
            tree.insert(rel, (it.fileInfo().isExecutable() ? "x:" : "-:") + readFile(path));
    }
    return tree;
}

// Empty when both trees hold the same paths with the same bytes; otherwise
// what differs first.
inline QString treeDifference(const Tree &actual, const Tree &expected)
{
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key()))
            return QStringLiteral("missing: ") + it.key();
        if (actual.value(it.key()) != it.value())
            return QStringLiteral("different: ") + it.key();
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            return QStringLiteral("unexpected: ") + it.key();
    }
    return QString();
}

// The files of `folder` inside a release archive, unpacked by Info-ZIP's
// unzip so that the archive is judged by a reader other than our own; empty
// when unzip fails.
inline Tree unpackedRelease(const QString &zipPath, const QString &folder)
{
    QTemporaryDir unpacked;
    QProcess unzip;
    unzip.setWorkingDirectory(unpacked.path());
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-q"), zipPath});
    if (!unzip.waitForFinished(60000) || unzip.exitStatus() != QProcess::NormalExit || unzip.exitCode() != 0)
        return Tree();
    return snapshot(unpacked.filePath(folder));
}

// The peak resident memory of a running process (VmHWM), in KiB; 0 when it
// cannot be read.
inline qint64 peakResidentKiB(qint64 pid)
{
    const QList<QByteArray> lines = readFile(QStringLiteral("/proc/%1/status").arg(pid)).split('\n');
    for (const QByteArray &line : lines)
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return 0;
}
