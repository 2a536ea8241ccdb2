// The built program on a real X display: its windows carry the class that the
// suite's window look-up searches for and the wizard's caption, it opens on
// the welcome page, and moving on to the next page does not end it although
// the page it leaves was its only window.
#include <QDir>
#include <QProcess>
#include <QtTest>

namespace {

QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(10000))
        return QString();
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

// Visible top-level windows whose name is the wizard's caption.
QStringList wizardWindows()
{
    const QString out = run("xdotool", {"search", "--onlyvisible", "--name", "^Vantorel Software Administrative Setup$"});
    return out.isEmpty() ? QStringList() : out.split('\n');
}

} // namespace

class TestKestrupProgram : public QObject
{
    Q_OBJECT
private Q_SLOTS:
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

    QTRY_VERIFY_WITH_TIMEOUT(wizardWindows().size() == 1, 10000);
    const QString window = wizardWindows().first();
    QCOMPARE(run("xprop", {"-id", window, "WM_CLASS"}), QString("WM_CLASS(STRING) = \"kestrup\", \"ThunderRT6FormDC\""));
    const QString welcomeSize = run("xdotool", {"getwindowgeometry", window});

    // Enter presses Next: the registration page replaces the welcome page and
    // the program goes on.
    run("xdotool", {"windowactivate", "--sync", window});
    run("xdotool", {"key", "--window", window, "Return"});
    QTRY_VERIFY_WITH_TIMEOUT(!wizardWindows().isEmpty() && !wizardWindows().contains(window), 10000);
    QTest::qWait(500);
    QCOMPARE(kestrup.state(), QProcess::Running);
    QCOMPARE(wizardWindows().size(), 1);
    QVERIFY(run("xdotool", {"getwindowgeometry", wizardWindows().first()}) != welcomeSize);

    kestrup.kill();
    kestrup.waitForFinished();
}

QTEST_GUILESS_MAIN(TestKestrupProgram)
#include "tst_kestrup_program.moc"
