#include "AdminAccount.h"

#include "FieldChecks.h"
#include "ServerReply.h"
#include "WizardState.h"

namespace kestrup {

QString firstRegistrationProblem(const WizardState &s)
{
    if (s.Username.isEmpty())
        return QStringLiteral("Username is required!");
    if (s.Password.isEmpty())
        return QStringLiteral("Password is required!");
    if (s.Firstname.isEmpty())
        return QStringLiteral("Firstname is required!");
    if (s.Lastname.isEmpty())
        return QStringLiteral("Lastname is required!");
    if (s.CompanyName.isEmpty())
        return QStringLiteral("Company name is required!");
    if (s.Address.isEmpty())
        return QStringLiteral("Address is required!");
    if (s.Tel.isEmpty())
        return QStringLiteral("Tel. # is required!");
    if (s.Email.isEmpty())
        return QStringLiteral("Email is required!");
    if (!IsValidEmail(s.Email))
        return QStringLiteral("Invalid Email address!");
    if (s.Country.isEmpty())
        return QStringLiteral("Country is required!");
    if (s.State.isEmpty())
        return QStringLiteral("State is required!");
    if (s.City.isEmpty())
        return QStringLiteral("City is required!");
    if (s.ZipCode.isEmpty())
        return QStringLiteral("Zipcode is required!");
    return QString();
}

ServerRequest registrationRequest(const WizardState &s)
{
    // The server reads "email" twice: first the telephone number, then the
    // address (the later value wins on its side), and the telephone number
    // again as "telno".
    FormBody body;
    body.add("username", s.Username)
        .add("password", s.Password)
        .add("firstname", s.Firstname)
        .add("lastname", s.Lastname)
        .add("affiliate", s.CompanyName)
        .add("address", s.Address)
        .add("email", s.Tel)
        .addFixed("regtype=0")
        .add("email", s.Email)
        .add("country", s.Country)
        .add("state", s.State)
        .add("city", s.City)
        .add("postalcode", s.ZipCode)
        .add("telno", s.Tel)
        .addFixed("MM_insert=form1");
    return ServerRequest{"POST", QStringLiteral("/alertsystem/admin/register.php"), {}, body.bytes()};
}

QString firstLoginProblem(const WizardState &s)
{
    if (s.Username.isEmpty())
        return QStringLiteral("Username is required!");
    if (s.Password.isEmpty())
        return QStringLiteral("Password is required!");
    return QString();
}

ServerRequest loginRequest(const WizardState &s)
{
    FormBody body;
    body.add("username", s.Username).add("password", s.Password);
    return ServerRequest{"POST", QStringLiteral("/alertsystem/admin/login.php"), {}, body.bytes()};
}

namespace {

AccountOutcome failure(const QString &message)
{
    AccountOutcome outcome;
    outcome.message = message;
    return outcome;
}

// A success word is only a success with an id that can be used; a missing or
// out-of-range id is an unrecognised reply.
AccountOutcome successOr(const ServerReply &reply, const QString &unrecognised)
{
    const auto id = reply.replyValue();
    if (!id)
        return failure(unrecognised);
    AccountOutcome outcome;
    outcome.success = true;
    outcome.adminId = *id;
    return outcome;
}

} // namespace

AccountOutcome readRegistrationReply(const ServerReply &reply)
{
    const QString unrecognised = QStringLiteral("Please try again registration error.");
    if (reply.is(u"USERNAMEEXISTS"))
        return failure(QStringLiteral("Please try again username already exists."));
    if (reply.is(u"REGISTEROK"))
        return successOr(reply, unrecognised);
    return failure(unrecognised);
}

AccountOutcome readLoginReply(const ServerReply &reply)
{
    const QString unrecognised = QStringLiteral("Please try again, invalid username or password.");
    if (reply.is(u"NOTACTIVE"))
        return failure(QStringLiteral("Please try again, your not an active user.\r\n"
                                      "Please check your email to activate your account"));
    if (reply.is(u"INVALID"))
        return failure(unrecognised);
    if (reply.is(u"EXPIRED"))
        return failure(QStringLiteral("Please try again account already expired!"));
    if (reply.is(u"LOGINOK"))
        return successOr(reply, unrecognised);
    return failure(unrecognised);
}

} // namespace kestrup
