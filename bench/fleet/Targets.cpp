#include "Targets.h"

#include "Processes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

namespace fleet {

namespace {

using namespace std::chrono_literals;

bool waitFor(pid_t pid, const std::function<bool()> &ready)
{
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready())
            return true;
        if (!running(pid))
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// A text as an nginx string in single quotes.
std::string nginxString(const std::string &text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out + "'";
}

} // namespace

bool AlertServers::start(std::string *error)
{
    const bool again = !m_ports.empty();
    for (int k = 0; k < m_s.processes; ++k) {
        const std::string folder = m_s.folder + "/server" + std::to_string(k);
        ::mkdir(folder.c_str(), 0700);
        const std::string portFile = folder + "/port";
        ::unlink(portFile.c_str());
        const int port = again ? m_ports[size_t(k)] : 0;
        std::vector<std::string> args{m_s.program,
                                      "serve",
                                      "--listen",
                                      "127.0.0.1:" + std::to_string(port),
                                      "--port-file",
                                      portFile,
                                      "--db",
                                      m_s.database,
                                      "--outbox",
                                      folder + "/outbox",
                                      "--skins",
                                      folder + "/skins",
                                      "--tls-cert",
                                      m_s.certificate,
                                      "--tls-key",
                                      m_s.key,
                                      "--max-connections",
                                      std::to_string(m_s.maxConnections),
                                      "--max-connections-per-address",
                                      std::to_string(m_s.maxPerAddress),
                                      "--users-per-admin",
                                      "0"};
        args.insert(args.end(), m_s.extra.begin(), m_s.extra.end());
        const std::string log = folder + "/server.log";
        const pid_t pid = spawn(args, log);
        int bound = 0;
        if (pid < 0 || !waitFor(pid, [&] { return (bound = std::atoi(readFile(portFile).c_str())) > 0; })) {
            if (error)
                *error = "the alertserver did not start:\n" + tail(log);
            fleet::stop(pid);
            stop();
            return false;
        }
        m_pids.push_back(pid);
        if (!again)
            m_ports.push_back(bound);
    }
    return true;
}

void AlertServers::stop()
{
    for (pid_t pid : m_pids)
        ::kill(pid, SIGTERM);
    for (pid_t pid : m_pids)
        fleet::stop(pid);
    m_pids.clear();
}

std::string findNginx()
{
    for (const char *path : {"/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/bin/nginx"})
        if (::access(path, X_OK) == 0)
            return path;
    return {};
}

bool Nginx::start(std::string *error)
{
    if (m_s.statusBody.find('$') != std::string::npos || m_s.loginBody.find('$') != std::string::npos) {
        if (error)
            *error = "a reply holds '$', which nginx would read as a variable";
        return false;
    }
    if (m_port == 0)
        m_port = freePort();
    const std::string &dir = m_s.folder;
    ::mkdir(dir.c_str(), 0755);
    // Bare: no logs, no compression, keep-alive; the same key and suites as
    // the server (forward-secret AEAD suites on TLS 1.2, TLS 1.3 as it is),
    // session tickets on. Each worker has its own listening socket, so the
    // connections spread evenly over them.
    std::ofstream conf(dir + "/nginx.conf");
    conf << "daemon off;\n"
         << "master_process on;\n"
         << "worker_processes " << m_s.workers << ";\n"
         << "worker_rlimit_nofile " << m_s.files << ";\n"
         << "pid " << dir << "/nginx.pid;\n"
         << "error_log " << dir << "/error.log error;\n"
         << "events { worker_connections " << m_s.files - 64 << "; }\n"
         << "http {\n"
         << "  access_log off;\n"
         << "  server_tokens off;\n"
         << "  keepalive_timeout 120s;\n"
         << "  client_body_temp_path " << dir << "/body;\n"
         << "  proxy_temp_path " << dir << "/proxy;\n"
         << "  fastcgi_temp_path " << dir << "/fastcgi;\n"
         << "  uwsgi_temp_path " << dir << "/uwsgi;\n"
         << "  scgi_temp_path " << dir << "/scgi;\n"
         << "  server {\n"
         << "    listen 127.0.0.1:" << m_port << " ssl reuseport backlog=" << std::max(1, m_s.backlog / m_s.workers)
         << ";\n"
         << "    ssl_certificate " << m_s.certificate << ";\n"
         << "    ssl_certificate_key " << m_s.key << ";\n"
         << "    ssl_protocols TLSv1.2 TLSv1.3;\n"
         << "    ssl_ciphers ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
            "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
            "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305;\n"
         << "    ssl_session_tickets on;\n"
         << "    default_type " << nginxString(m_s.contentType) << ";\n"
         << "    location = /alertsystem/status.php { return 200 " << nginxString(m_s.statusBody) << "; }\n"
         << "    location = /alertsystem/login.php { return 200 " << nginxString(m_s.loginBody) << "; }\n"
         << "    location / { return 404; }\n"
         << "  }\n"
         << "}\n";
    conf.close();
    const std::string log = dir + "/nginx.log";
    m_master = spawn({m_s.program, "-p", dir, "-c", dir + "/nginx.conf", "-e", dir + "/error.log"}, log);
    if (m_master < 0 || !waitFor(m_master, [&] { return listening(m_port) && processes().size() > size_t(m_s.workers); })) {
        if (error)
            *error = "nginx did not start:\n" + tail(log) + tail(dir + "/error.log");
        stop();
        return false;
    }
    return true;
}

void Nginx::stop()
{
    fleet::stop(m_master);
    m_master = -1;
}

std::vector<pid_t> Nginx::processes() const
{
    return m_master > 0 ? withChildren(m_master) : std::vector<pid_t>{};
}

} // namespace fleet
