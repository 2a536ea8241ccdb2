#pragma once

#include "support/ProgramFolder.h"
#include "support/ScriptedServer.h"
#include "support/Patience.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QtTest>

// What the fault tests share: the faulty replies, memory read from /proc,
// and the scripted server run as a process of its own.
namespace faulttest {

using testsupport::ScriptedReply;

// Well-formed XML nested this deep: a reader that recurses per level runs
// out of stack long before the end.
inline QByteArray deeplyNestedXml(int depth = 200000)
{
    QByteArray x = "<?xml version=\"1.0\"?>\n<reply>";
    x.reserve(depth * 7 + 64);
    for (int i = 0; i < depth; ++i)
        x += "<a>";
    x += "0";
    for (int i = 0; i < depth; ++i)
        x += "</a>";
    return x + "</reply>\n";
}

// A reply with `megabytes` of padding after its first child.
inline QByteArray hugeXml(qsizetype megabytes)
{
    QByteArray x = "<?xml version=\"1.0\"?>\n<reply><v>0</v><pad>";
    x += QByteArray(megabytes * 1024 * 1024, ' ');
    return x + "</pad></reply>\n";
}

// A reply cut off after half its body, where that half is itself a whole
// document (trailing blanks are allowed after the root): only a reader that
// checks the length it was promised can tell it from the real thing.
inline ScriptedReply cutWhereItStillParses(ScriptedReply reply)
{
    reply.body += QByteArray(reply.body.size() + 2, ' ');
    return reply.as(ScriptedReply::Kind::CutMidBody);
}

// A field of /proc/<pid>/status in kB ("VmHWM", "VmRSS"); -1 when unreadable.
inline qint64 procStatusKb(qint64 pid, const char *field)
{
    QFile file(pid > 0 ? QStringLiteral("/proc/%1/status").arg(pid) : QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The scripted server answering every path with a huge reply, in a process
// of its own so that its copy of the body is not counted against the test.
class FloodServer
{
public:
    bool start(int megabytes)
    {
        m_process.setProgram(QStringLiteral(TVX_FAULTSERVER));
        m_process.setArguments({QString::number(megabytes)});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        if (!m_process.waitForStarted(testsupport::patient(10000)))
            return false;
        while (m_process.waitForReadyRead(testsupport::patient(20000))) {
            const QByteArray line = m_process.readLine().trimmed();
            if (line.startsWith("PORT "))
                return (m_port = line.mid(5).toInt()) > 0;
        }
        return false;
    }
    ~FloodServer()
    {
        m_process.kill();
        m_process.waitForFinished(testsupport::patient(5000));
    }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }

private:
    QProcess m_process;
    int m_port = 0;
};

using testsupport::copyFolder;
using testsupport::writeFile;

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace faulttest
