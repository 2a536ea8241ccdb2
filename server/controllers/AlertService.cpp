#include "server/controllers/AlertService.h"

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
    : m_links(std::move(fallbackBase)), m_client(store, m_links), m_skins(skins, m_links),
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
    m_router.add({"/alertsystem/admin/sendemail.php", M::Post, page(m_admin, &AdminPages::sendEmail), userList, true});

    // The publishing interface.
    m_router.add({"/api/v1/alerts", M::GetOrPost, page(m_publishing, &Publishing::alerts)});
    m_router.add({"/api/v1/alerts/", M::Get, page(m_publishing, &Publishing::one)});
    // Monitoring systems' webhooks; largest body: Publishing::kMaxWebhookBodyBytes.
    m_router.add({"/api/v1/webhooks/alertmanager", M::Post, page(m_publishing, &Publishing::webhook)});
}

} // namespace alertserver
