// The scripted server in a process of its own, for faults whose memory must
// not be counted against the window under test: it answers every path with
// an XML reply of the given size (in MB), prints "PORT <n>" and serves until
// it is killed.
#include "support/ScriptedServer.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qsizetype megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 50;
    QByteArray body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<reply><v>0</v><pad>";
    body += QByteArray(megabytes * 1024 * 1024, ' ');
    body += "</pad></reply>\n";
    testsupport::ScriptedServer server;
    server.setFallback(testsupport::ScriptedReply::xml(body));
    body.clear();
    if (!server.listen())
        return 1;
    std::printf("PORT %d\n", int(server.port()));
    std::fflush(stdout);
    return app.exec();
}
