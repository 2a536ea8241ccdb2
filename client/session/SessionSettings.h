#pragma once

#include <QString>
#include <cstdint>

class QSettings;

namespace client {

// The user's preferences and remembered login, as the main window holds them.
// Flags hold 1 (on) or 0 (off) and are always tested against 1.
struct SessionPreferences
{
    std::int16_t PopupMode = 1;
    std::int16_t AlertMode = 1;
    std::int16_t AudioAlert = 1;
    std::int16_t WindowOnTop = 1;
    std::int16_t Transparency = 100; // kept and written back, never applied to the window
    std::int16_t AutoLog = 0;
    QString UserName;
    QString Password;
};

// The per-user store: "Tarvex Vantorel.conf", section [Settings].
// The caller gets the group already entered.
void openSettingsGroup(QSettings &store);

// Reads the store; absent keys take their defaults, numbers are read from the
// leading number of their text. Pop-up mode is on at every start, whatever the
// store says.
SessionPreferences readSettings(QSettings &store);

// Writes all eight keys as text, "POPUPMODE" first and "PASSWORD" last.
void writeSettings(QSettings &store, const SessionPreferences &prefs);

// Convenience wrappers on the real store. The writers answer false when the
// file could not be written (full disk, read-only); the previous file is then
// left as it was.
SessionPreferences LoadStoredSettings();
bool SaveStoredSettings(const SessionPreferences &prefs);
// A successful login writes "AUTOLOG" = "1" at once, leaving the rest alone.
bool StoreAutoLogOn();

} // namespace client
