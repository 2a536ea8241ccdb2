#include "server/mail/Sendmail.h"

#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace alertserver {

namespace {

// sendmail's exit codes (sysexits.h) that say the message itself is at fault.
constexpr int kExitDataError = 65;
constexpr int kExitNoUser = 67;

bool stopRequested(int stopFd)
{
    pollfd p{stopFd, POLLIN, 0};
    return stopFd >= 0 && ::poll(&p, 1, 0) > 0;
}

} // namespace

SendmailTransport::SendmailTransport(QString program)
    : m_program(std::move(program))
{
}

Handover SendmailTransport::send(const QueuedMail &message)
{
    const QByteArray bytes = mailmessage::render(message, sender());
    // The message goes through a socket rather than a pipe, so that a program
    // that stops reading early fails a send instead of raising SIGPIPE.
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return {Handover::TryLater, QStringLiteral("cannot make a socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno)))};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, pair[1], 0);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&files, 3);
    const QByteArray program = QFile::encodeName(m_program);
    char t[] = "-t", oi[] = "-oi";
    char *argv[] = {const_cast<char *>(program.constData()), t, oi, nullptr};
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, program.constData(), &files, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&files);
    ::close(pair[1]);
    if (spawned != 0) {
        ::close(pair[0]);
        return {Handover::Unreachable, QStringLiteral("cannot run %1: %2").arg(m_program, QString::fromLocal8Bit(std::strerror(spawned)))};
    }

    QElapsedTimer clock;
    clock.start();
    auto left = [&] { return int(std::max<qint64>(0, kTimeoutMs - clock.elapsed())); };
    bool stopped = false;
    for (qsizetype done = 0; done < bytes.size() && !stopped;) {
        const ssize_t n = ::send(pair[0], bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p[2] = {{pair[0], POLLOUT, 0}, {stopSignal(), POLLIN, 0}};
            stopped = left() == 0 || (::poll(p, stopSignal() >= 0 ? 2 : 1, std::min(left(), 1000)) > 0 && (p[1].revents & POLLIN));
        } else {
            break; // the program stopped reading; its exit status tells why
        }
    }
    ::close(pair[0]);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (stopped || left() == 0 || stopRequested(stopSignal())) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return {Handover::TryLater, QStringLiteral("%1 did not finish in time").arg(m_program)};
        }
        pollfd p{stopSignal(), POLLIN, 0};
        ::poll(&p, stopSignal() >= 0 ? 1 : 0, 20);
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return {Handover::Sent, {}};
    const QString why = WIFEXITED(status) ? QStringLiteral("%1 ended with status %2").arg(m_program).arg(WEXITSTATUS(status))
                                          : QStringLiteral("%1 was ended by signal %2").arg(m_program).arg(WTERMSIG(status));
    const bool refused = WIFEXITED(status) && (WEXITSTATUS(status) == kExitDataError || WEXITSTATUS(status) == kExitNoUser);
    return {refused ? Handover::Refused : Handover::TryLater, why};
}

} // namespace alertserver
