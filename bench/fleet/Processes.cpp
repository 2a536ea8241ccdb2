#include "Processes.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace fleet {

std::string readFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

namespace {

// The fields of /proc/PID/stat after the command name.
std::vector<std::string> statFields(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos)
        return fields;
    std::istringstream in(stat.substr(close + 2));
    for (std::string f; in >> f;)
        fields.push_back(f);
    return fields;
}

std::vector<pid_t> allProcesses()
{
    std::vector<pid_t> out;
    if (DIR *dir = ::opendir("/proc")) {
        while (const dirent *e = ::readdir(dir)) {
            char *end = nullptr;
            const long pid = std::strtol(e->d_name, &end, 10);
            if (pid > 0 && *end == '\0')
                out.push_back(pid_t(pid));
        }
        ::closedir(dir);
    }
    return out;
}

} // namespace

double cpuSeconds(pid_t pid)
{
    const auto f = statFields(pid);
    if (f.size() < 13)
        return 0;
    return double(std::stoll(f[11]) + std::stoll(f[12])) / double(::sysconf(_SC_CLK_TCK));
}

double cpuSeconds(const std::vector<pid_t> &pids)
{
    double total = 0;
    for (pid_t p : pids)
        total += cpuSeconds(p);
    return total;
}

long statusKb(pid_t pid, const char *field)
{
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
    const std::string prefix = std::string(field) + ':';
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(prefix))
            return std::stol(line.substr(prefix.size()));
    return 0;
}

long statusKb(const std::vector<pid_t> &pids, const char *field)
{
    long total = 0;
    for (pid_t p : pids)
        total += statusKb(p, field);
    return total;
}

long descriptors(const std::vector<pid_t> &pids)
{
    long n = 0;
    for (pid_t p : pids) {
        if (DIR *dir = ::opendir(("/proc/" + std::to_string(p) + "/fd").c_str())) {
            while (const dirent *e = ::readdir(dir))
                n += e->d_name[0] != '.';
            ::closedir(dir);
        }
    }
    return n;
}

std::vector<pid_t> withChildren(pid_t parent)
{
    std::vector<pid_t> out{parent};
    for (pid_t p : allProcesses()) {
        const auto f = statFields(p);
        if (f.size() > 1 && std::stol(f[1]) == parent)
            out.push_back(p);
    }
    return out;
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &log)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

bool running(pid_t pid)
{
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, WNOHANG) == 0;
}

void stop(pid_t pid, int graceMs)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    for (int waited = 0; waited < graceMs; waited += 10) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) != 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

bool listening(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

std::string tail(const std::string &path, int lines)
{
    const std::string text = readFile(path);
    size_t at = text.size();
    for (int n = 0; n <= lines; ++n) {
        if (at == 0 || (at = text.rfind('\n', at - 1)) == std::string::npos)
            return text;
    }
    return text.substr(at + 1);
}

} // namespace fleet
