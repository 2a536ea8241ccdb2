#pragma once

#include "client/startup/StartupValues.h"

class QWidget;

namespace client {

// Creates the main window with the desktop's real services, runs its start-up
// and shows it. Closing it ends the program.
QWidget *CreateMainWindow(const StartupValues &startup, const SkinValues &skin);

} // namespace client
