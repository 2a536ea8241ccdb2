#pragma once

#include "client/startup/StartupServices.h"
#include "client/startup/StartupValues.h"

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QFrame;

namespace common {
class HttpExchange;
}

namespace client {

class RemoteLoader;

// Creates, loads and shows the main window (modeless) from the start-up and
// skin values, and returns it. The values are only valid during the call:
// the main window keeps its own copies.
using MainWindowFactory = std::function<QWidget *(const StartupValues &, const SkinValues &)>;

// The loading window: the client's entry point. It reads system.xml, ends the
// program when another instance already shows a main window with the same
// title, fetches the skin and its five pictures while "Loading.." animates,
// and hands over to the main window once everything has arrived. Any failure
// on the way ends start-up silently (startupEnded()).
class Form3 : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kWidthTwips = 2445;
    static constexpr int kHeightTwips = 225;

    // The running program's folder, the real topmost placement and
    // single-instance look-up, and the 100 ms tick.
    static StartupServices desktopServices();

    explicit Form3(MainWindowFactory factory, QWidget *parent = nullptr);
    Form3(MainWindowFactory factory, StartupServices services, QWidget *parent = nullptr);
    ~Form3() override;

    // The load step: lays the window out, reads system.xml, runs the
    // single-instance test and sends the skin request. Answers false when
    // start-up has already ended (the caller then shows nothing); otherwise
    // the caller shows the window and everything else happens in events.
    bool Form_Load();

    const StartupValues &startupValues() const { return m_startup; }
    const SkinValues &skinValues() const { return m_skin; }
    bool hasEnded() const { return m_ended; }
    bool hasHandedOver() const { return m_handedOver; }
    // The main window the factory returned at the hand-over (null before).
    QWidget *mainWindow() const { return m_mainWindow; }
    QString programFolder() const { return m_services.programFolder; }

Q_SIGNALS:
    // Start-up gave up (configuration, another instance, skin or a picture):
    // no main window exists and none will. The program ends on it.
    void startupEnded();

private:
    void xml_Resource_onreadystatechange();
    void rm_Close_loadComplete(bool errCode);
    void rm_Menu_loadComplete(bool errCode);
    void rm_Background_loadComplete(bool errCode);
    void rm_Icon_loadComplete(bool errCode);
    void backgroundhtm_loadComplete(bool errCode);
    void Timer1_Timer();
    void closeAfterHandOver();
    bool eventFilter(QObject *watched, QEvent *event) override;

    bool loadSystemXml();
    void startSkinRequest();
    bool allLoaded() const;
    void takeCompletion(bool &loadedFlag, bool errCode);
    // The one way start-up ends without a hand-over.
    void endStartup();

    MainWindowFactory m_factory;
    StartupServices m_services;
    StartupValues m_startup;
    SkinValues m_skin;

    QFrame *Shape1 = nullptr;
    QLabel *Label1 = nullptr;
    QTimer *Timer1 = nullptr;
    RemoteLoader *backgroundhtm = nullptr;
    RemoteLoader *rm_Background = nullptr;
    RemoteLoader *rm_Icon = nullptr;
    RemoteLoader *rm_Menu = nullptr;
    RemoteLoader *rm_Close = nullptr;
    std::unique_ptr<common::HttpExchange> xml_Resource;

    int LoadingChars = 1;
    bool SkinParsed = false;
    bool MenuButtonLoaded = false;
    bool CloseButtonLoaded = false;
    bool BackgroundLoaded = false;
    bool IconLoaded = false;
    bool PageBackgroundLoaded = false;

    bool m_ended = false;
    bool m_handedOver = false;
    QPointer<QWidget> m_mainWindow;
};

} // namespace client
