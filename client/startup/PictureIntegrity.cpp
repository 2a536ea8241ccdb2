#include "client/startup/PictureIntegrity.h"

#include <cstdint>
#include <cstdlib>

namespace client {

namespace {

std::uint32_t le(const QByteArray &b, qsizetype at, int bytes)
{
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | std::uint8_t(b[at + i]);
    return v;
}

// Walks the blocks of a GIF. The data may end after a complete image without
// the trailer byte (many writers leave it off); it may not end inside a block.
bool gifIsWhole(const QByteArray &b)
{
    const qsizetype size = b.size();
    if (size < 13)
        return false;
    qsizetype pos = 13;
    const std::uint8_t screenFlags = std::uint8_t(b[10]);
    if (screenFlags & 0x80)
        pos += 3 * (qsizetype(2) << (screenFlags & 7));
    bool sawImage = false;
    auto skipSubBlocks = [&]() {
        for (;;) {
            if (pos >= size)
                return false;
            const std::uint8_t n = std::uint8_t(b[pos++]);
            if (n == 0)
                return true;
            pos += n;
        }
    };
    for (;;) {
        if (pos >= size)
            return sawImage && pos == size;
        const std::uint8_t introducer = std::uint8_t(b[pos]);
        if (introducer == 0x3B)
            return sawImage;
        if (introducer == 0x21) {
            pos += 2; // introducer, label
            if (!skipSubBlocks())
                return false;
        } else if (introducer == 0x2C) {
            if (pos + 10 > size)
                return false;
            const std::uint8_t flags = std::uint8_t(b[pos + 9]);
            pos += 10;
            if (flags & 0x80)
                pos += 3 * (qsizetype(2) << (flags & 7));
            pos += 1; // LZW minimum code size
            if (!skipSubBlocks())
                return false;
            sawImage = true;
        } else {
            return false;
        }
    }
}

// A JPEG whose entropy-coded data was cut off has no end-of-image marker
// after its last start-of-scan.
bool jpegIsWhole(const QByteArray &b)
{
    const qsizetype scan = b.lastIndexOf(QByteArrayView("\xFF\xDA", 2));
    const qsizetype end = b.lastIndexOf(QByteArrayView("\xFF\xD9", 2));
    return scan >= 0 && end > scan;
}

// The pixel data a BMP's headers announce must all be there.
bool bmpIsWhole(const QByteArray &b)
{
    if (b.size() < 26)
        return false;
    const std::uint64_t offset = le(b, 10, 4);
    const std::uint32_t header = le(b, 14, 4);
    std::uint64_t width = 0, height = 0, bits = 0, compression = 0, imageSize = 0;
    if (header == 12) {
        width = le(b, 18, 2);
        height = le(b, 20, 2);
        bits = le(b, 24, 2);
    } else {
        if (b.size() < 38)
            return false;
        width = std::uint64_t(std::llabs(std::int32_t(le(b, 18, 4))));
        height = std::uint64_t(std::llabs(std::int32_t(le(b, 22, 4))));
        bits = le(b, 28, 2);
        compression = le(b, 30, 4);
        imageSize = le(b, 34, 4);
    }
    std::uint64_t needed = offset;
    if (compression == 0 || compression == 3 || compression == 6) // uncompressed, bit fields
        needed += ((width * bits + 31) / 32) * 4 * height;
    else
        needed += imageSize; // run-length and embedded formats give their size
    return std::uint64_t(b.size()) >= needed;
}

} // namespace

bool pictureIsWhole(const QByteArray &bytes, const QByteArray &format)
{
    if (format == "gif")
        return gifIsWhole(bytes);
    if (format == "jpeg")
        return jpegIsWhole(bytes);
    if (format == "bmp")
        return bmpIsWhole(bytes);
    return true;
}

} // namespace client
