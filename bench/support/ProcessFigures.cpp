#include "ProcessFigures.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>

#include <unistd.h>

namespace benchfigures {

namespace {

// The fields of /proc/PID/stat after the command name, which may hold blanks.
QList<QByteArray> statFields(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2).split(' ');
}

// The --type of a browser engine process, "main" for any other.
QString commandLineType(qint64 pid)
{
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!cmdline.open(QIODevice::ReadOnly))
        return QStringLiteral("gone");
    for (const QByteArray &arg : cmdline.readAll().split('\0')) {
        if (arg.startsWith("--type="))
            return QString::fromLatin1(arg.mid(7));
    }
    return QStringLiteral("main");
}

} // namespace

QList<qint64> processTree(qint64 root)
{
    QHash<qint64, QList<qint64>> children;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok)
            continue;
        const QList<QByteArray> fields = statFields(pid);
        if (fields.size() > 1)
            children[fields[1].toLongLong()] << pid;
    }
    QList<qint64> tree{root};
    for (int i = 0; i < tree.size(); ++i)
        tree << children.value(tree[i]);
    return tree;
}

double cpuSeconds(const QList<qint64> &pids)
{
    double ticks = 0;
    for (qint64 pid : pids) {
        const QList<QByteArray> f = statFields(pid);
        if (f.size() > 12)
            ticks += f[11].toDouble() + f[12].toDouble(); // utime, stime
    }
    return ticks / double(sysconf(_SC_CLK_TCK));
}

int countRunning(const QByteArray &program, const QList<qint64> &excluding)
{
    int count = 0;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (ok && !excluding.contains(pid) && cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(program))
            ++count;
    }
    return count;
}

double pssMegabytes(qint64 pid)
{
    QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (!rollup.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : rollup.readAll().split('\n')) {
        if (line.startsWith("Pss:"))
            return line.mid(4).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

double pssMegabytes(const QList<qint64> &pids)
{
    double mb = 0;
    for (qint64 pid : pids)
        mb += pssMegabytes(pid);
    return mb;
}

QList<ProcessPart> describeTree(qint64 root)
{
    const QList<qint64> tree = processTree(root);
    QHash<qint64, qint64> parentOf;
    QSet<qint64> parents;
    for (qint64 pid : tree) {
        const QList<QByteArray> fields = statFields(pid);
        if (fields.size() > 1) {
            parentOf[pid] = fields[1].toLongLong();
            parents.insert(fields[1].toLongLong());
        }
    }
    QHash<qint64, QString> type;
    for (qint64 pid : tree)
        type[pid] = commandLineType(pid);
    QList<ProcessPart> parts;
    for (qint64 pid : tree) {
        QString role = type[pid];
        if (role == QLatin1String("zygote") && type.value(parentOf.value(pid)) == role && !parents.contains(pid))
            role = QStringLiteral("renderer");
        parts.append({pid, role, pssMegabytes(pid)});
    }
    return parts;
}

} // namespace benchfigures
