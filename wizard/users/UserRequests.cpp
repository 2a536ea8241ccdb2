#include "UserRequests.h"

#include "wizard/frame/FieldChecks.h"

namespace kestrup {

namespace {

QString number(std::int16_t value)
{
    return QString::number(value);
}

// The fields the add and the edit request share, in the order both send them.
void addProfile(FormBody &body, const UserFields &f, const QString &domain)
{
    body.add("lastname", f.lastname)
        .add("firstname", f.firstname)
        .add("telnos", f.tel)
        .add("email", f.email)
        .add("wirelessno", f.wirelessNo)
        .add("serviceprovider", domain);
}

ServerRequest request(const QByteArray &method, const char *path, FormPairs query = {},
                      QByteArray body = {})
{
    ServerRequest r;
    r.method = method;
    r.path = QString::fromLatin1(path);
    r.query = std::move(query);
    r.body = std::move(body);
    return r;
}

} // namespace

QByteArray AddUserBody(const UserFields &f, const QString &domain, std::int16_t adminId)
{
    FormBody body;
    body.add("username", f.username).add("password", f.password);
    addProfile(body, f, domain);
    body.add("mrgID", number(adminId));
    return body.bytes();
}

QByteArray EditUserBody(const UserFields &f, const QString &domain, std::int16_t userId)
{
    FormBody body;
    body.add("password", f.password);
    addProfile(body, f, domain);
    body.add("id", number(userId));
    return body.bytes();
}

QByteArray EmailBody(const QStringList &mails, std::int16_t adminId)
{
    FormBody body;
    body.addFixed(QByteArray("v1=") + kEmailAccessCode);
    for (const QString &mail : mails)
        body.add("mails[]", mail);
    body.add("mrgID", number(adminId));
    return body.bytes();
}

ServerRequest userListRequest(std::int16_t adminId)
{
    return request("GET", kGetUsersPath, {{"mrgID", number(adminId)}});
}

ServerRequest deleteUserRequest(std::int16_t userId)
{
    return request("GET", kDeleteUserPath, {{"id", number(userId)}});
}

ServerRequest emailUsersRequest(std::int16_t selectedId, const QStringList &mails, std::int16_t adminId)
{
    return request("POST", kSendEmailPath, {{"id", number(selectedId)}}, EmailBody(mails, adminId));
}

ServerRequest addUserRequest(const UserFields &fields, const QString &domain, std::int16_t adminId)
{
    return request("POST", kAddUserPath, {}, AddUserBody(fields, domain, adminId));
}

ServerRequest editUserRequest(const UserFields &fields, const QString &domain, std::int16_t userId)
{
    return request("POST", kEditUserPath, {}, EditUserBody(fields, domain, userId));
}

QString UserFieldsProblem(const UserFields &f, UsernameCheck usernameCheck)
{
    if (usernameCheck == UsernameCheck::Required && f.username.isEmpty())
        return QStringLiteral("Username is required!");
    if (f.password.isEmpty())
        return QStringLiteral("Password is required!");
    if (f.firstname.isEmpty())
        return QStringLiteral("Firstname is required!");
    if (f.lastname.isEmpty())
        return QStringLiteral("Lastname is required!");
    if (f.tel.isEmpty())
        return QStringLiteral("Tel. # is required!");
    if (f.email.isEmpty())
        return QStringLiteral("Email is required!");
    if (!IsValidEmail(f.email))
        return QStringLiteral("Invalid Email address!");
    return {};
}

} // namespace kestrup
