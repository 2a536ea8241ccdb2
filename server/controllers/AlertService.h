#pragma once

#include "server/console/ConsoleApi.h"
#include "server/console/ConsoleFiles.h"
#include "server/console/ConsoleGuard.h"
#include "server/console/ConsoleSignIn.h"
#include "server/controllers/AdminPages.h"
#include "server/controllers/ClientPages.h"
#include "server/controllers/Publishing.h"
#include "server/controllers/SkinFiles.h"
#include "server/web/Http.h"
#include "server/web/Links.h"
#include "server/web/Router.h"
#include "server/web/ServerNames.h"

#include <QString>

#include <functional>

namespace alertserver {

class MailDelivery;
class SkinLibrary;
class Store;

// Every page of the server: one controller per surface, and the routing table
// that leads each request to its page (AlertService.cpp). One call per
// request, safe to run on many threads at once.
class AlertService final : public RequestHandler
{
public:
    AlertService(Store &store, MailDelivery &mail, const SkinLibrary &skins, QString fallbackBase);

    // A request whose Host names another server is turned away first.
    HttpReply handle(const HttpRequest &request) override;
    HttpReply refusal(const QByteArray &target, int status, const QString &why) const override;
    bool hashes(const QByteArray &target) const override
    {
        return m_router.hashes(target);
    }
    qint64 bodyLimit(const HttpRequest &head) const override
    {
        return m_router.bodyLimit(head);
    }

    // These are set before serving starts; see Links and ServerNames.
    void setFallbackBase(const QString &base)
    {
        m_links.setFallbackBase(base);
        m_names.setListenBase(base);
    }
    void setPublicBase(const QString &base)
    {
        m_links.setPublicBase(base);
        m_names.setPublicBase(base);
    }
    ServerNames &names() { return m_names; }
    // A route of the console's interface: it answers only a caller with a
    // live session; a POST also needs a JSON body, the session's CSRF token
    // and an Origin that is this server (ConsoleGuard). `maxBody` 0: a
    // form's worth for a POST. `hashes`: the page checks a password, so it
    // runs on the hashing workers.
    void addConsole(QByteArray path, Methods methods, ConsolePage page, qint64 maxBody = 0, bool hashes = false);
    // What /healthz reports as the connections open.
    void countConnectionsWith(std::function<int()> count) { m_connections = std::move(count); }

private:
    HttpReply health() const;
    // What every reply gets by its path or type: the HTML pages' security
    // headers, and no caching of the console's interface.
    static HttpReply finished(const QByteArray &target, HttpReply reply);

    Store &m_store;
    Links m_links;
    ServerNames m_names;
    std::function<int()> m_connections;
    ClientPages m_client;
    SkinFiles m_skins;
    AdminPages m_admin;
    Publishing m_publishing;
    ConsoleGuard m_consoleGuard;
    ConsoleSignIn m_consoleSignIn;
    ConsoleFiles m_consoleFiles;
    ConsoleApi m_consoleApi;
    Router m_router;
};

} // namespace alertserver
