#include "AlertService.h"

#include "Markup.h"
#include "Pages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStringDecoder>

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

// A reply that no program reads as an answer: the wizard's pages and the
// client take it as unreadable and recover as from a broken connection.
HttpReply notXml(int status, const QByteArray &why)
{
    return {status, "text/plain; charset=UTF-8", why + '\n'};
}

// The wizard sends none of these; a browser sends them with every request a
// web page makes, which keeps a page on the administrator's machine from
// acting in the administrator's name.
bool fromBrowser(const HttpRequest &request)
{
    for (const auto &[name, value] : request.headers) {
        if (name.compare("Origin", Qt::CaseInsensitive) == 0 || name.compare("Referer", Qt::CaseInsensitive) == 0
            || name.toLower().startsWith("sec-fetch-"))
            return true;
    }
    return false;
}

bool isPlainLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
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

// The user list page reads any well-formed reply but its two words as a list
// of users, so whatever these pages do not carry out is answered in no XML.
bool answersTheUserList(const QByteArray &page)
{
    return page == "admin/getusers.php" || page == "admin/deleteuser.php" || page == "admin/sendemail.php";
}

const QByteArray kRoot = "/alertsystem/";

// ---- the publishing interface's replies

HttpReply json(int status, const QJsonObject &object)
{
    return {status, "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n'};
}

HttpReply jsonError(int status, const QString &why)
{
    return json(status, {{QStringLiteral("error"), why}});
}

// 401 with the challenge RFC 6750 asks for; a token that was sent but is not
// (or no longer) valid is named as such.
HttpReply unauthorized(const QString &why, bool tokenSent)
{
    HttpReply r = jsonError(401, why);
    r.headers.append({QByteArray("WWW-Authenticate"), tokenSent ? QByteArray("Bearer realm=\"alertserver\", error=\"invalid_token\"")
                                                    : QByteArray("Bearer realm=\"alertserver\"")});
    return r;
}

// The characters of a bearer token (RFC 6750's b64token); ours are base64url.
bool isTokenText(const QByteArray &token)
{
    if (token.isEmpty() || token.size() > 512)
        return false;
    return std::all_of(token.cbegin(), token.cend(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
            || c == '_' || c == '~' || c == '+' || c == '/' || c == '=';
    });
}

} // namespace

bool isMailAddress(const QString &address)
{
    const qsizetype at = address.indexOf(u'@');
    if (at < 0 || address.indexOf(u'.', at + 1) < 0)
        return false;
    const QString last = address.mid(address.lastIndexOf(u'.') + 1);
    if (last.size() < 2 || last.size() > 3 || !std::all_of(last.cbegin(), last.cend(), isPlainLetter))
        return false;
    for (const QChar c : address) {
        if (!isPlainLetter(c) && !(c >= u'0' && c <= u'9') && c != u'.' && c != u'@' && c != u'-' && c != u'_')
            return false;
    }
    // Beyond the wizard's check: one mailbox, named.
    return at > 0 && address.indexOf(u'@', at + 1) < 0;
}

QByteArray AlertService::loggableTarget(const QByteArray &target)
{
    const qsizetype q = target.indexOf('?');
    if (q < 0)
        return target;
    QList<QByteArray> pairs = target.mid(q + 1).split('&');
    for (QByteArray &pair : pairs) {
        const qsizetype eq = pair.indexOf('=');
        const QByteArray rawKey = eq < 0 ? pair : pair.left(eq);
        const QByteArray key = QByteArray::fromPercentEncoding(QByteArray(rawKey).replace('+', ' ')).toLower();
        if (key == "password" || key == "code")
            pair = rawKey + "=[hidden]";
    }
    return target.left(q + 1) + pairs.join('&');
}

AlertService::AlertService(Store &store, MailDelivery &mail, const SkinLibrary &skins, QString fallbackBase)
    : m_store(store), m_mail(mail), m_skins(skins), m_fallbackBase(std::move(fallbackBase))
{
}

QString AlertService::baseFor(const HttpRequest &) const
{
    // Addresses in skins, pages and e-mails never come from the request: a
    // forged Host header would otherwise put a stranger's address into an
    // activation mail or a client's skin.
    return m_publicBase.isEmpty() ? m_fallbackBase : m_publicBase;
}

HttpReply AlertService::refusalFor(const QByteArray &target, int status, const QString &why)
{
    if (collapseSlashes(target).startsWith("/api/"))
        return jsonError(status, why);
    return refuse(status, why);
}

QString AlertService::alertTextProblem(const QString &text, bool *tooLong)
{
    if (tooLong)
        *tooLong = false;
    if (text.trimmed().isEmpty())
        return QStringLiteral("the text is empty");
    if (text.toUtf8().size() > limits::kAlertTextBytes) {
        if (tooLong)
            *tooLong = true;
        return QStringLiteral("the text is longer than %1 bytes of UTF-8").arg(limits::kAlertTextBytes);
    }
    if (!text.isValidUtf16())
        return QStringLiteral("the text is not valid Unicode");
    if (hasControlCharacter(text, true))
        return QStringLiteral("the text holds a control character");
    return {};
}

HttpReply AlertService::handle(const HttpRequest &request)
{
    const qsizetype q = request.target.indexOf('?');
    const QByteArray path = collapseSlashes(q < 0 ? request.target : request.target.left(q));
    if (path.startsWith("/api/")) {
        try {
            if (path != kPublishPath)
                return jsonError(404, QStringLiteral("no such page"));
            return publish(request, q < 0 ? QByteArray() : request.target.mid(q + 1));
        } catch (const std::exception &e) {
            return jsonError(500, QStringLiteral("server error: %1").arg(QString::fromUtf8(e.what())));
        }
    }
    const QByteArray page = path.startsWith(kRoot) ? path.mid(kRoot.size()) : QByteArray();
    HttpReply reply;
    try {
        const QByteArray queryText = q < 0 ? QByteArray() : request.target.mid(q + 1);
        auto query = FormData::parse(queryText);
        std::optional<FormData> body = FormData();
        if (!query) {
            reply = refuse(400, QStringLiteral("malformed query string"));
        } else if (request.method == "POST" && request.body.size() > limits::kMaxBodyBytes) {
            reply = refuse(413, QStringLiteral("request body too large"));
        } else if (request.method == "POST" && !(body = FormData::parse(request.body))) {
            reply = refuse(400, QStringLiteral("malformed form body"));
        } else {
            Context c{request, std::move(*query), std::move(*body), baseFor(request)};
            reply = route(path, c);
        }
    } catch (const std::exception &e) {
        reply = refuse(500, QStringLiteral("server error: %1").arg(QString::fromUtf8(e.what())));
    }
    if (reply.status != 200 && answersTheUserList(page))
        return refusal(page, reply.status);
    return reply;
}

HttpReply AlertService::refusal(const QByteArray &page, int status)
{
    if (page == "admin/login.php")
        return xml(statusReply(QStringLiteral("INVALID")), status);
    if (page == "admin/adduser.php")
        return xml(statusReply(QStringLiteral("CANOTADD")), status);
    if (answersTheUserList(page))
        return notXml(status, "request refused");
    return refuse(status, QStringLiteral("request refused"));
}

QString AlertService::sessionOf(const HttpRequest &request) const
{
    return m_store.policy().sessionPerAddress ? QString::fromLatin1(request.peer) : QString::fromLatin1(Store::kAnyAddress);
}

HttpReply AlertService::route(const QByteArray &path, Context &c)
{
    if (!path.startsWith(kRoot))
        return refuse(404, QStringLiteral("no such page"));
    const QByteArray name = path.mid(kRoot.size());
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
    };
    for (const Route &r : routes) {
        if (name != r.name)
            continue;
        const bool allowed = r.methods == Methods::Post
            ? method == "POST"
            : method == "GET" || (r.methods == Methods::GetOrHead && read);
        if (!allowed)
            return refuse(405, QStringLiteral("method %1 not allowed here").arg(QString::fromLatin1(method)));
        // The activation link is opened in a browser; the wizard's requests
        // never come from one.
        if (name.startsWith("admin/") && name != "admin/activate.php" && fromBrowser(c.request))
            return refusal(name, 403);
        return (this->*r.serve)(c);
    }
    return refuse(404, QStringLiteral("no such page"));
}

// ---- publishing

HttpReply AlertService::publish(const HttpRequest &request, const QByteArray &queryText)
{
    if (request.method != "POST") {
        HttpReply r = jsonError(405, QStringLiteral("method %1 not allowed here; alerts are sent with POST")
                                         .arg(QString::fromLatin1(request.method)));
        r.headers.append({QByteArray("Allow"), QByteArray("POST")});
        return r;
    }
    // The token's form first; whether it is one of ours, in the store below.
    int fields = 0;
    QByteArray credentials;
    for (const auto &[name, value] : request.headers) {
        if (name.compare("Authorization", Qt::CaseInsensitive) == 0) {
            ++fields;
            credentials = value.trimmed();
        }
    }
    if (fields > 1)
        return jsonError(400, QStringLiteral("more than one Authorization field"));
    if (fields == 0 || credentials.isEmpty())
        return unauthorized(QStringLiteral("no token; send Authorization: Bearer TOKEN"), false);
    const qsizetype space = credentials.indexOf(' ');
    if (space < 0 || credentials.left(space).compare("Bearer", Qt::CaseInsensitive) != 0)
        return unauthorized(QStringLiteral("the Authorization field is not Bearer TOKEN"), false);
    const QByteArray token = credentials.mid(space + 1).trimmed();
    if (!isTokenText(token))
        return unauthorized(QStringLiteral("unknown or revoked token"), true);

    if (request.body.size() > limits::kMaxApiBodyBytes)
        return jsonError(413, QStringLiteral("the body is larger than %1 bytes").arg(limits::kMaxApiBodyBytes));
    const auto query = FormData::parse(queryText);
    if (!query)
        return jsonError(400, QStringLiteral("malformed query string"));

    QString text;
    QStringList users;
    bool all = false;
    const QByteArray type = request.header("Content-Type").split(';').value(0).trimmed().toLower();
    if (type == "application/json") {
        if (!query->pairs().isEmpty())
            return jsonError(400, QStringLiteral("a JSON body names its users itself; the query must be empty"));
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
        if (error.error != QJsonParseError::NoError)
            return jsonError(400, QStringLiteral("malformed JSON: %1").arg(error.errorString()));
        if (!document.isObject())
            return jsonError(400, QStringLiteral("the body must be a JSON object"));
        const QJsonObject object = document.object();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            if (it.key() != QLatin1String("text") && it.key() != QLatin1String("users") && it.key() != QLatin1String("all"))
                return jsonError(400, QStringLiteral("unknown field %1").arg(it.key()));
        }
        if (!object.value(QLatin1String("text")).isString())
            return jsonError(400, QStringLiteral("text must be a string"));
        text = object.value(QLatin1String("text")).toString();
        const QJsonValue allValue = object.value(QLatin1String("all"));
        if (!allValue.isUndefined() && !allValue.isBool())
            return jsonError(400, QStringLiteral("all must be true or false"));
        all = allValue.toBool(false);
        const QJsonValue usersValue = object.value(QLatin1String("users"));
        if (!usersValue.isUndefined()) {
            if (!usersValue.isArray())
                return jsonError(400, QStringLiteral("users must be a list of user names"));
            for (const QJsonValue &user : usersValue.toArray()) {
                if (!user.isString())
                    return jsonError(400, QStringLiteral("users must be a list of user names"));
                users << user.toString();
            }
            if (all)
                return jsonError(400, QStringLiteral("give users or all, not both"));
        }
    } else {
        // Any other body (curl -d sends it as a form) is the text itself, as
        // sent: not form-decoded, so that "&", "+" and "%" stay what they are.
        for (const auto &[key, value] : query->pairs()) {
            if (key != QLatin1String("user"))
                return jsonError(400, QStringLiteral("unknown query field %1").arg(key));
            users << value;
        }
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        text = utf8.decode(request.body);
        if (utf8.hasError())
            return jsonError(400, QStringLiteral("the text is not UTF-8"));
        if (users.isEmpty())
            return jsonError(400, QStringLiteral("a plain-text body needs ?user=NAME; a JSON body needs "
                                                 "Content-Type: application/json"));
    }
    if (!all && users.isEmpty())
        return jsonError(400, QStringLiteral("name the users, or send all: true"));
    if (users.size() > Store::kMaxId)
        return jsonError(413, QStringLiteral("too many users"));
    for (const QString &user : users) {
        if (user.isEmpty() || user.size() > limits::kUserName)
            return jsonError(400, QStringLiteral("a user name is empty or longer than %1 characters").arg(limits::kUserName));
    }
    bool tooLong = false;
    const QString problem = alertTextProblem(text, &tooLong);
    if (!problem.isEmpty())
        return jsonError(tooLong ? 413 : 400, problem);

    const Store::PublishResult result = m_store.publish(token, users, all, text);
    switch (result.outcome) {
    case Store::Publication::NoToken: return unauthorized(QStringLiteral("unknown or revoked token"), true);
    case Store::Publication::NotTheirs:
        // The same answer for a user of another administrator as for none.
        return jsonError(403, QStringLiteral("%1 is not one of your users").arg(result.refusedUser));
    case Store::Publication::Limited: {
        HttpReply r = jsonError(429, QStringLiteral("too many alerts with this token; try again in %1 s")
                                         .arg(result.retryAfter));
        r.headers.append({QByteArray("Retry-After"), QByteArray::number(result.retryAfter)});
        return r;
    }
    case Store::Publication::Published: break;
    }
    QJsonArray alerts;
    for (const RaisedAlert &a : result.alerts)
        alerts.append(QJsonObject{{QStringLiteral("id"), a.id}, {QStringLiteral("user"), a.username}});
    return json(200, {{QStringLiteral("alerts"), alerts}});
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
    const QString name = c.query.value(QStringLiteral("username"));
    const QString address = QString::fromLatin1(c.request.peer);
    // Never "0" or "ERROR" here: either would switch the client's automatic
    // login off, and the user did nothing wrong. An unreadable answer makes
    // it try again a little later.
    if (m_store.overLimit(Limit::ClientLoginName, name) || m_store.overLimit(Limit::ClientLoginAddress, address))
        return notXml(429, "too many failed logins, try again later");
    if (!m_store.loginUser(name, c.query.value(QStringLiteral("password")), sessionOf(c.request))) {
        m_store.countAgainst(Limit::ClientLoginName, name);
        m_store.countAgainst(Limit::ClientLoginAddress, address);
        return xml(answerReply(QStringLiteral("login"), QStringLiteral("0")));
    }
    return xml(answerReply(QStringLiteral("login"), QStringLiteral("1")));
}

HttpReply AlertService::status(Context &c)
{
    if (!c.query.has(QStringLiteral("username")))
        return xml(answerReply(QStringLiteral("status"), QStringLiteral("ERROR")), 400);
    const QString name = c.query.value(QStringLiteral("username"));
    // A name that cannot exist is simply not logged in.
    const int s = name.size() > limits::kUserName ? 2 : m_store.pollStatus(name, sessionOf(c.request));
    return xml(answerReply(QStringLiteral("status"), QString::number(s)));
}

HttpReply AlertService::alertPage(Context &c)
{
    const QString name = c.query.value(QStringLiteral("username"));
    auto user = name.size() > limits::kUserName ? std::nullopt : m_store.userByName(name);
    QList<AlertRecord> list;
    if (user) {
        user->loggedIn = m_store.hasSession(user->id, sessionOf(c.request));
        if (user->loggedIn)
            list = m_store.alertsOf(user->id, kAlertsShown);
    }
    return html(pages::alerts(user, list));
}

HttpReply AlertService::profilePage(Context &c)
{
    const QString name = c.query.value(QStringLiteral("id"));
    auto user = name.size() > limits::kUserName ? std::nullopt : m_store.userByName(name);
    if (user)
        user->loggedIn = m_store.hasSession(user->id, sessionOf(c.request));
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
    if (!isMailAddress(reg.email))
        return refuse(400, QStringLiteral("field email is not an e-mail address"));
    const QString address = QString::fromLatin1(c.request.peer);
    if (!m_store.spend(Limit::Registration, address))
        return refuse(429, QStringLiteral("too many registrations from this address, try again tomorrow"));

    const QString base = c.base;
    const Store::RegisterResult result = m_store.registerAdmin(reg, [&](int, const QByteArray &code) {
        Mail mail;
        mail.to = reg.email;
        mail.subject = QStringLiteral("Activate your Vantorel Software administrator account");
        mail.body = QStringLiteral("Hello %1 %2,\n\n"
                                   "thank you for registering as an administrator of the Vantorel Software alert system.\n"
                                   "Your user name: %3\n\n"
                                   "Open this link to activate your account:\n%4/alertsystem/admin/activate.php?code=%5\n\n"
                                   "Until then the wizard will tell you that your account is not active.\n")
                        .arg(reg.firstname, reg.lastname, reg.username, base, QString::fromLatin1(code));
        return mail;
    });
    switch (result.outcome) {
    case Store::Registration::NameTaken: return xml(statusReply(QStringLiteral("USERNAMEEXISTS")));
    case Store::Registration::Full:
        return refuse(507, QStringLiteral("no more administrator accounts can be created"));
    case Store::Registration::MailLimited:
        return refuse(429, QStringLiteral("too many mails to this address, try again tomorrow"));
    case Store::Registration::Registered:
    case Store::Registration::Resent: break;
    }
    m_store.bindAdmin(result.id, address);
    m_mail.queued();
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
    const QString name = c.body.value(QStringLiteral("username"));
    const QString address = QString::fromLatin1(c.request.peer);
    if (m_store.overLimit(Limit::AdminLoginName, name) || m_store.overLimit(Limit::AdminLoginAddress, address))
        return refusal("admin/login.php", 429);
    const auto [outcome, id] = m_store.loginAdmin(name, c.body.value(QStringLiteral("password")));
    switch (outcome) {
    case Store::AdminLogin::LoggedIn:
        m_store.bindAdmin(id, address);
        return xml(statusReply(QStringLiteral("LOGINOK"), id));
    case Store::AdminLogin::NotActive: return xml(statusReply(QStringLiteral("NOTACTIVE")));
    case Store::AdminLogin::Expired: return xml(statusReply(QStringLiteral("EXPIRED")));
    case Store::AdminLogin::Invalid: break;
    }
    m_store.countAgainst(Limit::AdminLoginName, name);
    m_store.countAgainst(Limit::AdminLoginAddress, address);
    return xml(statusReply(QStringLiteral("INVALID")));
}

HttpReply AlertService::listUsers(Context &c)
{
    const auto adminId = parseId(c.query.value(QStringLiteral("mrgID")));
    if (!adminId || !m_store.isBound(*adminId, QString::fromLatin1(c.request.peer)))
        return refusal("admin/getusers.php", 403);
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
    const UserFields fields = userFields(c.body);
    if (!fields.email.isEmpty() && !isMailAddress(fields.email))
        return refuse(400, QStringLiteral("field email is not an e-mail address"));
    const auto adminId = parseId(c.body.value(QStringLiteral("mrgID")));
    if (!adminId || !m_store.isBound(*adminId, QString::fromLatin1(c.request.peer)))
        return refusal("admin/adduser.php", 403);
    const int most = m_store.policy().usersPerAdmin > 0 ? m_store.policy().usersPerAdmin : Store::kMaxId;
    const auto [outcome, id] = m_store.addUser(*adminId, fields, most);
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
    const UserFields fields = userFields(c.body);
    if (!fields.email.isEmpty() && !isMailAddress(fields.email))
        return refuse(400, QStringLiteral("field email is not an e-mail address"));
    // Another administrator's user is refused as an unknown one.
    const auto id = parseId(c.body.value(QStringLiteral("id")));
    if (!id || !m_store.ownerBoundTo(*id, QString::fromLatin1(c.request.peer)) || !m_store.editUser(*id, fields))
        return refuse(404, QStringLiteral("unknown user"));
    return xml(statusReply(QStringLiteral("EDITUSER"), *id));
}

HttpReply AlertService::deleteUser(Context &c)
{
    const auto id = parseId(c.query.value(QStringLiteral("id")));
    if (!id || !m_store.ownerBoundTo(*id, QString::fromLatin1(c.request.peer)) || !m_store.deleteUser(*id))
        return refusal("admin/deleteuser.php", 404);
    return xml(statusReply(QStringLiteral("DELETEOK"), *id));
}

HttpReply AlertService::sendEmail(Context &c)
{
    // The id in the address is the selected row's; the administrator is the
    // one in the body.
    const FormData &f = c.body;
    if (f.value(QStringLiteral("v1")) != QLatin1String(kMailAccessCode))
        return refusal("admin/sendemail.php", 403);
    const auto adminId = parseId(f.value(QStringLiteral("mrgID")));
    if (!adminId || !m_store.isBound(*adminId, QString::fromLatin1(c.request.peer)))
        return refusal("admin/sendemail.php", 403);
    const QList<QString> addresses = f.all(QStringLiteral("mails[]"));
    if (addresses.size() > Store::kMaxId)
        return refusal("admin/sendemail.php", 400);

    // Mail goes only to addresses of this administrator's own users, once
    // per address, so the endpoint cannot be used to send mail to strangers.
    QMultiHash<QString, UserRecord> usersByAddress;
    for (const UserRecord &u : m_store.usersOf(*adminId))
        if (isMailAddress(u.email))
            usersByAddress.insert(Store::nameKey(u.email), u);
    QSet<QString> done;
    QList<Mail> mails;
    for (const QString &address : addresses) {
        const QString key = Store::nameKey(address);
        if (done.contains(key) || !usersByAddress.contains(key))
            continue;
        done.insert(key);
        QStringList names;
        QString greeting;
        QString to;
        for (const UserRecord &u : usersByAddress.values(key)) {
            names.prepend(u.username);
            greeting = (u.firstname + u' ' + u.lastname).trimmed();
            to = u.email;
        }
        Mail mail;
        mail.to = to;
        mail.subject = QStringLiteral("Your Vantorel instant alert account");
        mail.body = QStringLiteral("Hello %1,\n\n"
                                   "an alert account has been set up for you.\n"
                                   "Your user name: %2\n\n"
                                   "Download the Tarvex alert client here:\n%3/alertsystem/download.php\n\n"
                                   "Log in with your user name and the password your administrator gave you.\n")
                        .arg(greeting.isEmpty() ? QStringLiteral("there") : greeting, names.join(QStringLiteral(", ")), c.base);
        mails.append(mail);
    }
    const int sent = m_store.queueMails(*adminId, mails);
    m_mail.queued();
    return xml(statusReply(QStringLiteral("MSGSEND"), sent));
}

} // namespace alertserver
