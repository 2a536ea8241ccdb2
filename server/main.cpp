#include "server/CommandLine.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return alertserver::runCommandLine(QCoreApplication::arguments(), QCoreApplication::applicationDirPath());
}
