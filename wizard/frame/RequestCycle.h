#pragma once

#include "wizard/frame/ServerReply.h"
#include "wizard/frame/ServerRequest.h"

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

class QTimer;
class QWidget;

namespace common {
class HttpExchange;
class PositionalXmlReader;
}

namespace kestrup {

class WaitPanel;
class WizardContext;

// The request cycle that every server-talking window (pages and user
// dialogs) uses. One per window, made in the window's constructor:
//
//   m_panel = new WaitPanel(waitText, this);             // Frame2 / Picture2
//   m_cycle = new RequestCycle(context, m_panel, this,
//       [this](bool busy) { ... disable/enable this window's own fields and
//                            buttons; on idle put the focus where it belongs });
//   connect(m_cycle, &RequestCycle::replyReady, this, &frm_x::handleReply);
//
//   send:   SetFieldsEnabled(false); m_cycle->ShowBusyState();
//           m_cycle->send({"POST", "/alertsystem/admin/x.php", {}, body.bytes()});
//   reply:  handleReply(const ServerReply &r) runs exactly once per request;
//           on failure: WizardMessageBox::information(...); m_cycle->ShowIdleState();
//
// The hook is all that differs between windows (the user list page leaves
// its Add/Edit/Remove/Email buttons alone). ShowBusyState calls hook(true),
// shows Frame2 then Picture2 and starts MY_ANIMATE; ShowIdleState hides
// Frame2, stops MY_ANIMATE, hides Picture2, then calls hook(false).
//
// Each send makes a fresh request and a fresh MY_XMLHTTPTIMER; the request's
// completion only sets a flag which the poll (100 ms, context.timing()) reads, and the poll
// switches itself off before the reply is handled. The body is read as XML
// while it arrives, so that a long reply is ready soon after its last byte;
// it is still judged only by the poll that finds the request complete. A transport failure or the
// 30 s deadline reads as an unreadable reply. When the window closes, or is
// no longer visible at a poll, the request is abandoned and both timers stop
// (WizardPage does this on close; dialogs call abandon() in their close path).
class RequestCycle : public QObject
{
    Q_OBJECT
public:
    static constexpr int kCycleFrames = 7; // frames 0..6; the eighth is never shown

    using ControlsHook = std::function<void(bool busy)>;

    RequestCycle(WizardContext &context, WaitPanel *panel, QWidget *window, ControlsHook hook);
    ~RequestCycle() override;

    void ShowBusyState();
    void ShowIdleState();

    // The send step. Replaces any request still out (its reply is never handled).
    void send(const ServerRequest &request);

    // Stops both timers and drops the request; nothing is handled afterwards.
    void abandon();

    // While held, a reply that has come is left waiting: the poll goes on
    // finding it, the animation runs, nothing is handled. Released, the next
    // poll handles it as if it had just come.
    void setHeld(bool held) { m_held = held; }
    bool isHeld() const { return m_held; }

    bool isBusy() const { return m_busy; }
    bool isRequestOut() const;
    bool isAnimating() const;
    WaitPanel *panel() const { return m_panel; }

    void MY_XMLHTTPTIMER_Timer();
    void MY_ANIMATE_Timer();

Q_SIGNALS:
    void replyReady(const kestrup::ServerReply &reply);
    void frameShown(int frame);

private:
    WizardContext &m_context;
    WaitPanel *m_panel;
    QPointer<QWidget> m_window;
    ControlsHook m_hook;
    bool m_busy = false;
    bool m_held = false;
    QPointer<common::HttpExchange> m_request;
    std::unique_ptr<common::PositionalXmlReader> m_replyBody;
    QPointer<QTimer> m_MY_XMLHTTPTIMER;
    QPointer<QTimer> m_MY_ANIMATE;
};

} // namespace kestrup
