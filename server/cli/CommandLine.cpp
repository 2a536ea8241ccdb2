#include "server/cli/CommandLine.h"

#include "server/cli/Options.h"
#include "server/cli/Serve.h"
#include "server/cli/StoreCommands.h"

#include <QDir>

#include <cstdio>

namespace alertserver {

namespace {

const char *const kUsage =
    "usage:\n"
    "  alertserver serve [--listen ADDR:PORT] [--db FILE|URI] [--outbox DIR] [--skins DIR]\n"
    "                    [--port-file FILE] [--threads N] [--public-url URL] [--server-name NAME]...\n"
    "                    [--verbose]\n"
    "                    [--admin-session-hours H] [--client-session-hours H] [--client-sessions address|user]\n"
    "                    [--activation-days D] [--login-failures-per-name N] [--login-failures-per-address N]\n"
    "                    [--registrations-per-address N] [--mails-per-admin N] [--mails-per-recipient N]\n"
    "                    [--users-per-admin N] [--alerts-per-token N] [--reserved-user-ids N]\n"
    "                    [--keep-receipts-days D] [--copies-per-admin N] [--copies-per-recipient N]\n"
    "                    [--sms-gateways FILE] [--console-alerts-per-admin N]\n"
    "                    [--registration open|approve|closed] [--registration-domain DOMAIN]...\n"
    // the HTTP front end
    "                    [--tls-cert FILE --tls-key FILE] [--trusted-proxy CIDR]...\n"
    "                    [--max-connections N] [--max-connections-per-address N]\n"
    "                    [--max-pending-connections N]\n"
    "                    [--head-timeout SECONDS] [--body-timeout SECONDS]\n"
    // outgoing mail
    "                    [--mail outbox:DIR|sendmail|smtp://HOST[:PORT]|smtps://HOST[:PORT]]\n"
    "                    [--mail-from ADDRESS] [--mail-credentials FILE] [--mail-ca FILE]\n"
    "  alertserver migrate --from FILE --to URI          copy an SQLite store into an empty PostgreSQL one\n"
    "  alertserver alert USER TEXT [--db FILE]           raise an alert for a user\n"
    "  alertserver token create ADMIN [--name LABEL] [--scope webhook] [--db FILE]\n"
    "                                                    a token to publish alerts with (shown once)\n"
    "  alertserver token list ADMIN [--db FILE]          the administrator's tokens by label\n"
    "  alertserver token revoke ADMIN LABEL [--db FILE]  the token stops working at once\n"
    "  alertserver logout USER [--db FILE]               log a user out on the server\n"
    "  alertserver receipts ID [--db FILE]               who was told, shown and acknowledged alert ID\n"
    "  alertserver seed-admin USER PASSWORD EMAIL [--db FILE]\n"
    "                                                    create an activated administrator\n"
    "  alertserver activate-admin USER [--db FILE]\n"
    "  alertserver approve-admin USER [--db FILE]        activate an administrator as the operator's own\n"
    "  alertserver expire-admin USER [--db FILE]         let an administrator account expire now\n"
    "  alertserver admin-password ADMIN [--db FILE]      a new password, read from standard input\n"
    "  alertserver add-user ADMIN USER PASSWORD [--email E] [--first F] [--last L] [--tel T] [--db FILE]\n"
    "  alertserver list-admins [--db FILE]               every administrator: name, id, state, origin, users, e-mail\n"
    "  alertserver delete-admin ADMIN [--db FILE]        remove an administrator with all its users\n"
    "  alertserver delete-user USER [--db FILE]          remove a user (its sessions end at once)\n"
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
    "A request whose Host names neither the --public-url's host, the listen address's,\n"
    "a --server-name (repeatable) nor localhost gets 421; an address as Host passes.\n"
    "SIGHUP reads --tls-cert and --tls-key again. GET /healthz: 200, or 503 without the store.\n"
    "--trusted-proxy (repeatable): reverse proxies whose X-Forwarded-For names the caller.\n"
    "--max-connections: all connections (default: as the file limit allows);\n"
    "--max-connections-per-address (256) and --max-pending-connections (2048): those\n"
    "that have not yet completed a request. Defaults: --head-timeout 15, --body-timeout 30.\n"
    // outgoing mail
    "Mail: --mail outbox:DIR (the default, with the outbox/ above; --outbox DIR is the\n"
    "same) writes each message into a file; sendmail pipes it to\n"
    "/usr/sbin/sendmail -t -oi; smtp:// and smtps:// deliver to a relay (ports 25 and\n"
    "465 unless given), with STARTTLS when the relay offers it. --mail-credentials:\n"
    "a file of the server's user alone (mode 600), the user name on its first line,\n"
    "the password on its second; they go only over TLS whose certificate checks out.\n"
    "--mail-ca: certificates to trust for the relay instead of the system's.\n"
    "--mail-from: the sender (no-reply@vantorel.example).\n";

} // namespace

int runCommandLine(const QStringList &arguments, const QString &programFolder)
{
    using namespace cli;
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
    auto usage = [] {
        std::fputs(kUsage, stderr);
        return 2;
    };
    if (command.isEmpty() || command == QLatin1String("help")) {
        std::fputs(kUsage, command.isEmpty() ? stderr : stdout);
        return command.isEmpty() ? 2 : 0;
    }
    try {
        if (command == QLatin1String("serve"))
            return args.isEmpty() ? serve(o, programFolder) : usage();
        const QString dbPath = o.value(QStringLiteral("--db"), QDir(programFolder).filePath(QStringLiteral("alertserver.db")));
        const std::optional<int> code = runStoreCommand(command, args, o, dbPath);
        if (code && *code != kWrongWords)
            return *code;
    } catch (const std::exception &e) {
        return fail(QString::fromLocal8Bit(e.what()));
    }
    return usage();
}

} // namespace alertserver
