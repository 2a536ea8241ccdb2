// The scripted server is what every other test trusts to see the wire, so it
// is checked against a raw socket as well as against the suite's HTTP helper.
#include "support/ScriptedServer.h"
#include "support/Patience.h"

#include "common/HttpExchange.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

using namespace testsupport;
using common::HttpExchange;

class TestScriptedServer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void recordsRawRequestByteForByte();
    void answersFromQueueThenStandingReplyThenFallback();
    void keepsConnectionAliveForSeveralRequests();
    void delaysHangsAndDrops();
    void goesAwayAndComesBackOnSamePort();
};

static QByteArray rawExchange(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(testsupport::patient(5000)))
        return {};
    socket.write(request);
    QByteArray reply;
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        reply += socket.readAll();
        if (reply.contains("\r\n\r\n")) {
            const int length = reply.mid(reply.indexOf("Content-Length: ") + 16).split('\r').first().toInt();
            if (reply.size() >= reply.indexOf("\r\n\r\n") + 4 + length)
                break;
        }
    }
    return reply;
}

void TestScriptedServer::recordsRawRequestByteForByte()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    server.setReply("/alertsystem/login.php", ScriptedReply::xmlChildren({"1"}));

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(socket.waitForConnected(testsupport::patient(5000)));
    socket.write("POST //alertsystem/login.php?username=a%26b+c&x=%C3%A9 HTTP/1.1\r\n"
                 "Host: here\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                 "X-Twice: one\r\nx-twice: two\r\nContent-Length: 9\r\n\r\nv1=q%26804");
    // The body has one byte more than announced: it belongs to no request.
    QVERIFY(server.waitForRequestCount(1));
    const RecordedRequest &r = server.request(0);
    QCOMPARE(r.method, QByteArray("POST"));
    QCOMPARE(r.target, QByteArray("//alertsystem/login.php?username=a%26b+c&x=%C3%A9"));
    QCOMPARE(r.path, QByteArray("//alertsystem/login.php"));
    QCOMPARE(r.query, QByteArray("username=a%26b+c&x=%C3%A9"));
    QCOMPARE(r.body, QByteArray("v1=q%2680"));
    QCOMPARE(r.header("content-type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(r.header("X-TWICE"), QByteArray("one"));
    QCOMPARE(r.headers.size(), 5);
    QVERIFY(!r.hasHeader("Cookie"));
}

void TestScriptedServer::answersFromQueueThenStandingReplyThenFallback()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    server.setReply("/s", ScriptedReply::text("standing"));
    server.queueReply("/s", ScriptedReply::text("first").withStatus(500));
    server.queueReply("/s", ScriptedReply::picture(QByteArray("GIF89a\x01\x00", 8), "image/gif"));

    const QByteArray get = "GET /s?q HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    QByteArray reply = rawExchange(server.port(), get);
    QVERIFY(reply.startsWith("HTTP/1.1 500 "));
    QVERIFY(reply.endsWith("\r\n\r\nfirst"));
    reply = rawExchange(server.port(), get);
    QVERIFY(reply.contains("Content-Type: image/gif\r\n"));
    QVERIFY(reply.endsWith(QByteArray("GIF89a\x01\x00", 8)));
    QVERIFY(rawExchange(server.port(), get).endsWith("standing"));
    QVERIFY(rawExchange(server.port(), get).endsWith("standing"));
    QVERIFY(rawExchange(server.port(), "GET /other HTTP/1.1\r\nHost: x\r\n\r\n").startsWith("HTTP/1.1 404 "));
    QCOMPARE(server.countFor("/s"), 4);
    QCOMPARE(server.requestCount(), 5);
    QVERIFY(server.request(0).answeredMs >= server.request(0).arrivedMs);
}

void TestScriptedServer::keepsConnectionAliveForSeveralRequests()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    server.setReply("/a", ScriptedReply::text("A"));
    server.setReply("/b", ScriptedReply::text("BB"));
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(socket.waitForConnected(testsupport::patient(5000)));
    // Two requests in one write: answered one after the other on the same connection.
    socket.write("GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\nHost: x\r\n\r\n");
    QByteArray all;
    QTRY_VERIFY((all += socket.readAll()).endsWith("\r\n\r\nBB"));
    QCOMPARE(all.count("HTTP/1.1 200"), 2);
    QCOMPARE(server.request(1).path, QByteArray("/b"));
}

void TestScriptedServer::delaysHangsAndDrops()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    server.setReply("/slow", ScriptedReply::text("late").withDelay(300));
    server.setReply("/hang", ScriptedReply::hang());
    server.setReply("/drop", ScriptedReply::drop());

    HttpExchange slow, hang, drop;
    hang.setTimeout(500);
    QSignalSpy slowDone(&slow, &HttpExchange::finished);
    QSignalSpy hangDone(&hang, &HttpExchange::finished);
    QSignalSpy dropDone(&drop, &HttpExchange::finished);
    QElapsedTimer clock;
    clock.start();
    slow.get(server.baseUrl() + "/slow");
    hang.get(server.baseUrl() + "/hang");
    drop.get(server.baseUrl() + "/drop");

    QTRY_COMPARE(dropDone.count(), 1);
    QVERIFY(!drop.result().ok);
    QTRY_COMPARE(slowDone.count(), 1);
    QVERIFY(clock.elapsed() >= 290);
    QVERIFY(slow.result().ok);
    QCOMPARE(slow.result().body, QByteArray("late"));
    QTRY_COMPARE(hangDone.count(), 1);
    QVERIFY(!hang.result().ok);
    QCOMPARE(server.countFor("/hang"), 1);
}

void TestScriptedServer::goesAwayAndComesBackOnSamePort()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    const quint16 port = server.port();
    server.setReply("/x", ScriptedReply::text("up"));
    server.close();
    QVERIFY(!server.isListening());

    HttpExchange exchange;
    QSignalSpy done(&exchange, &HttpExchange::finished);
    exchange.get(QStringLiteral("http://127.0.0.1:%1/x").arg(port));
    QTRY_COMPARE(done.count(), 1);
    QVERIFY(!exchange.result().ok);

    QVERIFY(server.listen(port));
    exchange.get(QStringLiteral("http://127.0.0.1:%1/x").arg(port));
    QTRY_COMPARE(done.count(), 2);
    QVERIFY(exchange.result().ok);
    QCOMPARE(exchange.result().body, QByteArray("up"));
}

QTEST_GUILESS_MAIN(TestScriptedServer)
#include "tst_scriptedserver.moc"
