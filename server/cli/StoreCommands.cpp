#include "server/cli/StoreCommands.h"

#include "server/cli/Options.h"
#include "server/controllers/Publishing.h"
#include "server/store/Database.h"
#include "server/store/Store.h"
#include "server/validation/Fields.h"
#include "server/web/AccessLog.h"
#include "server/web/Http.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>

#include <cstdio>
#include <string>

#include <termios.h>
#include <unistd.h>

namespace alertserver::cli {

namespace {

using validation::Rule;

// Why a value given on the command line cannot be stored, by the rules the
// pages apply; "" when every one can.
QString valuesProblem(const QList<std::tuple<QString, QString, Rule>> &values)
{
    for (const auto &[name, value, rule] : values) {
        const QString why = validation::problem(name, value, rule);
        if (!why.isEmpty())
            return why;
    }
    return {};
}

// Copies an SQLite store, every row of it, into an empty PostgreSQL store.
int migrate(const QStringList &args, const Options &o, const QString &)
{
    if (!args.isEmpty())
        return kWrongWords;
    const QString from = o.value(QStringLiteral("--from"));
    const QString to = o.value(QStringLiteral("--to"));
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

int alert(const QStringList &args, const Options &, const QString &dbPath)
{
    if (args.size() != 2)
        return kWrongWords;
    const QString problem = validation::alertTextProblem(args[1]);
    if (!problem.isEmpty())
        return fail(problem);
    Store store(dbPath);
    if (!store.sessions().raise(args[0], args[1]))
        return fail(QStringLiteral("no user %1").arg(args[0]));
    return 0;
}

// token create ADMIN [--name LABEL], token list ADMIN, token revoke ADMIN LABEL
int token(const QStringList &args, const Options &o, const QString &dbPath)
{
    const QString action = args.value(0);
    const bool create = action == QLatin1String("create") && args.size() == 2;
    const bool list = action == QLatin1String("list") && args.size() == 2;
    const bool revoke = action == QLatin1String("revoke") && args.size() == 3;
    if (!create && !list && !revoke)
        return kWrongWords;
    const bool named = o.has(QStringLiteral("--name"));
    const QString label = create ? o.value(QStringLiteral("--name")) : args.value(2);
    if (named && !create)
        return fail(QStringLiteral("--name goes with token create"));
    if ((revoke || named) && !validation::isTokenLabel(label))
        return fail(QStringLiteral("a token's label is 1 to %1 letters, digits, '.', '_' or '-'").arg(limits::kTokenLabel));
    Store store(dbPath);
    const auto adminId = store.admins().idByName(args[1]);
    if (!adminId)
        return fail(QStringLiteral("no administrator %1").arg(args[1]));
    if (create) {
        const QString scope = o.value(QStringLiteral("--scope"));
        if (o.has(QStringLiteral("--scope")) && scope != QLatin1String("webhook") && scope != QLatin1String("all"))
            return fail(QStringLiteral("--scope is all or webhook"));
        const Tokens::Created made = store.tokens().create(*adminId, label, scope == QLatin1String("webhook"));
        if (made.outcome == Tokens::Creation::LabelTaken)
            return fail(QStringLiteral("%1 has a token labelled %2 already").arg(args[1], made.label));
        if (made.outcome != Tokens::Creation::Created)
            return fail(QStringLiteral("no administrator %1").arg(args[1]));
        // The token alone on standard output, for scripts; it is not kept
        // and cannot be shown again.
        std::fprintf(stderr, "alertserver: token %s of %s (keep it now: it is not shown again)\n",
                     made.label.toLocal8Bit().constData(), args[1].toLocal8Bit().constData());
        say(QString::fromLatin1(made.token));
        return 0;
    }
    if (revoke) {
        if (!store.tokens().revoke(*adminId, label))
            return fail(QStringLiteral("%1 has no token labelled %2").arg(args[1], label));
        return 0;
    }
    const auto time = [](qint64 t) {
        return QDateTime::fromSecsSinceEpoch(t, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss 'UTC'"));
    };
    for (const ApiToken &t : store.tokens().of(*adminId))
        say(QStringLiteral("%1\tcreated %2\t%3").arg(t.label, time(t.createdAt),
                                                       t.lastUsed ? QStringLiteral("last used ") + time(*t.lastUsed)
                                                                  : QStringLiteral("never used")));
    return 0;
}

int logout(const QStringList &args, const Options &, const QString &dbPath)
{
    if (args.size() != 1)
        return kWrongWords;
    Store store(dbPath);
    return store.sessions().logout(args[0]) ? 0 : fail(QStringLiteral("no user %1").arg(args[0]));
}

int seedAdmin(const QStringList &args, const Options &, const QString &dbPath)
{
    if (args.size() != 3)
        return kWrongWords;
    const QString problem = valuesProblem({{QStringLiteral("the user name"), args[0], {limits::kUserName, true}},
                                           {QStringLiteral("the password"), args[1], {limits::kPassword, true}},
                                           {QStringLiteral("the e-mail address"), args[2], {limits::kEmail, true}}});
    if (!problem.isEmpty())
        return fail(problem);
    if (!validation::isMailAddress(args[2]))
        return fail(QStringLiteral("%1 is not an e-mail address").arg(args[2]));
    Store store(dbPath);
    AdminRegistration reg;
    reg.username = args[0];
    reg.password = args[1];
    reg.email = args[2];
    reg.regtype = QStringLiteral("0");
    const auto result = store.admins().registerAdmin(reg);
    if (result.outcome == Admins::Registration::NameTaken)
        return fail(QStringLiteral("administrator %1 exists already").arg(args[0]));
    if (result.outcome != Admins::Registration::Registered)
        return fail(QStringLiteral("no more administrators can be created"));
    store.admins().approve(args[0]);
    say(QString::number(result.id));
    return 0;
}

int activateAdmin(const QStringList &args, const Options &, const QString &dbPath)
{
    if (args.size() != 1)
        return kWrongWords;
    Store store(dbPath);
    return store.admins().activateByName(args[0]) ? 0 : fail(QStringLiteral("no administrator %1").arg(args[0]));
}

int approveAdmin(const QStringList &args, const Options &, const QString &dbPath)
{
    if (args.size() != 1)
        return kWrongWords;
    Store store(dbPath);
    return store.admins().approve(args[0]) ? 0 : fail(QStringLiteral("no administrator %1").arg(args[0]));
}

int expireAdmin(const QStringList &args, const Options &, const QString &dbPath)
{
    if (args.size() != 1)
        return kWrongWords;
    Store store(dbPath);
    if (!store.admins().setExpiry(args[0], QDateTime::currentSecsSinceEpoch()))
        return fail(QStringLiteral("no administrator %1").arg(args[0]));
    // Refused from their next request on anyway; gone from the store now.
    if (const auto id = store.admins().idByName(args[0]))
        store.consoleSessions().endAllOf(*id);
    return 0;
}

// One line of standard input without its line end. At a terminal it is
// asked for on standard error and not echoed.
std::optional<QString> readSecretLine(const char *prompt)
{
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    termios saved{};
    if (terminal) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios quiet = saved;
            quiet.c_lflag &= ~tcflag_t(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        }
    }
    std::string line;
    bool ended = false;
    for (int c; (c = std::getchar()) != EOF;) {
        if (c == '\n') {
            ended = true;
            break;
        }
        line.push_back(char(c));
    }
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (!ended && line.empty())
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return QString::fromStdString(line);
}

// admin-password ADMIN: the new password from standard input (asked for
// twice at a terminal), never from the command line, where any user of the
// machine could read it. The administrator's console sessions end.
int adminPassword(const QStringList &args, const Options &, const QString &dbPath)
{
    if (args.size() != 1)
        return kWrongWords;
    const auto password = readSecretLine("New password: ");
    if (!password)
        return fail(QStringLiteral("no password on standard input"));
    if (::isatty(STDIN_FILENO) == 1 && readSecretLine("The same again: ") != password)
        return fail(QStringLiteral("the two passwords differ"));
    const QString problem = valuesProblem({{QStringLiteral("the password"), *password, {limits::kPassword, true}}});
    if (!problem.isEmpty())
        return fail(problem);
    Store store(dbPath);
    return store.admins().setPassword(args[0], *password) ? 0 : fail(QStringLiteral("no administrator %1").arg(args[0]));
}

int addUser(const QStringList &args, const Options &o, const QString &dbPath)
{
    if (args.size() != 3)
        return kWrongWords;
    UserFields u;
    u.username = args[1];
    u.password = args[2];
    u.email = o.value(QStringLiteral("--email"));
    u.firstname = o.value(QStringLiteral("--first"));
    u.lastname = o.value(QStringLiteral("--last"));
    u.tel = o.value(QStringLiteral("--tel"));
    const QString problem = valuesProblem({{QStringLiteral("the user name"), u.username, {limits::kUserName, true}},
                                           {QStringLiteral("the password"), u.password, {limits::kPassword, true}},
                                           {QStringLiteral("the e-mail address"), u.email, {limits::kEmail, false}},
                                           {QStringLiteral("the first name"), u.firstname, {limits::kName, false}},
                                           {QStringLiteral("the last name"), u.lastname, {limits::kName, false}},
                                           {QStringLiteral("the telephone number"), u.tel, {limits::kPhone, false}}});
    if (!problem.isEmpty())
        return fail(problem);
    if (!u.email.isEmpty() && !validation::isMailAddress(u.email))
        return fail(QStringLiteral("%1 is not an e-mail address").arg(u.email));
    Store store(dbPath);
    const auto adminId = store.admins().idByName(args[0]);
    if (!adminId)
        return fail(QStringLiteral("no administrator %1").arg(args[0]));
    const auto [outcome, id] = store.users().add(*adminId, u);
    if (outcome != Users::Addition::Added)
        return fail(QStringLiteral("cannot add user %1 (name taken or no ids left)").arg(args[1]));
    say(QString::number(id));
    return 0;
}

// One line per administrator: name, id, state, users, e-mail address.
int listAdmins(const QStringList &args, const Options &, const QString &dbPath)
{
    if (!args.isEmpty())
        return kWrongWords;
    Store store(dbPath);
    const qint64 t = QDateTime::currentSecsSinceEpoch();
    for (const AdminSummary &a : store.admins().list()) {
        const QString state = !a.active ? QStringLiteral("not activated")
            : a.expiresAt && *a.expiresAt <= t ? QStringLiteral("expired")
                                               : QStringLiteral("active");
        const QString origin = a.byOperator ? QStringLiteral("by the operator") : QStringLiteral("self-registered");
        say(QStringLiteral("%1\t%2\t%3\t%4\t%5 users\t%6")
                .arg(a.username)
                .arg(a.id)
                .arg(state, origin)
                .arg(a.users)
                .arg(a.email));
    }
    return 0;
}

int deleteAdmin(const QStringList &args, const Options &, const QString &dbPath)
{
    if (args.size() != 1)
        return kWrongWords;
    Store store(dbPath);
    return store.admins().remove(args[0]) ? 0 : fail(QStringLiteral("no administrator %1").arg(args[0]));
}

int deleteUser(const QStringList &args, const Options &, const QString &dbPath)
{
    if (args.size() != 1)
        return kWrongWords;
    Store store(dbPath);
    const auto user = store.users().byName(args[0]);
    return user && store.users().remove(user->id) ? 0 : fail(QStringLiteral("no user %1").arg(args[0]));
}

// receipts ID: the publication that raised alert ID with every recipient's
// receipt, as GET /api/v1/alerts/ID answers it, whoever published it.
int receipts(const QStringList &args, const Options &, const QString &dbPath)
{
    bool isNumber = false;
    const qint64 id = args.value(0).toLongLong(&isNumber);
    if (args.size() != 1 || !isNumber || id < 1)
        return kWrongWords;
    Store store(dbPath);
    const auto found = store.receipts().of(id, std::nullopt);
    if (!found)
        return fail(QStringLiteral("no receipts of alert %1").arg(id));
    std::fputs(QJsonDocument(Publishing::receiptsJson(*found)).toJson(QJsonDocument::Indented).constData(), stdout);
    return 0;
}

struct Command
{
    const char *name;
    int (*run)(const QStringList &args, const Options &o, const QString &dbPath);
    int names; // leading arguments that are names, for the audit trail
};

const Command kCommands[] = {
    {"migrate", migrate, 0},          {"alert", alert, 1},          {"token", token, 2},
    {"logout", logout, 1},            {"seed-admin", seedAdmin, 1}, {"activate-admin", activateAdmin, 1},
    {"approve-admin", approveAdmin, 1}, {"admin-password", adminPassword, 1},
    {"expire-admin", expireAdmin, 1}, {"add-user", addUser, 2},       {"list-admins", listAdmins, 0},
    {"delete-admin", deleteAdmin, 1}, {"delete-user", deleteUser, 1}, {"receipts", receipts, 0},
};

} // namespace

std::optional<int> runStoreCommand(const QString &command, const QStringList &args, const Options &o,
                                   const QString &dbPath)
{
    for (const Command &c : kCommands) {
        if (command != QLatin1String(c.name))
            continue;
        const int code = c.run(args, o, dbPath);
        // The audit trail names the command and whom it was for: the names
        // come first, passwords and texts after them, never shown.
        QString what = command;
        for (const QString &arg : args.mid(0, c.names))
            what += u' ' + arg;
        accesslog::audit(QStringLiteral("operator"), {},
                         what + (code == 0 ? QStringLiteral(": done") : QStringLiteral(": failed")));
        return code;
    }
    return std::nullopt;
}

} // namespace alertserver::cli
