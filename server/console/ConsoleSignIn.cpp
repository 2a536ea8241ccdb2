#include "server/console/ConsoleSignIn.h"

#include "server/store/Database.h"
#include "server/store/Store.h"
#include "server/web/AccessLog.h"
#include "server/web/Replies.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace alertserver {

using namespace replies;

HttpReply ConsoleSignIn::signIn(PageRequest &r)
{
    if (auto refused = m_guard.screen(r.http))
        return *refused;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(r.http.body, &error);
    const QJsonObject body = document.object();
    const QJsonValue nameValue = body.value(QLatin1String("name"));
    const QJsonValue passwordValue = body.value(QLatin1String("password"));
    if (error.error != QJsonParseError::NoError || !document.isObject() || !nameValue.isString()
        || !passwordValue.isString())
        return jsonError(400, QStringLiteral("the body is {\"name\": ..., \"password\": ...}"));
    const QString name = nameValue.toString();
    const QString password = passwordValue.toString();
    if (name.size() > limits::kUserName || password.size() > limits::kPassword)
        return jsonError(400, QStringLiteral("name or password too long"));

    // As the wizard's login: the attempt is taken before the slow hash, per
    // name and per address, and given back unless the password was wrong.
    const QString address = QString::fromLatin1(r.http.peer);
    Limits &limits = m_store.limits();
    const Limits::Attempts attempt{{Limit::AdminLoginName, name}, {Limit::AdminLoginAddress, address}};
    auto audit = [&](const QString &what) { accesslog::audit(name, r.http.peer, what); };
    if (!limits.reserve(attempt)) {
        audit(QStringLiteral("console sign-in refused: too many failed logins"));
        const qint64 wait = m_store.database().run([&](Connection &db) {
            return limits.over(db, Limit::AdminLoginName, name) ? limits.windowLeft(db, Limit::AdminLoginName, name)
                                                                : limits.windowLeft(db, Limit::AdminLoginAddress, address);
        });
        HttpReply reply = jsonError(429, QStringLiteral("too many failed sign-ins, try again later"));
        reply.headers.append({QByteArrayLiteral("Retry-After"), QByteArray::number(wait)});
        return reply;
    }
    const auto [outcome, id] = m_store.admins().login(name, password);
    if (outcome != Admins::Login::Invalid)
        limits.giveBack(attempt);
    switch (outcome) {
    case Admins::Login::Invalid:
        audit(QStringLiteral("console sign-in failed: wrong name or password"));
        return jsonError(401, QStringLiteral("wrong name or password"));
    case Admins::Login::NotActive:
        audit(QStringLiteral("console sign-in refused: not activated"));
        return jsonError(403, QStringLiteral("this account is not activated yet"));
    case Admins::Login::Expired:
        audit(QStringLiteral("console sign-in refused: expired"));
        return jsonError(403, QStringLiteral("this account has expired"));
    case Admins::Login::LoggedIn: break;
    }
    // A session the browser held before ends with the new one.
    const QByteArray previous = m_guard.cookieOf(r.http);
    if (!previous.isEmpty())
        m_store.consoleSessions().end(previous);
    const ConsoleSessions::Opened opened = m_store.consoleSessions().open(id, address);
    audit(QStringLiteral("signed in to the console as administrator %1").arg(id));
    HttpReply reply = json(200, {{QStringLiteral("admin"), opened.adminName},
                                 {QStringLiteral("csrf"), QString::fromLatin1(ConsoleGuard::csrfOf(opened.cookie))}});
    reply.headers.append({QByteArrayLiteral("Set-Cookie"), m_guard.setCookie(r.http, opened.cookie)});
    return reply;
}

HttpReply ConsoleSignIn::session(PageRequest &r, const ConsoleCaller &caller)
{
    return json(200, {{QStringLiteral("admin"), caller.adminName},
                      {QStringLiteral("csrf"), QString::fromLatin1(ConsoleGuard::csrfOf(m_guard.cookieOf(r.http)))}});
}

HttpReply ConsoleSignIn::signOut(PageRequest &r, const ConsoleCaller &caller)
{
    m_store.consoleSessions().end(m_guard.cookieOf(r.http));
    accesslog::audit(QStringLiteral("administrator %1").arg(caller.adminId), r.http.peer,
                     QStringLiteral("signed out of the console"));
    HttpReply reply = json(200, {});
    reply.headers.append({QByteArrayLiteral("Set-Cookie"), m_guard.setCookie(r.http, {})});
    return reply;
}

} // namespace alertserver
