#include "CommandLine.h"

#include "AlertService.h"
#include "HttpFrontEnd.h"
#include "MailDelivery.h"
#include "Outbox.h"
#include "SkinLibrary.h"
#include "SmtpClient.h"
#include "Store.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QDateTime>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace alertserver {

namespace {

const char *const kUsage =
    "usage:\n"
    "  alertserver serve [--listen ADDR:PORT] [--db FILE|URI] [--outbox DIR] [--skins DIR]\n"
    "                    [--port-file FILE] [--threads N] [--public-url URL] [--verbose]\n"
    "                    [--admin-session-hours H] [--client-session-hours H] [--client-sessions address|user]\n"
    "                    [--activation-days D] [--login-failures-per-name N] [--login-failures-per-address N]\n"
    "                    [--registrations-per-address N] [--mails-per-admin N] [--mails-per-recipient N]\n"
    "                    [--users-per-admin N] [--alerts-per-token N]\n"
    // the HTTP front end
    "                    [--tls-cert FILE --tls-key FILE] [--trusted-proxy CIDR]...\n"
    "                    [--max-connections N] [--max-connections-per-address N]\n"
    "                    [--head-timeout SECONDS] [--body-timeout SECONDS]\n"
    // outgoing mail
    "                    [--mail outbox:DIR|sendmail|smtp://HOST[:PORT]|smtps://HOST[:PORT]]\n"
    "                    [--mail-from ADDRESS] [--mail-credentials FILE] [--mail-ca FILE]\n"
    "  alertserver migrate --from FILE --to URI          copy an SQLite store into an empty PostgreSQL one\n"
    "  alertserver alert USER TEXT [--db FILE]           raise an alert for a user\n"
    "  alertserver token create ADMIN [--name LABEL] [--db FILE]\n"
    "                                                    a token to publish alerts with (shown once)\n"
    "  alertserver token list ADMIN [--db FILE]          the administrator's tokens by label\n"
    "  alertserver token revoke ADMIN LABEL [--db FILE]  the token stops working at once\n"
    "  alertserver logout USER [--db FILE]               log a user out on the server\n"
    "  alertserver seed-admin USER PASSWORD EMAIL [--db FILE]\n"
    "                                                    create an activated administrator\n"
    "  alertserver activate-admin USER [--db FILE]\n"
    "  alertserver expire-admin USER [--db FILE]         let an administrator account expire now\n"
    "  alertserver add-user ADMIN USER PASSWORD [--email E] [--first F] [--last L] [--tel T] [--db FILE]\n"
    "  alertserver --help                                this text\n"
    "--db is an SQLite file or a postgresql:// URI (the password in ~/.pgpass, PGPASSFILE\n"
    "or a service file, never in the URI), for every command.\n"
    "Defaults: --listen 127.0.0.1:8080, --db, --outbox and --skins beside the program\n"
    "(alertserver.db, outbox/, skins/), or in /var/lib/alertserver for the program\n"
    "installed as /usr/bin/alertserver. Sessions: administrators 8 hours, clients 24 hours\n"
    "without a poll, per address; registrations expire unactivated after 7 days; limits:\n"
    "10 failed logins per name and 50 per address in 15 minutes, 10 registrations per\n"
    "address, 200 mails per administrator and 5 per recipient a day, 1000 users per\n"
    "administrator, 60 alerts per publishing token a minute (0 turns a limit off).\n"
    // publishing
    "Publishing: POST /api/v1/alerts with Authorization: Bearer TOKEN, a JSON body\n"
    "{\"text\": \"...\", \"users\": [\"a\", \"b\"]} or {\"text\": \"...\", \"all\": true}, or a\n"
    "plain-text body with ?user=NAME; the text is UTF-8 of at most 4096 bytes.\n"
    // the HTTP front end
    "Links in e-mails and skins start with --public-url, else with the listen address\n"
    "(https with --tls-cert); listening on 0.0.0.0 or [::] needs --public-url.\n"
    "--trusted-proxy (repeatable): reverse proxies whose X-Forwarded-For names the caller.\n"
    "Defaults: --max-connections 1000, --max-connections-per-address 100,\n"
    "--head-timeout 15, --body-timeout 30.\n"
    // outgoing mail
    "Mail: --mail outbox:DIR (the default, with the outbox/ above; --outbox DIR is the\n"
    "same) writes each message into a file; sendmail pipes it to\n"
    "/usr/sbin/sendmail -t -oi; smtp:// and smtps:// deliver to a relay (ports 25 and\n"
    "465 unless given), with STARTTLS when the relay offers it. --mail-credentials:\n"
    "a file of the server's user alone (mode 600), the user name on its first line,\n"
    "the password on its second; they go only over TLS whose certificate checks out.\n"
    "--mail-ca: certificates to trust for the relay instead of the system's.\n"
    "--mail-from: the sender (no-reply@vantorel.example).\n";

void say(const QString &text)
{
    std::fprintf(stdout, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

int fail(const QString &text)
{
    std::fprintf(stderr, "alertserver: %s\n", text.toLocal8Bit().constData());
    return 1;
}

// ---- the options of sessions, expiry and limits (serve)

struct PolicyOption
{
    const char *name;
    int lowest, highest;
    void (*apply)(Policy &, int);
};

const PolicyOption kPolicyOptions[] = {
    {"--admin-session-hours", 1, 24 * 365, [](Policy &p, int v) { p.adminSessionSeconds = qint64(v) * 3600; }},
    {"--client-session-hours", 1, 24 * 365, [](Policy &p, int v) { p.clientSessionSeconds = qint64(v) * 3600; }},
    {"--activation-days", 1, 365, [](Policy &p, int v) { p.activationSeconds = qint64(v) * 86400; }},
    {"--login-failures-per-name", 0, 1000000, [](Policy &p, int v) { p.loginFailuresPerName = v; }},
    {"--login-failures-per-address", 0, 1000000, [](Policy &p, int v) { p.loginFailuresPerAddress = v; }},
    {"--registrations-per-address", 0, 1000000, [](Policy &p, int v) { p.registrationsPerAddress = v; }},
    {"--mails-per-admin", 0, 1000000, [](Policy &p, int v) { p.mailsPerAdmin = v; }},
    {"--mails-per-recipient", 0, 1000000, [](Policy &p, int v) { p.mailsPerRecipient = v; }},
    {"--users-per-admin", 0, Store::kMaxId, [](Policy &p, int v) { p.usersPerAdmin = v; }},
    {"--alerts-per-token", 0, 1000000, [](Policy &p, int v) { p.alertsPerToken = v; }},
};
const char *const kSessionsOption = "--client-sessions";

bool isPolicyOption(const QString &name)
{
    if (name == QLatin1String(kSessionsOption))
        return true;
    return std::any_of(std::begin(kPolicyOptions), std::end(kPolicyOptions),
                       [&](const PolicyOption &o) { return name == QLatin1String(o.name); });
}

struct Options
{
    QStringList positional;
    QMultiHash<QString, QString> named; // value(): the last one given
    bool verbose = false;
    QString error;
};

// ---- the HTTP front end's options

const QStringList kFrontEndOptions{QStringLiteral("--tls-cert"), QStringLiteral("--tls-key"),
                                   QStringLiteral("--trusted-proxy"), QStringLiteral("--max-connections"),
                                   QStringLiteral("--max-connections-per-address"), QStringLiteral("--head-timeout"),
                                   QStringLiteral("--body-timeout")};

// A whole number from `low` to `high`; false with `error` set otherwise.
bool boundedNumber(const Options &o, const QString &key, int low, int high, int *value, QString *error)
{
    if (!o.named.contains(key))
        return true;
    bool ok = false;
    const int n = o.named.value(key).toInt(&ok);
    if (!ok || n < low || n > high) {
        *error = QStringLiteral("%1 wants %2 to %3").arg(key).arg(low).arg(high);
        return false;
    }
    *value = n;
    return true;
}

bool configureFrontEnd(const Options &o, HttpFrontEnd &front, QString *error)
{
    const bool cert = o.named.contains(QStringLiteral("--tls-cert"));
    if (cert != o.named.contains(QStringLiteral("--tls-key"))) {
        *error = QStringLiteral("--tls-cert and --tls-key go together");
        return false;
    }
    if (cert && !front.useTls(o.named.value(QStringLiteral("--tls-cert")), o.named.value(QStringLiteral("--tls-key")), error)) {
        *error = QStringLiteral("--tls-cert and --tls-key: ") + *error;
        return false;
    }
    QStringList proxies = o.named.values(QStringLiteral("--trusted-proxy"));
    std::reverse(proxies.begin(), proxies.end());
    if (!front.setTrustedProxies(proxies, error)) {
        *error = QStringLiteral("--trusted-proxy: ") + *error;
        return false;
    }
    int total = HttpFrontEnd::kDefaultMaxConnections;
    int perAddress = HttpFrontEnd::kDefaultMaxConnectionsPerAddress;
    int head = int(HttpFrontEnd::kDefaultHeadDeadline.count() / 1000);
    int body = int(HttpFrontEnd::kDefaultBodyDeadline.count() / 1000);
    if (!boundedNumber(o, QStringLiteral("--max-connections"), 1, 100000, &total, error)
        || !boundedNumber(o, QStringLiteral("--max-connections-per-address"), 1, 100000, &perAddress, error)
        || !boundedNumber(o, QStringLiteral("--head-timeout"), 1, 3600, &head, error)
        || !boundedNumber(o, QStringLiteral("--body-timeout"), 1, 3600, &body, error))
        return false;
    front.setConnectionCaps(total, perAddress);
    front.setDeadlines(std::chrono::seconds(head), std::chrono::seconds(body));
    return true;
}

// ---- outgoing mail (serve)

const QStringList kMailOptions{QStringLiteral("--mail"), QStringLiteral("--mail-from"),
                               QStringLiteral("--mail-credentials"), QStringLiteral("--mail-ca")};

// The way out for mail that the options name.
std::unique_ptr<MailTransport> mailTransport(const Options &o, const QString &folder, QString *error)
{
    const QString via = o.named.value(QStringLiteral("--mail"));
    const QString outbox = o.named.value(QStringLiteral("--outbox"), QDir(folder).filePath(QStringLiteral("outbox")));
    if (!via.isEmpty() && o.named.contains(QStringLiteral("--outbox"))) {
        *error = QStringLiteral("give --mail or --outbox, not both");
        return {};
    }
    const QString from = o.named.value(QStringLiteral("--mail-from"), QLatin1String(kDefaultMailSender));
    if (!mailmessage::isPlainAddress(from)) {
        *error = QStringLiteral("--mail-from wants an e-mail address");
        return {};
    }
    const bool smtp = via.startsWith(QLatin1String("smtp://")) || via.startsWith(QLatin1String("smtps://"));
    const QString credentials = o.named.value(QStringLiteral("--mail-credentials"));
    if (!smtp && (!credentials.isEmpty() || o.named.contains(QStringLiteral("--mail-ca")))) {
        *error = QStringLiteral("--mail-credentials and --mail-ca go with an smtp:// or smtps:// relay");
        return {};
    }
    std::unique_ptr<MailTransport> transport;
    if (via.isEmpty()) {
        transport = std::make_unique<Outbox>(outbox);
    } else if (via.startsWith(QLatin1String("outbox:")) && via.size() > 7) {
        transport = std::make_unique<Outbox>(via.mid(7));
    } else if (via == QLatin1String("sendmail")) {
        transport = std::make_unique<SendmailTransport>();
    } else if (smtp) {
        auto relay = SmtpRelay::parse(via, error);
        if (!relay || (!credentials.isEmpty() && !relay->readCredentials(credentials, error)))
            return {};
        relay->caFile = o.named.value(QStringLiteral("--mail-ca"));
        auto client = std::make_unique<SmtpClient>(*relay);
        if (!client->ready(error))
            return {};
        transport = std::move(client);
    } else {
        *error = QStringLiteral("--mail wants outbox:DIR, sendmail, smtp://HOST:PORT or smtps://HOST:PORT");
        return {};
    }
    transport->setSender(from);
    return transport;
}

// ----

Options parseOptions(const QStringList &args)
{
    static const QStringList withValue{QStringLiteral("--listen"), QStringLiteral("--db"), QStringLiteral("--outbox"),
                                       QStringLiteral("--skins"), QStringLiteral("--port-file"), QStringLiteral("--threads"),
                                       QStringLiteral("--public-url"), QStringLiteral("--from"), QStringLiteral("--to"),
                                       QStringLiteral("--email"), QStringLiteral("--first"), QStringLiteral("--last"),
                                       QStringLiteral("--tel"), QStringLiteral("--name")};
    Options o;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == QLatin1String("--verbose")) {
            o.verbose = true;
        } else if (withValue.contains(a) || isPolicyOption(a) || kFrontEndOptions.contains(a)
                   || kMailOptions.contains(a)) {
            if (i + 1 >= args.size()) {
                o.error = QStringLiteral("%1 needs a value").arg(a);
                return o;
            }
            o.named.insert(a, args[++i]);
        } else if (a.startsWith(QLatin1String("--"))) {
            o.error = QStringLiteral("unknown option %1").arg(a);
            return o;
        } else {
            o.positional.append(a);
        }
    }
    return o;
}

bool readPolicy(const Options &o, Policy *policy, QString *error)
{
    for (const PolicyOption &option : kPolicyOptions) {
        const QString name = QLatin1String(option.name);
        if (!o.named.contains(name))
            continue;
        bool ok = false;
        const int value = o.named.value(name).toInt(&ok);
        if (!ok || value < option.lowest || value > option.highest) {
            *error = QStringLiteral("%1 wants %2 to %3").arg(name).arg(option.lowest).arg(option.highest);
            return false;
        }
        option.apply(*policy, value);
    }
    const QString sessions = o.named.value(QLatin1String(kSessionsOption), QStringLiteral("address"));
    if (sessions != QLatin1String("address") && sessions != QLatin1String("user")) {
        *error = QStringLiteral("%1 wants address or user").arg(QLatin1String(kSessionsOption));
        return false;
    }
    policy->sessionPerAddress = sessions == QLatin1String("address");
    return true;
}

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

int serve(const Options &o, const QString &folder)
{
    QString host = QStringLiteral("127.0.0.1");
    int port = 8080;
    if (o.named.contains(QStringLiteral("--listen")) && !parseListen(o.named.value(QStringLiteral("--listen")), &host, &port))
        return fail(QStringLiteral("--listen wants ADDR:PORT"));
    int threads = HttpFrontEnd::kDefaultThreads;
    if (o.named.contains(QStringLiteral("--threads"))) {
        bool ok = false;
        threads = o.named.value(QStringLiteral("--threads")).toInt(&ok);
        if (!ok || threads < 1 || threads > 256)
            return fail(QStringLiteral("--threads wants 1 to 256"));
    }
    Policy policy;
    QString policyError;
    if (!readPolicy(o, &policy, &policyError))
        return fail(policyError);
    const QString dbPath = o.named.value(QStringLiteral("--db"), QDir(folder).filePath(QStringLiteral("alertserver.db")));
    const QString skinsPath = o.named.value(QStringLiteral("--skins"), QDir(folder).filePath(QStringLiteral("skins")));

    // SIGINT and SIGTERM are taken by this thread alone (sigwait below); the
    // worker threads started later inherit the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    QString mailError;
    const std::unique_ptr<MailTransport> transport = mailTransport(o, folder, &mailError);
    if (!transport)
        return fail(mailError);
    Store store(dbPath);
    store.setPolicy(policy);
    MailDelivery mail(store, *transport);
    SkinLibrary skins(skinsPath);
    if (!skins.ensureDefaultSkin())
        return fail(QStringLiteral("cannot write the default skin into %1").arg(skinsPath));
    const QString shownHost = host.contains(u':') ? u'[' + host + u']' : host;
    AlertService service(store, mail, skins, QString());
    HttpFrontEnd front(service, threads, o.verbose);
    QString error;
    if (!configureFrontEnd(o, front, &error))
        return fail(error);
    if (!front.bind(host, port, &error))
        return fail(error);
    // Listening on every address leaves no address of our own to put in links.
    if (front.listensOnEveryAddress() && !o.named.contains(QStringLiteral("--public-url")))
        return fail(QStringLiteral("listening on every address (%1) needs --public-url, the address callers reach "
                                   "this server by: links in e-mails and skins are built from it")
                        .arg(shownHost));
    // Without a public address, links name the address and port bound.
    const QString scheme = front.usesTls() ? QStringLiteral("https") : QStringLiteral("http");
    service.setFallbackBase(QStringLiteral("%1://%2:%3").arg(scheme, shownHost).arg(front.port()));
    if (o.named.contains(QStringLiteral("--public-url"))) {
        QString publicUrl = o.named.value(QStringLiteral("--public-url"));
        while (publicUrl.endsWith(u'/'))
            publicUrl.chop(1);
        if (!publicUrl.startsWith(QLatin1String("http://")) && !publicUrl.startsWith(QLatin1String("https://")))
            return fail(QStringLiteral("--public-url wants an http:// or https:// address"));
        service.setPublicBase(publicUrl);
    }

    if (o.named.contains(QStringLiteral("--port-file"))) {
        QSaveFile f(o.named.value(QStringLiteral("--port-file")));
        if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray::number(front.port()) + '\n') < 0 || !f.commit())
            return fail(QStringLiteral("cannot write the port file"));
    }
    // Mail queued before a crash goes out now.
    mail.start();
    Housekeeping housekeeping(store);
    front.start();
    say(QStringLiteral("alertserver: serving %1://%2:%3/alertsystem/ (store %4, mail: %5)")
            .arg(scheme, shownHost).arg(front.port()).arg(dbPath, transport->describe()));
    int signal = 0;
    sigwait(&stopSignals, &signal);
    front.stop();
    if (o.verbose)
        std::fprintf(stderr, "alertserver: stopped by signal %d\n", signal);
    return 0;
}

// Copies an SQLite store, every row of it, into an empty PostgreSQL store.
int migrate(const Options &o)
{
    const QString from = o.named.value(QStringLiteral("--from"));
    const QString to = o.named.value(QStringLiteral("--to"));
    if (from.isEmpty() || to.isEmpty())
        return fail(QStringLiteral("migrate wants --from FILE --to URI"));
    // SQLite would make a new, empty file of a wrong name.
    if (Database::isUri(from) || !QFileInfo(from).isFile())
        return fail(QStringLiteral("--from wants the SQLite file of a store; there is none at %1").arg(from));
    if (!Database::isUri(to))
        return fail(QStringLiteral("--to wants a postgresql:// address"));
    Store source(from);
    Store target(to);
    QStringList rows;
    for (const auto &[table, count] : source.copyInto(target))
        rows << QStringLiteral("%1 %2").arg(table).arg(count);
    say(QStringLiteral("copied %1 into %2: %3").arg(from, to, rows.join(QStringLiteral(", "))));
    return 0;
}

bool tooLong(const QString &value, int limit, const char *what, int *code)
{
    if (value.size() <= limit)
        return false;
    *code = fail(QStringLiteral("%1 is longer than %2 characters").arg(QLatin1String(what)).arg(limit));
    return true;
}

// token create ADMIN [--name LABEL], token list ADMIN, token revoke ADMIN LABEL
int token(const QStringList &args, const Options &o, const QString &dbPath)
{
    const QString action = args.value(0);
    const bool create = action == QLatin1String("create") && args.size() == 2;
    const bool list = action == QLatin1String("list") && args.size() == 2;
    const bool revoke = action == QLatin1String("revoke") && args.size() == 3;
    if (!create && !list && !revoke) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const QString label = create ? o.named.value(QStringLiteral("--name")) : args.value(2);
    if (o.named.contains(QStringLiteral("--name")) && !create)
        return fail(QStringLiteral("--name goes with token create"));
    if ((revoke || o.named.contains(QStringLiteral("--name"))) && !Store::isTokenLabel(label))
        return fail(QStringLiteral("a token's label is 1 to %1 letters, digits, '.', '_' or '-'").arg(Store::kMaxTokenLabel));
    Store store(dbPath);
    const auto adminId = store.adminIdByName(args[1]);
    if (!adminId)
        return fail(QStringLiteral("no administrator %1").arg(args[1]));
    if (create) {
        const Store::CreatedToken made = store.createToken(*adminId, label);
        if (made.outcome == Store::TokenCreation::LabelTaken)
            return fail(QStringLiteral("%1 has a token labelled %2 already").arg(args[1], made.label));
        if (made.outcome != Store::TokenCreation::Created)
            return fail(QStringLiteral("no administrator %1").arg(args[1]));
        // The token alone on standard output, for scripts; it is not kept
        // and cannot be shown again.
        std::fprintf(stderr, "alertserver: token %s of %s (keep it now: it is not shown again)\n",
                     made.label.toLocal8Bit().constData(), args[1].toLocal8Bit().constData());
        say(QString::fromLatin1(made.token));
        return 0;
    }
    if (revoke) {
        if (!store.revokeToken(*adminId, label))
            return fail(QStringLiteral("%1 has no token labelled %2").arg(args[1], label));
        return 0;
    }
    const auto time = [](qint64 t) {
        return QDateTime::fromSecsSinceEpoch(t, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss 'UTC'"));
    };
    for (const ApiToken &t : store.tokensOf(*adminId))
        say(QStringLiteral("%1\tcreated %2\t%3").arg(t.label, time(t.createdAt),
                                                       t.lastUsed ? QStringLiteral("last used ") + time(*t.lastUsed)
                                                                  : QStringLiteral("never used")));
    return 0;
}

} // namespace

int runCommandLine(const QStringList &arguments, const QString &programFolder)
{
    // --help anywhere, or -h in the command's place, asks for the usage.
    if (arguments.mid(1).contains(QLatin1String("--help")) || arguments.value(1) == QLatin1String("-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const Options o = parseOptions(arguments.mid(1));
    if (!o.error.isEmpty())
        return fail(o.error + QStringLiteral("\n") + QLatin1String(kUsage));
    const QString command = o.positional.value(0);
    const QStringList args = o.positional.mid(1);
    auto usage = [] { std::fputs(kUsage, stderr); return 2; };
    if (command.isEmpty() || command == QLatin1String("help")) {
        std::fputs(kUsage, command.isEmpty() ? stderr : stdout);
        return command.isEmpty() ? 2 : 0;
    }
    try {
        if (command == QLatin1String("serve"))
            return args.isEmpty() ? serve(o, programFolder) : usage();

        if (command == QLatin1String("migrate"))
            return args.isEmpty() ? migrate(o) : usage();

        const QString dbPath = o.named.value(QStringLiteral("--db"), QDir(programFolder).filePath(QStringLiteral("alertserver.db")));
        int code = 0;
        if (command == QLatin1String("alert")) {
            if (args.size() != 2)
                return usage();
            const QString problem = AlertService::alertTextProblem(args[1]);
            if (!problem.isEmpty())
                return fail(problem);
            Store store(dbPath);
            if (!store.raiseAlert(args[0], args[1]))
                return fail(QStringLiteral("no user %1").arg(args[0]));
            return 0;
        }
        if (command == QLatin1String("token"))
            return token(args, o, dbPath);
        if (command == QLatin1String("logout")) {
            if (args.size() != 1)
                return usage();
            Store store(dbPath);
            return store.logoutUser(args[0]) ? 0 : fail(QStringLiteral("no user %1").arg(args[0]));
        }
        if (command == QLatin1String("seed-admin")) {
            if (args.size() != 3)
                return usage();
            if (tooLong(args[0], limits::kUserName, "the user name", &code)
                || tooLong(args[1], limits::kPassword, "the password", &code)
                || tooLong(args[2], limits::kEmail, "the e-mail address", &code))
                return code;
            if (!isMailAddress(args[2]))
                return fail(QStringLiteral("%1 is not an e-mail address").arg(args[2]));
            Store store(dbPath);
            AdminRegistration reg;
            reg.username = args[0];
            reg.password = args[1];
            reg.email = args[2];
            reg.regtype = QStringLiteral("0");
            const auto result = store.registerAdmin(reg);
            if (result.outcome == Store::Registration::NameTaken)
                return fail(QStringLiteral("administrator %1 exists already").arg(args[0]));
            if (result.outcome != Store::Registration::Registered)
                return fail(QStringLiteral("no more administrators can be created"));
            store.activateAdminByName(args[0]);
            say(QString::number(result.id));
            return 0;
        }
        if (command == QLatin1String("activate-admin") || command == QLatin1String("expire-admin")) {
            if (args.size() != 1)
                return usage();
            Store store(dbPath);
            const bool ok = command == QLatin1String("activate-admin")
                ? store.activateAdminByName(args[0])
                : store.setAdminExpiry(args[0], QDateTime::currentSecsSinceEpoch());
            return ok ? 0 : fail(QStringLiteral("no administrator %1").arg(args[0]));
        }
        if (command == QLatin1String("add-user")) {
            if (args.size() != 3)
                return usage();
            UserFields u;
            u.username = args[1];
            u.password = args[2];
            u.email = o.named.value(QStringLiteral("--email"));
            u.firstname = o.named.value(QStringLiteral("--first"));
            u.lastname = o.named.value(QStringLiteral("--last"));
            u.tel = o.named.value(QStringLiteral("--tel"));
            if (tooLong(u.username, limits::kUserName, "the user name", &code)
                || tooLong(u.password, limits::kPassword, "the password", &code)
                || tooLong(u.email, limits::kEmail, "the e-mail address", &code)
                || tooLong(u.firstname, limits::kName, "the first name", &code)
                || tooLong(u.lastname, limits::kName, "the last name", &code)
                || tooLong(u.tel, limits::kPhone, "the telephone number", &code))
                return code;
            if (!u.email.isEmpty() && !isMailAddress(u.email))
                return fail(QStringLiteral("%1 is not an e-mail address").arg(u.email));
            Store store(dbPath);
            const auto adminId = store.adminIdByName(args[0]);
            if (!adminId)
                return fail(QStringLiteral("no administrator %1").arg(args[0]));
            const auto [outcome, id] = store.addUser(*adminId, u);
            if (outcome != Store::Addition::Added)
                return fail(QStringLiteral("cannot add user %1 (name taken or no ids left)").arg(args[1]));
            say(QString::number(id));
            return 0;
        }
    } catch (const std::exception &e) {
        return fail(QString::fromLocal8Bit(e.what()));
    }
    return usage();
}

} // namespace alertserver
