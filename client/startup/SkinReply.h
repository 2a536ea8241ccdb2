#pragma once

#include "client/startup/StartupValues.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

namespace client {

// The five skin pictures in the order their downloads start.
enum class SkinPicture { Close, Menu, Background, Icon, PageBackground };
inline constexpr int kSkinPictureCount = 5;
inline constexpr int kSkinChildCount = 24;

// What a skin reply gives before any picture has arrived: every number and
// text of the skin, and the five picture addresses in download order.
struct SkinReply
{
    SkinValues values; // pictures still empty
    std::array<QString, kSkinPictureCount> pictureAddresses;

    const QString &address(SkinPicture which) const
    {
        return pictureAddresses[static_cast<int>(which)];
    }
};

// Reads the skin reply by position. Picture children are paths relative to
// the server: the address is ServerBase + "/" + path. Nothing when the body is
// not well-formed XML, has fewer than 24 root children, or holds a number
// outside the 16-bit range: such a skin cannot be shown, and start-up ends.
std::optional<SkinReply> readSkinReply(const QByteArray &body, const QString &serverBase);

} // namespace client
