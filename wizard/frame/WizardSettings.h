#pragma once

#include <QString>

namespace kestrup {

// The wizard's settings, read from "setup.xml" beside the program by position:
// root child 0 the alert server's base address (scheme, host and port, no
// trailing "/"), child 1 the vendor's web-site host name, child 2 the path of
// the alert client that the finished page can start (relative paths are taken
// from the folder of setup.xml). A missing file, a file that is not
// well-formed, or a missing child gives the built-in default of that value.
struct WizardSettings
{
    QString serverBase;
    QString vendorHost;
    QString clientPath; // absolute once loaded; empty: nothing to start

    static WizardSettings defaults();
    static WizardSettings load(const QString &setupXmlPath);
    // setup.xml in the folder of the running program.
    static WizardSettings loadBesideProgram();
};

} // namespace kestrup
