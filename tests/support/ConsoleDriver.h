#pragma once

#include <QString>
#include <QUrl>
#include <QVariant>

#include <functional>
#include <optional>

class QWebEnginePage;

namespace testsupport {

// Drives the alert console in a browser engine page as a user would: fills
// fields (with the input and change events typing sends), presses buttons and
// waits for conditions on the page, each wait bounded through patient().
// Selectors are CSS selectors; conditions are JavaScript expressions.
class ConsoleDriver
{
public:
    explicit ConsoleDriver(QWebEnginePage &page);

    // Loads the address and waits for it to finish loading; true when it did.
    bool open(const QUrl &url);
    // Loads the page again from the server; true when it did.
    bool reload();
    // The value of a script run in the page, or nothing when it failed or
    // did not answer in time.
    std::optional<QVariant> evaluate(const QString &script);
    // Waits until the expression is true in the page.
    bool waitUntil(const QString &condition, int boundMs = 10000);
    // Waits for the element, then sets its value and sends input and change.
    bool fill(const QString &selector, const QString &value);
    // Waits for the element, then clicks it (a checkbox or radio toggles).
    bool click(const QString &selector);
    // The element's text, or nothing when there is no such element.
    std::optional<QString> text(const QString &selector);

    // Signs in on the sign-in view; true once the console shows its views.
    bool signIn(const QString &name, const QString &password);
    // Picks a user in the recipients' list after searching for the name.
    bool pickUser(const QString &name);
    // The console's error line ("" when none is shown).
    QString errorLine();

    // A string as a JavaScript literal.
    static QString literal(const QString &text);

private:
    bool loaded(const std::function<void()> &start);

    QWebEnginePage &m_page;
};

} // namespace testsupport
