#include "SessionSettings.h"

#include "common/NumberReader.h"

#include <QSettings>

namespace client {

namespace {

const QString kOrganization = QStringLiteral("Tarvex Vantorel");

std::int16_t readNumberKey(QSettings &store, const QString &key, std::int16_t fallback)
{
    const QVariant value = store.value(key);
    if (!value.isValid())
        return fallback;
    // A number out of the 16-bit range reads as 0, like text without a number.
    return common::readNumber16(value.toString()).value;
}

QString numberText(std::int16_t value)
{
    return QString::number(value);
}

} // namespace

void openSettingsGroup(QSettings &store)
{
    store.beginGroup(QStringLiteral("Settings"));
}

SessionPreferences readSettings(QSettings &store)
{
    SessionPreferences p;
    p.PopupMode = 1; // "POPUPMODE" is written at close but never read back
    p.AlertMode = readNumberKey(store, QStringLiteral("ALERTMODE"), 1);
    p.AudioAlert = readNumberKey(store, QStringLiteral("AUDIOALERT"), 1);
    p.WindowOnTop = readNumberKey(store, QStringLiteral("WINDOWONTOP"), 1);
    p.Transparency = readNumberKey(store, QStringLiteral("TRANSPARENCY"), 100);
    p.AutoLog = readNumberKey(store, QStringLiteral("AUTOLOG"), 0);
    p.UserName = store.value(QStringLiteral("USERNAME"), QString()).toString();
    p.Password = store.value(QStringLiteral("PASSWORD"), QString()).toString();
    return p;
}

void writeSettings(QSettings &store, const SessionPreferences &p)
{
    store.setValue(QStringLiteral("POPUPMODE"), numberText(p.PopupMode));
    store.setValue(QStringLiteral("ALERTMODE"), numberText(p.AlertMode));
    store.setValue(QStringLiteral("AUDIOALERT"), numberText(p.AudioAlert));
    store.setValue(QStringLiteral("WINDOWONTOP"), numberText(p.WindowOnTop));
    store.setValue(QStringLiteral("TRANSPARENCY"), numberText(p.Transparency));
    store.setValue(QStringLiteral("AUTOLOG"), numberText(p.AutoLog));
    store.setValue(QStringLiteral("USERNAME"), p.UserName);
    store.setValue(QStringLiteral("PASSWORD"), p.Password);
}

SessionPreferences LoadStoredSettings()
{
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, kOrganization);
    openSettingsGroup(store);
    return readSettings(store);
}

// QSettings writes its file beside the old one and renames it into place
// (QSaveFile, without falling back to writing in place), so a failed write
// leaves the previous file whole; the status says whether it worked.
bool SaveStoredSettings(const SessionPreferences &prefs)
{
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, kOrganization);
    openSettingsGroup(store);
    writeSettings(store, prefs);
    store.sync();
    return store.status() == QSettings::NoError;
}

bool StoreAutoLogOn()
{
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, kOrganization);
    openSettingsGroup(store);
    store.setValue(QStringLiteral("AUTOLOG"), QStringLiteral("1"));
    store.sync();
    return store.status() == QSettings::NoError;
}

} // namespace client
