#include "server/controllers/AlertService.h"

#include "server/store/Store.h"

#include <QJsonObject>

#include <algorithm>

namespace alertserver {

namespace {

// A row's page: a member function of one of the controllers.
template <typename Controller>
Page page(Controller &controller, HttpReply (Controller::*serve)(PageRequest &))
{
    return [&controller, serve](PageRequest &r) { return (controller.*serve)(r); };
}

} // namespace

AlertService::AlertService(Store &store, MailDelivery &mail, const SkinLibrary &skins, QString fallbackBase)
    : m_store(store), m_links(std::move(fallbackBase)), m_client(store, m_links), m_skins(skins, m_links),
      m_admin(store, mail, m_links), m_publishing(store, mail)
{
    using M = Methods;
    m_router.addArea(QByteArrayLiteral("/api/"), Refusal::Form::Json, Router::Bodies::Raw);

    // The client's pages.
    m_router.add({"/alertsystem/status.php", M::Get, page(m_client, &ClientPages::status)});
    m_router.add({"/alertsystem/login.php", M::Get, page(m_client, &ClientPages::login)});
    m_router.add({"/alertsystem/alerts.php", M::GetOrHead, page(m_client, &ClientPages::alerts)});
    m_router.add({"/alertsystem/acknowledge.php", M::Post, page(m_client, &ClientPages::acknowledge)});
    m_router.add({"/alertsystem/profile.php", M::GetOrHead, page(m_client, &ClientPages::profile)});
    m_router.add({"/alertsystem/download.php", M::GetOrHead, page(m_client, &ClientPages::download)});
    m_router.add({"/alertsystem/pages/", M::GetOrHead, page(m_client, &ClientPages::linkPage)});

    // Skins and their pictures.
    m_router.add({"/alertsystem/notifytype.php", M::GetOrHead, page(m_skins, &SkinFiles::values)});
    m_router.add({"/alertsystem/skins/", M::GetOrHead, page(m_skins, &SkinFiles::picture)});

    // The wizard's pages. The activation link is opened in a browser; the
    // wizard's own requests never come from one.
    const Refusal userList = AdminPages::kUserListRefusal;
    m_router.add({"/alertsystem/admin/activate.php", M::Get, page(m_admin, &AdminPages::activate)});
    // Registrations and logins hash passwords: they run on a pool of their own.
    m_router.add({"/alertsystem/admin/register.php", M::Post, page(m_admin, &AdminPages::registerAdmin), {}, true, true});
    m_router.add({"/alertsystem/admin/login.php", M::Post, page(m_admin, &AdminPages::login),
                  AdminPages::kLoginRefusal, true, true});
    m_router.add({"/alertsystem/admin/getusers.php", M::Get, page(m_admin, &AdminPages::listUsers), userList, true});
    m_router.add({"/alertsystem/admin/adduser.php", M::Post, page(m_admin, &AdminPages::addUser),
                  AdminPages::kAddUserRefusal, true});
    m_router.add({"/alertsystem/admin/edituser.php", M::Post, page(m_admin, &AdminPages::editUser), {}, true});
    m_router.add({"/alertsystem/admin/deleteuser.php", M::Get, page(m_admin, &AdminPages::deleteUser), userList, true});
    // The download mail to every user of the largest list an administrator
    // may keep: one "mails[]=" field each, its address escaped at worst.
    Route mailing{"/alertsystem/admin/sendemail.php", M::Post, page(m_admin, &AdminPages::sendEmail), userList, true};
    mailing.maxBody = [&store] {
        constexpr qint64 perUser = 10 + 3 * limits::kEmail;
        const int most = store.policy().usersPerAdmin;
        return most > 0 ? std::min<qint64>(limits::kMaxFormBodyBytes + perUser * most, 64LL * limits::kMaxBodyBytes)
                        : 64LL * limits::kMaxBodyBytes;
    };
    m_router.add(std::move(mailing));

    // The publishing interface: a new alert's text and its recipients, the
    // alerts raised and their receipts.
    Route publishing{"/api/v1/alerts", M::GetOrPost, page(m_publishing, &Publishing::alerts)};
    publishing.maxBody = [] { return qint64(limits::kMaxApiBodyBytes); };
    m_router.add(std::move(publishing));
    m_router.add({"/api/v1/alerts/", M::Get, page(m_publishing, &Publishing::one)});
    // Monitoring systems' webhooks: a group of alerts at a time.
    Route webhooks{"/api/v1/webhooks/alertmanager", M::Post, page(m_publishing, &Publishing::webhook)};
    webhooks.maxBody = [] { return qint64(Publishing::kMaxWebhookBodyBytes); };
    m_router.add(std::move(webhooks));

    // For load balancers and monitoring.
    m_router.add({"/healthz", M::GetOrHead, [this](PageRequest &) { return health(); }});
}

HttpReply AlertService::handle(const HttpRequest &request)
{
    switch (m_names.check(request)) {
    case ServerNames::Verdict::Accepted:
        return m_router.handle(request);
    case ServerNames::Verdict::Malformed:
        return m_router.refusal(request.target, 400, QStringLiteral("malformed request"));
    case ServerNames::Verdict::Misdirected:
        break;
    }
    return m_router.refusal(request.target, 421, QStringLiteral("this server does not answer to that name"));
}

// Whether the store answers, the mail waiting, and the connections open:
// counts only, nothing a stranger could use, so no credentials are asked.
HttpReply AlertService::health() const
{
    QJsonObject report;
    bool reachable = true;
    try {
        report[QStringLiteral("mail_queued")] = double(m_store.mailQueue().waiting());
    } catch (const std::exception &) {
        reachable = false;
    }
    report[QStringLiteral("store")] = reachable ? QStringLiteral("ok") : QStringLiteral("unreachable");
    if (m_connections)
        report[QStringLiteral("connections")] = m_connections();
    HttpReply reply = replies::json(reachable ? 200 : 503, report);
    reply.headers.append({QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store")});
    return reply;
}

} // namespace alertserver
