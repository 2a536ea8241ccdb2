#include "RequestCycle.h"

#include "WaitPanel.h"
#include "WizardContext.h"

#include "common/HttpExchange.h"
#include "common/PositionalXml.h"

#include <QFrame>
#include <QTimer>
#include <QWidget>

namespace kestrup {

namespace {

// Timers are made per request and dropped when replaced; a dropped timer
// must never fire again, even if its deletion is still pending.
void dropTimer(QPointer<QTimer> &timer)
{
    if (timer) {
        timer->stop();
        timer->disconnect();
        timer->deleteLater();
    }
    timer = nullptr;
}

} // namespace

RequestCycle::RequestCycle(WizardContext &context, WaitPanel *panel, QWidget *window, ControlsHook hook)
    : QObject(window)
    , m_context(context)
    , m_panel(panel)
    , m_window(window)
    , m_hook(std::move(hook))
{
}

RequestCycle::~RequestCycle()
{
    abandon();
}

void RequestCycle::ShowBusyState()
{
    m_busy = true;
    if (m_hook)
        m_hook(true);
    m_panel->Frame2()->show();
    m_panel->Picture2()->show();
    dropTimer(m_MY_ANIMATE);
    m_MY_ANIMATE = new QTimer(this);
    m_MY_ANIMATE->setInterval(m_context.timing().animationMs);
    connect(m_MY_ANIMATE, &QTimer::timeout, this, &RequestCycle::MY_ANIMATE_Timer);
    m_MY_ANIMATE->start();
    m_panel->setTag(0);
}

void RequestCycle::ShowIdleState()
{
    m_busy = false;
    m_panel->Frame2()->hide();
    if (m_MY_ANIMATE)
        m_MY_ANIMATE->stop();
    m_panel->Picture2()->hide();
    if (m_hook)
        m_hook(false);
}

void RequestCycle::send(const ServerRequest &request)
{
    dropTimer(m_MY_XMLHTTPTIMER);
    m_MY_XMLHTTPTIMER = new QTimer(this);
    m_MY_XMLHTTPTIMER->setInterval(m_context.timing().requestCycleMs);
    connect(m_MY_XMLHTTPTIMER, &QTimer::timeout, this, &RequestCycle::MY_XMLHTTPTIMER_Timer);
    m_MY_XMLHTTPTIMER->start();

    if (m_request) {
        m_request->abandon();
        m_request->deleteLater();
    }
    m_request = new common::HttpExchange(this);
    m_request->setTimeout(m_context.timing().requestTimeoutMs);
    m_replyBody = std::make_unique<common::PositionalXmlReader>();
    common::HttpExchange *exchange = m_request;
    connect(exchange, &common::HttpExchange::bodyReceived, this, [this, exchange](const QByteArray &part) {
        if (exchange == m_request && m_replyBody)
            m_replyBody->addData(part);
    });
    const QString url = request.url(m_context.settings().serverBase, m_context.clock());
    const common::HttpHeaders headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    const bool isPost = request.method.toUpper() == "POST";
    m_request->start(request.method, url, headers, isPost ? request.body : QByteArray());
}

void RequestCycle::abandon()
{
    dropTimer(m_MY_XMLHTTPTIMER);
    dropTimer(m_MY_ANIMATE);
    if (m_request) {
        m_request->abandon();
        m_request->deleteLater();
        m_request = nullptr;
    }
    m_replyBody.reset();
}

bool RequestCycle::isRequestOut() const
{
    return m_MY_XMLHTTPTIMER && m_MY_XMLHTTPTIMER->isActive();
}

bool RequestCycle::isAnimating() const
{
    return m_MY_ANIMATE && m_MY_ANIMATE->isActive();
}

void RequestCycle::MY_XMLHTTPTIMER_Timer()
{
    // Nothing is handled for a window that is gone.
    if (!m_window || !m_window->isVisible()) {
        abandon();
        return;
    }
    if (m_held || !m_request || !m_request->isFinished())
        return;
    m_MY_XMLHTTPTIMER->stop(); // the reply is handled exactly once
    const ServerReply reply = m_replyBody ? ServerReply::fromResult(m_request->result(), *m_replyBody)
                                          : ServerReply::fromResult(m_request->result());
    m_replyBody.reset();
    Q_EMIT replyReady(reply);
}

void RequestCycle::MY_ANIMATE_Timer()
{
    int n = m_panel->tag() + 1;
    m_panel->setTag(n);
    if (n >= kCycleFrames) {
        m_panel->setTag(0);
        n = 0;
    }
    m_panel->showFrame(n);
    Q_EMIT frameShown(n);
}

} // namespace kestrup
