#include "Outbox.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The folder holds activation codes: one made here is its owner's alone,
// whatever the umask. A folder that exists keeps the mode it was given.
bool makePrivateFolder(const QString &folder)
{
    if (QFileInfo(folder).isDir())
        return true;
    const QString parent = QFileInfo(folder).absolutePath();
    if (!QDir().mkpath(parent))
        return false;
    const QByteArray path = QFile::encodeName(folder);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    ::chmod(path.constData(), 0700);
    return QFileInfo(folder).isDir();
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

Outbox::Outbox(QString folder)
    : m_folder(std::move(folder))
{
    makePrivateFolder(m_folder);
}

int Outbox::deliver(Store &store)
{
    int delivered = 0;
    while (const auto message = store.claimMail()) {
        if (write(*message)) {
            store.mailDelivered(message->id);
            ++delivered;
        } else {
            store.mailNotDelivered(message->id, QStringLiteral("cannot write into %1").arg(m_folder));
        }
    }
    return delivered;
}

bool Outbox::write(const QueuedMail &message)
{
    const QDateTime made = QDateTime::fromSecsSinceEpoch(message.createdAt);
    // Names sort in the order the messages were queued.
    const QString id = QStringLiteral("%1-%2")
                           .arg(made.toUTC().toString(QStringLiteral("yyyyMMdd-hhmmss")))
                           .arg(message.id, 10, 10, QChar(u'0'));
    const Mail &mail = message.mail;

    QString text;
    text += QStringLiteral("From: Vantorel Software <no-reply@vantorel.example>\r\n");
    text += QStringLiteral("To: ") + headerValue(mail.to) + QStringLiteral("\r\n");
    text += QStringLiteral("Subject: ") + headerValue(mail.subject) + QStringLiteral("\r\n");
    text += QStringLiteral("Date: ") + made.toString(Qt::RFC2822Date) + QStringLiteral("\r\n");
    text += QStringLiteral("Message-ID: <") + id + QStringLiteral("@alertserver.vantorel.example>\r\n");
    text += QStringLiteral("MIME-Version: 1.0\r\n");
    text += QStringLiteral("Content-Type: text/plain; charset=UTF-8\r\n");
    text += QStringLiteral("Content-Transfer-Encoding: 8bit\r\n\r\n");
    text += crlf(mail.body);
    if (!text.endsWith(QLatin1String("\r\n")))
        text += QStringLiteral("\r\n");

    if (!makePrivateFolder(m_folder))
        return false;
    const QByteArray final = QFile::encodeName(QDir(m_folder).filePath(id + QStringLiteral(".eml")));
    const QByteArray temporary = QFile::encodeName(QDir(m_folder).filePath(QStringLiteral(".") + id + QStringLiteral(".part")));
    ::unlink(temporary.constData()); // left by a delivery that died halfway
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::fchmod(fd, 0600);
    const bool written = writeAll(fd, text.toUtf8()) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(temporary.constData(), final.constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

} // namespace alertserver
