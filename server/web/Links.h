#pragma once

#include <QString>

namespace alertserver {

// Where addresses in skins, pages and mails point: the public address when
// one is set, else the address the server listens on. Never what a request
// says: a forged Host header would otherwise put a stranger's address into an
// activation mail or a client's skin. Both are set before serving starts.
class Links
{
public:
    explicit Links(QString fallbackBase = {}) : m_fallbackBase(std::move(fallbackBase)) {}
    void setFallbackBase(const QString &base) { m_fallbackBase = base; }
    void setPublicBase(const QString &base) { m_publicBase = base; }
    // "https://alerts.example.org", without a trailing "/".
    const QString &base() const { return m_publicBase.isEmpty() ? m_fallbackBase : m_publicBase; }

private:
    QString m_fallbackBase;
    QString m_publicBase;
};

} // namespace alertserver
