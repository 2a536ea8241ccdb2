#include "ProgramFolder.h"

#include "Patience.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <sys/prctl.h>

namespace testsupport {

bool copyFolder(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + source.mid(from.size());
        if (!QDir().mkpath(QFileInfo(target).path()) || !QFile::copy(source, target))
            return false;
        QFile::setPermissions(target, QFile::permissions(source));
    }
    return true;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QProcessEnvironment programEnvironment(const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/cache"));
    return env;
}

bool startCopiedClient(QProcess &client, const QString &install, const QString &home, const QString &title,
                       const QString &serverBase)
{
    if (!copyFolder(QStringLiteral(TVX_BUILD_DIR "/tarvex"), install)
        || !writeFile(install + QStringLiteral("/system.xml"),
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<system><windowtitle>" + title.toUtf8()
                          + "</windowtitle><serverbase>" + serverBase.toUtf8()
                          + "</serverbase><notifytypeid>1</notifytypeid></system>\n")
        || !writeFile(home + QStringLiteral("/config/Tarvex Vantorel.conf"),
                      "[Settings]\nAUTOLOG=0\nPOPUPMODE=1\nALERTMODE=1\nAUDIOALERT=1\nWINDOWONTOP=0\n"))
        return false;
    endWithThisProcess(client);
    client.setProcessEnvironment(programEnvironment(home));
    client.setProgram(install + QStringLiteral("/tarvex"));
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client.start();
    return client.waitForStarted();
}

void endProgram(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(patient(10000)))
        process.kill();
    process.waitForFinished(patient(5000));
}

void endWithThisProcess(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

} // namespace testsupport
