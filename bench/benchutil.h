#pragma once
#include <algorithm>
#include <vector>
// The process's own accounting, which every benchmark reports from, and the
// images they write.
#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QStringList>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

inline double cpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

inline long peakRssKiB()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

inline long currentRssKiB()
{
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * (sysconf(_SC_PAGESIZE) / 1024) : 0;
}

// The same bytes in every run, so that runs compare; random, so that nothing
// on the way can make them smaller.
inline QByteArray benchBytes(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator gen(20261208);
    for (char &c : data)
        c = static_cast<char>(gen.generate() & 0xFF);
    return data;
}

inline bool writeBenchFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// execv's arguments for one of the build's programs (beside vq_bench); the
// strings live in `storage`.
inline std::vector<char *> programArgv(const char *name, const QStringList &args, std::vector<QByteArray> &storage)
{
    storage = {QFile::encodeName(QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name))};
    for (const QString &a : args)
        storage.push_back(QFile::encodeName(a));
    std::vector<char *> argv;
    for (QByteArray &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    return argv;
}

// The p-quantile (0..1) of the figures, nearest rank.
inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}
