// Mail leaving the server: the message itself, SMTP to a relay on loopback
// (plain, STARTTLS, smtps), the queue's retries and refusals, and sendmail.
#include "TestRelay.h"

#include "server/mail/MailDelivery.h"
#include "server/mail/Outbox.h"
#include "server/mail/Sendmail.h"
#include "server/mail/SmtpClient.h"
#include "server/store/Database.h"
#include "server/store/Store.h"
#include "support/Patience.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace alertserver;
using namespace servertest;

namespace {

const QString kTrickySubject = QStringLiteral(
    "Grüße aus Köln – ein Betreff, der über mehrere kodierte Wörter geht 🌷\r\nBcc: eve@example.com");
const QString kTrickyBody = QStringLiteral("Hallo Jürgen,\n.\n..zwei Punkte\nnur\rCR\r\nEnde");

QueuedMail tricky()
{
    return {7, {QStringLiteral("ann@example.com"), kTrickySubject, kTrickyBody}, 1783830000, 1};
}

// The subject as a reader shows it: each encoded word decoded on its own.
QString shownSubject(const QByteArray &headers)
{
    const QRegularExpression line(QStringLiteral("\r\nSubject: ((?:[^\r]|\r\n )*)\r\n"));
    QString shown;
    for (const QByteArray &word : line.match(QString::fromLatin1(headers)).captured(1).toLatin1().split('\n')) {
        const QByteArray w = word.trimmed();
        if (w.size() > 75 || !w.startsWith("=?UTF-8?B?") || !w.endsWith("?="))
            return QStringLiteral("<bad word %1>").arg(QString::fromLatin1(w));
        const QByteArray text = QByteArray::fromBase64(w.mid(10, w.size() - 12));
        if (QString::fromUtf8(text).toUtf8() != text)
            return QStringLiteral("<a character split between words>");
        shown += QString::fromUtf8(text);
    }
    return shown;
}

} // namespace

class TestMailDelivery : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void messagesAreWellFormedAndAlikeEveryWay();
    void relayOverTls_data();
    void relayOverTls();
    void credentialsNeverGoInClear_data();
    void credentialsNeverGoInClear();
    void relayDownThenBack();
    void refusalEndsRetries();
    void requestsNeverWaitForTheRelay();
    void sendmailTakesEachMessage();

private:
    void queue(const QStringList &recipients);
    QString column(const QString &sql) const;
    SmtpRelay relay(const QString &url, bool credentials, bool trusted) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TestCertificate> m_cert;
    std::unique_ptr<Store> m_store;
    QStringList m_log;
};

void TestMailDelivery::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_cert = std::make_unique<TestCertificate>(m_dir->filePath(QStringLiteral("relay.pem")));
    m_store = std::make_unique<Store>(m_dir->filePath(QStringLiteral("store.db")), 1);
    m_log.clear();
}

void TestMailDelivery::cleanup()
{
    m_store.reset();
    m_cert.reset();
    m_dir.reset();
}

void TestMailDelivery::queue(const QStringList &recipients)
{
    QList<Mail> mails;
    for (const QString &to : recipients)
        mails.append({to, QStringLiteral("Your account"), QStringLiteral("Hello %1\n").arg(to)});
    QCOMPARE(m_store->mailQueue().queueFrom(1, mails), recipients.size());
}

QString TestMailDelivery::column(const QString &sql) const
{
    const auto db = Database::connect(m_store->location());
    const auto statement = db->statement(sql.toUtf8());
    Query q(*statement);
    QStringList out;
    while (q.next())
        out << q.text(0);
    return out.join(u'|');
}

SmtpRelay TestMailDelivery::relay(const QString &url, bool credentials, bool trusted) const
{
    SmtpRelay r = *SmtpRelay::parse(url, nullptr);
    if (credentials) {
        r.user = QStringLiteral("ann");
        r.password = QStringLiteral("s3cret");
    }
    if (trusted)
        r.caFile = m_dir->filePath(QStringLiteral("relay.pem"));
    return r;
}

void TestMailDelivery::messagesAreWellFormedAndAlikeEveryWay()
{
    Outbox outbox(m_dir->filePath(QStringLiteral("outbox")));
    QVERIFY(outbox.write(tricky()));
    QFile f(QDir(outbox.folder()).filePath(QStringLiteral("20260712-042000-0000000007.eml")));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray file = f.readAll();
    QCOMPARE(file.count('\n'), file.count("\r\n"));
    QCOMPARE(file.count('\r'), file.count("\r\n"));
    const qsizetype end = file.indexOf("\r\n\r\n");
    const QByteArray headers = "\r\n" + file.left(end + 2);
    QVERIFY(!headers.contains("\r\nBcc:"));
    QVERIFY(QRegularExpression(QStringLiteral("\r\nDate: 12 Jul 2026 04:20:00 \\+0000\r\n")).match(QString::fromLatin1(headers)).hasMatch());
    QVERIFY(QRegularExpression(QStringLiteral("\r\nMessage-ID: <[^<>@\\s]+@[^<>@\\s]+>\r\n")).match(QString::fromLatin1(headers)).hasMatch());
    QCOMPARE(shownSubject(headers), QString(kTrickySubject).replace(u'\r', u' ').replace(u'\n', u' '));
    for (const QString &line : QString::fromLatin1(headers).split(QStringLiteral("\r\n")))
        QVERIFY2(line.size() <= 78, qPrintable(line));
    QCOMPARE(file.mid(end + 4), QStringLiteral("Hallo Jürgen,\r\n.\r\n..zwei Punkte\r\nnur\r\nCR\r\nEnde\r\n").toUtf8());
    QVERIFY(headers.contains("Content-Transfer-Encoding: 8bit"));

    // A relay gets the outbox's bytes: dots at line starts survive the trip.
    TestRelay relay({});
    relay.up();
    SmtpClient smtp(this->relay(QStringLiteral("smtp://127.0.0.1:%1").arg(relay.port()), false, false));
    QCOMPARE(smtp.send(tricky()).outcome, Handover::Sent);
    smtp.endRound();
    QCOMPARE(relay.messages(), QList<QByteArray>{file});
    QCOMPARE(relay.count("MAIL FROM:<no-reply@vantorel.example> BODY=8BITMIME"), 1);

    // One without 8BITMIME gets nothing but ASCII, and the same text.
    TestRelay old({.eightBitMime = false});
    old.up();
    SmtpClient oldSmtp(this->relay(QStringLiteral("smtp://127.0.0.1:%1").arg(old.port()), false, false));
    QCOMPARE(oldSmtp.send(tricky()).outcome, Handover::Sent);
    oldSmtp.endRound();
    const QByteArray seven = old.messages().value(0);
    QVERIFY(std::all_of(seven.cbegin(), seven.cend(), [](char c) { return quint8(c) < 0x80; }));
    QVERIFY(seven.contains("Content-Transfer-Encoding: base64\r\n"));
    QCOMPARE(QByteArray::fromBase64(seven.mid(seven.indexOf("\r\n\r\n") + 4)), file.mid(end + 4));
    QCOMPARE(old.count("MAIL FROM:<no-reply@vantorel.example>"), 1);
    QCOMPARE(old.count("MAIL FROM:<no-reply@vantorel.example> BODY"), 0);
}

void TestMailDelivery::relayOverTls_data()
{
    QTest::addColumn<int>("tls");
    QTest::addColumn<QString>("scheme");
    QTest::newRow("STARTTLS") << int(TestRelay::Tls::StartTls) << QStringLiteral("smtp");
    QTest::newRow("smtps") << int(TestRelay::Tls::Implicit) << QStringLiteral("smtps");
}

void TestMailDelivery::relayOverTls()
{
    QFETCH(int, tls);
    QFETCH(QString, scheme);
    TestRelay relay({.tls = TestRelay::Tls(tls), .auth = true}, m_cert.get());
    relay.up();
    SmtpClient smtp(this->relay(QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(relay.port()), true, true));
    MailDelivery delivery(m_store->mailQueue(), smtp);
    queue({QStringLiteral("ann@example.com"), QStringLiteral("bob@example.com")});
    QCOMPARE(delivery.deliverDue(), 2);
    QCOMPARE(relay.messages().size(), 2);
    QCOMPARE(column(QStringLiteral("SELECT count(*) FROM mail_queue")), QStringLiteral("0"));
    // Credentials, and everything after them, went encrypted.
    const QList<QByteArray> commands = relay.commands();
    const qsizetype auth = commands.indexOf("TLS AUTH PLAIN " + QByteArray("\0ann\0s3cret", 11).toBase64());
    QVERIFY2(auth > 0, commands.join('\n').constData());
    for (qsizetype i = auth; i < commands.size(); ++i)
        QVERIFY(commands[i].startsWith("TLS "));
}

void TestMailDelivery::credentialsNeverGoInClear_data()
{
    QTest::addColumn<int>("tls");
    QTest::addColumn<bool>("inject");
    QTest::addColumn<bool>("trusted");
    QTest::newRow("no STARTTLS offered") << int(TestRelay::Tls::None) << false << true;
    QTest::newRow("certificate not trusted") << int(TestRelay::Tls::StartTls) << false << false;
    QTest::newRow("clear text behind the STARTTLS answer") << int(TestRelay::Tls::StartTls) << true << true;
}

void TestMailDelivery::credentialsNeverGoInClear()
{
    QFETCH(int, tls);
    QFETCH(bool, inject);
    QFETCH(bool, trusted);
    TestRelay relay({.tls = TestRelay::Tls(tls), .auth = true, .injectAfterStartTls = inject}, m_cert.get());
    relay.up();
    SmtpClient smtp(this->relay(QStringLiteral("smtp://127.0.0.1:%1").arg(relay.port()), true, trusted));
    MailDelivery delivery(m_store->mailQueue(), smtp);
    delivery.setLog([this](const QString &line) { m_log << line; });
    queue({QStringLiteral("ann@example.com")});
    QCOMPARE(delivery.deliverDue(), 0);
    QCOMPARE(relay.count("AUTH") + relay.count("TLS AUTH") + relay.count("MAIL") + relay.count("TLS MAIL"), 0);
    // Kept for when the relay is set right.
    QCOMPARE(column(QStringLiteral("SELECT state || ' ' || attempts FROM mail_queue")), QStringLiteral("queued 1"));
    QVERIFY(!column(QStringLiteral("SELECT last_error FROM mail_queue")).isEmpty());
    QCOMPARE(m_log.size(), 1);
}

void TestMailDelivery::relayDownThenBack()
{
    TestRelay relay({});
    SmtpClient smtp(this->relay(QStringLiteral("smtp://127.0.0.1:%1").arg(relay.port()), false, false));
    MailDelivery delivery(m_store->mailQueue(), smtp);
    delivery.setLog([this](const QString &line) { m_log << line; });
    queue({QStringLiteral("ann@example.com"), QStringLiteral("bob@example.com")});
    // Down: the first message is kept with a pause, the round stops there.
    QCOMPARE(delivery.deliverDue(), 0);
    QCOMPARE(column(QStringLiteral("SELECT attempts FROM mail_queue ORDER BY id")), QStringLiteral("1|0"));
    QVERIFY(column(QStringLiteral("SELECT last_error FROM mail_queue WHERE attempts = 1")).contains(QStringLiteral("refused")));
    QCOMPARE(column(QStringLiteral("SELECT next_try > strftime('%s', 'now') + 30 FROM mail_queue WHERE attempts = 1")),
             QStringLiteral("1"));
    QCOMPARE(delivery.deliverDue(), 0);
    QCOMPARE(column(QStringLiteral("SELECT attempts FROM mail_queue ORDER BY id")), QStringLiteral("1|1"));

    // Back, once the pause is over: each goes once.
    relay.up();
    Database::connect(m_store->location())->exec("UPDATE mail_queue SET next_try = 0");
    QCOMPARE(delivery.deliverDue(), 2);
    QCOMPARE(relay.messages().size(), 2);
    QCOMPARE(relay.count("RCPT TO:<ann@example.com>"), 1);
    QCOMPARE(column(QStringLiteral("SELECT count(*) FROM mail_queue")), QStringLiteral("0"));

    // A relay that takes the connection and then says nothing is given up on.
    TestRelay silent({.stall = true});
    silent.up();
    SmtpClient impatient(this->relay(QStringLiteral("smtp://127.0.0.1:%1").arg(silent.port()), false, false));
    SmtpClient::Timeouts t;
    t.reply = std::chrono::milliseconds(200);
    impatient.setTimeouts(t);
    queue({QStringLiteral("cem@example.com")});
    MailDelivery second(m_store->mailQueue(), impatient);
    second.setLog([this](const QString &line) { m_log << line; });
    QCOMPARE(second.deliverDue(), 0);
    QVERIFY(column(QStringLiteral("SELECT last_error FROM mail_queue")).contains(QStringLiteral("in time")));
}

void TestMailDelivery::refusalEndsRetries()
{
    TestRelay relay({.rcptCodes = {{"gone@example.com", 550}, {"later@example.com", 451}}});
    relay.up();
    SmtpClient smtp(this->relay(QStringLiteral("smtp://127.0.0.1:%1").arg(relay.port()), false, false));
    MailDelivery delivery(m_store->mailQueue(), smtp);
    delivery.setLog([this](const QString &line) { m_log << line; });
    queue({QStringLiteral("gone@example.com"), QStringLiteral("later@example.com"), QStringLiteral("ann@example.com")});
    QCOMPARE(delivery.deliverDue(), 1);
    QCOMPARE(column(QStringLiteral("SELECT recipient || ' ' || state FROM mail_queue ORDER BY id")),
             QStringLiteral("gone@example.com failed|later@example.com queued"));
    QVERIFY(column(QStringLiteral("SELECT last_error FROM mail_queue WHERE state = 'failed'")).contains(QStringLiteral("550")));
    QVERIFY(m_log.join(u'\n').contains(QRegularExpression(QStringLiteral("gone@example.com refused.*550"))));

    Database::connect(m_store->location())->exec("UPDATE mail_queue SET next_try = 0");
    QCOMPARE(delivery.deliverDue(), 0);
    QCOMPARE(relay.count("RCPT TO:<later@example.com>"), 2);
    QCOMPARE(relay.count("RCPT TO:<gone@example.com>"), 1);
}

void TestMailDelivery::requestsNeverWaitForTheRelay()
{
    // The relay holds back its greeting: a delivery on the caller's thread
    // would sit here until its time-out and record a failure.
    TestRelay relay({.stall = true});
    relay.up();
    SmtpClient smtp(this->relay(QStringLiteral("smtp://127.0.0.1:%1").arg(relay.port()), false, false));
    MailDelivery delivery(m_store->mailQueue(), smtp);
    delivery.start();
    queue({QStringLiteral("ann@example.com")});
    delivery.queued();
    QCOMPARE(column(QStringLiteral("SELECT coalesce(last_error, 'none') FROM mail_queue")), QStringLiteral("none"));
    // Woken, not at the next half-minute round.
    QTRY_COMPARE(column(QStringLiteral("SELECT attempts FROM mail_queue")), QStringLiteral("1"));
    QVERIFY(relay.messages().isEmpty());
    relay.release();
    QTRY_COMPARE(relay.messages().size(), 1);
    QTRY_COMPARE(column(QStringLiteral("SELECT count(*) FROM mail_queue")), QStringLiteral("0"));
}

void TestMailDelivery::sendmailTakesEachMessage()
{
    const QDir dir(m_dir->path());
    const QString program = dir.filePath(QStringLiteral("sendmail"));
    QFile script(program);
    QVERIFY(script.open(QIODevice::WriteOnly));
    // Any status but 0 is given before the message is read.
    script.write(QStringLiteral("#!/bin/sh\ncode=$(cat '%1/code')\n[ \"$code\" = 0 ] || exit \"$code\"\n"
                                "printf '%s\\n' \"$@\" > '%1/args'\ncat > '%1/message'\n")
                     .arg(dir.path()).toUtf8());
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    auto answer = [&](int code) {
        QFile f(dir.filePath(QStringLiteral("code")));
        return f.open(QIODevice::WriteOnly) && f.write(QByteArray::number(code)) > 0;
    };
    SendmailTransport sendmail(program);
    sendmail.setSender(QStringLiteral("alerts@example.org"));

    QVERIFY(answer(0));
    QCOMPARE(sendmail.send(tricky()).outcome, Handover::Sent);
    QFile args(dir.filePath(QStringLiteral("args"))), message(dir.filePath(QStringLiteral("message")));
    QVERIFY(args.open(QIODevice::ReadOnly) && message.open(QIODevice::ReadOnly));
    QCOMPARE(args.readAll(), QByteArray("-t\n-oi\n"));
    QCOMPARE(message.readAll(), mailmessage::render(tricky(), QStringLiteral("alerts@example.org")));

    QVERIFY(answer(75)); // EX_TEMPFAIL
    QCOMPARE(sendmail.send(tricky()).outcome, Handover::TryLater);
    QVERIFY(answer(67)); // EX_NOUSER
    QCOMPARE(sendmail.send(tricky()).outcome, Handover::Refused);
    SendmailTransport missing(dir.filePath(QStringLiteral("nothing-here")));
    QCOMPARE(missing.send(tricky()).outcome, Handover::Unreachable);
}

QTEST_GUILESS_MAIN(TestMailDelivery)
#include "tst_maildelivery.moc"
