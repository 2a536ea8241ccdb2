#include "ServerProcess.h"

#include "Patience.h"
#include "ProgramFolder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTest>

#include <csignal>

namespace testsupport {

namespace {

// "alertserver: 127.0.0.1 GET /alertsystem/status.php?username=ann -> 200"
bool parseLogLine(const QByteArray &line, LoggedRequest *out)
{
    const QList<QByteArray> words = line.split(' ');
    if (words.size() != 6 || words.at(0) != "alertserver:" || words.at(4) != "->")
        return false;
    out->method = words.at(2);
    out->target = words.at(3);
    const int q = out->target.indexOf('?');
    out->path = q < 0 ? out->target : out->target.left(q);
    out->query = q < 0 ? QByteArray() : out->target.mid(q + 1);
    out->status = words.at(5).toInt();
    return true;
}

} // namespace

ServerProcess::ServerProcess(const QString &folder)
    : m_program(QStringLiteral(TVX_BUILD_DIR "/alertserver/alertserver"))
    , m_folder(folder)
{
}

ServerProcess::ServerProcess(const QString &program, const QString &stateFolder)
    : m_program(program)
    , m_folder(stateFolder)
    , m_ownDefaults(true)
{
}

ServerProcess::~ServerProcess()
{
    if (isRunning()) {
        m_process->kill();
        m_process->waitForFinished(testsupport::patient(5000));
    }
}

void ServerProcess::useTls(const QString &certificateFile, const QString &keyFile)
{
    m_tls = QStringList{QStringLiteral("--tls-cert"), certificateFile, QStringLiteral("--tls-key"), keyFile};
}

bool ServerProcess::start()
{
    if (isRunning())
        return false;
    collectLog();
    const QString portFile = QDir(m_folder).filePath(QStringLiteral("port"));
    QFile::remove(portFile);
    m_process = std::make_unique<QProcess>();
    endWithThisProcess(*m_process);
    QStringList args{QStringLiteral("serve"), QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(m_port),
                     QStringLiteral("--port-file"), portFile, QStringLiteral("--verbose")};
    if (!m_ownDefaults)
        args << QStringLiteral("--db") << dbPath() << QStringLiteral("--outbox") << outboxPath()
             << QStringLiteral("--skins") << QDir(m_folder).filePath(QStringLiteral("skins"));
    m_process->start(m_program, args + m_tls);
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < patient(10000) && m_process->state() != QProcess::NotRunning) {
        QFile f(portFile);
        if (f.open(QIODevice::ReadOnly)) {
            const int port = f.readAll().trimmed().toInt();
            if (port > 0) {
                m_port = port;
                return true;
            }
        }
        QTest::qWait(testsupport::patient(20));
    }
    return false;
}

bool ServerProcess::stop()
{
    if (!isRunning())
        return false;
    ::kill(pid_t(m_process->processId()), SIGTERM);
    const bool clean = m_process->waitForFinished(patient(10000)) && m_process->exitStatus() == QProcess::NormalExit
        && m_process->exitCode() == 0;
    collectLog();
    return clean;
}

bool ServerProcess::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

QString ServerProcess::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(m_tls.isEmpty() ? QStringLiteral("http") : QStringLiteral("https")).arg(m_port);
}

QString ServerProcess::dbPath() const
{
    if (!m_database.isEmpty())
        return m_database;
    return QDir(m_folder).filePath(m_ownDefaults ? QStringLiteral("alertserver.db") : QStringLiteral("store.db"));
}

QString ServerProcess::outboxPath() const
{
    return QDir(m_folder).filePath(QStringLiteral("outbox"));
}

ServerProcess::CommandResult ServerProcess::command(const QStringList &args) const
{
    QProcess p;
    p.start(m_program, m_ownDefaults ? args : args + QStringList{QStringLiteral("--db"), dbPath()});
    if (!p.waitForFinished(patient(30000)))
        p.kill();
    p.waitForFinished(testsupport::patient(5000));
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromLocal8Bit(p.readAllStandardOutput()), QString::fromLocal8Bit(p.readAllStandardError())};
}

void ServerProcess::collectLog()
{
    if (!m_process)
        return;
    m_pending += m_process->readAllStandardError();
    int end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        LoggedRequest request;
        if (parseLogLine(m_pending.left(end), &request))
            m_requests.append(request);
        m_pending.remove(0, end + 1);
    }
}

QList<LoggedRequest> ServerProcess::requests()
{
    collectLog();
    return m_requests;
}

QList<LoggedRequest> ServerProcess::requestsFor(const QByteArray &path, int from)
{
    collectLog();
    QList<LoggedRequest> out;
    for (int i = from; i < m_requests.size(); ++i) {
        if (m_requests.at(i).path == path)
            out.append(m_requests.at(i));
    }
    return out;
}

bool ServerProcess::fallsQuiet(const QByteArray &path)
{
    QElapsedTimer total;
    total.start();
    int seen = countFor(path);
    QElapsedTimer quiet;
    quiet.start();
    while (total.elapsed() < patient(15000)) {
        QTest::qWait(testsupport::patient(100));
        const int now = countFor(path);
        if (now != seen) {
            seen = now;
            quiet.restart();
        } else if (quiet.elapsed() > patient(4500)) { // more than two of the client's poll periods
            return true;
        }
    }
    return false;
}

QStringList ServerProcess::outboxFiles() const
{
    return QDir(outboxPath()).entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
}

QString ServerProcess::mail(const QString &name) const
{
    QFile f(QDir(outboxPath()).filePath(name));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

QStringList ServerProcess::mailsTo(const QString &address) const
{
    QStringList out;
    for (const QString &name : outboxFiles()) {
        const QString text = mail(name);
        if (text.contains(QStringLiteral("\r\nTo: ") + address + QStringLiteral("\r\n")))
            out.append(text);
    }
    return out;
}

common::HttpResult httpGet(const QString &url)
{
    common::HttpExchange exchange;
    QEventLoop loop;
    QObject::connect(&exchange, &common::HttpExchange::finished, &loop, &QEventLoop::quit);
    exchange.get(url);
    loop.exec();
    return exchange.result();
}

} // namespace testsupport
