#pragma once

#include "server/store/Policy.h"
#include "server/store/Records.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace alertserver {

class Connection;
class Database;
class Limits;

// The tokens administrators publish alerts with (the api_tokens table), and
// publishing itself: a token's administrator, its limit and the alerts it
// raises, checked and written in one transaction.
class Tokens
{
public:
    // Tokens are 32 random bytes in base64url; only their SHA-256 is kept.
    static constexpr int kTokenBytes = 32;

    Tokens(Database &db, Limits &limits) : m_db(db), m_limits(limits) {}

    enum class Creation { Created, LabelTaken, NoAdmin };
    struct Created
    {
        Creation outcome = Creation::NoAdmin;
        QByteArray token; // shown once, never stored
        QString label;
    };
    // Without a label the token gets the first free "token-N".
    // `webhook`: the token may only deliver monitoring systems' webhooks.
    Created create(int adminId, const QString &label = {}, bool webhook = false);
    QList<ApiToken> of(int adminId);
    // The token stops working at once, for every server on the store.
    bool revoke(int adminId, const QString &label);

    // The administrator of a live token (of an active administrator) that
    // may do everything (not only webhooks); read only.
    std::optional<int> adminOf(const QByteArray &token);

    // CopiesRefused: copies asked for by an administrator the operator
    // neither made nor approved.
    enum class Publication { Published, NoToken, NotTheirs, Limited, CopiesRefused };
    struct Published
    {
        Publication outcome = Publication::NoToken;
        QList<RaisedAlert> alerts;
        QString refusedUser;   // NotTheirs: the first name that is not the administrator's
        qint64 retryAfter = 0; // Limited: seconds until the window ends
        // Webhooks: alerts already raised before, and alerts marked resolved.
        int repeated = 0, resolved = 0;
        int copies = 0; // copies queued now
    };
    // Raises one alert per user, all or none, for the administrator whose
    // live token this is: the named users (each must be one of that
    // administrator's), or all of them. Looked up in the store every time,
    // so a revoked token or an expired administrator is refused at once.
    // The publication's administrator is the token's.
    Published publish(const QByteArray &token, const QStringList &users, bool all,
                      const alertserver::Publication &publication);
    // Several publications to the same users at once, as a monitoring
    // system's webhook sends them: one with a source key already raised by
    // the administrator raises nothing, and the publications with the keys
    // in `resolvedKeys` are marked resolved (their alerts too). `webhook`:
    // a token limited to webhooks will do.
    Published publish(const QByteArray &token, const QStringList &users, bool all,
                      const QList<alertserver::Publication> &publications, const QStringList &resolvedKeys,
                      bool webhook);
    Published publish(const QByteArray &token, const QStringList &users, bool all, const QString &text)
    {
        alertserver::Publication p;
        p.text = text;
        return publish(token, users, all, p);
    }
    // The same for an administrator known by id (signed in to the console),
    // with the same checks and result; its limit is the console's, per
    // administrator. NoToken: the administrator is not (or no longer) usable.
    Published publishAs(int adminId, const QStringList &users, bool all, const alertserver::Publication &publication);

private:
    // Publishing once the administrator is known, in the caller's
    // transaction: `limit` counted for `subject`.
    Published publishAs(Connection &db, int adminId, Limit limit, const QString &subject, const QStringList &users,
                        bool all, const QList<alertserver::Publication> &publications, const QStringList &resolvedKeys);

    Database &m_db;
    Limits &m_limits;
};

} // namespace alertserver
