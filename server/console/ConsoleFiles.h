#pragma once

#include "server/console/ConsoleGuard.h"

#include <QByteArray>
#include <QList>

namespace alertserver {

// The console's static files, built into the server (console.qrc): "/console/"
// answers index.html, "/console/NAME" each other file there, with its type.
// Over a channel the console refuses, 403 as for its interface.
class ConsoleFiles
{
public:
    explicit ConsoleFiles(const ConsoleGuard &guard);

    // The paths served, "/console/" first.
    QList<QByteArray> paths() const;
    HttpReply serve(PageRequest &r) const;

    static QByteArray contentTypeOf(const QString &fileName);

private:
    const ConsoleGuard &m_guard;
    QStringList m_files;
};

} // namespace alertserver
