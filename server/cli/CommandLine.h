#pragma once

#include <QStringList>

namespace alertserver {

// Runs the command given on the command line ("serve", "alert", "logout",
// ...) and answers the process exit code. `programFolder` holds the default
// store, outbox and skins.
int runCommandLine(const QStringList &arguments, const QString &programFolder);

} // namespace alertserver
