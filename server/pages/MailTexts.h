#pragma once

#include "server/store/Records.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace alertserver::mailtexts {

// The wording of the mails the server sends. `base` is the public address
// links start with ("https://alerts.example.org"), never one a request named.

// To a new administrator: the link that activates the account.
Mail activation(const AdminRegistration &reg, const QString &base, const QByteArray &code);

// To a user of an administrator: the client's download link. `names` are the
// user names that share this address; `greeting` the name to greet, if any.
Mail downloadLink(const QString &to, const QString &greeting, const QStringList &names, const QString &base);

} // namespace alertserver::mailtexts
