#include "UserRequests.h"

#include "common/FormEncoding.h"

namespace kestrup {

namespace {

// Appends a key written as it stands and a form-encoded value.
void put(QByteArray &body, const char *key, const QString &value)
{
    body += key;
    body += common::formEncode(value);
}

void putNumber(QByteArray &body, const char *key, std::int16_t value)
{
    body += key;
    body += QByteArray::number(value);
}

// The fields the add and the edit request share, in the order both send them.
void putProfile(QByteArray &body, const UserFields &f, const QString &domain)
{
    put(body, "&lastname=", f.lastname);
    put(body, "&firstname=", f.firstname);
    put(body, "&telnos=", f.tel);
    put(body, "&email=", f.email);
    put(body, "&wirelessno=", f.wirelessNo);
    put(body, "&serviceprovider=", domain);
}

} // namespace

QByteArray AddUserBody(const UserFields &f, const QString &domain, std::int16_t adminId)
{
    QByteArray body;
    put(body, "username=", f.username);
    put(body, "&password=", f.password);
    putProfile(body, f, domain);
    putNumber(body, "&mrgID=", adminId);
    return body;
}

QByteArray EditUserBody(const UserFields &f, const QString &domain, std::int16_t userId)
{
    QByteArray body;
    put(body, "password=", f.password);
    putProfile(body, f, domain);
    putNumber(body, "&id=", userId);
    return body;
}

QByteArray EmailBody(const QStringList &mails, std::int16_t adminId)
{
    QByteArray body = "v1=";
    body += kEmailAccessCode;
    for (const QString &mail : mails)
        put(body, "&mails[]=", mail);
    putNumber(body, "&mrgID=", adminId);
    return body;
}

} // namespace kestrup
