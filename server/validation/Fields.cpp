#include "server/validation/Fields.h"

#include "common/MailAddress.h"
#include "server/store/Records.h"
#include "server/web/FormData.h"
#include "server/web/Http.h"

#include <algorithm>

namespace alertserver::validation {

bool hasControlCharacter(const QString &text, bool multiline)
{
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        if (multiline && (c == '\n' || c == '\r' || c == '\t'))
            continue;
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

QString problem(const QString &name, const QString &value, const Rule &rule)
{
    if (value.size() > rule.maxLength)
        return QStringLiteral("%1 is longer than %2 characters").arg(name).arg(rule.maxLength);
    if (rule.required && value.isEmpty())
        return QStringLiteral("%1 is empty").arg(name);
    if (hasControlCharacter(value, rule.multiline))
        return QStringLiteral("%1 holds a control character").arg(name);
    return {};
}

QString formProblem(const FormData &form, const QList<Field> &fields, bool multiline)
{
    for (const Field &f : fields) {
        const QString key = QString::fromLatin1(f.key);
        if (!form.has(key))
            return QStringLiteral("missing field %1").arg(key);
        const QString why = problem(QStringLiteral("field %1").arg(key), form.value(key), {f.maxLength, f.required, multiline});
        if (!why.isEmpty())
            return why;
    }
    return {};
}

QString alertTextProblem(const QString &text, bool *tooLong)
{
    if (tooLong)
        *tooLong = false;
    if (text.trimmed().isEmpty())
        return QStringLiteral("the text is empty");
    if (text.toUtf8().size() > limits::kAlertTextBytes) {
        if (tooLong)
            *tooLong = true;
        return QStringLiteral("the text is longer than %1 bytes of UTF-8").arg(limits::kAlertTextBytes);
    }
    if (!text.isValidUtf16())
        return QStringLiteral("the text is not valid Unicode");
    if (hasControlCharacter(text, true))
        return QStringLiteral("the text holds a control character");
    return {};
}

std::optional<int> parseId(const QString &text)
{
    if (text.isEmpty() || text.size() > 10)
        return std::nullopt;
    qint64 value = 0; // ten digits fit
    for (const QChar ch : text) {
        if (ch < u'0' || ch > u'9')
            return std::nullopt;
        value = value * 10 + (ch.unicode() - '0');
    }
    if (value < 1 || value > kMaxId)
        return std::nullopt;
    return int(value);
}

bool isMailAddress(const QString &address)
{
    if (!common::IsValidEmail(address))
        return false;
    // Beyond the wizard's check: one mailbox, named.
    const qsizetype at = address.indexOf(u'@');
    return at > 0 && address.indexOf(u'@', at + 1) < 0;
}

bool isTokenLabel(const QString &label)
{
    if (label.isEmpty() || label.size() > limits::kTokenLabel)
        return false;
    return std::all_of(label.cbegin(), label.cend(), [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'.'
            || c == u'_' || c == u'-';
    });
}

bool isTokenText(const QByteArray &token)
{
    if (token.isEmpty() || token.size() > 512)
        return false;
    return std::all_of(token.cbegin(), token.cend(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
            || c == '_' || c == '~' || c == '+' || c == '/' || c == '=';
    });
}

} // namespace alertserver::validation
