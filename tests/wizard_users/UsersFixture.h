#pragma once

#include "support/ScriptedServer.h"

#include "wizard/frame/RequestCycle.h"
#include "wizard/frame/WaitPanel.h"
#include "wizard/frame/WizardContext.h"
#include "wizard/frame/WizardMessageBox.h"
#include "wizard/users/ProviderTable.h"
#include "wizard/users/UserListView.h"
#include "wizard/users/frm_emailusers.h"
#include "support/Patience.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>
#include <memory>

// What the user-management tests share: a scripted server standing in for
// the alert server, a wizard context pointed at it with a pinned clock, and
// the user list page opened over a scripted list reply.
namespace usertest {

using kestrup::WizardMessageBox;

inline const QByteArray kStamp = "12072026043325";
constexpr std::int16_t kAdminId = 17;

inline QByteArray field(const QString &text)
{
    return "<f>" + text.toHtmlEscaped().toUtf8() + "</f>";
}

// One user element: id, user name, last name, first name, tel, e-mail,
// wireless number, carrier domain, password.
inline QByteArray user(const QStringList &fields)
{
    QByteArray e = "<user>";
    for (const QString &f : fields)
        e += field(f);
    return e + "</user>";
}

inline testsupport::ScriptedReply listReply(const QList<QByteArray> &users)
{
    QByteArray x = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<users>\n";
    for (const QByteArray &u : users)
        x += "  " + u + "\n";
    return testsupport::ScriptedReply::xml(x + "</users>\n");
}

inline testsupport::ScriptedReply statusReply(const QString &word, const QString &value)
{
    return testsupport::ScriptedReply::xmlChildren({word, value});
}

// The request cycle at a fifth of the program's intervals, so that the many
// requests of these tests do not each wait out a 100 ms poll.
inline kestrup::WizardTiming shortTiming()
{
    kestrup::WizardTiming timing;
    timing.animationMs = 20;
    timing.requestCycleMs = 20;
    return timing;
}

struct Fixture
{
    std::unique_ptr<testsupport::ScriptedServer> server;
    std::unique_ptr<kestrup::WizardContext> context;
    kestrup::frm_emailusers *page = nullptr;

    bool start()
    {
        server = std::make_unique<testsupport::ScriptedServer>();
        if (!server->listen())
            return false;
        kestrup::WizardSettings settings = kestrup::WizardSettings::defaults();
        settings.serverBase = server->baseUrl();
        const QDateTime pinned(QDate(2026, 12, 7), QTime(4, 33, 25));
        context = std::make_unique<kestrup::WizardContext>(settings, [pinned] { return pinned; });
        context->state().AdminId = kAdminId;
        context->timing() = shortTiming();
        WizardMessageBox::setTestMode(true);
        WizardMessageBox::clearShown();
        return true;
    }

    // Opens the page and waits until the list reply has been handled.
    bool openPage(const testsupport::ScriptedReply &reply)
    {
        server->setReply("/alertsystem/admin/getusers.php", reply);
        page = new kestrup::frm_emailusers(*context);
        page->setAttribute(Qt::WA_DeleteOnClose);
        page->show();
        return QTest::qWaitFor([this] { return server->requestCount() == 1 && !page->cycle()->isBusy(); },
                               testsupport::patient(10000));
    }

    void finish()
    {
        // Let the page go without the quit question.
        if (page) {
            page->setAttribute(Qt::WA_DeleteOnClose);
            page->ThisCanExit = true;
            page->close();
        }
        QTest::qWait(0);
        page = nullptr;
        context.reset();
        server.reset();
    }

    QTreeWidget *list() const { return page->ListView1(); }
    QTreeWidgetItem *row(int i) const { return list()->topLevelItem(i); }
    bool pageIdle() const
    {
        return !page->cycle()->isBusy() && page->cmdNext()->isEnabled() && list()->isEnabled()
            && page->cycle()->panel()->Frame2()->isHidden() && !page->cycle()->isAnimating();
    }
    // Spins until `n` requests have arrived and the page is idle again.
    bool waitIdleAfter(int n)
    {
        return server->waitForRequestCount(n)
            && QTest::qWaitFor([this] { return pageIdle(); }, testsupport::patient(10000));
    }
    QString lastMessage() const
    {
        const QStringList texts = WizardMessageBox::shownTexts();
        return texts.isEmpty() ? QString() : texts.last();
    }
};

inline QString domainOf(const char *carrierName)
{
    return kestrup::ProviderDomains()[std::size_t(kestrup::ProviderIndexOf(QString::fromLatin1(carrierName)))];
}

} // namespace usertest
