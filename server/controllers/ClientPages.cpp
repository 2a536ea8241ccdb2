#include "server/controllers/ClientPages.h"

#include "server/pages/Markup.h"
#include "server/pages/Pages.h"
#include "server/store/Store.h"
#include "server/validation/Fields.h"
#include "server/web/Links.h"
#include "server/web/Replies.h"
#include "server/web/Router.h"
#include "server/store/Clock.h"

#include <QUrl>

namespace alertserver {

using namespace replies;

QString ClientPages::sessionOf(const HttpRequest &request) const
{
    return m_store.policy().sessionPerAddress ? QString::fromLatin1(request.peer)
                                              : QString::fromLatin1(Sessions::kAnyAddress);
}

HttpReply ClientPages::login(PageRequest &r)
{
    const QString problem = validation::formProblem(
        r.query, {{"username", limits::kUserName, false}, {"password", limits::kPassword, false}});
    if (!problem.isEmpty())
        return xml(answerReply(QStringLiteral("login"), QStringLiteral("ERROR")), 400);
    const QString name = r.query.value(QStringLiteral("username"));
    const QString address = QString::fromLatin1(r.http.peer);
    // A session of a caller without an address would be every such caller's.
    if (address.isEmpty() && m_store.policy().sessionPerAddress)
        return notXml(403, "no caller's address to keep a session for");
    Limits &limits = m_store.limits();
    // Never "0" or "ERROR" here: either would switch the client's automatic
    // login off, and the user did nothing wrong. An unreadable answer makes
    // it try again a little later. The attempt is taken before the check and
    // given back when it succeeds, so restarts of a client never lock its
    // user out.
    const Limits::Attempts attempt{{Limit::ClientLoginName, name}, {Limit::ClientLoginAddress, address}};
    if (!limits.reserve(attempt))
        return notXml(429, "too many failed logins, try again later");
    if (!m_store.sessions().login(name, r.query.value(QStringLiteral("password")), sessionOf(r.http)))
        return xml(answerReply(QStringLiteral("login"), QStringLiteral("0")));
    limits.giveBack(attempt);
    return xml(answerReply(QStringLiteral("login"), QStringLiteral("1")));
}

HttpReply ClientPages::status(PageRequest &r)
{
    if (!r.query.has(QStringLiteral("username")))
        return xml(answerReply(QStringLiteral("status"), QStringLiteral("ERROR")), 400);
    const QString name = r.query.value(QStringLiteral("username"));
    // A name that cannot exist is simply not logged in.
    const int s = name.size() > limits::kUserName
        ? 2
        : m_store.sessions().poll(name, sessionOf(r.http), QString::fromLatin1(r.http.peer));
    return xml(answerReply(QStringLiteral("status"), QString::number(s)));
}

HttpReply ClientPages::alerts(PageRequest &r)
{
    const QString name = r.query.value(QStringLiteral("username"));
    auto user = name.size() > limits::kUserName ? std::nullopt : m_store.users().byName(name);
    QList<AlertRecord> list;
    if (user) {
        // "Shown" means served: a GET to a live session shows it the alerts
        // it was told of; HEAD records nothing and needs no forms.
        std::optional<QByteArray> key;
        if (r.http.method == "GET") {
            key = m_store.receipts().shown(user->id, sessionOf(r.http), QString::fromLatin1(r.http.peer));
            user->loggedIn = key.has_value();
        } else {
            user->loggedIn = m_store.sessions().has(user->id, sessionOf(r.http));
        }
        if (user->loggedIn)
            list = m_store.sessions().alertsOf(user->id, kAlertsShown);
        if (key) {
            for (AlertRecord &a : list)
                if (a.hasReceipt && !a.acknowledgedAt)
                    a.ackToken = Receipts::formToken(*key, a.id);
        }
    }
    return html(pages::alerts(user, list, now()));
}

HttpReply ClientPages::acknowledge(PageRequest &r)
{
    const QString problem = validation::formProblem(
        r.body, {{"username", limits::kUserName, false}, {"id", 20, false}, {"token", 64, false}});
    bool isNumber = false;
    const qint64 id = r.body.value(QStringLiteral("id")).toLongLong(&isNumber);
    if (!problem.isEmpty() || !isNumber || id <= 0)
        return html(pages::simple(QStringLiteral("Not acknowledged"), {QStringLiteral("The form is not complete.")}), 400);
    const QString name = r.body.value(QStringLiteral("username"));
    const auto user = m_store.users().byName(name);
    // Another session's form, another address's, or one of a page served
    // before the session was ended: nothing changes.
    if (!user
        || !m_store.receipts().acknowledge(user->id, sessionOf(r.http), id, r.body.value(QStringLiteral("token")).toLatin1(),
                                           QString::fromLatin1(r.http.peer)))
        return html(pages::simple(QStringLiteral("Not acknowledged"),
                                  {QStringLiteral("This form is not for this session. Open your alerts again.")}),
                    403);
    // Back to the page it came from, which now shows the acknowledgement; a
    // reload there repeats no POST.
    HttpReply back = html(pages::simple(QStringLiteral("Acknowledged"), {QStringLiteral("Acknowledged.")}), 303);
    back.headers.append({QByteArrayLiteral("Location"),
                         "alerts.php?username=" + QUrl::toPercentEncoding(user->username)});
    return back;
}

HttpReply ClientPages::profile(PageRequest &r)
{
    const QString name = r.query.value(QStringLiteral("id"));
    auto user = name.size() > limits::kUserName ? std::nullopt : m_store.users().byName(name);
    if (user)
        user->loggedIn = m_store.sessions().has(user->id, sessionOf(r.http));
    return html(pages::profile(user));
}

HttpReply ClientPages::download(PageRequest &)
{
    return html(pages::link(QStringLiteral("download"), m_links.base()));
}

HttpReply ClientPages::linkPage(PageRequest &r)
{
    if (!r.rest.endsWith(".php"))
        return xmlError(404, QStringLiteral("no such page"));
    const QByteArray page = pages::link(QString::fromLatin1(r.rest.chopped(4)), m_links.base());
    return page.isEmpty() ? html(pages::simple(QStringLiteral("Not found"), {QStringLiteral("There is no such page.")}), 404)
                          : html(page);
}

} // namespace alertserver
