#pragma once

#include "server/controllers/AdminPages.h"
#include "server/controllers/ClientPages.h"
#include "server/controllers/Publishing.h"
#include "server/controllers/SkinFiles.h"
#include "server/web/Http.h"
#include "server/web/Links.h"
#include "server/web/Router.h"

#include <QString>

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

    HttpReply handle(const HttpRequest &request) override { return m_router.handle(request); }
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

    // Both are set before serving starts; see Links.
    void setFallbackBase(const QString &base) { m_links.setFallbackBase(base); }
    void setPublicBase(const QString &base) { m_links.setPublicBase(base); }

private:
    Links m_links;
    ClientPages m_client;
    SkinFiles m_skins;
    AdminPages m_admin;
    Publishing m_publishing;
    Router m_router;
};

} // namespace alertserver
