#pragma once

#include <QObject>
#include <QString>
#include <functional>

namespace client {

// The one object that the local login page can reach: its three methods and
// nothing else of the main window. The page's elements call it through the
// click handlers that hookScript() sets up.
class LoginBridge : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(const QString &)>;
    struct Targets
    {
        Handler Loguser;
        Handler subRegister;
        Handler subGetpassword;
        // Calls are acted on only while this answers true (the login page is shown).
        std::function<bool()> allowed;
    };

    explicit LoginBridge(Targets targets, QObject *parent = nullptr);

    // The name under which the channel publishes the bridge to the page.
    static const QString kChannelName;

    // The bridge method that a name means, matched without regard to case;
    // "" when the bridge has no such method.
    static QString resolveMethod(const QString &name);

    // A script for the program's world of the login page that makes a click
    // on the element with the given id call the named method with the
    // argument. It answers true when the element exists. An unknown method
    // name makes the click fail on the page, and nothing is called.
    static QString hookScript(const QString &elementId, const QString &methodName,
                              const QString &argument);

public Q_SLOTS:
    void Loguser(const QString &xvar);
    void subRegister(const QString &xvar);
    void subGetpassword(const QString &xvar);

private:
    void call(const Handler &handler, const QString &xvar);

    Targets m_targets;
};

} // namespace client
