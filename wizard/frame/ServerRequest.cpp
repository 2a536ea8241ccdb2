#include "ServerRequest.h"

#include "common/FormEncoding.h"

namespace kestrup {

void FormBody::separate()
{
    if (!m_bytes.isEmpty())
        m_bytes += '&';
}

FormBody &FormBody::add(const QByteArray &key, const QString &value)
{
    separate();
    m_bytes += key + '=' + common::formEncode(value);
    return *this;
}

FormBody &FormBody::addFixed(const QByteArray &pair)
{
    separate();
    m_bytes += pair;
    return *this;
}

QString ServerRequest::url(const QString &serverBase, const common::Clock &clock) const
{
    QString address = serverBase + path + QStringLiteral("?vartime=") + common::timeStamp14(clock);
    for (const auto &[key, value] : query)
        address += u'&' + QString::fromLatin1(key) + u'=' + QString::fromLatin1(common::formEncode(value));
    return address;
}

} // namespace kestrup
