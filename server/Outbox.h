#pragma once

#include <QString>
#include <atomic>

namespace alertserver {

struct Mail
{
    QString to;      // one address
    QString subject;
    QString body;    // plain text; line ends are made CRLF when written
};

// Outgoing e-mail is not sent anywhere: each message becomes one .eml file in
// the outbox folder, ready for a mail program or a test to pick up. A message
// appears whole or not at all (written beside, then renamed).
class Outbox
{
public:
    explicit Outbox(QString folder);
    const QString &folder() const { return m_folder; }

    // Answers the file written, or "" when it could not be written.
    QString write(const Mail &mail);

private:
    QString m_folder;
    std::atomic<quint64> m_sequence{0};
};

} // namespace alertserver
