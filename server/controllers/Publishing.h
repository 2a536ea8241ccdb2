#pragma once

#include "server/store/Records.h"
#include "server/store/Tokens.h"
#include "server/web/Http.h"

#include <QJsonObject>

#include <functional>
#include <optional>

namespace alertserver {

class MailDelivery;
class Store;
struct PageRequest;

// The publishing interface: programs and scripts raise alerts with an
// administrator's token (POST /api/v1/alerts), in JSON or as plain text, and
// read who saw them.
class Publishing
{
public:
    Publishing(Store &store, MailDelivery &mail) : m_store(store), m_mail(mail) {}

    // Publications: the longest expiry, and how many a list answers.
    static constexpr qint64 kMaxExpiresIn = 365 * 86400;
    static constexpr int kListed = 50;
    static constexpr int kMaxListed = 1000;
    // A webhook's body: Alertmanager sends whole groups, each alert with its
    // labels and annotations, so more than a publication's.
    static constexpr int kMaxWebhookBodyBytes = 512 * 1024;

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

    // The bearer token of the request, or the refusal of its form.
    static std::optional<HttpReply> bearer(const HttpRequest &request, QByteArray &token);
    // How a publication refused by the store is answered; none when it was
    // published.
    static std::optional<HttpReply> refusalOf(const Tokens::Published &result);

    // The same three for a caller whose administrator is known another way
    // (the publisher console): the same parsing, rules, store calls and
    // answers. `publisher` raises the checked publication; `refusal` answers
    // a publication the store refused; `admin` names the administrator once
    // the request is checked (none: 401 as for a revoked token).
    using Publisher = std::function<Tokens::Published(const QStringList &users, bool all,
                                                      const alertserver::Publication &publication)>;
    using Refusal = std::function<std::optional<HttpReply>(const Tokens::Published &result)>;
    using AdminOf = std::function<std::optional<int>()>;
    HttpReply publishWith(PageRequest &r, const Publisher &publisher, const Refusal &refusal);
    HttpReply listFor(PageRequest &r, const AdminOf &admin);
    HttpReply oneFor(PageRequest &r, const AdminOf &admin);

    // Monitoring systems' webhooks (Webhooks.cpp): Alertmanager's and
    // Grafana's payloads, each firing alert one publication, once.
    HttpReply webhook(PageRequest &r);

private:

    Store &m_store;
    MailDelivery &m_mail;
};

} // namespace alertserver
