#pragma once

#include "wizard/frame/ServerRequest.h"

#include <QString>
#include <cstdint>

namespace kestrup {

class ServerReply;
struct WizardState;

// What the registration and login pages send and how they read the answer,
// kept free of windows so that it can be checked on its own.

// The first failing registration check as the message to show; "" when all
// pass. Only the length counts as empty: blanks are content.
QString firstRegistrationProblem(const WizardState &state);
ServerRequest registrationRequest(const WizardState &state);

QString firstLoginProblem(const WizardState &state);
ServerRequest loginRequest(const WizardState &state);

// A reply read into what the page does next.
struct AccountOutcome
{
    bool success = false;          // REGISTEROK / LOGINOK with a usable id
    std::int16_t adminId = 0;      // on success
    QString message;               // on failure: the message to show
};

AccountOutcome readRegistrationReply(const ServerReply &reply);
AccountOutcome readLoginReply(const ServerReply &reply);

} // namespace kestrup
