#include "server/mail/SmtpRelay.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace alertserver {

std::optional<SmtpRelay> SmtpRelay::parse(const QString &url, QString *error)
{
    SmtpRelay relay;
    QString rest;
    if (url.startsWith(QLatin1String("smtps://"))) {
        relay.implicitTls = true;
        relay.port = 465;
        rest = url.mid(8);
    } else if (url.startsWith(QLatin1String("smtp://"))) {
        rest = url.mid(7);
    } else {
        *error = QStringLiteral("a relay is smtp://HOST:PORT or smtps://HOST:PORT");
        return std::nullopt;
    }
    if (rest.endsWith(u'/'))
        rest.chop(1);
    if (rest.contains(u'@')) {
        *error = QStringLiteral("the relay's address takes no credentials: put them into --mail-credentials FILE");
        return std::nullopt;
    }
    QString port;
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        relay.host = rest.mid(1, close - 1);
        if (close < 0 || (close + 1 < rest.size() && rest[close + 1] != u':'))
            relay.host.clear();
        port = close >= 0 && close + 1 < rest.size() ? rest.mid(close + 2) : QString();
    } else {
        const qsizetype colon = rest.indexOf(u':');
        relay.host = rest.left(colon);
        port = colon < 0 ? QString() : rest.mid(colon + 1);
    }
    bool ok = true;
    if (!port.isEmpty() || rest.endsWith(u':')) {
        const int n = port.toInt(&ok);
        ok = ok && n > 0 && n <= 65535;
        relay.port = quint16(n);
    }
    const bool plainHost = !relay.host.isEmpty() && std::all_of(relay.host.cbegin(), relay.host.cend(), [](QChar c) {
        return (c.isLetterOrNumber() && c.unicode() < 0x80) || c == u'.' || c == u'-' || c == u':';
    });
    if (!ok || !plainHost) {
        *error = QStringLiteral("%1 is not a relay's address (smtp://HOST:PORT or smtps://HOST:PORT)").arg(url);
        return std::nullopt;
    }
    return relay;
}

bool SmtpRelay::readCredentials(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat st{};
    QByteArray text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= 4096) {
        text.resize(qsizetype(st.st_size));
        if (::read(fd, text.data(), size_t(text.size())) != ssize_t(text.size()))
            text.clear();
    }
    ::close(fd);
    if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        *error = QStringLiteral("%1 holds a password: it must belong to the server's user and be readable by "
                                "no one else (chmod 600)").arg(path);
        return false;
    }
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray &line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    user = QString::fromUtf8(lines.value(0));
    password = QString::fromUtf8(lines.value(1));
    if (user.isEmpty() || password.isEmpty()) {
        *error = QStringLiteral("%1 wants the user name on its first line and the password on its second").arg(path);
        return false;
    }
    return true;
}

QString SmtpRelay::url() const
{
    const QString shown = host.contains(u':') ? u'[' + host + u']' : host;
    return QStringLiteral("%1://%2:%3").arg(implicitTls ? QStringLiteral("smtps") : QStringLiteral("smtp"), shown).arg(port);
}

} // namespace alertserver
