#include "AlertService.h"

#include "Markup.h"
#include "Pages.h"

#include <QSet>

namespace alertserver {

namespace {

const QByteArray kXml = "text/xml; charset=UTF-8";
const QByteArray kHtml = "text/html; charset=UTF-8";

HttpReply xml(QByteArray body, int status = 200)
{
    return {status, kXml, std::move(body)};
}

HttpReply html(QByteArray body, int status = 200)
{
    return {status, kHtml, std::move(body)};
}

HttpReply refuse(int status, const QString &why)
{
    return xml(errorReply(why), status);
}

struct Field
{
    const char *key;
    int maxLength;
    bool required; // must not be empty
};

bool hasControlCharacter(const QString &text, bool multiline)
{
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        if (multiline && (c == '\n' || c == '\r' || c == '\t'))
            continue;
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

// Why the form does not carry the fields as required; "" when it does.
QString checkFields(const FormData &form, const QList<Field> &fields, bool multiline = false)
{
    for (const Field &f : fields) {
        const QString key = QString::fromLatin1(f.key);
        if (!form.has(key))
            return QStringLiteral("missing field %1").arg(key);
        const QString value = form.value(key);
        if (value.size() > f.maxLength)
            return QStringLiteral("field %1 is longer than %2 characters").arg(key).arg(f.maxLength);
        if (f.required && value.isEmpty())
            return QStringLiteral("field %1 is empty").arg(key);
        if (hasControlCharacter(value, multiline))
            return QStringLiteral("field %1 holds a control character").arg(key);
    }
    return {};
}

// An id as the programs send it: decimal digits only, 1 to 32767.
std::optional<int> parseId(const QString &text)
{
    if (text.isEmpty() || text.size() > 10)
        return std::nullopt;
    qint64 value = 0; // ten digits fit
    for (const QChar ch : text) {
        if (ch < u'0' || ch > u'9')
            return std::nullopt;
        value = value * 10 + (ch.unicode() - '0');
    }
    if (value < 1 || value > Store::kMaxId)
        return std::nullopt;
    return int(value);
}

QByteArray collapseSlashes(const QByteArray &path)
{
    if (!path.contains("//"))
        return path;
    QByteArray out;
    out.reserve(path.size());
    for (const char c : path)
        if (!(c == '/' && out.endsWith('/')))
            out.append(c);
    return out;
}

// What the add and the edit dialogs both send about a user.
const QList<Field> kUserDetails{{"password", limits::kPassword, true},
                                {"lastname", limits::kName, false},
                                {"firstname", limits::kName, false},
                                {"telnos", limits::kPhone, false},
                                {"email", limits::kEmail, false},
                                {"wirelessno", limits::kPhone, false},
                                {"serviceprovider", limits::kName, false}};

UserFields userFields(const FormData &form)
{
    UserFields u;
    u.username = form.value(QStringLiteral("username"));
    u.password = form.value(QStringLiteral("password"));
    u.firstname = form.value(QStringLiteral("firstname"));
    u.lastname = form.value(QStringLiteral("lastname"));
    u.tel = form.value(QStringLiteral("telnos"));
    u.email = form.value(QStringLiteral("email"));
    u.wirelessno = form.value(QStringLiteral("wirelessno"));
    u.carrier = form.value(QStringLiteral("serviceprovider"));
    return u;
}

} // namespace

AlertService::AlertService(Store &store, Outbox &outbox, const SkinLibrary &skins, QString fallbackBase)
    : m_store(store), m_outbox(outbox), m_skins(skins), m_fallbackBase(std::move(fallbackBase))
{
}

QString AlertService::baseFor(const HttpRequest &) const
{
    // Addresses in skins, pages and e-mails never come from the request: a
    // forged Host header would otherwise put a stranger's address into an
    // activation mail or a client's skin.
    return m_publicBase.isEmpty() ? m_fallbackBase : m_publicBase;
}

HttpReply AlertService::handle(const HttpRequest &request)
{
    try {
        const qsizetype q = request.target.indexOf('?');
        const QByteArray path = collapseSlashes(q < 0 ? request.target : request.target.left(q));
        const QByteArray queryText = q < 0 ? QByteArray() : request.target.mid(q + 1);
        auto query = FormData::parse(queryText);
        if (!query)
            return refuse(400, QStringLiteral("malformed query string"));
        std::optional<FormData> body = FormData();
        if (request.method == "POST") {
            if (request.body.size() > limits::kMaxBodyBytes)
                return refuse(413, QStringLiteral("request body too large"));
            body = FormData::parse(request.body);
            if (!body)
                return refuse(400, QStringLiteral("malformed form body"));
        }
        Context c{request, std::move(*query), std::move(*body), baseFor(request)};
        return route(path, c);
    } catch (const std::exception &e) {
        return refuse(500, QStringLiteral("server error: %1").arg(QString::fromUtf8(e.what())));
    }
}

HttpReply AlertService::route(const QByteArray &path, Context &c)
{
    static const QByteArray root = "/alertsystem/";
    if (!path.startsWith(root))
        return refuse(404, QStringLiteral("no such page"));
    const QByteArray name = path.mid(root.size());
    const QByteArray &method = c.request.method;
    // HEAD is answered as GET, without the body, by pages that change
    // nothing; everywhere else it is refused, so it can never delete a user
    // or use up an alert.
    const bool read = method == "GET" || method == "HEAD";

    if (read && name.startsWith("skins/"))
        return skinPicture(name);
    if (read && name.startsWith("pages/") && name.endsWith(".php")) {
        const QByteArray page = pages::link(QString::fromLatin1(name.mid(6, name.size() - 10)), c.base);
        return page.isEmpty() ? html(pages::simple(QStringLiteral("Not found"), {QStringLiteral("There is no such page.")}), 404)
                              : html(page);
    }

    // Every page by its name, with the methods that reach it; any other
    // method on a known page is refused as such.
    enum class Methods { Get, GetOrHead, Post };
    struct Route
    {
        const char *name;
        Methods methods;
        HttpReply (AlertService::*serve)(Context &);
    };
    static const Route routes[] = {
        {"status.php", Methods::Get, &AlertService::status},
        {"notifytype.php", Methods::GetOrHead, &AlertService::skin},
        {"login.php", Methods::Get, &AlertService::clientLogin},
        {"alerts.php", Methods::GetOrHead, &AlertService::alertPage},
        {"profile.php", Methods::GetOrHead, &AlertService::profilePage},
        {"download.php", Methods::GetOrHead, &AlertService::downloadPage},
        {"admin/activate.php", Methods::Get, &AlertService::activate},
        {"admin/getusers.php", Methods::Get, &AlertService::listUsers},
        {"admin/deleteuser.php", Methods::Get, &AlertService::deleteUser},
        {"admin/login.php", Methods::Post, &AlertService::adminLogin},
        {"admin/register.php", Methods::Post, &AlertService::registerAdmin},
        {"admin/adduser.php", Methods::Post, &AlertService::addUser},
        {"admin/edituser.php", Methods::Post, &AlertService::editUser},
        {"admin/sendemail.php", Methods::Post, &AlertService::sendEmail},
        {"control/alert.php", Methods::Post, &AlertService::controlAlert},
        {"control/logout.php", Methods::Post, &AlertService::controlLogout},
    };
    for (const Route &r : routes) {
        if (name != r.name)
            continue;
        const bool allowed = r.methods == Methods::Post
            ? method == "POST"
            : method == "GET" || (r.methods == Methods::GetOrHead && read);
        if (allowed)
            return (this->*r.serve)(c);
        return refuse(405, QStringLiteral("method %1 not allowed here").arg(QString::fromLatin1(method)));
    }
    return refuse(404, QStringLiteral("no such page"));
}

// ---- client

HttpReply AlertService::downloadPage(Context &c)
{
    return html(pages::link(QStringLiteral("download"), c.base));
}

HttpReply AlertService::skin(Context &c)
{
    if (!c.query.has(QStringLiteral("id")))
        return refuse(400, QStringLiteral("missing field id"));
    const auto values = m_skins.values(c.query.value(QStringLiteral("id")), c.base);
    if (!values)
        return refuse(404, QStringLiteral("unknown skin"));
    XmlReply reply(QStringLiteral("skin"));
    for (qsizetype i = 0; i < values->size(); ++i)
        reply.element(QStringLiteral("v%1").arg(i), values->at(i));
    return xml(reply.finish());
}

HttpReply AlertService::skinPicture(const QByteArray &name)
{
    // skins/<id>/<file>
    const QList<QByteArray> parts = name.split('/');
    if (parts.size() == 3) {
        if (auto picture = m_skins.picture(QString::fromLatin1(parts[1]), QString::fromLatin1(parts[2])))
            return {200, picture->contentType, picture->bytes};
    }
    return refuse(404, QStringLiteral("no such picture"));
}

HttpReply AlertService::clientLogin(Context &c)
{
    const QString problem = checkFields(c.query, {{"username", limits::kUserName, false}, {"password", limits::kPassword, false}});
    if (!problem.isEmpty())
        return xml(answerReply(QStringLiteral("login"), QStringLiteral("ERROR")), 400);
    const bool accepted = m_store.loginUser(c.query.value(QStringLiteral("username")), c.query.value(QStringLiteral("password")));
    return xml(answerReply(QStringLiteral("login"), accepted ? QStringLiteral("1") : QStringLiteral("0")));
}

HttpReply AlertService::status(Context &c)
{
    if (!c.query.has(QStringLiteral("username")))
        return xml(answerReply(QStringLiteral("status"), QStringLiteral("ERROR")), 400);
    const QString name = c.query.value(QStringLiteral("username"));
    // A name that cannot exist is simply not logged in.
    const int s = name.size() > limits::kUserName ? 2 : m_store.pollStatus(name);
    return xml(answerReply(QStringLiteral("status"), QString::number(s)));
}

HttpReply AlertService::alertPage(Context &c)
{
    const QString name = c.query.value(QStringLiteral("username"));
    const auto user = name.size() > limits::kUserName ? std::nullopt : m_store.userByName(name);
    QList<AlertRecord> list;
    if (user && user->loggedIn)
        list = m_store.alertsOf(user->id, kAlertsShown);
    return html(pages::alerts(user, list));
}

HttpReply AlertService::profilePage(Context &c)
{
    const QString name = c.query.value(QStringLiteral("id"));
    const auto user = name.size() > limits::kUserName ? std::nullopt : m_store.userByName(name);
    return html(pages::profile(user));
}

// ---- administrators

HttpReply AlertService::registerAdmin(Context &c)
{
    const FormData &f = c.body;
    const QString problem = checkFields(f, {{"username", limits::kUserName, true},
                                            {"password", limits::kPassword, true},
                                            {"firstname", limits::kName, false},
                                            {"lastname", limits::kName, false},
                                            {"affiliate", limits::kName, false},
                                            {"address", limits::kAddress, false},
                                            {"email", limits::kEmail, true},
                                            {"country", limits::kName, false},
                                            {"state", limits::kName, false},
                                            {"city", limits::kName, false},
                                            {"postalcode", limits::kPostalCode, false},
                                            {"telno", limits::kPhone, false}});
    if (!problem.isEmpty())
        return refuse(400, problem);
    AdminRegistration reg;
    reg.username = f.value(QStringLiteral("username"));
    reg.password = f.value(QStringLiteral("password"));
    reg.firstname = f.value(QStringLiteral("firstname"));
    reg.lastname = f.value(QStringLiteral("lastname"));
    reg.company = f.value(QStringLiteral("affiliate"));
    reg.address = f.value(QStringLiteral("address"));
    // "email" comes twice: first the telephone, then the address; the last wins.
    reg.email = f.value(QStringLiteral("email"));
    reg.tel = f.value(QStringLiteral("telno"));
    reg.country = f.value(QStringLiteral("country"));
    reg.state = f.value(QStringLiteral("state"));
    reg.city = f.value(QStringLiteral("city"));
    reg.postalcode = f.value(QStringLiteral("postalcode"));
    reg.regtype = f.value(QStringLiteral("regtype")).left(16);
    if (!reg.email.contains(u'@'))
        return refuse(400, QStringLiteral("field email is not an e-mail address"));

    const Store::RegisterResult result = m_store.registerAdmin(reg);
    if (result.outcome == Store::Registration::NameTaken)
        return xml(statusReply(QStringLiteral("USERNAMEEXISTS")));
    if (result.outcome == Store::Registration::Full)
        return refuse(507, QStringLiteral("no more administrator accounts can be created"));

    Mail mail;
    mail.to = reg.email;
    mail.subject = QStringLiteral("Activate your Vantorel Software administrator account");
    mail.body = QStringLiteral("Hello %1 %2,\n\n"
                               "thank you for registering as an administrator of the Vantorel Software alert system.\n"
                               "Your user name: %3\n\n"
                               "Open this link to activate your account:\n%4/alertsystem/admin/activate.php?code=%5\n\n"
                               "Until then the wizard will tell you that your account is not active.\n")
                    .arg(reg.firstname, reg.lastname, reg.username, c.base, QString::fromLatin1(result.activationCode));
    if (m_outbox.write(mail).isEmpty()) {
        // Without the e-mail nobody could ever activate the account: take it back.
        m_store.removeAdmin(result.id);
        return refuse(500, QStringLiteral("the activation e-mail could not be written"));
    }
    return xml(statusReply(QStringLiteral("REGISTEROK"), result.id));
}

HttpReply AlertService::activate(Context &c)
{
    const QString code = c.query.value(QStringLiteral("code"));
    const bool plausible = !code.isEmpty() && code.size() <= 64
        && std::all_of(code.cbegin(), code.cend(), [](QChar ch) { return (ch >= u'0' && ch <= u'9') || (ch >= u'a' && ch <= u'f'); });
    const auto name = plausible ? m_store.activateAdmin(code.toLatin1()) : std::nullopt;
    if (!name)
        return html(pages::simple(QStringLiteral("Activation"),
                                  {QStringLiteral("This activation link is not known or has been used already.")}),
                    404);
    return html(pages::simple(QStringLiteral("Account activated"),
                              {QStringLiteral("The administrator account %1 is active now.").arg(*name),
                               QStringLiteral("Log in with the Kestrup administrator wizard to add your users.")}));
}

HttpReply AlertService::adminLogin(Context &c)
{
    const QString problem = checkFields(c.body, {{"username", limits::kUserName, false}, {"password", limits::kPassword, false}});
    if (!problem.isEmpty())
        return refuse(400, problem);
    const auto [outcome, id] = m_store.loginAdmin(c.body.value(QStringLiteral("username")), c.body.value(QStringLiteral("password")));
    switch (outcome) {
    case Store::AdminLogin::LoggedIn: return xml(statusReply(QStringLiteral("LOGINOK"), id));
    case Store::AdminLogin::NotActive: return xml(statusReply(QStringLiteral("NOTACTIVE")));
    case Store::AdminLogin::Expired: return xml(statusReply(QStringLiteral("EXPIRED")));
    case Store::AdminLogin::Invalid: break;
    }
    return xml(statusReply(QStringLiteral("INVALID")));
}

HttpReply AlertService::listUsers(Context &c)
{
    const auto adminId = parseId(c.query.value(QStringLiteral("mrgID")));
    if (!adminId || !m_store.isUsableAdmin(*adminId))
        return refuse(404, QStringLiteral("unknown administrator"));
    XmlReply reply(QStringLiteral("users"));
    for (const UserRecord &u : m_store.usersOf(*adminId)) {
        // The nine children in the order the user list reads them.
        reply.open(QStringLiteral("user"))
            .element(QStringLiteral("id"), QString::number(u.id))
            .element(QStringLiteral("username"), u.username)
            .element(QStringLiteral("lastname"), u.lastname)
            .element(QStringLiteral("firstname"), u.firstname)
            .element(QStringLiteral("tel"), u.tel)
            .element(QStringLiteral("email"), u.email)
            .element(QStringLiteral("wirelessno"), u.wirelessno)
            .element(QStringLiteral("carrier"), u.carrier)
            .element(QStringLiteral("password"), u.password)
            .close();
    }
    return xml(reply.finish());
}

HttpReply AlertService::addUser(Context &c)
{
    const QString problem = checkFields(c.body, QList<Field>{{"username", limits::kUserName, true}} + kUserDetails
                                                    + QList<Field>{{"mrgID", 10, true}});
    if (!problem.isEmpty())
        return refuse(400, problem);
    const auto adminId = parseId(c.body.value(QStringLiteral("mrgID")));
    if (!adminId || !m_store.isUsableAdmin(*adminId))
        return refuse(404, QStringLiteral("unknown administrator"));
    const auto [outcome, id] = m_store.addUser(*adminId, userFields(c.body));
    switch (outcome) {
    case Store::Addition::Added: return xml(statusReply(QStringLiteral("USERADDED"), id));
    case Store::Addition::NameTaken:
    case Store::Addition::Full: return xml(statusReply(QStringLiteral("CANOTADD")));
    case Store::Addition::NoAdmin: break;
    }
    return refuse(404, QStringLiteral("unknown administrator"));
}

HttpReply AlertService::editUser(Context &c)
{
    const QString problem = checkFields(c.body, kUserDetails + QList<Field>{{"id", 10, true}});
    if (!problem.isEmpty())
        return refuse(400, problem);
    const auto id = parseId(c.body.value(QStringLiteral("id")));
    if (!id || !m_store.editUser(*id, userFields(c.body)))
        return refuse(404, QStringLiteral("unknown user"));
    return xml(statusReply(QStringLiteral("EDITUSER"), *id));
}

HttpReply AlertService::deleteUser(Context &c)
{
    const auto id = parseId(c.query.value(QStringLiteral("id")));
    if (!id || !m_store.deleteUser(*id))
        return refuse(404, QStringLiteral("unknown user"));
    return xml(statusReply(QStringLiteral("DELETEOK"), *id));
}

HttpReply AlertService::sendEmail(Context &c)
{
    const FormData &f = c.body;
    if (f.value(QStringLiteral("v1")) != QLatin1String(kMailAccessCode))
        return refuse(403, QStringLiteral("wrong access code"));
    const auto adminId = parseId(f.value(QStringLiteral("mrgID")));
    if (!adminId || !m_store.isUsableAdmin(*adminId))
        return refuse(404, QStringLiteral("unknown administrator"));
    const QList<QString> addresses = f.all(QStringLiteral("mails[]"));
    if (addresses.size() > Store::kMaxId)
        return refuse(400, QStringLiteral("too many addresses"));

    // Mail goes only to addresses of this administrator's own users, once
    // per address, so the endpoint cannot be used to send mail to strangers.
    QMultiHash<QString, UserRecord> usersByAddress;
    for (const UserRecord &u : m_store.usersOf(*adminId))
        if (!u.email.isEmpty())
            usersByAddress.insert(u.email.toLower(), u);
    QSet<QString> done;
    int sent = 0;
    for (const QString &address : addresses) {
        const QString key = address.toLower();
        if (address.isEmpty() || done.contains(key) || !usersByAddress.contains(key))
            continue;
        done.insert(key);
        QStringList names;
        QString greeting;
        for (const UserRecord &u : usersByAddress.values(key)) {
            names.prepend(u.username);
            greeting = (u.firstname + u' ' + u.lastname).trimmed();
        }
        Mail mail;
        mail.to = address;
        mail.subject = QStringLiteral("Your Vantorel instant alert account");
        mail.body = QStringLiteral("Hello %1,\n\n"
                                   "an alert account has been set up for you.\n"
                                   "Your user name: %2\n\n"
                                   "Download the Tarvex alert client here:\n%3/alertsystem/download.php\n\n"
                                   "Log in with your user name and the password your administrator gave you.\n")
                        .arg(greeting.isEmpty() ? QStringLiteral("there") : greeting, names.join(QStringLiteral(", ")), c.base);
        if (!m_outbox.write(mail).isEmpty())
            ++sent;
    }
    return xml(statusReply(QStringLiteral("MSGSEND"), sent));
}

// ---- loopback control

HttpReply AlertService::controlAlert(Context &c)
{
    if (!c.request.fromLoopback)
        return refuse(403, QStringLiteral("only from this machine"));
    const QString problem = checkFields(c.body, {{"user", limits::kUserName, true}, {"text", limits::kAlertText, true}}, true);
    if (!problem.isEmpty())
        return refuse(400, problem);
    if (!m_store.raiseAlert(c.body.value(QStringLiteral("user")), c.body.value(QStringLiteral("text"))))
        return xml(statusReply(QStringLiteral("UNKNOWNUSER")), 404);
    return xml(statusReply(QStringLiteral("ALERTED")));
}

HttpReply AlertService::controlLogout(Context &c)
{
    if (!c.request.fromLoopback)
        return refuse(403, QStringLiteral("only from this machine"));
    const QString problem = checkFields(c.body, {{"user", limits::kUserName, true}});
    if (!problem.isEmpty())
        return refuse(400, problem);
    if (!m_store.logoutUser(c.body.value(QStringLiteral("user"))))
        return xml(statusReply(QStringLiteral("UNKNOWNUSER")), 404);
    return xml(statusReply(QStringLiteral("LOGGEDOUT")));
}

} // namespace alertserver
