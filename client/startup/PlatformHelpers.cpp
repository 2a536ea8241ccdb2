#include "client/startup/PlatformHelpers.h"
#include "client/startup/ShellTarget.h"

#include <QApplication>
#include <QAudioDevice>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QWidget>

namespace client {

namespace {

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

SoundBackend SoundBackend::desktop()
{
    return {[] { return !QMediaDevices::audioOutputs().isEmpty(); },
            [] { QApplication::beep(); },
            &playWavInBackground};
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

void OpenInShell(const QString &target)
{
    const QUrl url = shellTarget(target);
    if (!url.isEmpty())
        QDesktopServices::openUrl(url);
}

void PlayAlertSound()
{
    PlayAlertSound(SoundBackend::desktop(), ProgramFolder());
}

void PlayAlertSound(const SoundBackend &sound, const QString &folder)
{
    if (!sound.hasAudioOutput || !sound.hasAudioOutput()) {
        if (sound.beep)
            sound.beep();
        return;
    }
    if (sound.playFile)
        sound.playFile(folder + QStringLiteral("/alert.wav"));
}

QString ProgramFolder()
{
    return QCoreApplication::applicationDirPath();
}

} // namespace client
