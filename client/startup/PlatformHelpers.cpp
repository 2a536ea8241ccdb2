#include "client/startup/PlatformHelpers.h"
#include "client/startup/PlatformSeams.h"

#include <QApplication>
#include <QAudioDevice>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QWidget>

#include <utility>

namespace client {

namespace {

ShellBackend &shellBackend()
{
    static ShellBackend backend = realShellBackend();
    return backend;
}

SoundBackend &soundBackend()
{
    static SoundBackend backend = realSoundBackend();
    return backend;
}

// One effect per alert: it lives until it has played (or failed to load) and
// then removes itself, so the caller never waits and nothing is kept around.
void playWavInBackground(const QString &path)
{
    if (!QFileInfo(path).isFile())
        return; // no default sound: a missing file stays silent
    auto *effect = new QSoundEffect(QCoreApplication::instance());
    auto finishIfDone = [effect] {
        const auto status = effect->status();
        if (status == QSoundEffect::Error || (status == QSoundEffect::Ready && !effect->isPlaying()))
            effect->deleteLater();
    };
    QObject::connect(effect, &QSoundEffect::statusChanged, effect, finishIfDone);
    QObject::connect(effect, &QSoundEffect::playingChanged, effect, finishIfDone);
    effect->setSource(QUrl::fromLocalFile(path));
    effect->play(); // queued by the effect until the file has loaded
}

} // namespace

ShellBackend realShellBackend()
{
    return {[](const QUrl &url) { QDesktopServices::openUrl(url); }};
}

SoundBackend realSoundBackend()
{
    return {[] { return !QMediaDevices::audioOutputs().isEmpty(); },
            [] { QApplication::beep(); },
            &playWavInBackground};
}

ShellBackend setShellBackend(ShellBackend backend)
{
    return std::exchange(shellBackend(), std::move(backend));
}

SoundBackend setSoundBackend(SoundBackend backend)
{
    return std::exchange(soundBackend(), std::move(backend));
}

void SetTopmost(bool on, QWidget *window)
{
    if (!window)
        return;
    const bool wasVisible = window->isVisible();
    const QRect geometry = window->geometry();
    // Changing the flags re-creates the native window and hides it; put it back
    // where it was, as it was.
    window->setWindowFlag(Qt::WindowStaysOnTopHint, on);
    if (wasVisible) {
        window->setGeometry(geometry);
        window->show();
    }
    window->raise();
    window->activateWindow();
}

void SetWindowAlpha(QWidget *window, std::uint8_t alpha)
{
    if (window)
        window->setWindowOpacity(alpha / 255.0);
}

QUrl shellTarget(const QString &target)
{
    if (target.isEmpty())
        return {};
    const QUrl url(target, QUrl::TolerantMode);
    if (!url.isValid())
        return {};
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")
        && scheme != QLatin1String("mailto"))
        return {};
    return url;
}

void OpenInShell(const QString &target)
{
    const QUrl url = shellTarget(target);
    if (!url.isEmpty() && shellBackend().open)
        shellBackend().open(url);
}

void PlayAlertSound()
{
    const SoundBackend &sound = soundBackend();
    if (!sound.hasAudioOutput || !sound.hasAudioOutput()) {
        if (sound.beep)
            sound.beep();
        return;
    }
    if (sound.playFile)
        sound.playFile(ProgramFolder() + QStringLiteral("/alert.wav"));
}

QString ProgramFolder()
{
    return QCoreApplication::applicationDirPath();
}

} // namespace client
