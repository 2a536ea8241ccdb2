#include "TestCertificates.h"
#include "support/Patience.h"

#include <QDir>
#include <QFile>
#include <QProcess>

namespace testsupport {

namespace {

const QStringList kEcKey{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                         QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};

bool openssl(const QStringList &args, QString *error)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("openssl"), args);
    if (p.waitForFinished(testsupport::patient(60000)) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    *error = QStringLiteral("openssl %1: %2").arg(args.value(0), QString::fromLocal8Bit(p.readAll()));
    return false;
}

} // namespace

bool TestCertificates::make(const QString &folder, const QString &name)
{
    const QDir dir(folder);
    caFile = dir.filePath(name + QStringLiteral("-ca.crt"));
    certificateFile = dir.filePath(name + QStringLiteral("-server.crt"));
    keyFile = dir.filePath(name + QStringLiteral("-server.key"));
    const QString caKey = dir.filePath(name + QStringLiteral("-ca.key"));
    const QString request = dir.filePath(name + QStringLiteral("-server.csr"));
    const QString extensions = dir.filePath(name + QStringLiteral("-server.ext"));
    QFile ext(extensions);
    if (!ext.open(QIODevice::WriteOnly)
        || ext.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=critical,CA:FALSE\n"
                     "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n") < 0) {
        error = QStringLiteral("cannot write %1").arg(extensions);
        return false;
    }
    ext.close();
    return openssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + kEcKey
                       + QStringList{QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                                     QStringLiteral("/O=Vantorel tests/CN=%1 test authority").arg(name),
                                     QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"),
                                     QStringLiteral("-addext"), QStringLiteral("keyUsage=critical,keyCertSign,cRLSign"),
                                     QStringLiteral("-keyout"), caKey, QStringLiteral("-out"), caFile},
                   &error)
        && openssl(QStringList{QStringLiteral("req")} + kEcKey
                       + QStringList{QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-keyout"),
                                     keyFile, QStringLiteral("-out"), request},
                   &error)
        && openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), request, QStringLiteral("-CA"),
                    caFile, QStringLiteral("-CAkey"), caKey, QStringLiteral("-CAcreateserial"), QStringLiteral("-days"),
                    QStringLiteral("2"), QStringLiteral("-extfile"), extensions, QStringLiteral("-out"), certificateFile},
                   &error);
}

} // namespace testsupport
