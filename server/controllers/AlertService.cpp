#include "server/controllers/AlertService.h"

#include "server/pages/Pages.h"
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
      m_admin(store, mail, m_links), m_publishing(store, mail), m_consoleGuard(store, m_links, m_names),
      m_consoleSignIn(store, m_consoleGuard), m_consoleFiles(m_consoleGuard), m_consoleApi(store, mail)
{
    using M = Methods;
    m_router.addArea(QByteArrayLiteral("/api/"), Refusal::Form::Json, Router::Bodies::Raw);
    m_router.addArea(QByteArrayLiteral("/console/api/"), Refusal::Form::Json, Router::Bodies::Raw);
    m_router.addArea(QByteArrayLiteral("/console/"), Refusal::Form::NotXml, Router::Bodies::Raw);

    // The client's pages.
    m_router.add({"/alertsystem/status.php", M::Get, page(m_client, &ClientPages::status)});
    m_router.add({"/alertsystem/login.php", M::Get, page(m_client, &ClientPages::login)});
    m_router.add({"/alertsystem/alerts.php", M::GetOrHead, page(m_client, &ClientPages::alerts)});
    m_router.add({"/alertsystem/acknowledge.php", M::Post, page(m_client, &ClientPages::acknowledge)});
    m_router.add({"/alertsystem/profile.php", M::GetOrHead, page(m_client, &ClientPages::profile)});
    m_router.add({"/alertsystem/download.php", M::GetOrHead, page(m_client, &ClientPages::download)});
    m_router.add({"/alertsystem/pages/", M::GetOrHead, page(m_client, &ClientPages::linkPage)});

    // The style sheet of every page above.
    m_router.add({pages::kStyleSheetPath, M::GetOrHead, [](PageRequest &) {
                      HttpReply sheet{200, "text/css; charset=UTF-8", pages::styleSheet()};
                      sheet.headers.append({QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("max-age=3600")});
                      return sheet;
                  }});

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

    // The publisher console: its files, signing in and out. Signing in
    // hashes a password, as the wizard's login does.
    for (const QByteArray &path : m_consoleFiles.paths()) {
        Route file{path, M::GetOrHead, [this](PageRequest &r) { return m_consoleFiles.serve(r); }};
        file.exact = true;
        m_router.add(std::move(file));
    }
    m_router.add({"/console/api/signin", M::Post, [this](PageRequest &r) { return m_consoleSignIn.signIn(r); }, {}, false, true});
    addConsole("/console/api/session", M::Get,
               [this](PageRequest &r, const ConsoleCaller &c) { return m_consoleSignIn.session(r, c); });
    addConsole("/console/api/signout", M::Post,
               [this](PageRequest &r, const ConsoleCaller &c) { return m_consoleSignIn.signOut(r, c); });

    // What a signed-in administrator reads and sends.
    addConsole("/console/api/users", M::Get,
               [this](PageRequest &r, const ConsoleCaller &c) { return m_consoleApi.users(r, c); });
    addConsole("/console/api/alerts", M::GetOrPost,
               [this](PageRequest &r, const ConsoleCaller &c) { return m_consoleApi.alerts(r, c); },
               ConsoleApi::kMaxSendBody);
    addConsole("/console/api/alerts/", M::Get,
               [this](PageRequest &r, const ConsoleCaller &c) { return m_consoleApi.alert(r, c); });
    addConsole("/console/api/tokens", M::GetOrPost,
               [this](PageRequest &r, const ConsoleCaller &c) { return m_consoleApi.tokens(r, c); },
               ConsoleApi::kMaxTokenBody, true); // a new token asks for the password again
    addConsole("/console/api/tokens/revoke", M::Post,
               [this](PageRequest &r, const ConsoleCaller &c) { return m_consoleApi.revokeToken(r, c); },
               ConsoleApi::kMaxTokenBody);

    // For load balancers and monitoring.
    m_router.add({"/healthz", M::GetOrHead, [this](PageRequest &) { return health(); }});
}

void AlertService::addConsole(QByteArray path, Methods methods, ConsolePage page, qint64 maxBody, bool hashes)
{
    Route route{std::move(path), methods, [this, page = std::move(page)](PageRequest &r) { return m_consoleGuard.serve(r, page); }};
    route.hashes = hashes;
    if (maxBody > 0)
        route.maxBody = [maxBody] { return maxBody; };
    m_router.add(std::move(route));
}

HttpReply AlertService::handle(const HttpRequest &request)
{
    switch (m_names.check(request)) {
    case ServerNames::Verdict::Accepted:
        return finished(request.target, m_router.handle(request));
    case ServerNames::Verdict::Malformed:
        return refusal(request.target, 400, QStringLiteral("malformed request"));
    case ServerNames::Verdict::Misdirected:
        break;
    }
    return refusal(request.target, 421, QStringLiteral("this server does not answer to that name"));
}

HttpReply AlertService::refusal(const QByteArray &target, int status, const QString &why) const
{
    return finished(target, m_router.refusal(target, status, why));
}

HttpReply AlertService::finished(const QByteArray &target, HttpReply reply)
{
    QByteArray path = target.first(target.contains('?') ? target.indexOf('?') : target.size());
    while (path.contains("//"))
        path.replace("//", "/");
    // No page of the server runs script or style of its own inline, nor may
    // be framed, so no page of this origin is a way round the console's.
    if (reply.contentType.startsWith("text/html")) {
        reply.headers.append({QByteArrayLiteral("Content-Security-Policy"),
                              QByteArrayLiteral("default-src 'self'; frame-ancestors 'none'; form-action 'self'; base-uri 'none'")});
        reply.headers.append({QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff")});
        reply.headers.append({QByteArrayLiteral("X-Frame-Options"), QByteArrayLiteral("DENY")});
        reply.headers.append({QByteArrayLiteral("Referrer-Policy"), QByteArrayLiteral("no-referrer")});
    } else if (path.startsWith("/console/")) {
        // The console's script and style are taken as nothing but what they say.
        reply.headers.append({QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff")});
    }
    if (path.startsWith("/console/api/")) {
        const bool set = std::any_of(reply.headers.cbegin(), reply.headers.cend(),
                                     [](const auto &h) { return h.first.compare("Cache-Control", Qt::CaseInsensitive) == 0; });
        if (!set)
            reply.headers.append({QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store")});
    }
    return reply;
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
