// Measures, over ten starts of the installed client against a scripted skin of
// five small pictures on loopback:
//  - the time from starting the process to its main window existing on the X
//    server with the configured title (the hand-over), found by the same X11
//    look-up the client uses for its single-instance test;
//  - the client's peak resident memory (VmHWM) at that moment.
// Run under an X server: scripts/xvfb-test.sh build/bench/client_startup/bench_client_startup

#include "ProcessFigures.h"
#include "client/startup/InstanceLookup.h"
#include "client_startup/SkinFixture.h"
#include "support/ProgramFolder.h"
#include "support/ScriptedServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>

using benchfigures::median;
using testsupport::ScriptedReply;

namespace {

constexpr int kRuns = 10;
constexpr int kGiveUpMs = 15000;

using testsupport::copyFolder;

qint64 peakMemoryKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QTextStream out(stdout);
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        out << "bench_client_startup: needs an X display (run it through scripts/xvfb-test.sh)\n";
        return 2;
    }

    testsupport::ScriptedServer server;
    if (!server.listen())
        return 2;
    QStringList skin = {"s/close.png", "s/menu.png", "s/back.png", "4500", "6000", "4200", "60", "3900", "75",
                        "s/icon.png", "Tarvex", "http://a/alert", "http://a/profile", "http://l0", "http://l1",
                        "http://l2", "http://l3", "http://l4", "http://l5", "150", "900", "4200", "4800",
                        "s/page.png"};
    server.setReply("/alertsystem/notifytype.php", ScriptedReply::xmlChildren(skin));
    server.setReply("/s/close.png", ScriptedReply::picture(skinfixture::png(Qt::red, {16, 16}), "image/png"));
    server.setReply("/s/menu.png", ScriptedReply::picture(skinfixture::png(Qt::green, {16, 16}), "image/png"));
    server.setReply("/s/back.png", ScriptedReply::picture(skinfixture::png(Qt::blue, {300, 400}), "image/png"));
    server.setReply("/s/icon.png", ScriptedReply::picture(skinfixture::png(Qt::yellow, {32, 32}), "image/png"));
    server.setReply("/s/page.png", ScriptedReply::picture(skinfixture::png(Qt::cyan, {64, 64}), "image/png"));

    QTemporaryDir install;
    if (!copyFolder(QStringLiteral(TVX_BUILD_DIR "/tarvex"), install.path())) {
        out << "bench_client_startup: cannot copy " TVX_BUILD_DIR "/tarvex (build the client first)\n";
        return 2;
    }

    QList<double> times;
    QList<qint64> peaks;
    for (int run = 0; run < kRuns; ++run) {
        const QString title = QStringLiteral("Tarvex bench %1").arg(run);
        QFile config(install.filePath("system.xml"));
        config.open(QIODevice::WriteOnly | QIODevice::Truncate);
        config.write("<?xml version=\"1.0\"?><c><t>" + title.toUtf8() + "</t><b>" + server.baseUrl().toUtf8()
                     + "</b><i>1</i></c>");
        config.close();

        QProcess client;
        client.setProgram(install.filePath("tarvex"));
        client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // The main window's browser engine refuses to run as root inside its sandbox.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
        client.setProcessEnvironment(env);
        QElapsedTimer clock;
        clock.start();
        client.start();
        bool shown = false;
        // Spin the loop: the scripted server answering the client lives here.
        while (clock.elapsed() < kGiveUpMs && client.state() != QProcess::NotRunning) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
            if (!client::IsOnlyInstance(title)) {
                shown = true;
                break;
            }
        }
        const double ms = clock.nsecsElapsed() / 1e6;
        const qint64 peak = peakMemoryKiB(client.processId());
        client.terminate();
        client.waitForFinished(5000);
        if (!shown) {
            out << "run " << run << ": no main window within " << kGiveUpMs << " ms\n";
            return 1;
        }
        times << ms;
        peaks << peak;
        out << QStringLiteral("run %1: %2 ms to hand-over, peak %3 KiB\n").arg(run).arg(ms, 0, 'f', 1).arg(peak);
        out.flush();
    }
    out << QStringLiteral("start to hand-over: median %1 ms (min %2, max %3) over %4 runs\n")
               .arg(median(times), 0, 'f', 1)
               .arg(*std::min_element(times.begin(), times.end()), 0, 'f', 1)
               .arg(*std::max_element(times.begin(), times.end()), 0, 'f', 1)
               .arg(kRuns);
    out << QStringLiteral("client peak memory (VmHWM): median %1 KiB (max %2 KiB)\n")
               .arg(median(peaks))
               .arg(*std::max_element(peaks.begin(), peaks.end()));
    return 0;
}
