#include "common/HttpExchange.h"
#include "support/Patience.h"
#include "support/ScriptedServer.h"
#include "support/TestCertificates.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

using namespace testsupport;
using common::HttpExchange;

class TestHttpExchange : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void sendsRequestExactlyAsBuilt();
    void keepsDoubleSlashInTarget();
    void deliversBodyWhateverTheStatus();
    void readsChunkedReplies();
    void failuresAreUnreadable_data();
    void failuresAreUnreadable();
    void hangingServerEndsAtDeadline();
    void oversizedBodyIsRefused();
    void completesAsynchronouslyOnOwnThreadExactlyOnce();
    void abandonedExchangeNeverFinishes();
    void keepsOneConnectionAndNeverSendsTwice();
    void closesWhatMustNotServeAgain_data();
    void closesWhatMustNotServeAgain();
    void parallelRequestsNeverWaitForABusyConnection();
    void newTlsConnectionsResumeTheSession();

private:
    ScriptedServer *m_server = nullptr;
};

void TestHttpExchange::init()
{
    delete m_server;
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
}

void TestHttpExchange::sendsRequestExactlyAsBuilt()
{
    m_server->setReply("/alertsystem/admin/login.php", ScriptedReply::xmlChildren({"LOGINOK", "42"}));
    HttpExchange exchange;
    QSignalSpy done(&exchange, &HttpExchange::finished);
    exchange.start("POST", m_server->baseUrl() + "/alertsystem/admin/login.php?vartime=12072026043325",
                   {{"Content-Type", "application/x-www-form-urlencoded"}},
                   "username=a%26b%3Dc&password=p+w");
    QTRY_COMPARE(done.count(), 1);
    QVERIFY(exchange.result().ok);
    QVERIFY(exchange.result().body.contains("<v>LOGINOK</v><v>42</v>"));
    QCOMPARE(m_server->requestCount(), 1);
    const RecordedRequest &r = m_server->request(0);
    QCOMPARE(r.method, QByteArray("POST"));
    QCOMPARE(r.target, QByteArray("/alertsystem/admin/login.php?vartime=12072026043325"));
    QCOMPARE(r.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(r.header("Content-Length"), QByteArray("31"));
    QCOMPARE(r.body, QByteArray("username=a%26b%3Dc&password=p+w"));
    QCOMPARE(r.header("Host"), QString("127.0.0.1:%1").arg(m_server->port()).toUtf8());

    // A GET carries its header too, and no body.
    exchange.start("GET", m_server->baseUrl() + "/alertsystem/login.php?username=a%26b+c",
                   {{"Content-Type", "application/x-www-form-urlencoded"}});
    QTRY_COMPARE(done.count(), 2);
    QCOMPARE(m_server->request(1).target, QByteArray("/alertsystem/login.php?username=a%26b+c"));
    QCOMPARE(m_server->request(1).body, QByteArray());
    QCOMPARE(m_server->request(1).header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
}

void TestHttpExchange::keepsDoubleSlashInTarget()
{
    m_server->setReply("//alertsystem/notifytype.php", ScriptedReply::xmlChildren({"x"}));
    HttpExchange exchange;
    QSignalSpy done(&exchange, &HttpExchange::finished);
    exchange.get(m_server->baseUrl() + "//alertsystem/notifytype.php?id=a%20b");
    QTRY_COMPARE(done.count(), 1);
    QVERIFY(exchange.result().ok);
    QCOMPARE(m_server->request(0).target, QByteArray("//alertsystem/notifytype.php?id=a%20b"));

    QCOMPARE(HttpExchange::requestTarget("http://h:1"), QByteArray("/"));
    QCOMPARE(HttpExchange::requestTarget("http://h:1?a=1"), QByteArray("/?a=1"));
    QCOMPARE(HttpExchange::requestTarget("http://u:p@h/x y#frag"), QByteArray("/x%20y"));
    QCOMPARE(HttpExchange::requestTarget(QString::fromUtf8("http://h/\xC3\xA9")), QByteArray("/%C3%A9"));
}

void TestHttpExchange::deliversBodyWhateverTheStatus()
{
    m_server->setReply("/e", ScriptedReply::html("<html>oops</html>").withStatus(500));
    HttpExchange exchange;
    QSignalSpy done(&exchange, &HttpExchange::finished);
    exchange.get(m_server->baseUrl() + "/e");
    QTRY_COMPARE(done.count(), 1);
    QVERIFY(exchange.result().ok);
    QCOMPARE(exchange.result().status, 500);
    QCOMPARE(exchange.result().body, QByteArray("<html>oops</html>"));
}

void TestHttpExchange::readsChunkedReplies()
{
    const QByteArray body = "<?xml version=\"1.0\"?><r><a>chunks of seven bytes each</a></r>";
    m_server->setReply("/c", ScriptedReply::xml(body).as(ScriptedReply::Kind::Chunked));
    HttpExchange exchange;
    QSignalSpy done(&exchange, &HttpExchange::finished);
    QByteArray parts;
    connect(&exchange, &HttpExchange::bodyReceived, this, [&](const QByteArray &part) {
        QCOMPARE(done.count(), 0);
        parts += part;
    });
    exchange.get(m_server->baseUrl() + "/c");
    QTRY_COMPARE(done.count(), 1);
    QVERIFY2(exchange.result().ok, qPrintable(exchange.result().error));
    QCOMPARE(exchange.result().body, body);
    QCOMPARE(parts, body); // handed on as it arrived, framing taken off
}

void TestHttpExchange::failuresAreUnreadable_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("dropped") << int(ScriptedReply::Kind::Drop);
    QTest::newRow("cut mid-body") << int(ScriptedReply::Kind::CutMidBody);
    QTest::newRow("reset after head") << int(ScriptedReply::Kind::ResetAfterHead);
}

void TestHttpExchange::failuresAreUnreadable()
{
    QFETCH(int, kind);
    ScriptedReply reply = ScriptedReply::xmlChildren({"1", "2", "3", "4"});
    reply.kind = ScriptedReply::Kind(kind);
    m_server->setReply("/f", reply);
    HttpExchange exchange;
    QSignalSpy done(&exchange, &HttpExchange::finished);
    exchange.get(m_server->baseUrl() + "/f");
    QTRY_COMPARE(done.count(), 1);
    QVERIFY(!exchange.result().ok);
    QVERIFY(exchange.result().body.isEmpty());
    QVERIFY(!exchange.result().error.isEmpty());

    // Nothing listening at all, and addresses that cannot be fetched.
    const quint16 port = m_server->port();
    m_server->close();
    exchange.get(QStringLiteral("http://127.0.0.1:%1/f").arg(port));
    QTRY_COMPARE(done.count(), 2);
    QVERIFY(!exchange.result().ok);
    for (const QString &url : {QString("/alertsystem/notifytype.php?id=1"), QString("file:///etc/passwd"),
                               QString("http://"), QString()}) {
        HttpExchange bad;
        QSignalSpy badDone(&bad, &HttpExchange::finished);
        bad.get(url);
        QTRY_COMPARE(badDone.count(), 1);
        QVERIFY2(!bad.result().ok, qPrintable(url));
    }
}

void TestHttpExchange::hangingServerEndsAtDeadline()
{
    m_server->setReply("/h", ScriptedReply::hang());
    ScriptedReply drip = ScriptedReply::xmlChildren({"1"});
    drip.kind = ScriptedReply::Kind::Drip;
    drip.dripIntervalMs = 50;
    m_server->setReply("/d", drip);
    HttpExchange hang, dripping;
    hang.setTimeout(400);
    dripping.setTimeout(400);
    QSignalSpy hangDone(&hang, &HttpExchange::finished);
    QSignalSpy dripDone(&dripping, &HttpExchange::finished);
    QElapsedTimer clock;
    clock.start();
    hang.get(m_server->baseUrl() + "/h");
    dripping.get(m_server->baseUrl() + "/d");
    QTRY_COMPARE(hangDone.count(), 1);
    QTRY_COMPARE(dripDone.count(), 1);
    QVERIFY(clock.elapsed() >= 390);
    QVERIFY(!hang.result().ok);
    // Progress does not extend the deadline: a reply dripping in ends too.
    QVERIFY(!dripping.result().ok);
}

void TestHttpExchange::oversizedBodyIsRefused()
{
    m_server->setReply("/big", ScriptedReply::text(QByteArray(4096, 'x')));
    m_server->setReply("/bigchunked", ScriptedReply::text(QByteArray(4096, 'y')).as(ScriptedReply::Kind::Chunked));
    for (const char *path : {"/big", "/bigchunked"}) {
        HttpExchange exchange;
        exchange.setMaxBodyBytes(1000);
        QSignalSpy done(&exchange, &HttpExchange::finished);
        exchange.get(m_server->baseUrl() + path);
        QTRY_COMPARE(done.count(), 1);
        QVERIFY(!exchange.result().ok);
        QVERIFY(exchange.result().body.isEmpty());
    }
}

void TestHttpExchange::completesAsynchronouslyOnOwnThreadExactlyOnce()
{
    m_server->setReply("/x", ScriptedReply::text("x"));
    HttpExchange exchange;
    QThread *finishedOn = nullptr;
    int calls = 0;
    connect(&exchange, &HttpExchange::finished, this, [&] {
        finishedOn = QThread::currentThread();
        ++calls;
    });
    exchange.get(m_server->baseUrl() + "/x");
    QCOMPARE(calls, 0);
    QVERIFY(exchange.isRunning());
    QTRY_COMPARE(calls, 1);
    QCOMPARE(finishedOn, QThread::currentThread());
    QVERIFY(exchange.isFinished());
    QTest::qWait(testsupport::patient(100));
    QCOMPARE(calls, 1);

    // Even an address that fails at once reports later, not inside start().
    exchange.get("nonsense");
    QCOMPARE(calls, 1);
    QTRY_COMPARE(calls, 2);
}

void TestHttpExchange::abandonedExchangeNeverFinishes()
{
    m_server->setReply("/slow", ScriptedReply::text("late").withDelay(200));
    m_server->setReply("/fast", ScriptedReply::text("fast"));
    HttpExchange exchange;
    QSignalSpy done(&exchange, &HttpExchange::finished);
    exchange.get(m_server->baseUrl() + "/slow");
    exchange.abandon();
    QTest::qWait(testsupport::patient(400));
    QCOMPARE(done.count(), 0);

    // Starting again replaces the running request: only the new one reports.
    exchange.get(m_server->baseUrl() + "/slow");
    exchange.get(m_server->baseUrl() + "/fast");
    QTRY_COMPARE(done.count(), 1);
    QCOMPARE(exchange.result().body, QByteArray("fast"));
    QTest::qWait(testsupport::patient(400));
    QCOMPARE(done.count(), 1);
}

// Runs one GET to completion on a fresh exchange object.
static common::HttpResult fetch(const QString &url)
{
    HttpExchange exchange;
    QSignalSpy done(&exchange, &HttpExchange::finished);
    exchange.get(url);
    if (!done.wait(testsupport::patient(10000)))
        return {};
    return exchange.result();
}

void TestHttpExchange::keepsOneConnectionAndNeverSendsTwice()
{
    m_server->setReply("/a", ScriptedReply::text("a"));
    QVERIFY(fetch(m_server->baseUrl() + "/a").ok);
    QVERIFY(fetch(m_server->baseUrl() + "/a").ok);
    QCOMPARE(m_server->request(1).connection, m_server->request(0).connection);
    QVERIFY(!m_server->request(0).hasHeader("Connection"));

    // Closed by the server while idle: the next request goes out once, on a new one.
    m_server->dropConnections();
    QTRY_COMPARE(HttpExchange::idleConnectionCount(), 0);
    QVERIFY(fetch(m_server->baseUrl() + "/a").ok);
    QCOMPARE(m_server->requestCount(), 3);
    QVERIFY(m_server->request(2).connection != m_server->request(1).connection);

    // Closed after reading a request sent on the kept one: a failure, not a second send.
    m_server->queueReply("/a", ScriptedReply::drop());
    QVERIFY(!fetch(m_server->baseUrl() + "/a").ok);
    QCOMPARE(m_server->requestCount(), 4);
    QCOMPARE(m_server->request(3).connection, m_server->request(2).connection);
}

void TestHttpExchange::closesWhatMustNotServeAgain_data()
{
    QTest::addColumn<QByteArray>("reply");
    const QByteArray ok = "HTTP/1.1 200 OK\r\n";
    QTest::newRow("Connection: close") << ok + "Connection: Keep-Alive, Close\r\nContent-Length: 2\r\n\r\nok";
    QTest::newRow("HTTP/1.0") << QByteArray("HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nok");
    QTest::newRow("bytes beyond") << ok + "Content-Length: 2\r\n\r\nok" + ok;
    QTest::newRow("beyond chunks") << ok + "Transfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\nx";
}

void TestHttpExchange::closesWhatMustNotServeAgain()
{
    QFETCH(QByteArray, reply);
    // The scripted server keeps each of these connections open: only the
    // client decides not to use it again.
    m_server->queueReply("/r", ScriptedReply::raw(reply));
    m_server->setReply("/r", ScriptedReply::text("ok"));
    const common::HttpResult first = fetch(m_server->baseUrl() + "/r");
    QVERIFY(first.ok);
    QCOMPARE(first.body, QByteArray("ok"));
    QVERIFY(fetch(m_server->baseUrl() + "/r").ok);
    QCOMPARE(m_server->requestCount(), 2);
    QVERIFY(m_server->request(1).connection != m_server->request(0).connection);
}

void TestHttpExchange::parallelRequestsNeverWaitForABusyConnection()
{
    m_server->setReply("/x", ScriptedReply::text("x"));
    m_server->setReply("/h", ScriptedReply::hang());
    QVERIFY(fetch(m_server->baseUrl() + "/x").ok);

    // The hanging request takes the kept connection; the next opens its own.
    HttpExchange hanging, quick;
    QSignalSpy quickDone(&quick, &HttpExchange::finished);
    hanging.get(m_server->baseUrl() + "/h");
    quick.get(m_server->baseUrl() + "/x");
    QTRY_COMPARE(quickDone.count(), 1);
    QVERIFY(quick.result().ok);
    QVERIFY(hanging.isRunning());
    QCOMPARE(m_server->request(1).connection, m_server->request(0).connection);
    QCOMPARE(m_server->request(2).connection, 1);

    // An abandoned request's connection is closed, never handed on.
    hanging.abandon();
    QVERIFY(fetch(m_server->baseUrl() + "/x").ok);
    QCOMPARE(m_server->request(3).connection, 1);
    QCOMPARE(m_server->connectionCount(), 2);
}

void TestHttpExchange::newTlsConnectionsResumeTheSession()
{
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
        QSKIP("needs the openssl command");
    QTemporaryDir dir;
    TestCertificates certificates;
    QVERIFY2(certificates.make(dir.path(), QStringLiteral("resume")), qPrintable(certificates.error));
    const QSslConfiguration before = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = before;
    trusting.addCaCertificates(certificates.caFile);
    QSslConfiguration::setDefaultConfiguration(trusting);
    const auto restore = qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(before); });

    // OpenSSL's own test server answers each request with an HTTP/1.0 page
    // that says whether the session was new or reused, and closes.
    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(QStringLiteral("openssl"),
                 {"s_server", "-accept", "127.0.0.1:0", "-naccept", "2", "-www", "-cert",
                  certificates.certificateFile, "-key", certificates.keyFile});
    const auto stop = qScopeGuard([&] {
        server.kill();
        server.waitForFinished(testsupport::patient(5000));
    });
    QByteArray said;
    const QRegularExpression accept(QStringLiteral("ACCEPT .*:(\\d+)"));
    QTRY_VERIFY((said += server.readAll(), accept.match(QString::fromLatin1(said)).hasMatch()));
    const QString port = accept.match(QString::fromLatin1(said)).captured(1);
    const QString url = QStringLiteral("https://127.0.0.1:%1/").arg(port);

    const common::HttpResult first = fetch(url);
    QVERIFY2(first.ok, qPrintable(first.error));
    QVERIFY2(first.body.contains("\nNew, "), first.body.constData());
    const common::HttpResult second = fetch(url);
    QVERIFY2(second.ok, qPrintable(second.error));
    QVERIFY2(second.body.contains("\nReused, "), second.body.constData());
}

QTEST_GUILESS_MAIN(TestHttpExchange)
#include "tst_httpexchange.moc"
