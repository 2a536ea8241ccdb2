#include "server/cli/Serve.h"

#include "server/cli/Options.h"
#include "server/cli/ServeOptions.h"
#include "server/cli/Watchdog.h"
#include "server/controllers/AlertService.h"
#include "server/http/HttpFrontEnd.h"
#include "server/mail/MailDelivery.h"
#include "server/skins/SkinLibrary.h"
#include "server/store/Store.h"

#include <QDir>
#include <QSaveFile>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace alertserver::cli {

namespace {

// Drops what has expired, at start and then every half minute, until it is
// destroyed.
class Housekeeping
{
public:
    explicit Housekeeping(Store &store)
        : m_thread([this, &store] {
              std::unique_lock lock(m_mutex);
              while (!m_stop) {
                  lock.unlock();
                  try {
                      store.sweep();
                  } catch (const std::exception &e) {
                      std::fprintf(stderr, "alertserver: housekeeping: %s\n", e.what());
                  }
                  lock.lock();
                  m_wake.wait_for(lock, std::chrono::seconds(30), [this] { return m_stop; });
              }
          })
    {
    }
    ~Housekeeping()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

// "host:port", "[v6]:port" or a bare port.
bool parseListen(const QString &text, QString *host, int *port)
{
    const qsizetype colon = text.lastIndexOf(u':');
    QString h = colon < 0 ? QStringLiteral("127.0.0.1") : text.left(colon);
    const QString p = colon < 0 ? text : text.mid(colon + 1);
    if (h.startsWith(u'[') && h.endsWith(u']'))
        h = h.mid(1, h.size() - 2);
    bool ok = false;
    const int n = p.toInt(&ok);
    if (!ok || n < 0 || n > 65535 || h.isEmpty())
        return false;
    *host = h;
    *port = n;
    return true;
}

} // namespace

int serve(const Options &o, const QString &folder)
{
    QString host = QStringLiteral("127.0.0.1");
    int port = 8080;
    if (o.has(QStringLiteral("--listen")) && !parseListen(o.value(QStringLiteral("--listen")), &host, &port))
        return fail(QStringLiteral("--listen wants ADDR:PORT"));
    int threads = HttpFrontEnd::kDefaultThreads;
    QString error;
    if (!boundedNumber(o, QStringLiteral("--threads"), 1, 256, &threads, &error))
        return fail(error);
    Policy policy;
    if (!readPolicy(o, &policy, &error))
        return fail(error);
    const QString dbPath = o.value(QStringLiteral("--db"), QDir(folder).filePath(QStringLiteral("alertserver.db")));
    const QString skinsPath = o.value(QStringLiteral("--skins"), QDir(folder).filePath(QStringLiteral("skins")));

    // SIGINT, SIGTERM and SIGHUP are taken by this thread alone (sigwait
    // below); the worker threads started later inherit the blocked mask.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const std::unique_ptr<MailTransport> transport = mailTransport(o, folder, &error);
    if (!transport)
        return fail(error);
    Store store(dbPath);
    store.setPolicy(policy);
    MailDelivery mail(store.mailQueue(), *transport);
    SkinLibrary skins(skinsPath);
    skins.keepPrivate(store.files());
    if (!skins.ensureDefaultSkin())
        return fail(QStringLiteral("cannot write the default skin into %1").arg(skinsPath));
    const QString shownHost = host.contains(u':') ? u'[' + host + u']' : host;
    AlertService service(store, mail, skins, QString());
    HttpFrontEnd front(service, threads, o.verbose);
    if (!configureFrontEnd(o, front, &error))
        return fail(error);
    if (!front.bind(host, port, &error))
        return fail(error);
    // Listening on every address leaves no address of our own to put in links.
    if (front.listensOnEveryAddress() && !o.has(QStringLiteral("--public-url")))
        return fail(QStringLiteral("listening on every address (%1) needs --public-url, the address callers reach "
                                   "this server by: links in e-mails and skins are built from it")
                        .arg(shownHost));
    // Without a public address, links name the address and port bound.
    const QString scheme = front.usesTls() ? QStringLiteral("https") : QStringLiteral("http");
    service.setFallbackBase(QStringLiteral("%1://%2:%3").arg(scheme, shownHost).arg(front.port()));
    if (o.has(QStringLiteral("--public-url"))) {
        QString publicUrl = o.value(QStringLiteral("--public-url"));
        while (publicUrl.endsWith(u'/'))
            publicUrl.chop(1);
        if (!publicUrl.startsWith(QLatin1String("http://")) && !publicUrl.startsWith(QLatin1String("https://")))
            return fail(QStringLiteral("--public-url wants an http:// or https:// address"));
        service.setPublicBase(publicUrl);
    }
    for (const QString &name : o.named.values(QStringLiteral("--server-name")))
        if (!service.names().add(name))
            return fail(QStringLiteral("--server-name wants a host name such as alerts.example.org"));
    service.countConnectionsWith([&front] { return front.openConnections(); });

    if (o.has(QStringLiteral("--port-file"))) {
        QSaveFile f(o.value(QStringLiteral("--port-file")));
        if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray::number(front.port()) + '\n') < 0 || !f.commit())
            return fail(QStringLiteral("cannot write the port file"));
    }
    // Mail queued before a crash goes out now.
    mail.start();
    Housekeeping housekeeping(store);
    front.start();
    say(QStringLiteral("alertserver: serving %1://%2:%3/alertsystem/ (store %4, mail: %5)")
            .arg(scheme, shownHost).arg(front.port()).arg(dbPath, transport->describe()));
    notifyServiceManager("READY=1");
    int signal = 0;
    {
        Watchdog watchdog(front);
        // SIGHUP reads the certificate and key again; the others stop.
        while (sigwait(&handled, &signal) == 0 && signal == SIGHUP) {
            if (!front.usesTls())
                continue;
            if (front.reloadTls(&error))
                say(QStringLiteral("alertserver: certificate and key read again"));
            else
                std::fprintf(stderr, "alertserver: kept the certificate in use: %s\n", qPrintable(error));
        }
        notifyServiceManager("STOPPING=1");
    }
    front.stop();
    if (o.verbose)
        std::fprintf(stderr, "alertserver: stopped by signal %d\n", signal);
    return 0;
}

} // namespace alertserver::cli
