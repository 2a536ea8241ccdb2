#pragma once

// The wireless carriers a user account can name, with the mail domain of each
// carrier's e-mail-to-text gateway. The wizard shows a carrier by its name and
// sends the domain; the alert server stores the domain and returns it in the
// user list, so both sides must use exactly these texts (leading "@"
// included). Plain C++ on purpose: the server includes this header too.

#include <array>
#include <string_view>

namespace carriers {

struct Carrier
{
    std::string_view name;
    std::string_view domain;
};

// In the order the carrier box lists them: a carrier's position here is its
// position in the box.
inline constexpr std::array<Carrier, 6> kCarriers{{
    {"ATT", "@txt.att.net"},
    {"Cingular", "@cingularme.com"},
    {"Nextel", "@messaging.nextel.com"},
    {"Sprint", "@messaging.sprintpcs.com"},
    {"T-Mobile", "@tmomail.net"},
    {"Verizon", "@vtext.com"},
}};

} // namespace carriers
