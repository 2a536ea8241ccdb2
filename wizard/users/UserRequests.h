#pragma once

#include "wizard/frame/ServerRequest.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace kestrup {

// The endpoints of user management, under the alert server's base address.
inline constexpr char kGetUsersPath[] = "/alertsystem/admin/getusers.php";
inline constexpr char kDeleteUserPath[] = "/alertsystem/admin/deleteuser.php";
inline constexpr char kSendEmailPath[] = "/alertsystem/admin/sendemail.php";
inline constexpr char kAddUserPath[] = "/alertsystem/admin/adduser.php";
inline constexpr char kEditUserPath[] = "/alertsystem/admin/edituser.php";

// The access code every e-mail request carries as "v1".
inline constexpr char kEmailAccessCode[] = "q804";

// What the add and edit dialogs send, as typed.
struct UserFields
{
    QString username;
    QString password;
    QString firstname;
    QString lastname;
    QString email;
    QString tel;
    QString wirelessNo;
};

// "username=..&password=..&lastname=..&firstname=..&telnos=..&email=..
//  &wirelessno=..&serviceprovider=..&mrgID=.." with every value form-encoded.
QByteArray AddUserBody(const UserFields &fields, const QString &domain, std::int16_t adminId);

// The same without the user name and the administrator id, ending in "&id=".
QByteArray EditUserBody(const UserFields &fields, const QString &domain, std::int16_t userId);

// "v1=q804", one "&mails[]=" per address in the order given, then "&mrgID=".
QByteArray EmailBody(const QStringList &mails, std::int16_t adminId);

// The requests themselves.
ServerRequest userListRequest(std::int16_t adminId);                       // GET, &mrgID=
ServerRequest deleteUserRequest(std::int16_t userId);                      // GET, &id=
ServerRequest emailUsersRequest(std::int16_t selectedId, const QStringList &mails,
                                std::int16_t adminId);                     // POST, &id= and body
ServerRequest addUserRequest(const UserFields &fields, const QString &domain, std::int16_t adminId);
ServerRequest editUserRequest(const UserFields &fields, const QString &domain, std::int16_t userId);

// The checks both dialogs run before sending, in order; the first failing one
// answers its message, "" when every check passes. Only the length makes a
// box empty: blanks are content. The edit dialog does not check the user
// name, which it cannot change.
enum class UsernameCheck { Required, Skip };
QString UserFieldsProblem(const UserFields &fields, UsernameCheck usernameCheck);

} // namespace kestrup
