#pragma once

#include "common/TimeStamp.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <utility>

namespace kestrup {

// Key/value pairs as the wizard writes them into a body or a query:
// key, "=", the value form-encoded; keys as they stand.
using FormPairs = QList<std::pair<QByteArray, QString>>;

// A form body built in the order the server expects. Values are encoded;
// fixed pairs ("regtype=0") are written exactly as given.
//
//   FormBody body;
//   body.add("username", state.Username).addFixed("regtype=0");
//   body.bytes() == "username=a%26b&regtype=0"
class FormBody
{
public:
    FormBody &add(const QByteArray &key, const QString &value);
    FormBody &addFixed(const QByteArray &pair);
    const QByteArray &bytes() const { return m_bytes; }

private:
    void separate();
    QByteArray m_bytes;
};

// One request of the wizard, before it is sent.
struct ServerRequest
{
    QByteArray method = "POST"; // "POST" or "GET"
    QString path;               // endpoint path beginning with "/", e.g. "/alertsystem/admin/login.php"
    FormPairs query;            // written after the time stamp as "&key=value"
    QByteArray body;            // POST only; GET sends nothing

    // base + path + "?vartime=" + the 14-digit stamp + "&k=v" for each query pair.
    QString url(const QString &serverBase, const common::Clock &clock) const;
};

} // namespace kestrup
