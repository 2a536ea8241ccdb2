#include "server/skins/artwork/PictureWriters.h"

#include <QHash>
#include <QtEndian>

namespace alertserver {

namespace {

void put16(QByteArray &out, quint16 v)
{
    out.append(char(v & 0xFF));
    out.append(char(v >> 8));
}

void put32(QByteArray &out, quint32 v)
{
    put16(out, quint16(v & 0xFFFF));
    put16(out, quint16(v >> 16));
}

// Packs variable-width codes least significant bit first, as GIF wants.
class BitPacker
{
public:
    void put(int code, int width)
    {
        m_acc |= quint32(code) << m_bits;
        m_bits += width;
        while (m_bits >= 8) {
            m_bytes.append(char(m_acc & 0xFF));
            m_acc >>= 8;
            m_bits -= 8;
        }
    }
    QByteArray finish()
    {
        if (m_bits > 0)
            m_bytes.append(char(m_acc & 0xFF));
        return m_bytes;
    }

private:
    quint32 m_acc = 0;
    int m_bits = 0;
    QByteArray m_bytes;
};

QByteArray lzw(const QList<quint8> &indices, int minCodeSize)
{
    const int clear = 1 << minCodeSize;
    const int end = clear + 1;
    BitPacker out;
    QHash<quint32, int> dict;
    int next = end + 1;
    int width = minCodeSize + 1;
    auto reset = [&] {
        dict.clear();
        next = end + 1;
        width = minCodeSize + 1;
    };
    out.put(clear, width);
    if (indices.isEmpty()) {
        out.put(end, width);
        return out.finish();
    }
    int prefix = indices.first();
    for (qsizetype i = 1; i < indices.size(); ++i) {
        const int k = indices[i];
        const quint32 key = (quint32(prefix) << 8) | quint32(k);
        const auto found = dict.constFind(key);
        if (found != dict.constEnd()) {
            prefix = *found;
            continue;
        }
        out.put(prefix, width);
        if (next < 4095) {
            dict.insert(key, next++);
            // The decoder adds its entry one code later, so it widens when
            // the code after this one needs the extra bit.
            if (next - 1 == (1 << width) && width < 12)
                ++width;
        } else {
            out.put(clear, width);
            reset();
        }
        prefix = k;
    }
    out.put(prefix, width);
    out.put(end, width);
    return out.finish();
}

} // namespace

QByteArray encodeGif(const QImage &source)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    const int w = image.width();
    const int h = image.height();

    // Palette: index 0 is the transparent colour.
    QList<QRgb> palette{qRgb(255, 0, 255)};
    QHash<QRgb, int> indexOf;
    bool exact = true;
    for (int y = 0; y < h && exact; ++y)
        for (int x = 0; x < w; ++x) {
            const QRgb p = image.pixel(x, y);
            if (qAlpha(p) < 128)
                continue;
            const QRgb opaque = p | 0xFF000000u;
            if (!indexOf.contains(opaque)) {
                if (palette.size() == 256) {
                    exact = false;
                    break;
                }
                indexOf.insert(opaque, int(palette.size()));
                palette.append(opaque);
            }
        }
    if (!exact) {
        palette = {qRgb(255, 0, 255)};
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    palette.append(qRgb(r * 51, g * 51, b * 51));
    }
    auto cube = [](int v) { return (v * 5 + 127) / 255; };

    QList<quint8> indices;
    indices.reserve(qsizetype(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const QRgb p = image.pixel(x, y);
            if (qAlpha(p) < 128)
                indices.append(0);
            else if (exact)
                indices.append(quint8(indexOf.value(p | 0xFF000000u)));
            else
                indices.append(quint8(1 + cube(qRed(p)) * 36 + cube(qGreen(p)) * 6 + cube(qBlue(p))));
        }

    int tableBits = 1;
    while ((1 << tableBits) < palette.size())
        ++tableBits;
    while (palette.size() < (1 << tableBits))
        palette.append(qRgb(0, 0, 0));

    QByteArray out("GIF89a");
    put16(out, quint16(w));
    put16(out, quint16(h));
    out.append(char(0x80 | ((tableBits - 1) << 4) | (tableBits - 1)));
    out.append(char(0)); // background colour index
    out.append(char(0)); // pixel aspect ratio
    for (const QRgb c : palette) {
        out.append(char(qRed(c)));
        out.append(char(qGreen(c)));
        out.append(char(qBlue(c)));
    }
    // Graphic control extension: colour 0 is transparent.
    out.append("\x21\xF9\x04\x01\x00\x00\x00\x00", 8);
    out.append(char(0x2C));
    put16(out, 0);
    put16(out, 0);
    put16(out, quint16(w));
    put16(out, quint16(h));
    out.append(char(0));
    const int minCodeSize = qMax(2, tableBits);
    out.append(char(minCodeSize));
    const QByteArray data = lzw(indices, minCodeSize);
    for (qsizetype at = 0; at < data.size(); at += 255) {
        const qsizetype n = qMin<qsizetype>(255, data.size() - at);
        out.append(char(n));
        out.append(data.constData() + at, n);
    }
    out.append(char(0));
    out.append(char(0x3B));
    return out;
}

QByteArray encodeIco(const QList<QImage> &images)
{
    QList<QByteArray> bitmaps;
    for (const QImage &source : images) {
        const QImage img = source.convertToFormat(QImage::Format_ARGB32);
        const int w = img.width();
        const int h = img.height();
        QByteArray bmp;
        put32(bmp, 40);
        put32(bmp, quint32(w));
        put32(bmp, quint32(h * 2)); // colour rows and mask rows
        put16(bmp, 1);
        put16(bmp, 32);
        put32(bmp, 0);
        const int maskStride = ((w + 31) / 32) * 4;
        put32(bmp, quint32(w * h * 4 + maskStride * h));
        put32(bmp, 0);
        put32(bmp, 0);
        put32(bmp, 0);
        put32(bmp, 0);
        for (int y = h - 1; y >= 0; --y)
            for (int x = 0; x < w; ++x) {
                const QRgb p = img.pixel(x, y);
                bmp.append(char(qBlue(p)));
                bmp.append(char(qGreen(p)));
                bmp.append(char(qRed(p)));
                bmp.append(char(qAlpha(p)));
            }
        for (int y = h - 1; y >= 0; --y) {
            QByteArray row(maskStride, '\0');
            for (int x = 0; x < w; ++x)
                if (qAlpha(img.pixel(x, y)) < 128)
                    row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
            bmp.append(row);
        }
        bitmaps.append(bmp);
    }

    QByteArray out;
    put16(out, 0);
    put16(out, 1);
    put16(out, quint16(images.size()));
    quint32 offset = 6 + 16 * quint32(images.size());
    for (qsizetype i = 0; i < images.size(); ++i) {
        const QImage &img = images[i];
        out.append(char(img.width() >= 256 ? 0 : img.width()));
        out.append(char(img.height() >= 256 ? 0 : img.height()));
        out.append(char(0));
        out.append(char(0));
        put16(out, 1);
        put16(out, 32);
        put32(out, quint32(bitmaps[i].size()));
        put32(out, offset);
        offset += quint32(bitmaps[i].size());
    }
    for (const QByteArray &bmp : bitmaps)
        out.append(bmp);
    return out;
}

} // namespace alertserver
