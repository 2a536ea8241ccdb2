#pragma once

#include "Store.h"

#include <QString>

namespace alertserver {

// Delivery of the store's mail queue. Outgoing e-mail is not sent anywhere:
// each message becomes one .eml file in the outbox folder, ready for a mail
// program or a test to pick up. A message appears whole or not at all
// (written beside, then renamed), readable by the server's user alone, and
// under a name of its own, so delivering it twice leaves one file.
class Outbox
{
public:
    explicit Outbox(QString folder);
    const QString &folder() const { return m_folder; }

    // Delivers every message of the queue that is due; answers how many.
    int deliver(Store &store);
    // Writes one message; false when it could not be written.
    bool write(const QueuedMail &message);

private:
    QString m_folder;
};

} // namespace alertserver
