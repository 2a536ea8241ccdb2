#pragma once

#include "wizard/frame/PageNavigator.h"

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace kestrup {

class WizardContext;

// The base of every wizard page: a top-level window with the caption
// "Vantorel Software Administrative Setup" and, along its bottom edge, the
// line `Frame1` and the button row `cmdBack` "<&Back", `cmdNext` "&Next>"
// (default button: Enter) and `cmdCancel` "&Cancel" (Escape).
//
// A subclass puts its content into contentLayout(), connects the three
// buttons itself and sets the tab order it needs. Moving on is
// moveTo(Page::X): ThisCanExit is set, this page closes, the next page opens
// anew. Every other close (close box, Cancel, session end) runs the close
// rule: unless ThisCanExit is set, the quit dialog frm_alert asks, and No
// keeps the page as it was, a request in progress included (a reply that
// comes while the question stands waits for the answer). A page that
// closes abandons the requests of every RequestCycle it owns.
class WizardPage : public QDialog
{
    Q_OBJECT
public:
    explicit WizardPage(WizardContext &context, QWidget *parent = nullptr);

    // Lets the page close without asking; false from the page's opening
    // until it moves on.
    bool ThisCanExit = false;

    QPushButton *cmdBack() const { return m_cmdBack; }
    QPushButton *cmdNext() const { return m_cmdNext; }
    QPushButton *cmdCancel() const { return m_cmdCancel; }

    // Closes this page and opens `next`; false (and nothing happens) when
    // no page is registered for it.
    bool moveTo(Page next);

    static QString windowCaption();

protected:
    WizardContext &context() const { return m_context; }
    QVBoxLayout *contentLayout() const { return m_content; }
    // The welcome and finished pages' layout: the side picture `Picture1` on
    // the left, the large bold heading and the text (word-wrapped) on the
    // right. Answers the column under the text for whatever else the page shows.
    QVBoxLayout *addSidePictureContent(QLabel *Picture1, QLabel *heading, QLabel *text);

    // The close rule. The finished page overrides it.
    virtual bool closeRequestAllowed();
    // Asks frm_alert; true when the administrator chose to quit.
    bool askToQuit();

    void closeEvent(QCloseEvent *event) override;
    void reject() override;        // Escape
    void done(int result) override; // never ends the page behind the close rule's back

private:
    WizardContext &m_context;
    QVBoxLayout *m_content;
    QFrame *m_Frame1;
    QPushButton *m_cmdBack;
    QPushButton *m_cmdNext;
    QPushButton *m_cmdCancel;
    bool m_asking = false; // the quit dialog is open for this page
};

} // namespace kestrup
