#pragma once

#include <QString>

namespace testsupport {

// A certificate authority made for one test run, and a server certificate
// for 127.0.0.1 that it signed, as PEM files in a folder of the test's own
// (openssl's command line does the work). No system trusts the authority
// until a test puts it where the system looks.
struct TestCertificates
{
    // Writes <name>-ca.crt, <name>-server.crt and <name>-server.key into
    // `folder`. False with `error` set when openssl failed.
    bool make(const QString &folder, const QString &name);

    QString caFile;
    QString certificateFile;
    QString keyFile;
    QString error;
};

} // namespace testsupport
