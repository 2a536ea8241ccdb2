#include "server/controllers/SkinFiles.h"

#include "server/pages/Markup.h"
#include "server/skins/SkinLibrary.h"
#include "server/web/Links.h"
#include "server/web/Replies.h"
#include "server/web/Router.h"

namespace alertserver {

using namespace replies;

HttpReply SkinFiles::values(PageRequest &r)
{
    if (!r.query.has(QStringLiteral("id")))
        return xmlError(400, QStringLiteral("missing field id"));
    const auto values = m_skins.values(r.query.value(QStringLiteral("id")), m_links.base());
    if (!values)
        return xmlError(404, QStringLiteral("unknown skin"));
    XmlReply reply(QStringLiteral("skin"));
    for (qsizetype i = 0; i < values->size(); ++i)
        reply.element(QStringLiteral("v%1").arg(i), values->at(i));
    return xml(reply.finish());
}

HttpReply SkinFiles::picture(PageRequest &r)
{
    // <id>/<file>
    const QList<QByteArray> parts = r.rest.split('/');
    if (parts.size() == 2) {
        if (auto picture = m_skins.picture(QString::fromLatin1(parts[0]), QString::fromLatin1(parts[1])))
            return {200, picture->contentType, picture->bytes};
    }
    return xmlError(404, QStringLiteral("no such picture"));
}

} // namespace alertserver
