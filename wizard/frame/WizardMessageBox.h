#pragma once

#include <QList>
#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

namespace kestrup {

// Every message and question box of the wizard goes through here, so that
// tests can answer them without a modal loop and read what was shown.
//
//   WizardMessageBox::information(this, "Username is required!");
//       information icon, one OK button, title "" (the wizard's only kind of message)
//   if (WizardMessageBox::question(this, "Delete Selected account?")) ...
//       Yes/No, title = the application's display name, true = Yes
//
// Test seam (like KeePassXC's MessageBox::setNextAnswer):
//   WizardMessageBox::setTestMode(true);        // no box is ever shown modally
//   WizardMessageBox::setNextAnswer(Answer::Yes); // queue answers for questions
//   ... WizardMessageBox::shown() lists every box, in order, with its title,
//   text, icon and buttons; clearShown() forgets them.
// In test mode an information box is answered OK at once and a question with
// no queued answer is answered No (and counted in unansweredQuestions()).
// The quit dialog frm_alert takes its answer from the same queue.
class WizardMessageBox
{
public:
    enum class Answer { Ok, Yes, No };

    struct Shown
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        Answer answer = Answer::Ok;
    };

    static void information(QWidget *parent, const QString &text);
    static bool question(QWidget *parent, const QString &text);
    static bool question(QWidget *parent, const QString &title, const QString &text,
                         QMessageBox::Icon icon = QMessageBox::Question);

    // For custom modal dialogs (frm_alert): in test mode answers the next
    // queued answer (No when none is queued) and records the box; otherwise
    // runs the dialog's own exec() and lets `answerOf` read the result.
    static Answer runDialog(QDialog &dialog, const Shown &description,
                            const std::function<Answer(int execResult)> &answerOf);

    static void setTestMode(bool on);
    static bool testMode();
    static void setNextAnswer(Answer answer);
    static const QList<Shown> &shown();
    static QStringList shownTexts();
    static void clearShown();
    static int unansweredQuestions();
    // Test mode: runs while each box or dialog stands, before its answer is
    // taken, so a test can let time pass under it (and queue the answer).
    static void setWhileOpen(std::function<void()> callback);

private:
    static Answer show(QMessageBox &box, bool isQuestion);
};

} // namespace kestrup
