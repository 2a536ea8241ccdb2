#pragma once

#include <QByteArray>
#include <QString>

namespace alertserver {

// The administrator a console request comes from, once its session cookie,
// its CSRF token and its Origin have been checked.
struct ConsoleCaller
{
    int adminId = 0;
    QString adminName;
    // SHA-256 of the session's cookie: the session's key in the store.
    QByteArray sessionKey;
};

} // namespace alertserver
