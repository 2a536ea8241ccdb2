#include "server/cli/CommandLine.h"

#include <QCoreApplication>

namespace {

// Where the store, the outbox and the skins live unless the command line
// names them: beside the program, except when the program is installed as
// <root>/usr/bin/alertserver, whose state belongs in <root>/var/lib/alertserver
// (<root> is "/" for the installed package, another folder for a package
// unpacked there).
QString stateFolder(const QString &programFolder)
{
    const QLatin1String installedBin("/usr/bin");
    if (!programFolder.endsWith(installedBin))
        return programFolder;
    return programFolder.chopped(installedBin.size()) + QLatin1String("/var/lib/alertserver");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return alertserver::runCommandLine(QCoreApplication::arguments(), stateFolder(QCoreApplication::applicationDirPath()));
}
