// Numbers read from text, form encoding, the time stamp and the e-mail
// address check: the small rules that every request and reply of the suite
// depends on.
#include "common/FormEncoding.h"
#include "common/MailAddress.h"
#include "common/NumberReader.h"
#include "common/TimeStamp.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace common;

class TestTextConventions : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void readsLeadingNumber_data();
    void readsLeadingNumber();
    void encodesFormValues_data();
    void encodesFormValues();
    void decodeUndoesEncode();
    void stampsLocalTime();
    void emailCheck_data();
    void emailCheck();
};

void TestTextConventions::readsLeadingNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("inRange");
    QTest::newRow("250.5 to even") << "250.5" << 250 << true;
    QTest::newRow("251.5 to even") << "251.5" << 252 << true;
    QTest::newRow("16.5") << "16.5" << 16 << true;
    QTest::newRow("17.5") << "17.5" << 18 << true;
    QTest::newRow("just above half") << "16.5000001" << 17 << true;
    QTest::newRow("below half") << "16.4999" << 16 << true;
    QTest::newRow("half with trailing zeros") << "2.50000" << 2 << true;
    QTest::newRow("units after") << "300px" << 300 << true;
    QTest::newRow("leading blanks") << "  17" << 17 << true;
    QTest::newRow("leading tab") << "\t7" << 7 << true;
    // A page or an editor may pad with non-breaking spaces; they are blanks too.
    QTest::newRow("leading non-breaking blanks") << QString::fromUtf8("\n\u00a07\n") << 7 << true;
    QTest::newRow("non-breaking blank inside ends it") << QString::fromUtf8("7\u00a08") << 7 << true;
    QTest::newRow("letters") << "abc" << 0 << true;
    QTest::newRow("empty") << "" << 0 << true;
    QTest::newRow("leading zero") << "012" << 12 << true;
    QTest::newRow("negative") << "-3" << -3 << true;
    QTest::newRow("negative half") << "-2.5" << -2 << true;
    QTest::newRow("plus sign") << "+4" << 4 << true;
    QTest::newRow("fraction only") << ".6" << 1 << true;
    QTest::newRow("sign only") << "-" << 0 << true;
    QTest::newRow("dot only") << "." << 0 << true;
    QTest::newRow("1 then letters") << "1abc" << 1 << true;
    QTest::newRow("blank inside ends it") << "1 2" << 1 << true;
    QTest::newRow("top of range") << "32767" << 32767 << true;
    QTest::newRow("bottom of range") << "-32768" << -32768 << true;
    QTest::newRow("40000") << "40000" << 0 << false;
    QTest::newRow("rounds out of range") << "32767.5" << 0 << false;
    QTest::newRow("below range") << "-32769" << 0 << false;
    QTest::newRow("huge") << "99999999999999999999999" << 0 << false;
    QTest::newRow("-32768.5 to even stays") << "-32768.5" << -32768 << true;
}

void TestTextConventions::readsLeadingNumber()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    QFETCH(bool, inRange);
    const Number16 n = readNumber16(text);
    QCOMPARE(int(n.value), value);
    QCOMPARE(n.inRange, inRange);
    QCOMPARE(int(readNumber16Or(text, 99)), inRange ? value : 99);
}

void TestTextConventions::encodesFormValues_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("encoded");
    QTest::newRow("ampersand and equals") << "a&b=c" << QByteArray("a%26b%3Dc");
    QTest::newRow("non-ASCII") << QString::fromUtf8("\xC3\xA9") << QByteArray("%C3%A9");
    QTest::newRow("tilde") << "~" << QByteArray("%7E");
    QTest::newRow("blank") << "a b" << QByteArray("a+b");
    QTest::newRow("kept") << "Az09*-._" << QByteArray("Az09*-._");
    QTest::newRow("plus and hash") << "+#%" << QByteArray("%2B%23%25");
    QTest::newRow("brackets and slash") << "[]/?" << QByteArray("%5B%5D%2F%3F");
    QTest::newRow("line break") << "\r\n" << QByteArray("%0D%0A");
    QTest::newRow("empty") << "" << QByteArray("");
    QTest::newRow("outside the BMP") << QString::fromUtf8("\xF0\x9F\x94\x94") << QByteArray("%F0%9F%94%94");
}

void TestTextConventions::encodesFormValues()
{
    QFETCH(QString, value);
    QFETCH(QByteArray, encoded);
    QCOMPARE(formEncode(value), encoded);
    QCOMPARE(formDecode(encoded), value);
}

void TestTextConventions::decodeUndoesEncode()
{
    auto *random = QRandomGenerator::global();
    for (int round = 0; round < 500; ++round) {
        QString value;
        const int length = random->bounded(12);
        for (int i = 0; i < length; ++i) {
            char16_t c = char16_t(random->bounded(1, 0xD7FF));
            if (random->bounded(2))
                c = char16_t(random->bounded(1, 128));
            value.append(QChar(c));
        }
        const QByteArray encoded = formEncode(value);
        for (const char c : encoded)
            QVERIFY2(QByteArray("%+*-._").contains(c) || QChar::isLetterOrNumber(uchar(c)), encoded);
        QCOMPARE(formDecode(encoded), value);
    }
    // Decoding what no encoder wrote leaves stray "%" alone.
    QCOMPARE(formDecode("100%+sure%2"), QString("100% sure%2"));
    QCOMPARE(formDecode("%zz%41"), QString("%zzA"));
}

void TestTextConventions::stampsLocalTime()
{
    const QDateTime at(QDate(2026, 12, 7), QTime(4, 33, 25));
    QCOMPARE(timeStamp14(at), QString("12072026043325"));
    QCOMPARE(timeStamp14(QDateTime(QDate(2027, 1, 2), QTime(23, 5, 9))), QString("01022027230509"));
    const Clock pinned = [at] { return at; };
    QCOMPARE(timeStamp14(pinned), QString("12072026043325"));
    QCOMPARE(timeStamp14(systemClock()).size(), 14);
}

void TestTextConventions::emailCheck_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain .com") << "john@example.com" << true;
    QTest::newRow("upper case") << "JOHN@EXAMPLE.COM" << true;
    QTest::newRow("two-letter end, dots, digits") << "j.doe-1_x@mail.example.co.uk" << true;
    QTest::newRow("four-letter end") << "john@example.info" << false;
    QTest::newRow("one-letter end") << "john@example.c" << false;
    QTest::newRow("digit in end") << "john@example.c0m" << false;
    QTest::newRow("blank") << "john doe@example.com" << false;
    QTest::newRow("two @ in a row") << "john@@example.com" << true;
    QTest::newRow("nothing before @") << "@b.cd" << true;
    QTest::newRow("only dot before @") << "john.doe@examplecom" << false;
    QTest::newRow("no @") << "john.example.com" << false;
    QTest::newRow("ends in a dot") << "john@example." << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("accented letter") << QString::fromUtf8("jöhn@example.com") << false;
    QTest::newRow("accented end") << QString::fromUtf8("john@example.çom") << false;
    // Lower-cases to a plain "k", but is no plain letter.
    QTest::newRow("kelvin sign in end") << QString::fromUtf8("john@example.co\u212A") << false;
    QTest::newRow("plus sign") << "john+x@example.com" << false;
}

void TestTextConventions::emailCheck()
{
    QFETCH(QString, address);
    QFETCH(bool, valid);
    QCOMPARE(IsValidEmail(address), valid);
}

QTEST_GUILESS_MAIN(TestTextConventions)
#include "tst_textconventions.moc"
