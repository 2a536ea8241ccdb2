#pragma once

#include "client/session/Form1.h"
#include "support/ScriptedServer.h"

#include <QDateTime>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>
#include <functional>
#include <memory>

class QWebEnginePage;

namespace sessiontest {

// What the window asked of the desktop.
struct DesktopRecorder
{
    QStringList opened;
    int sounds = 0;
    QList<bool> topmost;
    bool trayAvailable = true;
    int requestTimeoutMs = common::HttpExchange::kTimeoutMs;
    // Shorter than the program's own (2000, 300 and 2000 ms), so that the
    // tests do not wait out real poll cycles; one test keeps the real ones.
    int pollMs = 300;
    int blinkMs = 150; // long enough for QTRY_* (50 ms steps) to catch each blink picture
    int loginRetryMs = 300;
    QDateTime now = QDateTime(QDate(2026, 12, 7), QTime(4, 33, 25));
};

// A skin drawn in code: 320 x 400 window, browser box 300 x 300 at (10, 80),
// menu and close buttons 20 x 20 at the top right.
client::SkinValues testSkin(const QString &serverBase);
client::StartupValues testStartup(const QString &serverBase);

// A program folder of its own with the login page (or the given markup) and
// its background picture.
bool makeProgramFolder(const QString &folder, const QByteArray &loginPage = {});

// Writes keys into the client's settings store, replacing what was there.
void storeSettings(const QList<std::pair<QString, QString>> &keys);
// The store file's [Settings] section as key -> text, read as plain text.
QHash<QString, QString> storedSettingsText();
void clearSettings();

// A main window against a scripted server, with the desktop recorded.
struct Session
{
    testsupport::ScriptedServer server;
    QTemporaryDir folder;
    DesktopRecorder desktop;
    // Changes to testSkin() before the window is made.
    std::function<void(client::SkinValues &)> editSkin;
    std::unique_ptr<client::Form1> form;

    // Listens, prepares the folder and creates (but does not load) the window.
    bool create(const QByteArray &loginPage = {});
    // create() and the window's start-up.
    bool start(const QByteArray &loginPage = {});
    QWebEnginePage *page() const;
};

// Runs a script on the page and waits for its result. World 0 is the page's
// own scripts (what a user's typing and clicking reach); the program's world
// is where the window's bindings live.
QVariant evalJs(QWebEnginePage *page, const QString &script, quint32 world = 0, bool *ok = nullptr);

// Waits until the login page shows its fields and its three handlers are set,
// on a page that typeAndLogIn() has not used (one loaded since).
bool waitForLoginForm(client::Form1 &form);
// Types into the page's fields as a user would and clicks the log-in button;
// the page is marked as used.
void typeAndLogIn(QWebEnginePage *page, const QString &user, const QString &password, bool remember);
QString jsQuote(const QString &text);

inline const QByteArray kLoginPath = QByteArrayLiteral("/alertsystem/login.php");
inline const QByteArray kStatusPath = QByteArrayLiteral("/alertsystem/status.php");
inline const QByteArray kAlertPagePath = QByteArrayLiteral("/alertsystem/alerts.php");

} // namespace sessiontest
