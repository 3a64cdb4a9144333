#include "productionrecord.h"

#include "tranthread.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <sys/file.h>

namespace {
QString csvField(QString field)
{
    static const QRegularExpression special(QStringLiteral("[,\"\r\n]"));
    if (!field.contains(special))
        return field;
    field.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + field + QLatin1Char('"');
}
} // namespace

QByteArray productionRecordHeader()
{
    return QByteArrayLiteral("\xEF\xBB\xBF")
        + QStringLiteral("时间,工位,串口,芯片型号,Flash ID,Flash UID,结果代码,结果,耗时(秒),写入字节,烧录文件,操作\r\n")
              .toUtf8();
}

QByteArray productionRecordRow(int station, const chipRecord &record)
{
    const QStringList fields{record.finished.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
                             QString::number(station),
                             record.portName,
                             record.model,
                             record.flashId,
                             record.flashUid,
                             QStringLiteral("0x") + QString::number(record.code, 16),
                             record.text,
                             QString::number(record.seconds, 'f', 2),
                             QString::number(record.bytesWritten),
                             record.files.join(QLatin1Char(';')),
                             record.erase ? QStringLiteral("擦除") : QStringLiteral("下载")};
    QStringList quoted;
    for (const QString &f : fields)
        quoted << csvField(f);
    return quoted.join(QLatin1Char(',')).toUtf8() + "\r\n";
}

bool appendProductionRecord(const QString &path, int station, const chipRecord &record)
{
    QFile file(path);
    if (!file.open(QIODevice::Append | QIODevice::Unbuffered))
        return false;
    // Two writers starting on a new file would both find it empty and both
    // write the header; the size is looked at only under the lock.
    const int fd = file.handle();
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return false;
    }
    QByteArray out;
    if (file.size() == 0)
        out = productionRecordHeader();
    out += productionRecordRow(station, record);
    const bool written = file.write(out) == out.size();
    ::flock(fd, LOCK_UN);
    return written;
}
