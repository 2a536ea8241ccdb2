#include "Outbox.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace alertserver {

namespace {

// A header value never carries a line break: that would let a stored value
// add headers of its own.
QString headerValue(const QString &text)
{
    QString out;
    for (const QChar ch : text)
        out += (ch.unicode() < 0x20 || ch.unicode() == 0x7F) ? QChar(u' ') : ch;
    return out.trimmed();
}

QString crlf(const QString &text)
{
    QString unified = text;
    unified.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(u'\r', u'\n');
    return unified.replace(u'\n', QLatin1String("\r\n"));
}

} // namespace

Outbox::Outbox(QString folder)
    : m_folder(std::move(folder))
{
    QDir().mkpath(m_folder);
}

QString Outbox::write(const Mail &mail)
{
    const QDateTime now = QDateTime::currentDateTime();
    const quint64 seq = ++m_sequence;
    const QString id = QStringLiteral("%1-%2-%3")
                           .arg(now.toString(QStringLiteral("yyyyMMdd-hhmmss-zzz")))
                           .arg(QCoreApplication::applicationPid())
                           .arg(seq, 6, 10, QChar(u'0'));
    const QString path = QDir(m_folder).filePath(id + QStringLiteral(".eml"));

    QString text;
    text += QStringLiteral("From: Vantorel Software <no-reply@vantorel.example>\r\n");
    text += QStringLiteral("To: ") + headerValue(mail.to) + QStringLiteral("\r\n");
    text += QStringLiteral("Subject: ") + headerValue(mail.subject) + QStringLiteral("\r\n");
    text += QStringLiteral("Date: ") + now.toString(Qt::RFC2822Date) + QStringLiteral("\r\n");
    text += QStringLiteral("Message-ID: <") + id + QStringLiteral("@alertserver.vantorel.example>\r\n");
    text += QStringLiteral("MIME-Version: 1.0\r\n");
    text += QStringLiteral("Content-Type: text/plain; charset=UTF-8\r\n");
    text += QStringLiteral("Content-Transfer-Encoding: 8bit\r\n\r\n");
    text += crlf(mail.body);
    if (!text.endsWith(QLatin1String("\r\n")))
        text += QStringLiteral("\r\n");

    QDir().mkpath(m_folder);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write(text.toUtf8());
    return file.commit() ? path : QString();
}

} // namespace alertserver
