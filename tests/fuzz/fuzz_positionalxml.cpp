// Any bytes as a reply: loading never crashes or hangs, a failed load leaves
// nothing behind, and positional reads stay inside the document.
#include "common/PositionalXml.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    common::PositionalXml xml;
    const bool ok = xml.loadText(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!ok) {
        if (xml.topLevelCount() != 0 || !xml.rootChildText(0).isEmpty())
            __builtin_trap();
        return 0;
    }
    const int count = xml.rootChildCount();
    const QDomNodeList children = common::PositionalXml::children(xml.root());
    for (int i = 0; i < count && i < 64; ++i) {
        const QString text = xml.rootChildText(i);
        const QDomNode child = children.at(i);
        if (child.isNull() || text != common::PositionalXml::text(child))
            __builtin_trap();
        for (int j = 0; j < common::PositionalXml::childCount(child) && j < 16; ++j)
            (void)common::PositionalXml::childText(child, j);
    }
    if (xml.hasRootChild(count) || !xml.rootChildText(count).isEmpty())
        __builtin_trap();
    return 0;
}
