#include "productioncsv.h"

#include "recordstore.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
QString csvField(QString field)
{
    static const QRegularExpression special(QStringLiteral("[,\"\r\n]"));
    if (!field.contains(special))
        return field;
    field.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + field + QLatin1Char('"');
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// A new file appears with its header already inside: the header goes to a
// temporary file that is then linked under the final name, which fails when
// another writer got there first. Either way exactly one header.
bool createWithHeader(const QString &path, QString *error)
{
    if (QFileInfo::exists(path))
        return true;
    QTemporaryFile tmp(path + QStringLiteral(".XXXXXX"));
    const QByteArray header = productionCsvHeader();
    if (!tmp.open() || tmp.write(header) != header.size() || !tmp.flush()) {
        *error = tmp.errorString();
        return false;
    }
    if (::link(QFile::encodeName(tmp.fileName()).constData(), QFile::encodeName(path).constData()) != 0
        && errno != EEXIST) {
        *error = systemError();
        return false;
    }
    return true;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}
} // namespace

QByteArray productionCsvHeader()
{
    return QByteArrayLiteral("\xEF\xBB\xBF")
        + QStringLiteral("时间,工位,串口,芯片型号,Flash ID,Flash UID,结果代码,结果,耗时(秒),写入字节,烧录文件,操作\r\n")
              .toUtf8();
}

QByteArray productionCsvRow(const productionRow &row)
{
    QStringList files;
    for (const imageFacts &image : row.images)
        files << image.fileName;
    const QStringList fields{row.localTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
                             QString::number(row.station),
                             row.port,
                             row.model,
                             row.flashId,
                             row.uid,
                             QStringLiteral("0x") + QString::number(row.code, 16),
                             row.text,
                             QString::number(row.seconds, 'f', 2),
                             QString::number(row.bytes),
                             files.join(QLatin1Char(';')),
                             row.operation == QLatin1String("erase") ? QStringLiteral("擦除") : QStringLiteral("下载")};
    QStringList quoted;
    for (const QString &f : fields)
        quoted << csvField(f);
    return quoted.join(QLatin1Char(',')).toUtf8() + "\r\n";
}

bool appendProductionCsv(const QString &path, const productionRow &row, QString *error)
{
    QString reason;
    if (!createWithHeader(path, &reason)) {
        if (error)
            *error = reason;
        return false;
    }
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = systemError();
        return false;
    }
    QByteArray out = productionCsvRow(row);
    const off_t before = ::lseek(fd, 0, SEEK_END);
    char last = '\n';
    if (before > 0 && ::pread(fd, &last, 1, before - 1) == 1 && last != '\n')
        out.prepend("\r\n");
    // O_APPEND puts the whole line after whatever another writer added; a
    // short write is a full disk, and its piece is taken back when nobody
    // wrote after it, so that the file stays a list of whole lines.
    bool good = writeAll(fd, out);
    if (!good) {
        const int saved = errno;
        const off_t after = ::lseek(fd, 0, SEEK_END);
        if (after > before && after - before < out.size() && ::ftruncate(fd, before) != 0)
            qWarning("production record: cannot cut a partial line off");
        errno = saved ? saved : ENOSPC;
        if (error)
            *error = systemError();
    }
    ::close(fd);
    return good;
}
