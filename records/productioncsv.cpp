#include "productioncsv.h"

#include "recordstore.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
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

QString csvField(QString field)
{
    static const QRegularExpression special(QStringLiteral("[,\"\r\n]"));
    if (!field.contains(special))
        return field;
    field.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + field + QLatin1Char('"');
}

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
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error)
            *error = systemError();
        return false;
    }
    // Writers of one file (the window and vq_flash, two windows) take
    // turns, so the header check and the line end check see the file as
    // it is when their line goes in. The lock ends with the descriptor,
    // also when the process is killed.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    QByteArray out = productionCsvRow(row);
    const off_t before = ::lseek(fd, 0, SEEK_END);
    char last = '\n';
    if (before == 0)
        out.prepend(productionCsvHeader());
    else if (::pread(fd, &last, 1, before - 1) == 1 && last != '\n')
        out.prepend("\r\n");
    // A short write is a full disk: its piece is taken back, so that the
    // file stays a list of whole lines.
    const bool good = writeAll(fd, out);
    if (!good) {
        const int saved = errno ? errno : ENOSPC;
        if (::ftruncate(fd, before) != 0)
            qWarning("production record: cannot cut a partial line off");
        errno = saved;
        if (error)
            *error = systemError();
    }
    ::close(fd);
    return good;
}
