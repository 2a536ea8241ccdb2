#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <functional>

class QSessionManager;

namespace kestrup {

class WizardContext;
class WizardPage;

// The wizard's pages, by role.
enum class Page { Welcome, AdminReg, LoginAccount, EmailUsers, Finished };

// Opens pages by key. Each page is made anew when it is entered, from the
// creator registered for its key, and shown non-modal; the navigator keeps
// track of the one page that is open.
//
// The frame library registers its own pages (registerFramePages). The user
// list page lives in the users library, which provides
// "wizard/users/UserPages.h" with
//
//   namespace kestrup { void registerUserPages(PageNavigator &navigator); }
//
// doing   navigator.registerPage(Page::EmailUsers,
//             [](WizardContext &c) -> WizardPage * { return new frm_emailusers(c); });
// main() calls it when that library is part of the build.
//
// A page moves on with WizardPage::moveTo(Page), never by calling open()
// itself, so that it closes first and the close is not questioned.
class PageNavigator : public QObject
{
    Q_OBJECT
public:
    using Creator = std::function<WizardPage *(WizardContext &)>;

    explicit PageNavigator(WizardContext &context);

    void registerPage(Page page, Creator creator);
    bool hasPage(Page page) const { return m_creators.contains(page); }

    // Makes the page, shows it and returns it; nullptr when no creator is registered.
    WizardPage *open(Page page);
    WizardPage *currentPage() const;

    // Closes every open wizard window without a question; the program ends.
    void CloseAllPages(QWidget *except = nullptr);

    // The desktop session is ending: asks the open page to close, which asks
    // the administrator as the close box does. Answers whether the session
    // may end (false: the administrator chose to stay).
    bool requestSessionEnd();
    // Connects requestSessionEnd to the application's session manager.
    void watchSessionEnd();

private:
    void onCommitDataRequest(QSessionManager &manager);

    WizardContext &m_context;
    QHash<Page, Creator> m_creators;
    QPointer<WizardPage> m_current;
};

// Registers the welcome, registration, login and finished pages.
void registerFramePages(PageNavigator &navigator);

} // namespace kestrup
