#pragma once

#include "server/store/Records.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace alertserver::mailtexts {

// The wording of the mails the server sends. `base` is the public address
// links start with ("https://alerts.example.org"), never one a request named.

// Neither carries any text of the requester's: nobody has confirmed yet that
// the address belongs to the one who asked.

// To a new administrator: the link that activates the account.
Mail activation(const QString &to, const QString &base, const QByteArray &code);

// To a user of an administrator: the client's download link.
Mail downloadLink(const QString &to, const QString &base);

} // namespace alertserver::mailtexts
