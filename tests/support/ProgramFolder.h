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

// Makes the program started by `process` end when this test process ends,
// even by a crash, so that no server or client outlives a failed test.
void endWithThisProcess(QProcess &process);

} // namespace testsupport
