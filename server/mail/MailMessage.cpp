#include "server/mail/MailMessage.h"

#include <QCryptographicHash>
#include <QDateTime>

#include <algorithm>

namespace alertserver::mailmessage {

namespace {

// SMTP's longest line, CRLF not counted.
constexpr qsizetype kLongestLine = 998;
// A header line should stay within 78 characters. An encoded word on a
// line of its own (after one blank) takes 45 bytes: "=?UTF-8?B?", 60
// characters of base64 and "?=".
constexpr qsizetype kLineLength = 78;
constexpr qsizetype kWordBytes = 45;

bool isControl(char16_t c)
{
    return c < 0x20 || c == 0x7F;
}

QString blankControls(const QString &text, bool keepLineBreaks)
{
    QString out = text;
    for (QChar &ch : out)
        if (isControl(ch.unicode()) && !(keepLineBreaks && (ch == u'\n' || ch == u'\t')))
            ch = u' ';
    return out;
}

QByteArray foldedBase64(const QByteArray &bytes)
{
    const QByteArray encoded = bytes.toBase64();
    QByteArray out;
    for (qsizetype i = 0; i < encoded.size(); i += 76)
        out += encoded.mid(i, 76) + "\r\n";
    return out;
}

QString domainOf(const QString &address)
{
    return address.mid(address.lastIndexOf(u'@') + 1);
}

} // namespace

bool isPlainAddress(const QString &address)
{
    for (const QChar c : address)
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7F || QStringView(u"<>()[],;:\\\"").contains(c))
            return false;
    const qsizetype at = address.indexOf(u'@');
    return at > 0 && at + 1 < address.size() && address.indexOf(u'@', at + 1) < 0;
}

QString stem(const QueuedMail &message)
{
    return QStringLiteral("%1-%2")
        .arg(QDateTime::fromSecsSinceEpoch(message.createdAt, Qt::UTC).toString(QStringLiteral("yyyyMMdd-hhmmss")))
        .arg(message.id, 10, 10, QChar(u'0'));
}

QByteArray headerText(const QString &text, int used)
{
    const QString clean = blankControls(text, false).trimmed();
    const bool plain = std::all_of(clean.cbegin(), clean.cend(), [](QChar c) { return c.unicode() < 0x7F; })
        && !clean.contains(QLatin1String("=?")) && used + clean.size() <= kLongestLine;
    if (plain)
        return clean.toLatin1();
    // Words never split a character: each must decode on its own.
    const QByteArray utf8 = clean.toUtf8();
    QByteArray out;
    for (qsizetype at = 0; at < utf8.size();) {
        // The first word shares its line with the header's name.
        const qsizetype room = at == 0 ? std::clamp<qsizetype>((kLineLength - used - 12) / 4 * 3, 3, kWordBytes) : kWordBytes;
        qsizetype end = std::min(at + room, utf8.size());
        while (end < utf8.size() && end > at + 1 && (quint8(utf8[end]) & 0xC0) == 0x80)
            --end;
        if (!out.isEmpty())
            out += "\r\n ";
        out += "=?UTF-8?B?" + utf8.mid(at, end - at).toBase64() + "?=";
        at = end;
    }
    return out;
}

QByteArray render(const QueuedMail &message, const QString &sender, bool eightBit)
{
    const Mail &mail = message.mail;
    QString text = mail.body;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(u'\r', u'\n');
    const QList<QByteArray> lines = blankControls(text, true).toUtf8().split('\n');
    QByteArray body;
    for (qsizetype i = 0; i < lines.size(); ++i)
        if (i + 1 < lines.size() || !lines[i].isEmpty())
            body += lines[i] + "\r\n";
    const bool ascii = std::all_of(body.cbegin(), body.cend(), [](char c) { return quint8(c) < 0x80; });
    const bool longLines = std::any_of(lines.cbegin(), lines.cend(),
                                       [](const QByteArray &l) { return l.size() > kLongestLine; });
    QByteArray encoding = ascii ? "7bit" : "8bit";
    if (longLines || (!ascii && !eightBit)) {
        encoding = "base64";
        body = foldedBase64(body);
    }

    // The hash keeps ids apart between servers whose queues count alike.
    const QByteArray digest = QCryptographicHash::hash((mail.to + u'\n' + mail.subject + u'\n' + mail.body).toUtf8(),
                                                       QCryptographicHash::Sha256).toHex().left(12);
    const QByteArray from = headerText(sender, 0);
    QByteArray out;
    out += "From: Vantorel Software <" + from + ">\r\n";
    out += "To: " + headerText(mail.to, 4) + "\r\n";
    out += "Subject: " + headerText(mail.subject, 9) + "\r\n";
    out += "Date: " + QDateTime::fromSecsSinceEpoch(message.createdAt, Qt::UTC).toString(Qt::RFC2822Date).toLatin1() + "\r\n";
    out += "Message-ID: <"
        + QDateTime::fromSecsSinceEpoch(message.createdAt, Qt::UTC).toString(QStringLiteral("yyyyMMddhhmmss")).toLatin1()
        + '.' + QByteArray::number(message.id) + '.' + digest + '@' + headerText(domainOf(sender), 0) + ">\r\n";
    out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: text/plain; charset=UTF-8\r\n";
    out += "Content-Transfer-Encoding: " + encoding + "\r\n\r\n";
    out += body;
    return out;
}

QByteArray forData(const QByteArray &message)
{
    QByteArray out;
    out.reserve(message.size() + 64);
    bool lineStart = true;
    for (const char c : message) {
        if (lineStart && c == '.')
            out += '.';
        out += c;
        lineStart = c == '\n';
    }
    if (!out.endsWith("\r\n"))
        out += "\r\n";
    return out + ".\r\n";
}

} // namespace alertserver::mailmessage
