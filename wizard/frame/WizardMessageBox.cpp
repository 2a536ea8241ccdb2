#include "WizardMessageBox.h"

#include <QGuiApplication>
#include <QQueue>

namespace kestrup {

namespace {

struct Seam
{
    bool testMode = false;
    QQueue<WizardMessageBox::Answer> answers;
    QList<WizardMessageBox::Shown> shown;
    int unanswered = 0;
    std::function<void()> whileOpen;
};

Seam &seam()
{
    static Seam s;
    return s;
}

WizardMessageBox::Answer takeQuestionAnswer()
{
    Seam &s = seam();
    if (s.whileOpen)
        s.whileOpen();
    if (!s.answers.isEmpty())
        return s.answers.dequeue();
    ++s.unanswered;
    return WizardMessageBox::Answer::No;
}

void record(WizardMessageBox::Shown entry)
{
    seam().shown.append(entry);
}

} // namespace

void WizardMessageBox::information(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::Information, QString(), text, QMessageBox::Ok, parent);
    show(box, false);
}

bool WizardMessageBox::question(QWidget *parent, const QString &text)
{
    return question(parent, QStringLiteral("Vantorel Software Administrative S"), text);
}

bool WizardMessageBox::question(QWidget *parent, const QString &title, const QString &text,
                                QMessageBox::Icon icon)
{
    QMessageBox box(icon, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::Yes);
    return show(box, true) == Answer::Yes;
}

WizardMessageBox::Answer WizardMessageBox::show(QMessageBox &box, bool isQuestion)
{
    Shown entry;
    entry.title = box.windowTitle();
    entry.text = box.text();
    entry.icon = box.icon();
    entry.buttons = box.standardButtons();
    if (seam().testMode) {
        if (!isQuestion && seam().whileOpen)
            seam().whileOpen();
        entry.answer = isQuestion ? takeQuestionAnswer() : Answer::Ok;
        record(entry);
        return entry.answer;
    }
    const int result = box.exec();
    entry.answer = !isQuestion ? Answer::Ok : (result == QMessageBox::Yes ? Answer::Yes : Answer::No);
    record(entry);
    return entry.answer;
}

WizardMessageBox::Answer WizardMessageBox::runDialog(QDialog &dialog, const Shown &description,
                                                     const std::function<Answer(int)> &answerOf)
{
    Shown entry = description;
    if (seam().testMode) {
        entry.answer = takeQuestionAnswer();
        record(entry);
        return entry.answer;
    }
    entry.answer = answerOf(dialog.exec());
    record(entry);
    return entry.answer;
}

void WizardMessageBox::setTestMode(bool on)
{
    seam().testMode = on;
}

bool WizardMessageBox::testMode()
{
    return seam().testMode;
}

void WizardMessageBox::setNextAnswer(Answer answer)
{
    seam().answers.enqueue(answer);
}

const QList<WizardMessageBox::Shown> &WizardMessageBox::shown()
{
    return seam().shown;
}

QStringList WizardMessageBox::shownTexts()
{
    QStringList texts;
    for (const Shown &s : seam().shown)
        texts << s.text;
    return texts;
}

void WizardMessageBox::clearShown()
{
    seam().shown.clear();
    seam().answers.clear();
    seam().unanswered = 0;
    seam().whileOpen = nullptr;
}

int WizardMessageBox::unansweredQuestions()
{
    return seam().unanswered;
}

void WizardMessageBox::setWhileOpen(std::function<void()> callback)
{
    seam().whileOpen = std::move(callback);
}

} // namespace kestrup
