#pragma once

#include <QString>
#include <cstdint>
#include <functional>

class QWidget;

namespace client {

// The window, shell and sound services of the client. They hold no state,
// report nothing, and return without waiting.

// Puts the window into the topmost band (on) or takes it out, without moving
// or resizing it, and raises and activates it within its band.
void SetTopmost(bool on, QWidget *window);

// Sets the window's overall opacity: 0 invisible, 255 opaque.
void SetWindowAlpha(QWidget *window, std::uint8_t alpha);

// Opens an address with the desktop's default handler. Only http, https and
// mailto addresses are opened: the targets come from the server, and nothing
// it sends may start a local program or open a local file. "" does nothing.
void OpenInShell(const QString &target);

// Plays alert.wav from the program's folder in the background; stays silent
// when the file is missing or unplayable; beeps when there is no audio output.
void PlayAlertSound();

// The sound system as PlayAlertSound sees it; tests hand in recorders.
struct SoundBackend
{
    std::function<bool()> hasAudioOutput;
    std::function<void()> beep;
    std::function<void(const QString &wavPath)> playFile; // returns at once

    static SoundBackend desktop();
};

// PlayAlertSound's rule on a given sound system, for alert.wav in `folder`.
void PlayAlertSound(const SoundBackend &sound, const QString &folder);

// The folder that holds the running program, without a trailing separator.
QString ProgramFolder();

} // namespace client
