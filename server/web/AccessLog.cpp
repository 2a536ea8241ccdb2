#include "server/web/AccessLog.h"

#include "server/web/Http.h"

#include <QDateTime>
#include <QList>

#include <cstdio>
#include <mutex>

namespace alertserver::accesslog {

namespace {

std::mutex g_logMutex;

QByteArray orDash(const QByteArray &text)
{
    return text.isEmpty() ? QByteArrayLiteral("-") : text;
}

} // namespace

QByteArray hideSecrets(const QByteArray &target)
{
    const qsizetype q = target.indexOf('?');
    if (q < 0)
        return target;
    QList<QByteArray> pairs = target.mid(q + 1).split('&');
    for (QByteArray &pair : pairs) {
        const qsizetype eq = pair.indexOf('=');
        const QByteArray rawKey = eq < 0 ? pair : pair.left(eq);
        const QByteArray key = QByteArray::fromPercentEncoding(QByteArray(rawKey).replace('+', ' ')).toLower();
        if (key == "password" || key == "code")
            pair = rawKey + "=[hidden]";
    }
    return target.left(q + 1) + pairs.join('&');
}

void answered(const QByteArray &peer, const QByteArray &method, const QByteArray &target, int status)
{
    const QByteArray shown = hideSecrets(target);
    std::lock_guard lock(g_logMutex);
    std::fprintf(stderr, "alertserver: %s %s %s -> %d\n", orDash(peer).constData(), orDash(method).constData(),
                 orDash(shown).constData(), status);
}

void failed(const QString &reference, const HttpRequest &request, const QString &why)
{
    // The reason on one line: a store's message may span several.
    QString reason = why;
    for (QChar &c : reason)
        if (c.unicode() < 0x20)
            c = u' ';
    const QByteArray shown = hideSecrets(request.target);
    std::lock_guard lock(g_logMutex);
    std::fprintf(stderr, "alertserver: error %s: %s %s %s failed: %s\n", reference.toLatin1().constData(),
                 orDash(request.peer).constData(), orDash(request.method).constData(), orDash(shown).constData(),
                 reason.toLocal8Bit().constData());
}

void audit(const QString &who, const QByteArray &from, const QString &what)
{
    QString line = QStringLiteral("audit %1 %2 from %3: %4")
                       .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate), who.isEmpty() ? QStringLiteral("-") : who,
                            QString::fromLatin1(orDash(from)), what);
    for (QChar &c : line)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = u' ';
    std::lock_guard lock(g_logMutex);
    std::fprintf(stderr, "alertserver: %s\n", line.toUtf8().constData());
}

} // namespace alertserver::accesslog
