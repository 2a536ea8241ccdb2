#include "server/controllers/AdminPages.h"

#include "server/mail/MailDelivery.h"
#include "server/pages/MailTexts.h"
#include "server/pages/Markup.h"
#include "server/pages/Pages.h"
#include "server/store/Store.h"
#include "server/validation/Fields.h"
#include "server/web/AccessLog.h"
#include "server/web/Links.h"
#include "server/web/Router.h"

#include <QHash>
#include <QSet>

namespace alertserver {

using namespace replies;
using validation::Field;

namespace {

// What the add and the edit dialogs both send about a user.
const QList<Field> kUserDetails{{"password", limits::kPassword, true},
                                {"lastname", limits::kName, false},
                                {"firstname", limits::kName, false},
                                {"telnos", limits::kPhone, false},
                                {"email", limits::kEmail, false},
                                {"wirelessno", limits::kPhone, false},
                                {"serviceprovider", limits::kName, false}};

UserFields userFields(const FormData &form)
{
    UserFields u;
    u.username = form.value(QStringLiteral("username"));
    u.password = form.value(QStringLiteral("password"));
    u.firstname = form.value(QStringLiteral("firstname"));
    u.lastname = form.value(QStringLiteral("lastname"));
    u.tel = form.value(QStringLiteral("telnos"));
    u.email = form.value(QStringLiteral("email"));
    u.wirelessno = form.value(QStringLiteral("wirelessno"));
    u.carrier = form.value(QStringLiteral("serviceprovider"));
    return u;
}

// Who the audit trail names for an administrator known by id.
QString administrator(int id)
{
    return QStringLiteral("administrator %1").arg(id);
}

} // namespace

// A refused id counts against the caller's address as a failed login does,
// so that ids cannot be guessed from one address: past the limit every id is
// refused there, the right one too, until the window ends.
template <typename Check>
bool AdminPages::callerMay(const HttpRequest &request, Check &&check)
{
    const QString address = QString::fromLatin1(request.peer);
    Limits &limits = m_store.limits();
    if (!limits.reserve({{Limit::AdminLoginAddress, address}}))
        return false;
    if (!check(address))
        return false;
    limits.giveBack({{Limit::AdminLoginAddress, address}});
    return true;
}

bool AdminPages::boundToCaller(std::optional<int> adminId, const HttpRequest &request)
{
    return callerMay(request, [&](const QString &address) { return adminId && m_store.admins().isBound(*adminId, address); });
}

std::optional<int> AdminPages::ownerBoundToCaller(std::optional<int> userId, const HttpRequest &request)
{
    std::optional<int> owner;
    const bool bound = callerMay(request, [&](const QString &address) {
        owner = userId ? m_store.admins().ownerBoundTo(*userId, address) : std::nullopt;
        return owner.has_value();
    });
    return bound ? owner : std::nullopt;
}

HttpReply AdminPages::registerAdmin(PageRequest &r)
{
    const FormData &f = r.body;
    const QString problem = validation::formProblem(f, {{"username", limits::kUserName, true},
                                                        {"password", limits::kPassword, true},
                                                        {"firstname", limits::kName, false},
                                                        {"lastname", limits::kName, false},
                                                        {"affiliate", limits::kName, false},
                                                        {"address", limits::kAddress, false},
                                                        {"email", limits::kEmail, true},
                                                        {"country", limits::kName, false},
                                                        {"state", limits::kName, false},
                                                        {"city", limits::kName, false},
                                                        {"postalcode", limits::kPostalCode, false},
                                                        {"telno", limits::kPhone, false}});
    if (!problem.isEmpty())
        return xmlError(400, problem);
    AdminRegistration reg;
    reg.username = f.value(QStringLiteral("username"));
    reg.password = f.value(QStringLiteral("password"));
    reg.firstname = f.value(QStringLiteral("firstname"));
    reg.lastname = f.value(QStringLiteral("lastname"));
    reg.company = f.value(QStringLiteral("affiliate"));
    reg.address = f.value(QStringLiteral("address"));
    // "email" comes twice: first the telephone, then the address; the last wins.
    reg.email = f.value(QStringLiteral("email"));
    reg.tel = f.value(QStringLiteral("telno"));
    reg.country = f.value(QStringLiteral("country"));
    reg.state = f.value(QStringLiteral("state"));
    reg.city = f.value(QStringLiteral("city"));
    reg.postalcode = f.value(QStringLiteral("postalcode"));
    reg.regtype = f.value(QStringLiteral("regtype")).left(16);
    if (!validation::isMailAddress(reg.email))
        return xmlError(400, QStringLiteral("field email is not an e-mail address"));
    // The operator's registration policy; a refusal is an ERROR reply, which
    // the wizard reads as a failed registration.
    const Policy &policy = m_store.policy();
    const QString domain = reg.email.section(u'@', -1).toLower();
    if (policy.registration == Policy::Registration::Closed
        || (!policy.registrationDomains.isEmpty() && !policy.registrationDomains.contains(domain))) {
        const bool closed = policy.registration == Policy::Registration::Closed;
        accesslog::audit(reg.username, r.http.peer,
                         closed ? QStringLiteral("registration refused: registration is closed")
                                : QStringLiteral("registration refused: e-mail domain %1 not allowed").arg(domain));
        return xmlError(403, closed ? QStringLiteral("registration is closed on this server")
                                    : QStringLiteral("this server takes registrations only from its own e-mail domains"));
    }
    const QString address = QString::fromLatin1(r.http.peer);
    if (!m_store.limits().spend(Limit::Registration, address)) {
        accesslog::audit(reg.username, r.http.peer, QStringLiteral("registration refused: too many from this address"));
        return xmlError(429, QStringLiteral("too many registrations from this address, try again tomorrow"));
    }

    const QString base = m_links.base();
    const Admins::RegisterResult result = m_store.admins().registerAdmin(
        reg, [&](int, const QByteArray &code) { return mailtexts::activation(reg.email, base, code); });
    auto audit = [&](const QString &what) { accesslog::audit(reg.username, r.http.peer, what); };
    switch (result.outcome) {
    case Admins::Registration::NameTaken:
        audit(QStringLiteral("registration refused: name taken"));
        return xml(statusReply(QStringLiteral("USERNAMEEXISTS")));
    case Admins::Registration::Full:
        audit(QStringLiteral("registration refused: no ids left"));
        return xmlError(507, QStringLiteral("no more administrator accounts can be created"));
    case Admins::Registration::MailLimited:
        audit(QStringLiteral("registration refused: too many mails to %1").arg(reg.email));
        return xmlError(429, QStringLiteral("too many mails to this address, try again tomorrow"));
    case Admins::Registration::Registered:
        audit(QStringLiteral("registered as %1, activation mail queued to %2").arg(administrator(result.id), reg.email));
        break;
    case Admins::Registration::Resent:
        audit(QStringLiteral("registered again, activation mail queued again to %1").arg(reg.email));
        break;
    }
    m_store.admins().bind(result.id, address);
    m_mail.queued();
    return xml(statusReply(QStringLiteral("REGISTEROK"), result.id));
}

HttpReply AdminPages::activate(PageRequest &r)
{
    const QString code = r.query.value(QStringLiteral("code"));
    const bool plausible = !code.isEmpty() && code.size() <= 64
        && std::all_of(code.cbegin(), code.cend(), [](QChar ch) { return (ch >= u'0' && ch <= u'9') || (ch >= u'a' && ch <= u'f'); });
    // Under approval the link only shows that the address is the
    // requester's: the operator's approve-admin activates the account.
    const bool approval = m_store.policy().registration == Policy::Registration::Approve;
    const auto name = plausible ? m_store.admins().activate(code.toLatin1(), approval) : std::nullopt;
    if (!name) {
        accesslog::audit({}, r.http.peer, QStringLiteral("activation refused: unknown or used link"));
        return html(pages::simple(QStringLiteral("Activation"),
                                  {QStringLiteral("This activation link is not known or has been used already.")}),
                    404);
    }
    if (approval) {
        accesslog::audit(*name, r.http.peer, QStringLiteral("address confirmed through the mail's link, waits for approval"));
        return html(pages::simple(QStringLiteral("Account waiting for approval"),
                                  {QStringLiteral("The e-mail address of the administrator account %1 is confirmed.").arg(*name),
                                   QStringLiteral("The account becomes active once the server's operator approves it.")}));
    }
    accesslog::audit(*name, r.http.peer, QStringLiteral("activated through the mail's link"));
    return html(pages::simple(QStringLiteral("Account activated"),
                              {QStringLiteral("The administrator account %1 is active now.").arg(*name),
                               QStringLiteral("Log in with the Kestrup administrator wizard to add your users.")}));
}

HttpReply AdminPages::login(PageRequest &r)
{
    const QString problem = validation::formProblem(
        r.body, {{"username", limits::kUserName, false}, {"password", limits::kPassword, false}});
    if (!problem.isEmpty())
        return xmlError(400, problem);
    const QString name = r.body.value(QStringLiteral("username"));
    const QString address = QString::fromLatin1(r.http.peer);
    // The attempt is taken before the slow hash, so logins sent at once
    // cannot check more guesses than the limit; a right password gives it back.
    Limits &limits = m_store.limits();
    const Limits::Attempts attempt{{Limit::AdminLoginName, name}, {Limit::AdminLoginAddress, address}};
    auto audit = [&](const QString &what) { accesslog::audit(name, r.http.peer, what); };
    if (!limits.reserve(attempt)) {
        audit(QStringLiteral("login refused: too many failed logins"));
        return kLoginRefusal.turnedDown(429);
    }
    const auto [outcome, id] = m_store.admins().login(name, r.body.value(QStringLiteral("password")));
    if (outcome != Admins::Login::Invalid)
        limits.giveBack(attempt);
    switch (outcome) {
    case Admins::Login::LoggedIn:
        m_store.admins().bind(id, address);
        audit(QStringLiteral("logged in as %1").arg(administrator(id)));
        return xml(statusReply(QStringLiteral("LOGINOK"), id));
    case Admins::Login::NotActive:
        audit(QStringLiteral("login refused: not activated"));
        return xml(statusReply(QStringLiteral("NOTACTIVE")));
    case Admins::Login::Expired:
        audit(QStringLiteral("login refused: expired"));
        return xml(statusReply(QStringLiteral("EXPIRED")));
    case Admins::Login::Invalid: break;
    }
    audit(QStringLiteral("login failed: wrong name or password"));
    return xml(statusReply(QStringLiteral("INVALID")));
}

HttpReply AdminPages::listUsers(PageRequest &r)
{
    const auto adminId = validation::parseId(r.query.value(QStringLiteral("mrgID")));
    if (!boundToCaller(adminId, r.http))
        return kUserListRefusal.turnedDown(403);
    XmlReply reply(QStringLiteral("users"));
    for (const UserRecord &u : m_store.users().of(*adminId)) {
        // The nine children in the order the user list reads them.
        reply.open(QStringLiteral("user"))
            .element(QStringLiteral("id"), QString::number(u.id))
            .element(QStringLiteral("username"), u.username)
            .element(QStringLiteral("lastname"), u.lastname)
            .element(QStringLiteral("firstname"), u.firstname)
            .element(QStringLiteral("tel"), u.tel)
            .element(QStringLiteral("email"), u.email)
            .element(QStringLiteral("wirelessno"), u.wirelessno)
            .element(QStringLiteral("carrier"), u.carrier)
            .element(QStringLiteral("password"), u.password)
            .close();
    }
    return xml(reply.finish());
}

HttpReply AdminPages::addUser(PageRequest &r)
{
    const QString problem = validation::formProblem(
        r.body, QList<Field>{{"username", limits::kUserName, true}} + kUserDetails + QList<Field>{{"mrgID", 10, true}});
    if (!problem.isEmpty())
        return xmlError(400, problem);
    const UserFields fields = userFields(r.body);
    if (!fields.email.isEmpty() && !validation::isMailAddress(fields.email))
        return xmlError(400, QStringLiteral("field email is not an e-mail address"));
    const auto adminId = validation::parseId(r.body.value(QStringLiteral("mrgID")));
    if (!boundToCaller(adminId, r.http))
        return kAddUserRefusal.turnedDown(403);
    const int most = m_store.policy().usersPerAdmin > 0 ? m_store.policy().usersPerAdmin : kMaxId;
    const int share = kMaxId - m_store.policy().reservedUserIds;
    const auto [outcome, id] = m_store.users().add(*adminId, fields, most, share);
    if (outcome == Users::Addition::Added)
        accesslog::audit(administrator(*adminId), r.http.peer, QStringLiteral("user %1 added (id %2)").arg(fields.username).arg(id));
    switch (outcome) {
    case Users::Addition::Added: return xml(statusReply(QStringLiteral("USERADDED"), id));
    case Users::Addition::NameTaken:
    case Users::Addition::Full: return xml(statusReply(QStringLiteral("CANOTADD")));
    case Users::Addition::NoAdmin: break;
    }
    return xmlError(404, QStringLiteral("unknown administrator"));
}

HttpReply AdminPages::editUser(PageRequest &r)
{
    const QString problem = validation::formProblem(r.body, kUserDetails + QList<Field>{{"id", 10, true}});
    if (!problem.isEmpty())
        return xmlError(400, problem);
    const UserFields fields = userFields(r.body);
    if (!fields.email.isEmpty() && !validation::isMailAddress(fields.email))
        return xmlError(400, QStringLiteral("field email is not an e-mail address"));
    // Another administrator's user is refused as an unknown one.
    const auto id = validation::parseId(r.body.value(QStringLiteral("id")));
    const auto owner = ownerBoundToCaller(id, r.http);
    if (!owner || !m_store.users().edit(*id, fields))
        return xmlError(404, QStringLiteral("unknown user"));
    accesslog::audit(administrator(*owner), r.http.peer, QStringLiteral("user %1 edited").arg(*id));
    return xml(statusReply(QStringLiteral("EDITUSER"), *id));
}

HttpReply AdminPages::deleteUser(PageRequest &r)
{
    const auto id = validation::parseId(r.query.value(QStringLiteral("id")));
    const auto owner = ownerBoundToCaller(id, r.http);
    if (!owner || !m_store.users().remove(*id))
        return kUserListRefusal.turnedDown(404);
    accesslog::audit(administrator(*owner), r.http.peer, QStringLiteral("user %1 deleted").arg(*id));
    return xml(statusReply(QStringLiteral("DELETEOK"), *id));
}

HttpReply AdminPages::sendEmail(PageRequest &r)
{
    // The id in the address is the selected row's; the administrator is the
    // one in the body.
    const FormData &f = r.body;
    if (f.value(QStringLiteral("v1")) != QLatin1String(kMailAccessCode))
        return kUserListRefusal.turnedDown(403);
    const auto adminId = validation::parseId(f.value(QStringLiteral("mrgID")));
    if (!boundToCaller(adminId, r.http))
        return kUserListRefusal.turnedDown(403);
    const QList<QString> addresses = f.all(QStringLiteral("mails[]"));
    if (addresses.size() > kMaxId)
        return kUserListRefusal.turnedDown(400);

    // Mail goes only to addresses of this administrator's own users, once
    // per address, so the page cannot be used to send mail to strangers.
    QHash<QString, QString> ownAddresses; // folded -> as stored
    for (const UserRecord &u : m_store.users().of(*adminId))
        if (validation::isMailAddress(u.email))
            ownAddresses.insert(nameKey(u.email), u.email);
    QSet<QString> done;
    QList<Mail> mails;
    for (const QString &address : addresses) {
        const QString key = nameKey(address);
        if (done.contains(key) || !ownAddresses.contains(key))
            continue;
        done.insert(key);
        mails.append(mailtexts::downloadLink(ownAddresses.value(key), m_links.base()));
    }
    const int sent = m_store.mailQueue().queueFrom(*adminId, mails);
    accesslog::audit(administrator(*adminId), r.http.peer,
                     QStringLiteral("download-link mails queued: %1 of %2 asked").arg(sent).arg(addresses.size()));
    m_mail.queued();
    return xml(statusReply(QStringLiteral("MSGSEND"), sent));
}

} // namespace alertserver
