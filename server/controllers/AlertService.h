#pragma once

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
    HttpReply refusal(const QByteArray &target, int status, const QString &why) const override
    {
        return m_router.refusal(target, status, why);
    }
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
    // What /healthz reports as the connections open.
    void countConnectionsWith(std::function<int()> count) { m_connections = std::move(count); }

private:
    HttpReply health() const;

    Store &m_store;
    Links m_links;
    ServerNames m_names;
    std::function<int()> m_connections;
    ClientPages m_client;
    SkinFiles m_skins;
    AdminPages m_admin;
    Publishing m_publishing;
    Router m_router;
};

} // namespace alertserver
