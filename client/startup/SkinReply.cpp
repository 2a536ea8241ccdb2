#include "client/startup/SkinReply.h"

#include "common/NumberReader.h"
#include "common/PositionalXml.h"

namespace client {

std::optional<SkinReply> readSkinReply(const QByteArray &body, const QString &serverBase)
{
    common::PositionalXml document;
    if (!document.loadText(body))
        return std::nullopt;
    const common::PositionalXml::Node root = document.root();
    if (root.childCount() < kSkinChildCount)
        return std::nullopt;

    std::array<QString, kSkinChildCount> texts;
    for (int i = 0; i < kSkinChildCount; ++i)
        texts[i] = root.childText(i);

    bool numbersFit = true;
    auto number = [&](int index) -> std::int16_t {
        const common::Number16 n = common::readNumber16(texts[index]);
        numbersFit = numbersFit && n.inRange;
        return n.value;
    };
    auto picture = [&](int index) { return serverBase + u'/' + texts[index]; };

    SkinReply reply;
    SkinValues &v = reply.values;
    reply.pictureAddresses = {picture(0), picture(1), picture(2), picture(9), picture(23)};
    v.WindowWidth = number(3);
    v.WindowHeight = number(4);
    v.CloseButtonLeft = number(5);
    v.CloseButtonTop = number(6);
    v.MenuButtonLeft = number(7);
    v.MenuButtonTop = number(8);
    v.TrayToolTip = texts[10];
    v.AlertPageUrl = texts[11];
    v.ProfilePageUrl = texts[12];
    for (int i = 0; i < 6; ++i)
        v.LinkUrls[i] = texts[13 + i];
    v.BrowserLeft = number(19);
    v.BrowserTop = number(20);
    v.BrowserWidth = number(21);
    v.BrowserHeight = number(22);
    if (!numbersFit)
        return std::nullopt;
    return reply;
}

} // namespace client
