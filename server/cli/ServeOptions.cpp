#include "server/cli/ServeOptions.h"

#include "server/cli/Options.h"
#include "server/cli/Serve.h"
#include "server/http/HttpFrontEnd.h"
#include "server/mail/Outbox.h"
#include "server/mail/Sendmail.h"
#include "server/mail/SmtpClient.h"
#include "server/store/Policy.h"
#include "server/store/Records.h"
#include "server/validation/Fields.h"

#include <QDir>
#include <QFile>

#include <algorithm>

namespace alertserver::cli {

namespace {

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
    {"--users-per-admin", 0, kMaxId, [](Policy &p, int v) { p.usersPerAdmin = v; }},
    {"--alerts-per-token", 0, 1000000, [](Policy &p, int v) { p.alertsPerToken = v; }},
    {"--console-alerts-per-admin", 0, 1000000, [](Policy &p, int v) { p.consoleAlertsPerAdmin = v; }},
    {"--reserved-user-ids", 0, kMaxId, [](Policy &p, int v) { p.reservedUserIds = v; }},
    {"--keep-receipts-days", 0, 36500, [](Policy &p, int v) { p.receiptSeconds = qint64(v) * 86400; }},
    {"--copies-per-admin", 0, 1000000, [](Policy &p, int v) { p.copiesPerAdmin = v; }},
    {"--copies-per-recipient", 0, 1000000, [](Policy &p, int v) { p.copiesPerRecipient = v; }},
};
const char *const kSessionsOption = "--client-sessions";
const char *const kRegistrationOption = "--registration";
const char *const kDomainOption = "--registration-domain";
// The e-mail-to-SMS gateways copies may use: one domain a line, "#" starts a
// comment. Without the file, the six carriers the wizard offers.
const char *const kGatewaysOption = "--sms-gateways";
const char *const kGatewaysFile = "/etc/alertserver/sms-gateways";

const QStringList kFrontEndOptions{QStringLiteral("--tls-cert"), QStringLiteral("--tls-key"),
                                   QStringLiteral("--trusted-proxy"), QStringLiteral("--max-connections"),
                                   QStringLiteral("--max-connections-per-address"),
                                   QStringLiteral("--max-pending-connections"), QStringLiteral("--head-timeout"),
                                   QStringLiteral("--body-timeout")};

const QStringList kMailOptions{QStringLiteral("--mail"), QStringLiteral("--mail-from"),
                               QStringLiteral("--mail-credentials"), QStringLiteral("--mail-ca")};

} // namespace

const QStringList &serveOptions()
{
    static const QStringList names = [] {
        QStringList all{QStringLiteral("--listen"), QStringLiteral("--outbox"), QStringLiteral("--skins"),
                        QStringLiteral("--port-file"), QStringLiteral("--threads"), QStringLiteral("--public-url"),
                        QStringLiteral("--server-name"), QLatin1String(kSessionsOption), QLatin1String(kRegistrationOption),
                        QLatin1String(kDomainOption), QLatin1String(kGatewaysOption)};
        for (const PolicyOption &option : kPolicyOptions)
            all << QLatin1String(option.name);
        return all + kFrontEndOptions + kMailOptions;
    }();
    return names;
}

bool readPolicy(const Options &o, Policy *policy, QString *error)
{
    for (const PolicyOption &option : kPolicyOptions) {
        int value = 0;
        const QString name = QLatin1String(option.name);
        if (!boundedNumber(o, name, option.lowest, option.highest, &value, error))
            return false;
        if (o.has(name))
            option.apply(*policy, value);
    }
    const QString sessions = o.value(QLatin1String(kSessionsOption), QStringLiteral("address"));
    if (sessions != QLatin1String("address") && sessions != QLatin1String("user")) {
        *error = QStringLiteral("%1 wants address or user").arg(QLatin1String(kSessionsOption));
        return false;
    }
    policy->sessionPerAddress = sessions == QLatin1String("address");

    const QString registration = o.value(QLatin1String(kRegistrationOption), QStringLiteral("open"));
    if (registration == QLatin1String("open"))
        policy->registration = Policy::Registration::Open;
    else if (registration == QLatin1String("approve"))
        policy->registration = Policy::Registration::Approve;
    else if (registration == QLatin1String("closed"))
        policy->registration = Policy::Registration::Closed;
    else {
        *error = QStringLiteral("%1 wants open, approve or closed").arg(QLatin1String(kRegistrationOption));
        return false;
    }
    for (const QString &domain : o.named.values(QLatin1String(kDomainOption))) {
        if (domain.isEmpty() || !validation::isMailAddress(QStringLiteral("a@") + domain)) {
            *error = QStringLiteral("%1 wants a domain such as example.org").arg(QLatin1String(kDomainOption));
            return false;
        }
        policy->registrationDomains.append(domain.toLower());
    }
    const bool named = o.has(QLatin1String(kGatewaysOption));
    QFile gateways(named ? o.value(QLatin1String(kGatewaysOption)) : QLatin1String(kGatewaysFile));
    if (named || gateways.exists()) {
        if (!gateways.open(QIODevice::ReadOnly | QIODevice::Text)) {
            *error = QStringLiteral("%1: cannot read %2").arg(QLatin1String(kGatewaysOption), gateways.fileName());
            return false;
        }
        policy->smsGateways.clear();
        for (const QByteArray &line : gateways.readAll().split('\n')) {
            QString domain = QString::fromUtf8(line.left(line.indexOf('#') < 0 ? line.size() : line.indexOf('#'))).trimmed();
            if (domain.startsWith(u'@'))
                domain.remove(0, 1);
            if (domain.isEmpty())
                continue;
            if (!validation::isMailAddress(QStringLiteral("a@") + domain)) {
                *error = QStringLiteral("%1: %2 is no domain").arg(gateways.fileName(), domain);
                return false;
            }
            policy->smsGateways.append(domain.toLower());
        }
    }
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
    int pending = HttpFrontEnd::kDefaultMaxPendingConnections;
    int head = int(HttpFrontEnd::kDefaultHeadDeadline.count() / 1000);
    int body = int(HttpFrontEnd::kDefaultBodyDeadline.count() / 1000);
    if (!boundedNumber(o, QStringLiteral("--max-connections"), 1, 1000000, &total, error)
        || !boundedNumber(o, QStringLiteral("--max-connections-per-address"), 1, 1000000, &perAddress, error)
        || !boundedNumber(o, QStringLiteral("--max-pending-connections"), 1, 1000000, &pending, error)
        || !boundedNumber(o, QStringLiteral("--head-timeout"), 1, 3600, &head, error)
        || !boundedNumber(o, QStringLiteral("--body-timeout"), 1, 3600, &body, error))
        return false;
    front.setConnectionCaps(total, perAddress, pending);
    front.setDeadlines(std::chrono::seconds(head), std::chrono::seconds(body));
    return true;
}

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

} // namespace alertserver::cli
