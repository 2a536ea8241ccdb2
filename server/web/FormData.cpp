#include "server/web/FormData.h"

#include "common/FormEncoding.h"

#include <QStringDecoder>

namespace alertserver {

namespace {

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Decodes one key or value, refusing what common::formDecode would let pass
// silently: stray "%", bytes that are not UTF-8, and NUL.
std::optional<QString> decodeStrict(QByteArrayView part)
{
    for (qsizetype i = 0; i < part.size(); ++i) {
        const char c = part[i];
        if (c == '%') {
            if (i + 2 >= part.size() || !isHex(part[i + 1]) || !isHex(part[i + 2]))
                return std::nullopt;
            if (part[i + 1] == '0' && part[i + 2] == '0')
                return std::nullopt;
            i += 2;
        } else if (c == '\0') {
            return std::nullopt;
        }
    }
    const QString text = common::formDecode(part);
    // formDecode turns broken UTF-8 into replacement characters; where one
    // shows up, find out whether it was sent as such or stands for bad bytes.
    if (text.contains(QChar::ReplacementCharacter)) {
        const QByteArray bytes = QByteArray::fromPercentEncoding(part.toByteArray().replace('+', ' '));
        QStringDecoder strict(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString again = strict.decode(bytes);
        if (strict.hasError())
            return std::nullopt;
        return again;
    }
    return text;
}

} // namespace

std::optional<FormData> FormData::parse(QByteArrayView encoded)
{
    FormData form;
    if (encoded.isEmpty())
        return form;
    qsizetype start = 0;
    while (start <= encoded.size()) {
        qsizetype end = encoded.indexOf('&', start);
        if (end < 0)
            end = encoded.size();
        const QByteArrayView pair = encoded.sliced(start, end - start);
        const qsizetype eq = pair.indexOf('=');
        if (eq <= 0)
            return std::nullopt; // an empty pair, a pair without "=" or without a key
        auto key = decodeStrict(pair.first(eq));
        auto value = decodeStrict(pair.sliced(eq + 1));
        if (!key || !value || key->isEmpty())
            return std::nullopt;
        form.m_pairs.append({*key, *value});
        start = end + 1;
    }
    return form;
}

bool FormData::has(const QString &key) const
{
    for (const auto &p : m_pairs)
        if (p.first == key)
            return true;
    return false;
}

int FormData::count(const QString &key) const
{
    int n = 0;
    for (const auto &p : m_pairs)
        if (p.first == key)
            ++n;
    return n;
}

QString FormData::value(const QString &key) const
{
    for (auto it = m_pairs.crbegin(); it != m_pairs.crend(); ++it)
        if (it->first == key)
            return it->second;
    return {};
}

QString FormData::first(const QString &key) const
{
    for (const auto &p : m_pairs)
        if (p.first == key)
            return p.second;
    return {};
}

QList<QString> FormData::all(const QString &key) const
{
    QList<QString> out;
    for (const auto &p : m_pairs)
        if (p.first == key)
            out.append(p.second);
    return out;
}

} // namespace alertserver
