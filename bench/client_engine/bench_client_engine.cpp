// The client against a bare browser engine view, each alone on the X display
// in turn, three rounds:
//  - the time from starting the process to its first painted page: the
//    browser box's corner showing the page's own colour, read off the screen;
//    for the client also the time to its main window (the hand-over);
//  - PSS over all processes, per process and in all, once the client is
//    logged in and polling, and the bare view has stood as long after its
//    first paint;
//  - the ratio of the client's figure to the bare view's, for both.
// Needs an X display with a tray: scripts/bench.sh client_engine
// To weigh an engine setting before building it in, TVX_BENCH_CLIENT_ENV
// ("NAME=value;NAME=value") adds variables to the client's environment only,
// and TVX_BENCH_CLIENT_DIR runs the client of another build's folder (an
// earlier one, for a before-and-after in one sitting).

#include "ProcessFigures.h"
#include "client_startup/SkinFixture.h"
#include "client/startup/InstanceLookup.h"
#include "support/ProgramFolder.h"
#include "support/ScriptedServer.h"
#include "support/X11Windows.h"

#include <QColor>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdio>
#include <functional>
#include <optional>

using benchfigures::median;
using testsupport::ScriptedReply;
using testsupport::ScriptedServer;

namespace {

constexpr int kRounds = 3;
constexpr int kGiveUpMs = 30000;
constexpr int kSettleMs = 8000; // after the first paint, before the memory is read
// Both pages are of this colour where nothing else is drawn.
const QColor kPageColour(0xee, 0xf2, 0xf7);
const QByteArray kPage = "<!DOCTYPE html><html><body style=\"background:#eef2f7\"></body></html>";

struct Subject
{
    QString name;
    QString program;
    QStringList arguments;
    QProcessEnvironment environment;
    QString wmClass;
    QString title;
    QPoint probe; // in window coordinates: a corner of the browser box
    std::function<bool()> ready = [] { return true; }; // logged in and polling, for the client
};

struct Sample
{
    double windowMs = -1;
    double paintMs = -1;
    double pss = 0;
    QList<QPair<QString, double>> perProcess;
};

bool near(const QColor &a, const QColor &b)
{
    return qAbs(a.red() - b.red()) <= 2 && qAbs(a.green() - b.green()) <= 2 && qAbs(a.blue() - b.blue()) <= 2;
}

QColor screenPixel(const QPoint &at)
{
    const QImage image = QGuiApplication::primaryScreen()->grabWindow(0, at.x(), at.y(), 1, 1).toImage();
    return image.isNull() ? QColor() : image.pixelColor(0, 0);
}

std::optional<Sample> measure(const Subject &subject)
{
    QProcess process;
    process.setProgram(subject.program);
    process.setArguments(subject.arguments);
    process.setProcessEnvironment(subject.environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    Sample sample;
    QElapsedTimer clock;
    clock.start();
    process.start();
    // The scripted server that answers the client lives in this loop.
    while (clock.elapsed() < kGiveUpMs && process.state() != QProcess::NotRunning) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        const auto window = testsupport::viewableX11Window(subject.wmClass, subject.title);
        if (!window)
            continue;
        if (sample.windowMs < 0)
            sample.windowMs = clock.nsecsElapsed() / 1e6;
        if (near(screenPixel(window->geometry.topLeft() + subject.probe), kPageColour)) {
            sample.paintMs = clock.nsecsElapsed() / 1e6;
            break;
        }
    }
    bool ok = sample.paintMs >= 0;
    if (ok) {
        QTest::qWait(kSettleMs);
        while (!subject.ready() && clock.elapsed() < kGiveUpMs)
            QTest::qWait(50);
        ok = subject.ready();
    }
    if (ok) {
        // PSS splits a page among all who map it: another engine running on
        // the machine makes both subjects read low.
        const int strangers =
            benchfigures::countRunning("QtWebEngineProcess", benchfigures::processTree(process.processId()));
        if (strangers > 0)
            std::printf("  (%d browser engine processes of other programs ran beside it: its PSS reads low)\n",
                        strangers);
        for (const benchfigures::ProcessPart &part : benchfigures::describeTree(process.processId())) {
            sample.pss += part.pssMb;
            sample.perProcess.append({part.role, part.pssMb});
        }
    }
    testsupport::endProgram(process);
    // Let the engine's helpers go before the next subject starts.
    QThread::msleep(500);
    if (!ok)
        return std::nullopt;
    return sample;
}

void print(const QString &name, int round, const Sample &s)
{
    QString parts;
    for (const auto &[role, mb] : s.perProcess)
        parts += QStringLiteral("%1%2 %3").arg(parts.isEmpty() ? "" : ", ", role).arg(mb, 0, 'f', 1);
    std::printf("round %d, %s: main window %.0f ms, first painted page %.0f ms, PSS %.1f MB (%s)\n", round,
                qPrintable(name), s.windowMs, s.paintMs, s.pss, qPrintable(parts));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        std::printf("bench_client_engine: needs an X display (run it through scripts/bench.sh)\n");
        return 2;
    }

    ScriptedServer server;
    QTemporaryDir install, home, pageFolder;
    const QString clientDir = qEnvironmentVariable("TVX_BENCH_CLIENT_DIR", QStringLiteral(TVX_BUILD_DIR "/tarvex"));
    if (!server.listen() || !testsupport::copyFolder(clientDir, install.path())) {
        std::printf("bench_client_engine: no scripted server, or no client in %s\n", qPrintable(clientDir));
        return 2;
    }
    // A window of 320 x 400 px with a 300 x 300 px browser box at 10, 80.
    const QStringList skin = {"p/close.png", "p/menu.png", "p/back.png", "4800", "6000", "4350", "150", "3900",
                              "150", "p/icon.png", "Bench engine", server.baseUrl() + "/alertsystem/alerts.php",
                              "", "", "", "", "", "", "", "150", "1200", "4500", "4500", "p/page.png"};
    server.setReply("/alertsystem/notifytype.php", ScriptedReply::xmlChildren(skin));
    const QByteArray png = skinfixture::png(Qt::darkCyan);
    for (const char *path : {"/p/close.png", "/p/menu.png", "/p/back.png", "/p/icon.png", "/p/page.png"})
        server.setReply(path, ScriptedReply::picture(png, "image/png"));
    server.setReply("/alertsystem/login.php", ScriptedReply::xmlChildren({"1"}));
    server.setReply("/alertsystem/status.php", ScriptedReply::xmlChildren({"0"}));
    server.setReply("/alertsystem/alerts.php", ScriptedReply::html(kPage));
    testsupport::writeFile(install.filePath("system.xml"), "<?xml version=\"1.0\"?>\n<c><t>Bench Engine</t><s>"
                                                               + server.baseUrl().toUtf8() + "</s><i>1</i></c>\n");
    testsupport::writeFile(pageFolder.filePath("empty.html"), kPage);

    Subject bare{QStringLiteral("bare engine"), QStringLiteral(BARE_ENGINE), {pageFolder.filePath("empty.html")},
                 QProcessEnvironment::systemEnvironment(), QStringLiteral("bare_engine"),
                 QStringLiteral("bare engine"), QPoint(295, 295)};
    Subject client{QStringLiteral("client"), install.filePath("tarvex"), {},
                   testsupport::programEnvironment(home.path()), QString::fromLatin1(client::kWindowClass),
                   QStringLiteral("Bench Engine"), QPoint(10 + 295, 80 + 295)};
    for (const QString &pair : qEnvironmentVariable("TVX_BENCH_CLIENT_ENV").split(';', Qt::SkipEmptyParts)) {
        const qsizetype eq = pair.indexOf('=');
        client.environment.insert(pair.left(eq), pair.mid(eq + 1));
        std::printf("client environment: %s\n", qPrintable(pair));
    }
    int pollsAtStart = 0;
    client.ready = [&] { return server.countFor("/alertsystem/status.php") >= pollsAtStart + 2; };

    QList<double> barePaint, barePss, clientWindow, clientPaint, clientPss;
    for (int round = 1; round <= kRounds; ++round) {
        const auto b = measure(bare);
        if (!b) {
            std::printf("round %d: the bare engine painted no page\n", round);
            return 1;
        }
        print(bare.name, round, *b);
        barePaint << b->paintMs;
        barePss << b->pss;

        // Logged in automatically, so that the memory is that of the polling client.
        testsupport::writeFile(home.filePath("config/Tarvex Vantorel.conf"),
                               "[Settings]\nAUTOLOG=1\nUSERNAME=bench\nPASSWORD=pw\n");
        pollsAtStart = server.countFor("/alertsystem/status.php");
        const auto c = measure(client);
        if (!c) {
            std::printf("round %d: the client painted no page, or did not log in and poll\n", round);
            return 1;
        }
        print(client.name, round, *c);
        clientWindow << c->windowMs;
        clientPaint << c->paintMs;
        clientPss << c->pss;
    }

    const double bp = median(barePaint), bm = median(barePss);
    const double cp = median(clientPaint), cm = median(clientPss);
    std::printf("bare engine: first painted page %.0f ms, PSS %.1f MB (medians of %d)\n", bp, bm, kRounds);
    std::printf("client: main window %.0f ms (aim under 500 ms), first painted page %.0f ms, PSS %.1f MB\n",
                median(clientWindow), cp, cm);
    std::printf("client / bare engine: PSS %.2f (aim at most 0.90), first painted page %.2f\n", cm / bm, cp / bp);
    return 0;
}
