#pragma once

#include "server/store/Records.h"
#include "server/web/Http.h"

#include <QJsonObject>

#include <optional>

namespace alertserver {

class Store;
struct PageRequest;

// The publishing interface: programs and scripts raise alerts with an
// administrator's token (POST /api/v1/alerts), in JSON or as plain text, and
// read who saw them.
class Publishing
{
public:
    explicit Publishing(Store &store) : m_store(store) {}

    // Publications: the longest expiry, and how many a list answers.
    static constexpr qint64 kMaxExpiresIn = 365 * 86400;
    static constexpr int kListed = 50;
    static constexpr int kMaxListed = 1000;

    // /api/v1/alerts: POST publishes, GET lists the token administrator's
    // recent publications with how many saw them.
    HttpReply alerts(PageRequest &r);
    HttpReply publish(PageRequest &r);
    HttpReply list(PageRequest &r);
    // /api/v1/alerts/ID: the publication that raised alert ID, with every
    // recipient's receipt.
    HttpReply one(PageRequest &r);
    // The same, as `alertserver receipts` prints it.
    static QJsonObject receiptsJson(const PublicationReceipts &p);

private:
    // The bearer token of the request, or the refusal of its form.
    static std::optional<HttpReply> bearer(const HttpRequest &request, QByteArray &token);

    Store &m_store;
};

} // namespace alertserver
