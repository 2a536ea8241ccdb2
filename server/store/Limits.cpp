#include "server/store/Limits.h"

#include "server/store/Clock.h"
#include "server/store/Database.h"
#include "server/store/Records.h"

#include <QList>

#include <algorithm>

#include <arpa/inet.h>

namespace alertserver {

namespace {

constexpr qint64 kLoginWindow = 15 * 60;
constexpr qint64 kDayWindow = 24 * 3600;
constexpr qint64 kMinuteWindow = 60;

struct LimitRule
{
    const char *scope;
    qint64 window;
};

LimitRule ruleOf(Limit limit)
{
    switch (limit) {
    case Limit::ClientLoginName: return {"client-name", kLoginWindow};
    case Limit::ClientLoginAddress: return {"client-address", kLoginWindow};
    case Limit::AdminLoginName: return {"admin-name", kLoginWindow};
    case Limit::AdminLoginAddress: return {"admin-address", kLoginWindow};
    case Limit::Registration: return {"registration", kDayWindow};
    case Limit::MailsByAdmin: return {"mails-admin", kDayWindow};
    case Limit::MailsToRecipient: return {"mails-recipient", kDayWindow};
    case Limit::AlertsByToken: return {"api-token", kMinuteWindow};
    case Limit::CopiesByAdmin: return {"copies-admin", kDayWindow};
    case Limit::CopiesToRecipient: return {"copies-recipient", kDayWindow};
    case Limit::ConsoleAlertsByAdmin: return {"console-admin", kMinuteWindow};
    }
    return {"", kDayWindow};
}

// An IPv6 address counts by its /64: one machine, or one site, commonly
// has a whole /64 to pick addresses from.
QString network(const QString &address)
{
    in6_addr a{};
    if (::inet_pton(AF_INET6, address.toLatin1().constData(), &a) != 1)
        return address;
    std::fill(a.s6_addr + 8, a.s6_addr + 16, 0);
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &a, text, sizeof text);
    return QString::fromLatin1(text) + QStringLiteral("/64");
}

// Names and mail addresses count whatever their case, callers by network.
QString subjectOf(Limit limit, const QString &subject)
{
    switch (limit) {
    case Limit::ClientLoginName:
    case Limit::AdminLoginName:
    case Limit::MailsToRecipient:
    case Limit::CopiesToRecipient: return nameKey(subject);
    case Limit::ClientLoginAddress:
    case Limit::AdminLoginAddress:
    case Limit::Registration: return network(subject);
    default: return subject;
    }
}

int maximumOf(const Policy &p, Limit limit)
{
    switch (limit) {
    case Limit::ClientLoginName:
    case Limit::AdminLoginName: return p.loginFailuresPerName;
    case Limit::ClientLoginAddress:
    case Limit::AdminLoginAddress: return p.loginFailuresPerAddress;
    case Limit::Registration: return p.registrationsPerAddress;
    case Limit::MailsByAdmin: return p.mailsPerAdmin;
    case Limit::MailsToRecipient: return p.mailsPerRecipient;
    case Limit::AlertsByToken: return p.alertsPerToken;
    case Limit::CopiesByAdmin: return p.copiesPerAdmin;
    case Limit::CopiesToRecipient: return p.copiesPerRecipient;
    case Limit::ConsoleAlertsByAdmin: return p.consoleAlertsPerAdmin;
    }
    return 0;
}

} // namespace

qint64 Limits::windowLeft(Connection &db, Limit limit, const QString &subject) const
{
    const LimitRule rule = ruleOf(limit);
    const auto start = db.scalar<qint64>("SELECT window_start FROM limits WHERE scope = ? AND subject = ?",
                                         QString::fromLatin1(rule.scope), subjectOf(limit, subject));
    const qint64 left = start ? *start + rule.window - now() : rule.window;
    return std::clamp<qint64>(left, 1, rule.window);
}

bool Limits::over(Connection &db, Limit limit, const QString &subject) const
{
    const int maximum = maximumOf(m_policy, limit);
    if (maximum <= 0)
        return false;
    const LimitRule rule = ruleOf(limit);
    const auto hits = db.scalar<qint64>("SELECT hits FROM limits WHERE scope = ? AND subject = ? AND window_start > ?",
                                        QString::fromLatin1(rule.scope), subjectOf(limit, subject), now() - rule.window);
    return hits && *hits >= maximum;
}

void Limits::count(Connection &db, Limit limit, const QString &subject) const
{
    if (maximumOf(m_policy, limit) <= 0)
        return;
    const LimitRule rule = ruleOf(limit);
    const qint64 t = now();
    // A window that has run out starts again with this hit.
    db.exec("INSERT INTO limits(scope, subject, window_start, hits) VALUES(?,?,?,1) "
            "ON CONFLICT(scope, subject) DO UPDATE SET "
            "hits = CASE WHEN limits.window_start <= ? THEN 1 ELSE limits.hits + 1 END, "
            "window_start = CASE WHEN limits.window_start <= ? THEN ? ELSE limits.window_start END",
            QString::fromLatin1(rule.scope), subjectOf(limit, subject), t, t - rule.window, t - rule.window, t);
}

bool Limits::over(Limit limit, const QString &subject)
{
    return m_db.run([&](Connection &db) { return over(db, limit, subject); });
}

void Limits::count(Limit limit, const QString &subject)
{
    // In a transaction: run again after a lost connection, the hit could
    // count twice.
    m_db.transaction([&](Connection &db) { count(db, limit, subject); });
}

bool Limits::spend(Limit limit, const QString &subject)
{
    return m_db.transaction([&](Connection &db) {
        if (over(db, limit, subject))
            return false;
        count(db, limit, subject);
        return true;
    });
}

bool Limits::reserve(Attempts attempts)
{
    QList<std::pair<Limit, QString>> taken;
    for (const auto &[limit, subject] : attempts) {
        const int maximum = maximumOf(m_policy, limit);
        if (maximum <= 0)
            continue;
        const LimitRule rule = ruleOf(limit);
        // Named outside the statement's lambda: clang 14 cannot capture a
        // structured binding.
        const QString key = subjectOf(limit, subject);
        const qint64 t = now();
        // One statement takes the attempt or finds the limit reached (no
        // row): nothing can come between the two. Run again after a lost
        // connection it may count once more, never less.
        const bool ok = m_db.run([&](Connection &db) {
            return db.scalar<qint64>(
                       "INSERT INTO limits(scope, subject, window_start, hits) VALUES(?,?,?,1) "
                       "ON CONFLICT(scope, subject) DO UPDATE SET "
                       "hits = CASE WHEN limits.window_start <= ? THEN 1 ELSE limits.hits + 1 END, "
                       "window_start = CASE WHEN limits.window_start <= ? THEN ? ELSE limits.window_start END "
                       "WHERE limits.window_start <= ? OR limits.hits < ? RETURNING hits",
                       QString::fromLatin1(rule.scope), key, t, t - rule.window, t - rule.window,
                       t, t - rule.window, maximum)
                .has_value();
        });
        if (!ok) {
            for (const auto &[l, s] : taken)
                giveBack({{l, s}});
            return false;
        }
        taken.append({limit, subject});
    }
    return true;
}

void Limits::giveBack(Attempts attempts)
{
    for (const auto &[limit, subject] : attempts) {
        if (maximumOf(m_policy, limit) <= 0)
            continue;
        const LimitRule rule = ruleOf(limit);
        const QString key = subjectOf(limit, subject);
        // In a transaction: run again after a lost connection, it could give
        // back twice.
        m_db.transaction([&](Connection &db) {
            db.exec("UPDATE limits SET hits = hits - 1 WHERE scope = ? AND subject = ? AND hits > 0 AND window_start > ?",
                    QString::fromLatin1(rule.scope), key, now() - rule.window);
        });
    }
}

void Limits::dropExpired(Connection &db, qint64 t)
{
    db.exec("DELETE FROM limits WHERE window_start <= ?", t - kDayWindow);
}

} // namespace alertserver
