#pragma once

#include <QString>
#include <cstdint>

namespace kestrup {

// What the wizard's pages share for one run of the program, in memory only.
//
// There is exactly one instance, owned by the WizardContext; pages reach it
// through the context they are constructed with (context.state()). Every text
// box that mirrors a field writes it on each change, typed or set by the
// program, and a page that opens fills its boxes from here, so what was typed
// survives leaving and re-entering a page (pages themselves are made anew).
struct WizardState
{
    // The twelve registration fields; Username and Password are shared with
    // the login page.
    QString Username;
    QString Password;
    QString Firstname;
    QString Lastname;
    QString CompanyName;
    QString Address;
    QString Tel;
    QString Email;
    QString Country;
    QString State;
    QString City;
    QString ZipCode;

    // The administrator id from a successful login or registration; every
    // user-management request sends it as "mrgID".
    std::int16_t AdminId = 0;
};

} // namespace kestrup
