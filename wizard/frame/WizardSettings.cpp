#include "WizardSettings.h"

#include "common/PositionalXml.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace kestrup {

WizardSettings WizardSettings::defaults()
{
    WizardSettings s;
    s.serverBase = QStringLiteral("http://127.0.0.1:8080");
    s.vendorHost = QStringLiteral("www.vantorel.example");
    s.clientPath = QStringLiteral("../tarvex/tarvex");
    return s;
}

WizardSettings WizardSettings::load(const QString &setupXmlPath)
{
    WizardSettings s = defaults();
    common::PositionalXml xml;
    if (xml.loadFile(setupXmlPath)) {
        if (xml.hasRootChild(0))
            s.serverBase = xml.rootChildText(0).trimmed();
        if (xml.hasRootChild(1))
            s.vendorHost = xml.rootChildText(1).trimmed();
        if (xml.hasRootChild(2))
            s.clientPath = xml.rootChildText(2).trimmed();
    }
    if (!s.clientPath.isEmpty()) {
        const QDir folder = QFileInfo(setupXmlPath).absoluteDir();
        s.clientPath = QDir::cleanPath(folder.absoluteFilePath(s.clientPath));
    }
    return s;
}

WizardSettings WizardSettings::loadBesideProgram()
{
    return load(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("setup.xml")));
}

} // namespace kestrup
