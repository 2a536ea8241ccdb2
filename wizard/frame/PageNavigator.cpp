#include "PageNavigator.h"

#include "WizardContext.h"
#include "WizardPage.h"
#include "frm_adminreg.h"
#include "frm_finished.h"
#include "frm_loginaccount.h"
#include "frm_welcome.h"

#include <QApplication>
#include <QSessionManager>

namespace kestrup {

PageNavigator::PageNavigator(WizardContext &context)
    : m_context(context)
{
}

void PageNavigator::registerPage(Page page, Creator creator)
{
    m_creators.insert(page, std::move(creator));
}

WizardPage *PageNavigator::open(Page page)
{
    const auto it = m_creators.constFind(page);
    if (it == m_creators.constEnd()) {
        qWarning("kestrup: no page registered for key %d", int(page));
        return nullptr;
    }
    WizardPage *window = (*it)(m_context);
    if (!window)
        return nullptr;
    window->setAttribute(Qt::WA_DeleteOnClose);
    m_current = window;
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

WizardPage *PageNavigator::currentPage() const
{
    return m_current;
}

void PageNavigator::CloseAllPages(QWidget *except)
{
    // Pages first (their close rule lets them go once ThisCanExit is set),
    // then whatever other top-level window of the wizard is still open.
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *w : windows) {
        if (w == except)
            continue;
        if (auto *page = qobject_cast<WizardPage *>(w)) {
            page->ThisCanExit = true;
            if (page->isVisible())
                page->close();
        }
    }
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w != except && w->isVisible() && !qobject_cast<WizardPage *>(w))
            w->close();
    }
}

bool PageNavigator::requestSessionEnd()
{
    WizardPage *page = m_current;
    if (!page || !page->isVisible())
        return true;
    return page->close();
}

void PageNavigator::watchSessionEnd()
{
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::commitDataRequest, this,
                &PageNavigator::onCommitDataRequest, Qt::DirectConnection);
    }
}

void PageNavigator::onCommitDataRequest(QSessionManager &manager)
{
    // Without interaction the question cannot be asked; the session ends.
    if (!manager.allowsInteraction())
        return;
    const bool mayEnd = requestSessionEnd();
    manager.release();
    if (!mayEnd)
        manager.cancel();
}

void registerFramePages(PageNavigator &navigator)
{
    navigator.registerPage(Page::Welcome, [](WizardContext &c) -> WizardPage * { return new frm_welcome(c); });
    navigator.registerPage(Page::AdminReg, [](WizardContext &c) -> WizardPage * { return new frm_adminreg(c); });
    navigator.registerPage(Page::LoginAccount,
                           [](WizardContext &c) -> WizardPage * { return new frm_loginaccount(c); });
    navigator.registerPage(Page::Finished, [](WizardContext &c) -> WizardPage * { return new frm_finished(c); });
}

} // namespace kestrup
