#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <algorithm>

namespace benchfigures {

// The process and all its descendants, the process first.
QList<qint64> processTree(qint64 root);

// User and system processor time of the processes, in seconds.
double cpuSeconds(const QList<qint64> &pids);

// How many processes outside `excluding` run a program whose command line
// holds `program`.
int countRunning(const QByteArray &program, const QList<qint64> &excluding);

// Proportional set size of one process, in MB (0 when it has gone).
double pssMegabytes(qint64 pid);
double pssMegabytes(const QList<qint64> &pids);

// A process of a tree and what it is: "main" for the program itself,
// otherwise the browser engine's --type (zygote, utility, ...). A renderer
// forked from a zygote keeps the zygote's command line; it is told by being
// a zygote's child with no children of its own.
struct ProcessPart
{
    qint64 pid = 0;
    QString role;
    double pssMb = 0;
};
QList<ProcessPart> describeTree(qint64 root);

template <typename T>
T median(QList<T> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    if (n == 0)
        return T();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace benchfigures
