#pragma once

#include <QFile>
#include <QString>

#include <cstdio>

// One row of the performance table bench/run-all.sh collects: the measure, this run's figure, its
// baseline measured in the same run, their ratio, and the goal.
inline void tableRow(const char* measure, const QString& figure, const QString& baseline,
                     const QString& ratio, const char* goal) {
    std::printf("TABLE|%s|%s|%s|%s|%s\n", measure, qPrintable(figure), qPrintable(baseline),
                qPrintable(ratio), goal);
    std::fflush(stdout);
}

inline QString ratioText(double ratio) {
    return QStringLiteral("%1×").arg(ratio, 0, 'f', 2);
}

// A memory field of a process's status file in MB ("VmRSS:", "VmHWM:"); "self" is this process.
inline double statusMegabytes(const QString& process, const char* field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(process));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toDouble() / 1024;
    return 0;
}

// The resident memory of this process now, in MB.
inline double residentMegabytes(const char* field = "VmRSS:") {
    return statusMegabytes(QStringLiteral("self"), field);
}
