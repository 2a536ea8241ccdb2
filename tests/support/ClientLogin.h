#pragma once

#include "ServerProcess.h"
#include "X11Windows.h"

#include <QPoint>
#include <QString>

#include <functional>
#include <optional>

namespace testsupport {

// Logs a user in through the client's local login page as a keyboard user
// would: a click into the page above its fields (the browser box sits at
// `browserBox` inside the window that `window` finds), then Tab through user
// name, password, the automatic-login box (ticked when `remember`) and the
// button. The page may still be loading, or load a second time, when the
// window appears, which clears what was typed; so the typing is repeated a
// few times until a login request reaches `server`. True when exactly one did.
bool logInThroughThePage(ServerProcess &server, const std::function<std::optional<X11Window>()> &window,
                         QPoint browserBox, const QString &user, const QString &password, bool remember);

} // namespace testsupport
