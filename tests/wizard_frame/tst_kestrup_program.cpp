// The built program on a real X display: its windows carry the class that the
// suite's window look-up searches for and the wizard's caption, it opens on
// the welcome page, and moving on to the next page does not end it although
// the page it leaves was its only window. Its titles read on the X server
// exactly as the wizard sets them.
#include "support/Patience.h"
#include "support/ProgramFolder.h"
#include "support/ScriptedServer.h"
#include "support/X11Windows.h"

#include "wizard/frame/RequestCycle.h"
#include "wizard/frame/WizardContext.h"
#include "wizard/frame/WizardMessageBox.h"
#include "wizard/frame/WizardPage.h"
#include "wizard/users/frm_emailusers.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

namespace {

QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(testsupport::patient(10000)))
        return QString();
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

QList<testsupport::X11Window> viewableWindows()
{
    QList<testsupport::X11Window> out;
    for (const auto &w : testsupport::x11WindowsOfClass(QStringLiteral("ThunderRT6FormDC"))) {
        if (w.viewable)
            out << w;
    }
    return out;
}

// The one viewable window of the program other than `other`; id 0 while
// there is none, or more than one.
testsupport::X11Window otherWindow(quint32 other)
{
    testsupport::X11Window found;
    int count = 0;
    for (const auto &w : viewableWindows()) {
        if (w.id != other) {
            found = w;
            ++count;
        }
    }
    return count == 1 ? found : testsupport::X11Window();
}

// Keys as a user types them, into the window given the input focus first.
bool key(const testsupport::X11Window &window, const QString &keys, const char *command = "key")
{
    return testsupport::xdotool({"windowfocus", "--sync", QString::number(window.id), command, keys});
}

bool click(const testsupport::X11Window &window, const QPoint &at)
{
    const QPoint p = window.geometry.topLeft() + at;
    return testsupport::xdotool({"mousemove", QString::number(p.x()), QString::number(p.y()), "click", "1"});
}

// Visible top-level windows whose name is the wizard's caption. (Read with
// xcb: xdotool's search gives up when a window goes away under it, as a
// page that moves on does.)
QStringList wizardWindows()
{
    QStringList ids;
    for (const auto &w : viewableWindows()) {
        if (w.netWmName == kestrup::WizardPage::windowCaption() || w.wmName == kestrup::WizardPage::windowCaption())
            ids << QString::number(w.id);
    }
    return ids;
}

} // namespace

class TestKestrupProgram : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void titlesAreExact();
    void windowsAndFirstStep();
};

void TestKestrupProgram::windowsAndFirstStep()
{
    const QString program = QStringLiteral(TVX_BUILD_DIR "/kestrup/kestrup");
    QVERIFY(QFileInfo(program).isExecutable());
    QProcess kestrup;
    kestrup.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    kestrup.start(program);
    QVERIFY(kestrup.waitForStarted());

    QTRY_VERIFY_WITH_TIMEOUT(wizardWindows().size() == 1, testsupport::patient(10000));
    const QString window = wizardWindows().first();
    QCOMPARE(run("xprop", {"-id", window, "WM_CLASS"}), QString("WM_CLASS(STRING) = \"kestrup\", \"ThunderRT6FormDC\""));
    const QString welcomeSize = run("xdotool", {"getwindowgeometry", window});

    // Enter presses Next: the registration page replaces the welcome page and
    // the program goes on.
    run("xdotool", {"windowactivate", "--sync", window});
    run("xdotool", {"key", "--window", window, "Return"});
    QVERIFY(QTest::qWaitFor([&] {
        const QStringList now = wizardWindows();
        return !now.isEmpty() && !now.contains(window);
    }, testsupport::patient(10000)));
    QTest::qWait(testsupport::patient(500));
    QCOMPARE(kestrup.state(), QProcess::Running);
    QCOMPARE(wizardWindows().size(), 1);
    QVERIFY(run("xdotool", {"getwindowgeometry", wizardWindows().first()}) != welcomeSize);

    kestrup.kill();
    kestrup.waitForFinished();
}

void TestKestrupProgram::titlesAreExact()
{
    using testsupport::X11Window;
    using testsupport::patient;
    testsupport::ScriptedServer server;
    QVERIFY(server.listen());
    server.setReply("/alertsystem/admin/login.php", testsupport::ScriptedReply::xmlChildren({"LOGINOK", "5"}));
    server.setReply("/alertsystem/admin/getusers.php",
                    testsupport::ScriptedReply::xml("<?xml version=\"1.0\"?><users><u><i>7</i><n>ann</n><l>L</l>"
                                                    "<f>F</f><t>1</t><e>a@x.com</e><w/><c/><p>pw</p></u></users>"));

    // Where the first row and Remove sit on the user list page as this display draws it.
    QPoint row, remove;
    {
        kestrup::WizardSettings settings = kestrup::WizardSettings::defaults();
        settings.serverBase = server.baseUrl();
        kestrup::WizardContext context(settings);
        kestrup::frm_emailusers page(context);
        page.show();
        QTRY_VERIFY(server.countFor("/alertsystem/admin/getusers.php") == 1 && !page.cycle()->isBusy());
        QTreeWidget *list = page.ListView1();
        row = list->viewport()->mapTo(&page, list->visualItemRect(list->topLevelItem(0)).center());
        const QToolButton *button = page.findChild<QToolButton *>("Command1");
        remove = button->mapTo(&page, button->rect().center());
        page.ThisCanExit = true;
        page.close();
    }

    QTemporaryDir install;
    QVERIFY(testsupport::copyFolder(QStringLiteral(TVX_BUILD_DIR "/kestrup"), install.path()));
    QVERIFY(testsupport::writeFile(install.filePath("setup.xml"), "<?xml version=\"1.0\"?><s><b>"
                                       + server.baseUrl().toUtf8() + "</b><v>www.vantorel.example</v></s>"));
    QProcess kestrup;
    testsupport::endWithThisProcess(kestrup);
    kestrup.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    kestrup.start(install.filePath("kestrup"));
    QVERIFY(kestrup.waitForStarted());
    const auto stop = qScopeGuard([&] {
        kestrup.kill();
        kestrup.waitForFinished();
    });
    const QString caption = kestrup::WizardPage::windowCaption();
    auto exactTitle = [](const X11Window &w, const QString &title) {
        return w.netWmName == title && w.wmName == title;
    };

    QTRY_COMPARE_WITH_TIMEOUT(viewableWindows().size(), 1, patient(10000));
    const X11Window welcome = viewableWindows().first();
    QVERIFY2(exactTitle(welcome, caption), qPrintable(welcome.netWmName));

    // The login page; Next with nothing typed: a message box with an empty title.
    QVERIFY(key(welcome, "alt+l"));
    X11Window login;
    QTRY_VERIFY_WITH_TIMEOUT((login = otherWindow(welcome.id)).id != 0 && viewableWindows().size() == 1,
                             patient(10000));
    QVERIFY2(exactTitle(login, caption), qPrintable(login.netWmName));
    QVERIFY(key(login, "Return"));
    X11Window box;
    QTRY_VERIFY_WITH_TIMEOUT((box = otherWindow(login.id)).id != 0, patient(10000));
    QVERIFY2(exactTitle(box, QString()), qPrintable(box.netWmName + " / " + box.wmName));
    QVERIFY(key(box, "Return"));
    QTRY_COMPARE_WITH_TIMEOUT(viewableWindows().size(), 1, patient(10000));

    // Logged in: the user list page, and the delete question over it.
    QVERIFY(key(login, "u", "type"));
    QVERIFY(key(login, "Tab"));
    QVERIFY(key(login, "p", "type"));
    QVERIFY(key(login, "Return"));
    X11Window users;
    QTRY_VERIFY_WITH_TIMEOUT((users = otherWindow(login.id)).id != 0 && viewableWindows().size() == 1,
                             patient(10000));
    QVERIFY2(exactTitle(users, caption), qPrintable(users.netWmName));
    // The page asks for its list (the server here answers on this test's loop).
    QVERIFY(server.waitForRequestCount(3));
    X11Window question;
    // Tried for a while rather than a fixed number of times: under load the
    // list may take many tries to arrive.
    QElapsedTimer trying;
    trying.start();
    while (!question.id && trying.elapsed() < patient(30000)) {
        // Until the list has come, the row cannot be selected and Remove asks
        // for a selection instead.
        QVERIFY(click(users, row));
        QVERIFY(click(users, remove));
        QTRY_VERIFY_WITH_TIMEOUT((box = otherWindow(users.id)).id != 0, patient(10000));
        if (box.netWmName.isEmpty())
            QVERIFY(key(box, "Return"));
        else
            question = box;
        QTRY_VERIFY_WITH_TIMEOUT(question.id || viewableWindows().size() == 1, patient(10000));
    }
    QVERIFY2(exactTitle(question, QStringLiteral("Vantorel Software Administrative S")),
             qPrintable(QString("window %1: \"%2\" / \"%3\"").arg(question.id).arg(question.netWmName, question.wmName)));
    QVERIFY(key(question, "Escape"));
    QTRY_COMPARE_WITH_TIMEOUT(viewableWindows().size(), 1, patient(10000));
    QCOMPARE(server.countFor("/alertsystem/admin/deleteuser.php"), 0);
}

QTEST_MAIN(TestKestrupProgram)
#include "tst_kestrup_program.moc"
