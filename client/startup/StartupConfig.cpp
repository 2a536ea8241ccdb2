#include "client/startup/StartupConfig.h"

#include "common/FormEncoding.h"
#include "common/PositionalXml.h"

namespace client {

StartupValues startupValuesFrom(const common::PositionalXml &document)
{
    StartupValues values;
    values.WindowTitle = document.rootChildText(0);
    values.ServerBase = document.rootChildText(1);
    values.NotifyTypeId = document.rootChildText(2);
    return values;
}

std::optional<StartupValues> readSystemXml(const QString &path)
{
    common::PositionalXml document;
    if (!document.loadFile(path))
        return std::nullopt;
    return startupValuesFrom(document);
}

QString skinRequestAddress(const StartupValues &values)
{
    return values.ServerBase + QStringLiteral("/alertsystem/notifytype.php?id=")
        + QString::fromLatin1(common::formEncode(values.NotifyTypeId));
}

QString pageBackgroundPath(const QString &programFolder)
{
    return programFolder + QStringLiteral("/html/images/background.bmp");
}

} // namespace client
