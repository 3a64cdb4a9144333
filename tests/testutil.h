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
#include <QMetaType>

// A program of this build (vq_flash, vq_records, ...).
inline QString builtProgram(const QString &name)
{
    return qEnvironmentVariable("VQ_BUILD_DIR") + QLatin1Char('/') + name;
}

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

// One run of a program to its end: exit status (-1 for a crash or a
// program that would not end), standard output and error.
struct ProgramRun {
    int exitCode = -1;
    QString out;
    QString err;
};

inline ProgramRun runProgram(const QStringList &command,
                             const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                             const QString &workDir = QString())
{
    QProcess p;
    p.setProcessEnvironment(env);
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.start(command.first(), command.mid(1));
    ProgramRun r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
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

// A throw-away PostgreSQL server from Debian's packages: initdb and pg_ctl
// in a temporary folder, listening on a free loopback port with a password
// (scram-sha-256). initdb refuses root, so under root (CI) the server runs
// as "nobody" from a folder that user owns. The destructor stops it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

class PgServer
{
public:
    static constexpr const char *kUser = "vq";
    static constexpr const char *kDatabase = "factory";
    static constexpr const char *kPassword = "line-secret-4711";

    PgServer()
    {
        const QStringList versions =
            QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        if (versions.isEmpty()) {
            m_error = QStringLiteral("no PostgreSQL server under /usr/lib/postgresql (scripts/deps.sh installs it)");
            return;
        }
        m_bin = QStringLiteral("/usr/lib/postgresql/") + versions.last() + QStringLiteral("/bin/");
        m_port = freeLoopbackPort();
        if (m_port == 0) {
            m_error = QStringLiteral("no free loopback port");
            return;
        }
        const QString pw = m_dir.filePath(QStringLiteral("pw"));
        writeFile(pw, kPassword);
        if (::getuid() == 0) {
            const passwd *nobody = ::getpwnam("nobody");
            if (!nobody || ::chown(QFile::encodeName(m_dir.path()).constData(), nobody->pw_uid, nobody->pw_gid) != 0
                || ::chown(QFile::encodeName(pw).constData(), nobody->pw_uid, nobody->pw_gid) != 0) {
                m_error = QStringLiteral("cannot hand the server's folder to nobody");
                return;
            }
            m_owner = QStringList{QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--")};
        }
        m_ok = run(QStringLiteral("initdb"),
                   {QStringLiteral("-D"), dataDir(), QStringLiteral("-U"), QLatin1String(kUser),
                    QStringLiteral("--auth=scram-sha-256"), QStringLiteral("--pwfile=") + pw,
                    QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--no-locale")})
            && start()
            && run(QStringLiteral("createdb"), {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                                 QString::number(m_port), QStringLiteral("-U"), QLatin1String(kUser),
                                                 QLatin1String(kDatabase)});
    }
    ~PgServer() { stop(); }
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    bool ok() const { return m_ok; }
    QString error() const { return m_error; }
    int port() const { return m_port; }
    // The JSON a line's config/records.json holds for this server.
    QByteArray config(const QString &database = QLatin1String(kDatabase)) const
    {
        return QStringLiteral("{\"host\": \"127.0.0.1\", \"port\": %1, \"database\": \"%2\", \"user\": \"%3\"}")
            .arg(m_port)
            .arg(database, QLatin1String(kUser))
            .toUtf8();
    }

    bool start()
    {
        m_running = run(QStringLiteral("pg_ctl"),
                        {QStringLiteral("-D"), dataDir(), QStringLiteral("-l"), m_dir.filePath(QStringLiteral("log")),
                         QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("120"), QStringLiteral("-o"),
                         QStringLiteral("-p %1 -c listen_addresses=127.0.0.1 -c unix_socket_directories=%2 -c fsync=off")
                             .arg(m_port)
                             .arg(m_dir.path()),
                         QStringLiteral("start")});
        return m_running;
    }
    // "fast" ends the clients' connections at once, as a server that goes
    // down under them.
    bool stop()
    {
        if (!m_running)
            return true;
        m_running = !run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), dataDir(), QStringLiteral("-m"),
                                                    QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("stop")});
        return !m_running;
    }

    // One SQL statement through psql; its rows, fields split by '|'.
    QString psql(const QString &sql, const QString &database = QLatin1String(kDatabase))
    {
        QString out;
        run(QStringLiteral("psql"), {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                     QString::number(m_port), QStringLiteral("-U"), QLatin1String(kUser),
                                     QStringLiteral("-d"), database, QStringLiteral("-Atc"), sql},
            &out);
        return out.trimmed();
    }

private:
    QString dataDir() const { return m_dir.filePath(QStringLiteral("data")); }

    static int freeLoopbackPort()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        int port = 0;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size) == 0)
            port = ntohs(a.sin_port);
        if (fd >= 0)
            ::close(fd);
        return port;
    }

    bool run(const QString &tool, const QStringList &args, QString *out = nullptr)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PGPASSWORD"), QLatin1String(kPassword));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(m_dir.path());
        p.setStandardInputFile(QProcess::nullDevice());
        const QStringList command = m_owner + QStringList{m_bin + tool} + args;
        p.start(command.first(), command.mid(1));
        if (!p.waitForFinished(180000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            m_error = tool + QStringLiteral(": ") + QString::fromLocal8Bit(p.readAllStandardError())
                + QString::fromLocal8Bit(readFile(m_dir.filePath(QStringLiteral("log"))).right(2000));
            return false;
        }
        if (out)
            *out = QString::fromUtf8(p.readAllStandardOutput());
        return true;
    }

    QTemporaryDir m_dir;
    QString m_bin;
    QStringList m_owner;
    int m_port = 0;
    bool m_ok = false;
    bool m_running = false;
    QString m_error;
};

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

// A simulated chip's port made unusable the way a line PC's ports are: a
// mode only its owner may open, a device of the group dialout, or another
// process holding it (flock(1): the lock the tool itself takes). The port
// goes with the simulator; nothing is undone.
#include <QFileInfo>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

enum class portBlock { None, OwnerOnly, GroupDialout, Held };
Q_DECLARE_METATYPE(portBlock)

class PortBlocker
{
public:
    PortBlocker(const QString &port, portBlock how)
        : m_device(QFileInfo(port).canonicalFilePath())
    {
        const QByteArray device = QFile::encodeName(m_device);
        const group *dialout = ::getgrnam("dialout");
        if (how == portBlock::OwnerOnly) {
            m_ok = ::chmod(device.constData(), 0600) == 0;
        } else if (how == portBlock::GroupDialout) {
            m_ok = dialout && ::chown(device.constData(), static_cast<uid_t>(-1), dialout->gr_gid) == 0
                && ::chmod(device.constData(), 0660) == 0;
        } else if (how == portBlock::Held) {
            // The holder says so once it has the lock.
            m_holder.start(QStringLiteral("flock"), {QStringLiteral("-o"), m_device, QStringLiteral("sh"),
                                                     QStringLiteral("-c"), QStringLiteral("echo locked; exec sleep 600")});
            m_ok = m_holder.waitForReadyRead(30000);
        }
    }
    ~PortBlocker()
    {
        m_holder.kill();
        m_holder.waitForFinished();
    }

    bool ok() const { return m_ok && !m_device.isEmpty(); }
    QString device() const { return m_device; }
    qint64 holderPid() const { return m_holder.processId(); }
    // An expected message, with the device and the holder's pid in place of
    // {device} and {pid}.
    QString fillIn(QString text) const
    {
        return text.replace(QStringLiteral("{device}"), m_device)
            .replace(QStringLiteral("{pid}"), QString::number(holderPid()));
    }

private:
    QString m_device;
    bool m_ok = true;
    QProcess m_holder;
};

// A folder, and the simulated chips' control sockets in it (by which the
// port listing knows a chip is there), that another user may use.
inline bool openToEveryone(const QString &folder)
{
    bool ok = ::chmod(QFile::encodeName(folder).constData(), 0777) == 0;
    for (const QFileInfo &f : QDir(folder).entryInfoList({QStringLiteral("*.ctl")}, QDir::System))
        ok = ::chmod(QFile::encodeName(f.filePath()).constData(), 0666) == 0 && ok;
    return ok;
}

// The command line that runs `command` as nobody (the test runs as root,
// as CI does).
inline QStringList asNobody(const QStringList &command)
{
    return QStringList{QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--")}
        + command;
}

// This root process acts as nobody until the object goes: effective ids,
// and no supplementary groups (root does not need them back).
class ActAsNobody
{
public:
    ActAsNobody()
    {
        const passwd *nobody = ::getpwnam("nobody");
        m_ok = nobody && ::setgroups(0, nullptr) == 0 && ::setegid(nobody->pw_gid) == 0 && ::seteuid(nobody->pw_uid) == 0;
    }
    ~ActAsNobody()
    {
        if (::seteuid(0) != 0 || ::setegid(0) != 0)
            qFatal("cannot act as root again");
    }
    bool ok() const { return m_ok; }

private:
    bool m_ok = false;
};

#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>

// Generous: the machine may be busy with other work.
constexpr int kFlashRunMs = 120000;

// One vq_flash process, read line by line while it runs.
class Flash
{
public:
    explicit Flash(const QStringList &args, const QString &simDir = QString(), const QString &workDir = QString())
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!simDir.isEmpty())
            env.insert(QStringLiteral("VQ_SIM_PORT_DIR"), simDir);
        p.setProcessEnvironment(env);
        if (!workDir.isEmpty())
            p.setWorkingDirectory(workDir);
        p.start(qEnvironmentVariable("VQ_BUILD_DIR") + QStringLiteral("/vq_flash"), args);
    }
    ~Flash()
    {
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished();
        }
    }
    // JSON objects on standard output so far.
    QList<QJsonObject> objects()
    {
        out += p.readAllStandardOutput();
        err += QString::fromUtf8(p.readAllStandardError());
        QList<QJsonObject> list;
        for (const QByteArray &line : out.split('\n')) {
            if (!line.isEmpty())
                list << QJsonDocument::fromJson(line).object();
        }
        return list;
    }
    const QString &stderrSoFar()
    {
        objects();
        return err;
    }
    QList<QJsonObject> events(const QString &name)
    {
        QList<QJsonObject> list;
        for (const QJsonObject &o : objects()) {
            if (o.value(QStringLiteral("event")).toString() == name)
                list << o;
        }
        return list;
    }
    // Only to a running process: pid 0 would signal the test's own group.
    bool signal(int number)
    {
        const qint64 pid = p.processId();
        return pid > 0 && ::kill(static_cast<pid_t>(pid), number) == 0;
    }
    // The exit status, -1 for a crash or a process that would not end.
    int finish()
    {
        // waitForFinished() is false for a process that has ended already.
        if (p.state() != QProcess::NotRunning && !p.waitForFinished(kFlashRunMs))
            return -1;
        out += p.readAllStandardOutput();
        err += QString::fromUtf8(p.readAllStandardError());
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

    QProcess p;
    QByteArray out;
    QString err;
};

