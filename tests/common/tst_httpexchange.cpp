#include "common/HttpExchange.h"
#include "support/Patience.h"
#include "support/ScriptedServer.h"

#include <QSignalSpy>
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

QTEST_GUILESS_MAIN(TestHttpExchange)
#include "tst_httpexchange.moc"
