// The alert console's first page in the browser engine the tests use, against
// a bare page of one colour in the same engine, in the same run:
//  - the time from load() to the first paint: a point of the page's header
//    (the bare page's body) showing its colour on the screen;
//  - for the console also the time to its sign-in form, shown once the
//    session's answer (401 here) has come;
//  - the first page's bytes in all (HTML, style sheet, script).
// Both are served over loopback by one scripted server; each load is a new
// view in a warm engine, the order alternating round by round.
// Needs an X display: scripts/bench.sh console

#include "ProcessFigures.h"
#include "support/ConsoleDriver.h"
#include "support/ScriptedServer.h"

#include <QApplication>
#include <QColor>
#include <QElapsedTimer>
#include <QFile>
#include <QScreen>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include <cstdio>
#include <optional>

using testsupport::ScriptedReply;

namespace {

constexpr int kRounds = 7;
constexpr int kGiveUpMs = 20000;
const QColor kHeader(0x18, 0x6e, 0x80);
const QByteArray kBarePage = "<!DOCTYPE html><html><body style=\"background:#186e80\"></body></html>";

struct Sample
{
    double paintMs = -1;
    double signInMs = -1;
};

QByteArray staticFile(const char *name)
{
    QFile file(QStringLiteral(TVX_SOURCE_DIR "/server/console/static/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool near(const QColor &a, const QColor &b)
{
    return qAbs(a.red() - b.red()) <= 2 && qAbs(a.green() - b.green()) <= 2 && qAbs(a.blue() - b.blue()) <= 2;
}

std::optional<Sample> measure(QWebEngineProfile &profile, const QUrl &url, bool console)
{
    QWebEngineView view;
    QWebEnginePage *page = new QWebEnginePage(&profile, &view);
    view.setPage(page);
    view.resize(600, 400);
    view.move(0, 0);
    view.show();
    QCoreApplication::processEvents();
    const QPoint probe = view.mapToGlobal(QPoint(5, 5));
    Sample sample;
    QElapsedTimer clock;
    clock.start();
    view.load(url);
    while (clock.elapsed() < kGiveUpMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        const QImage pixel = view.screen()->grabWindow(0, probe.x(), probe.y(), 1, 1).toImage();
        if (!pixel.isNull() && near(pixel.pixelColor(0, 0), kHeader)) {
            sample.paintMs = clock.nsecsElapsed() / 1e6;
            break;
        }
    }
    if (sample.paintMs < 0)
        return std::nullopt;
    if (console) {
        testsupport::ConsoleDriver driver(*page);
        if (!driver.waitUntil("!document.getElementById('signin').hidden", kGiveUpMs))
            return std::nullopt;
        sample.signInMs = clock.nsecsElapsed() / 1e6;
    }
    return sample;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        std::printf("bench_console_paint: needs an X display (run it through scripts/bench.sh)\n");
        return 2;
    }
    const QByteArray html = staticFile("index.html"), css = staticFile("console.css"), js = staticFile("console.js");
    if (html.isEmpty() || css.isEmpty() || js.isEmpty()) {
        std::printf("bench_console_paint: the console's files are not in %s\n", TVX_SOURCE_DIR);
        return 2;
    }
    testsupport::ScriptedServer server;
    if (!server.listen())
        return 2;
    server.setReply("/console/", ScriptedReply::html(html));
    server.setReply("/console/console.css", ScriptedReply::text(css, "text/css"));
    server.setReply("/console/console.js", ScriptedReply::text(js, "text/javascript"));
    server.setReply("/console/api/session",
                    ScriptedReply::text("{\"error\": \"no session\"}", "application/json").withStatus(401));
    server.setReply("/bare.html", ScriptedReply::html(kBarePage));
    const QUrl consoleUrl(server.baseUrl() + QStringLiteral("/console/"));
    const QUrl bareUrl(server.baseUrl() + QStringLiteral("/bare.html"));

    QWebEngineProfile profile; // off the record, no cache on disk
    profile.setHttpCacheType(QWebEngineProfile::NoCache);
    // The engine's own start is not the page's: one load of each first, not counted.
    if (!measure(profile, bareUrl, false) || !measure(profile, consoleUrl, true)) {
        std::printf("bench_console_paint: the warm-up painted nothing\n");
        return 1;
    }
    QList<double> bare, paint, signIn;
    for (int round = 1; round <= kRounds; ++round) {
        std::optional<Sample> b, c;
        if (round % 2) {
            b = measure(profile, bareUrl, false);
            c = measure(profile, consoleUrl, true);
        } else {
            c = measure(profile, consoleUrl, true);
            b = measure(profile, bareUrl, false);
        }
        if (!b || !c) {
            std::printf("round %d: %s painted nothing\n", round, b ? "the console" : "the bare page");
            return 1;
        }
        std::printf("round %d: bare page %.0f ms, console first paint %.0f ms, sign-in form %.0f ms\n", round,
                    b->paintMs, c->paintMs, c->signInMs);
        std::fflush(stdout);
        bare << b->paintMs;
        paint << c->paintMs;
        signIn << c->signInMs;
    }
    const double bp = benchfigures::median(bare), cp = benchfigures::median(paint);
    std::printf("first page: %lld bytes in all (index.html %lld, console.css %lld, console.js %lld; aim under 50 KB)\n",
                qint64(html.size() + css.size() + js.size()), qint64(html.size()), qint64(css.size()),
                qint64(js.size()));
    std::printf("bare page: first paint %.0f ms (median of %d)\n", bp, kRounds);
    std::printf("console: first paint %.0f ms (aim under 300 ms), sign-in form %.0f ms\n", cp,
                benchfigures::median(signIn));
    std::printf("console / bare page: first paint %.2f\n", cp / bp);
    return 0;
}
