#pragma once

#include <QByteArray>
#include <QString>
#include <QList>
#include <QStringView>
#include <optional>

namespace alertserver {

// Text for an XML or HTML element or attribute: the five markup characters
// become entities, and characters that XML 1.0 does not allow at all become
// U+FFFD, so no stored value can make a reply ill-formed.
QString escapeMarkup(QStringView text);

// Builds a reply document: the XML declaration, then the root with its
// children, written without whitespace between elements so that positions
// are all the reader needs.
class XmlReply
{
public:
    explicit XmlReply(const QString &root);
    XmlReply &open(const QString &name);
    XmlReply &element(const QString &name, QStringView text);
    XmlReply &close();
    QByteArray finish();

private:
    QString m_text;
    QList<QString> m_open;
};

// The reply every wizard request reads: child 0 the status word, child 1 the
// reply value where the outcome has one.
QByteArray statusReply(const QString &word, std::optional<int> value = std::nullopt);
// A refused request: status word "ERROR", then why.
QByteArray errorReply(const QString &why);
// The client's replies: one child holding the answer.
QByteArray answerReply(const QString &root, const QString &answer);

} // namespace alertserver
