#include "server/mail/Outbox.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace alertserver {

namespace {

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

Handover Outbox::send(const QueuedMail &message)
{
    if (write(message))
        return {Handover::Sent, {}};
    return {Handover::TryLater, QStringLiteral("cannot write into %1").arg(m_folder)};
}

bool Outbox::write(const QueuedMail &message)
{
    const QString id = mailmessage::stem(message);
    if (!makePrivateFolder(m_folder))
        return false;
    const QByteArray final = QFile::encodeName(QDir(m_folder).filePath(id + QStringLiteral(".eml")));
    const QByteArray temporary = QFile::encodeName(QDir(m_folder).filePath(QStringLiteral(".") + id + QStringLiteral(".part")));
    ::unlink(temporary.constData()); // left by a delivery that died halfway
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::fchmod(fd, 0600);
    const bool written = writeAll(fd, mailmessage::render(message, sender())) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(temporary.constData(), final.constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

} // namespace alertserver
