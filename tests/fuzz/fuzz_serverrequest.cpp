// Any request to the reference alert server, below the socket layer: the
// input is "METHOD\nTARGET\nHOST\nBODY" ("!" before the method: from another
// machine than the one the administrator signed in from). Every request is answered with a plain status, an XML reply is
// well-formed, and the seeded administrator and user survive whatever comes.
#include "server/controllers/AlertService.h"
#include "server/mail/MailDelivery.h"
#include "server/mail/Outbox.h"
#include "server/skins/SkinLibrary.h"
#include "server/store/Store.h"

#include "common/PositionalXml.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

struct World
{
    QTemporaryDir dir;
    std::unique_ptr<alertserver::Store> store;
    std::unique_ptr<alertserver::Outbox> outbox;
    std::unique_ptr<alertserver::MailDelivery> mail;
    std::unique_ptr<alertserver::SkinLibrary> skins;
    std::unique_ptr<alertserver::AlertService> service;
    int adminId = 0;
    int userId = 0;

    World()
    {
        // Few hash iterations: the fuzzer is after parsing, not password cost.
        store = std::make_unique<alertserver::Store>(dir.filePath(QStringLiteral("store.db")), 1);
        outbox = std::make_unique<alertserver::Outbox>(dir.filePath(QStringLiteral("outbox")));
        mail = std::make_unique<alertserver::MailDelivery>(store->mailQueue(), *outbox);
        skins = std::make_unique<alertserver::SkinLibrary>(dir.filePath(QStringLiteral("skins")));
        skins->ensureDefaultSkin();
        service = std::make_unique<alertserver::AlertService>(*store, *mail, *skins,
                                                              QStringLiteral("http://127.0.0.1:8080"));
        alertserver::AdminRegistration reg;
        reg.username = QStringLiteral("admin");
        reg.password = QStringLiteral("admin123");
        reg.email = QStringLiteral("admin@example.com");
        adminId = store->admins().registerAdmin(reg).id;
        store->admins().activateByName(reg.username);
        store->admins().bind(adminId, QStringLiteral("127.0.0.1"));
        alertserver::UserFields user;
        user.username = QStringLiteral("demo");
        user.password = QStringLiteral("demo123");
        user.email = QStringLiteral("demo@example.com");
        userId = store->users().add(adminId, user).second;
    }
};

World &world()
{
    static World w;
    return w;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static int runs = 0;
    World &w = world();
    QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    alertserver::HttpRequest request;
    const bool stranger = input.startsWith('!');
    request.peer = stranger ? "127.0.0.2" : "127.0.0.1";
    if (stranger)
        input.remove(0, 1);
    const QList<QByteArray> parts = input.split('\n');
    request.method = parts.value(0);
    request.target = parts.value(1);
    request.host = parts.value(2);
    // The body is everything after the third line end, line ends included.
    qsizetype at = 0;
    for (int i = 0; i < 3 && at >= 0; ++i)
        at = input.indexOf('\n', at) < 0 ? -1 : input.indexOf('\n', at) + 1;
    request.body = at < 0 ? QByteArray() : input.mid(at);

    const alertserver::HttpReply reply = w.service->handle(request);
    if (reply.status < 200 || reply.status > 599 || reply.contentType.isEmpty())
        __builtin_trap();
    if (reply.contentType.startsWith("text/xml")) {
        common::PositionalXml xml;
        if (!xml.loadText(reply.body))
            __builtin_trap();
    }
    // Deleting the seeded user is a legitimate request; the administrator row
    // can only go through a failed registration, which is never the seed's.
    if (!w.store->admins().isUsable(w.adminId))
        __builtin_trap();

    // Registrations and e-mails leave files behind; keep the folder small.
    if (++runs % 2000 == 0)
        QDir(w.outbox->folder()).removeRecursively();
    return 0;
}
