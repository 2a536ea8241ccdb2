#include "client/startup/ShellTarget.h"

namespace client {

QUrl shellTarget(const QString &target)
{
    if (target.isEmpty())
        return {};
    const QUrl url(target, QUrl::TolerantMode);
    if (!url.isValid())
        return {};
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")
        && scheme != QLatin1String("mailto"))
        return {};
    return url;
}

} // namespace client
