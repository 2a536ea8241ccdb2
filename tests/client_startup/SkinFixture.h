#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QString>
#include <QStringList>

#include "support/ScriptedServer.h"

// Pictures and skin replies shared by the start-up tests.
namespace skinfixture {

inline QByteArray encodedImage(const QColor &colour, QSize size, const char *format)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

inline QByteArray png(const QColor &colour, QSize size = {4, 3}) { return encodedImage(colour, size, "PNG"); }

// Qt writes no GIF, so this one is put together by hand: a 1 x 1 picture
// with a two-entry palette whose only pixel is white (index 0).
inline QByteArray gif()
{
    return QByteArray("GIF89a", 6)
        + QByteArray::fromHex("0100" "0100" "80" "00" "00") // screen 1 x 1, 2-colour global palette
        + QByteArray::fromHex("ffffff" "000000")            // palette: white, black
        + QByteArray::fromHex("2c" "00000000" "0100" "0100" "00") // image at 0,0, 1 x 1
        + QByteArray::fromHex("02" "02" "4401" "00")        // LZW: clear, index 0, end
        + QByteArray::fromHex("3b");
}

// A width x height GIF in two colours (red, blue stripes), LZW-coded the
// simple way: a clear code before every second pixel keeps codes at 3 bits.
inline QByteArray stripedGif(int width, int height, bool trailer = true)
{
    QByteArray b("GIF89a");
    auto u16 = [&b](int v) { b.append(char(v & 0xff)).append(char(v >> 8)); };
    u16(width);
    u16(height);
    b.append(QByteArray::fromHex("800000" "ff0000" "0000ff"));
    b.append(char(0x2c));
    u16(0);
    u16(0);
    u16(width);
    u16(height);
    b.append(char(0)).append(char(2)); // no local palette; minimum code size 2
    QByteArray codes;
    unsigned bits = 0;
    int used = 0;
    auto put = [&](unsigned code) {
        bits |= code << used;
        for (used += 3; used >= 8; used -= 8, bits >>= 8)
            codes.append(char(bits & 0xff));
    };
    for (int i = 0; i < width * height; ++i) {
        if (i % 2 == 0)
            put(4); // clear
        put(unsigned((i / width) % 2));
    }
    put(5); // end of information
    if (used > 0)
        codes.append(char(bits & 0xff));
    for (qsizetype i = 0; i < codes.size(); i += 255) {
        const QByteArray block = codes.mid(i, 255);
        b.append(char(block.size())).append(block);
    }
    b.append(char(0));
    if (trailer)
        b.append(char(0x3b));
    return b;
}

// The paths of the five pictures, as the skin lists them.
struct SkinPaths
{
    QString close = QStringLiteral("skins/1/close.png");
    QString menu = QStringLiteral("skins/1/menu.png");
    QString background = QStringLiteral("skins/1/back.png");
    QString icon = QStringLiteral("skins/1/icon.png");
    QString page = QStringLiteral("skins/1/page.png");
};

// A skin reply's 24 children with distinct values in every place.
inline QStringList skinChildren(const SkinPaths &paths = {})
{
    return {paths.close, paths.menu, paths.background,
            QStringLiteral("4500"), QStringLiteral("6000"),            // window width, height
            QStringLiteral("4200"), QStringLiteral("60"),              // close button
            QStringLiteral("3900"), QStringLiteral("75"),              // menu button
            paths.icon,
            QStringLiteral("Tarvex alerts"),
            QStringLiteral("http://alerts.example/alert.php"),
            QStringLiteral("http://alerts.example/profile.php"),
            QStringLiteral("http://l0"), QStringLiteral("http://l1"), QStringLiteral("http://l2"),
            QStringLiteral("http://l3"), QStringLiteral("http://l4"), QStringLiteral("http://l5"),
            QStringLiteral("150"), QStringLiteral("900"), QStringLiteral("4200"), QStringLiteral("4800"),
            paths.page};
}

// The body of a reply with the declaration, a root and these children.
inline QByteArray xmlBody(const QStringList &children)
{
    return testsupport::ScriptedReply::xmlChildren(children).body;
}

} // namespace skinfixture
