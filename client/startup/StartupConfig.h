#pragma once

#include "client/startup/StartupValues.h"

#include <QString>
#include <optional>

namespace common {
class PositionalXml;
}

namespace client {

// The configuration file beside the program.
inline constexpr char kSystemXmlName[] = "system.xml";

// The three start-up values of a configuration document, by position: root
// children 0, 1 and 2. A child that does not exist leaves its value empty.
StartupValues startupValuesFrom(const common::PositionalXml &document);

// Reads the configuration file; nothing when it is missing, unreadable or not
// well-formed XML.
std::optional<StartupValues> readSystemXml(const QString &path);

// The skin request: ServerBase + "/alertsystem/notifytype.php?id=" + the
// form-encoded id. ServerBase is used as it stands, so a trailing "/" gives "//".
QString skinRequestAddress(const StartupValues &values);

// Where the skin's page background is written for the local HTML pages.
QString pageBackgroundPath(const QString &programFolder);

} // namespace client
