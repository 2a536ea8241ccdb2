#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <optional>
#include <utility>

namespace alertserver {

// The pairs of a query string or an application/x-www-form-urlencoded body,
// in the order they came, repeated keys kept (the registration sends "email"
// twice, the e-mail request "mails[]" once per address).
class FormData
{
public:
    // Strict: every pair is "key=value" with a non-empty key, every "%" is
    // followed by two hex digits, the decoded text is valid UTF-8 without NUL.
    // An empty text is an empty form. Anything else is refused (no value).
    static std::optional<FormData> parse(QByteArrayView encoded);

    bool has(const QString &key) const;
    int count(const QString &key) const;
    // The last value of a repeated key (what a form handler sees), "" if absent.
    QString value(const QString &key) const;
    QString first(const QString &key) const;
    QList<QString> all(const QString &key) const;
    const QList<std::pair<QString, QString>> &pairs() const { return m_pairs; }

private:
    QList<std::pair<QString, QString>> m_pairs;
};

} // namespace alertserver
