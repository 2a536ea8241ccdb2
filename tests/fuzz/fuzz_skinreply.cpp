// Any bytes as a skin reply: reading never crashes, and what it gives agrees
// with reading the same children one by one.
#include "client/startup/SkinReply.h"

#include "common/NumberReader.h"
#include "common/PositionalXml.h"

#include <QGuiApplication>

#include <cstddef>
#include <cstdint>

// The skin holds pixmaps, which need a GUI application (offscreen here).
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString base = QStringLiteral("http://127.0.0.1:8080");
    const std::optional<client::SkinReply> reply = client::readSkinReply(body, base);

    common::PositionalXml xml;
    const bool wellFormed = xml.loadText(body);
    if (!reply) {
        // Refused only for a reason the reader names.
        if (wellFormed && xml.rootChildCount() >= client::kSkinChildCount) {
            bool allFit = true;
            for (const int i : {3, 4, 5, 6, 7, 8, 19, 20, 21, 22})
                allFit = allFit && common::readNumber16(xml.rootChildText(i)).inRange;
            if (allFit)
                __builtin_trap();
        }
        return 0;
    }
    if (!wellFormed || xml.rootChildCount() < client::kSkinChildCount)
        __builtin_trap();
    const client::SkinValues &v = reply->values;
    if (v.WindowWidth != common::readNumber16(xml.rootChildText(3)).value
        || v.BrowserHeight != common::readNumber16(xml.rootChildText(22)).value
        || v.TrayToolTip != xml.rootChildText(10) || v.LinkUrls[5] != xml.rootChildText(18))
        __builtin_trap();
    const int pictureChildren[client::kSkinPictureCount] = {0, 1, 2, 9, 23};
    for (int i = 0; i < client::kSkinPictureCount; ++i) {
        if (reply->pictureAddresses[i] != base + u'/' + xml.rootChildText(pictureChildren[i]))
            __builtin_trap();
    }
    return 0;
}
