#pragma once
// Processes the benchmark starts, and what /proc says of them and of the
// machine.

#include <sys/types.h>

#include <string>
#include <vector>

namespace fleet {

std::string readFile(const std::string &path);

// User and system processor time of a process, all its threads, in seconds.
double cpuSeconds(pid_t pid);
double cpuSeconds(const std::vector<pid_t> &pids);
// A "Field:   123 kB" line of /proc/PID/status ("VmRSS", "VmHWM"), in kB.
long statusKb(pid_t pid, const char *field);
long statusKb(const std::vector<pid_t> &pids, const char *field);
// Open descriptors of the processes.
long descriptors(const std::vector<pid_t> &pids);
// A process and its children (one level: nginx's workers, PostgreSQL's backends).
std::vector<pid_t> withChildren(pid_t parent);

// A program with its standard output and error appended to `log`; -1 when
// it cannot be started.
pid_t spawn(const std::vector<std::string> &argv, const std::string &log);
// SIGTERM, then SIGKILL when it has not ended within `graceMs`; reaps it.
void stop(pid_t pid, int graceMs = 15000);
bool running(pid_t pid);

// Whether something accepts connections on 127.0.0.1:port.
bool listening(int port);
// A port that was free a moment ago.
int freePort();

// The last lines of a file, for a failure's message.
std::string tail(const std::string &path, int lines = 15);

} // namespace fleet
