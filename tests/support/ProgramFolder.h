#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

namespace testsupport {

// Copies every file below `from` into `to`, keeping the relative paths and the
// permissions (a copied program stays executable).
bool copyFolder(const QString &from, const QString &to);

// Writes the bytes to the file, making its folder first.
bool writeFile(const QString &path, const QByteArray &bytes);

// The environment for a program started by a test: the test's own, with the
// configuration, data and cache folders moved below `home`.
QProcessEnvironment programEnvironment(const QString &home);

// Copies the built tarvex into `install`, points it at the server with the
// window title given (system.xml), gives it settings below `home` with the
// automatic login off, and starts it. True once it runs.
bool startCopiedClient(QProcess &client, const QString &install, const QString &home, const QString &title,
                       const QString &serverBase);

// Asks the program to end (SIGTERM), and kills it when it does not within 10 s.
void endProgram(QProcess &process);

// Makes the program started by `process` end when this test process ends,
// even by a crash, so that no server or client outlives a failed test.
void endWithThisProcess(QProcess &process);

} // namespace testsupport
