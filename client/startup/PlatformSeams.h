#pragma once

#include <QString>
#include <QUrl>

#include <functional>

namespace client {

// The outside world behind OpenInShell and PlayAlertSound. The defaults are the
// real desktop and sound system; tests swap in recorders to see what would have
// been opened or played without launching a browser or needing a sound card.
struct ShellBackend
{
    std::function<void(const QUrl &)> open;
};

struct SoundBackend
{
    std::function<bool()> hasAudioOutput;
    std::function<void()> beep;
    std::function<void(const QString &wavPath)> playFile; // returns at once
};

ShellBackend realShellBackend();
SoundBackend realSoundBackend();

// Each returns the backend it replaces, so that a test can put it back.
ShellBackend setShellBackend(ShellBackend backend);
SoundBackend setSoundBackend(SoundBackend backend);

// The address OpenInShell would hand to the desktop for a target, or an empty
// QUrl when the target is refused (empty, unparsable, or not http/https/mailto).
QUrl shellTarget(const QString &target);

} // namespace client
