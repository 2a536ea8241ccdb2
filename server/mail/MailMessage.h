#pragma once

#include "server/store/Records.h"

#include <QByteArray>
#include <QString>

namespace alertserver {

// The address messages come from unless the server is given another.
constexpr const char *kDefaultMailSender = "no-reply@vantorel.example";

// A message of the queue as it leaves the server, the same bytes whichever
// way it goes: Date and Message-ID (both fixed by the queued row, so a
// message tried again is the same message), the subject as RFC 2047 encoded
// words when it is not plain ASCII, no line break inside any header value,
// CRLF line ends and no line longer than SMTP allows.
namespace mailmessage {

// An address that goes into a header and between SMTP's < and > as it is:
// printable ASCII without blanks or the characters that mean something
// there, one "@" with text on both sides.
bool isPlainAddress(const QString &address);

// The whole message. With `eightBit` off (a relay without 8BITMIME) a body
// that is not ASCII goes as base64; a body with a line too long for SMTP
// always does.
QByteArray render(const QueuedMail &message, const QString &sender, bool eightBit = true);
// What a message is called in the outbox and in its Message-ID: the time it
// was queued and its queue id, so that names sort in the order of the queue.
QString stem(const QueuedMail &message);
// A header value: control characters (CR and LF among them) become blanks,
// and text that is not printable ASCII becomes encoded words on folded lines.
// `used` is how much of the first line the header's name takes.
QByteArray headerText(const QString &text, int used);
// The message as SMTP DATA carries it: a dot doubled at the start of a line,
// and the line with a lone dot that ends it.
QByteArray forData(const QByteArray &message);

} // namespace mailmessage

} // namespace alertserver
