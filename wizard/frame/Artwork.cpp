#include "Artwork.h"

#include <QString>

// Resources of a static library must be registered by hand, outside any namespace.
static void initKestrupArtwork()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(kestrup_artwork);
        return true;
    }();
    Q_UNUSED(done);
}

namespace kestrup::Artwork {

namespace {
QPixmap load(const QString &name)
{
    initKestrupArtwork();
    return QPixmap(QStringLiteral(":/kestrup/") + name);
}
} // namespace

QPixmap loadingFrame(int index)
{
    if (index < 0 || index >= kLoadingFrames)
        return QPixmap();
    return load(QStringLiteral("loading%1.png").arg(index));
}

QPixmap sidePicture()
{
    return load(QStringLiteral("side.png"));
}

QPixmap headerPicture()
{
    return load(QStringLiteral("header.png"));
}

QPixmap alertIcon()
{
    return load(QStringLiteral("alerticon.png"));
}

} // namespace kestrup::Artwork
