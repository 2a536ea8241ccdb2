#pragma once

#include "FormData.h"
#include "MailDelivery.h"
#include "SkinLibrary.h"
#include "Store.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace alertserver {

struct HttpRequest
{
    QByteArray method;
    QByteArray target;   // path and query exactly as they arrived
    QByteArray body;
    QByteArray host;     // the Host header; never used to build addresses
    // The caller's address as text ("127.0.0.2", "::1"): the TCP peer, or the
    // address a trusted proxy forwarded for. Rules that speak of "the caller"
    // use this and nothing else.
    QByteArray peer;
    // Every header field in the order it arrived, names as sent.
    QList<std::pair<QByteArray, QByteArray>> headers;

    // The first value of a header, its name compared without case.
    QByteArray header(const QByteArray &name) const
    {
        for (const auto &[key, value] : headers)
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        return {};
    }
};

struct HttpReply
{
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    // Further header fields (WWW-Authenticate, Retry-After).
    QList<std::pair<QByteArray, QByteArray>> headers = {};
};

// Longest accepted value of each kind of field. Longer values are refused
// rather than cut, so nothing is stored other than what was sent.
namespace limits {
constexpr int kUserName = 64;
constexpr int kPassword = 128;
constexpr int kName = 100;      // first and last name, company, country, state, city, carrier
constexpr int kAddress = 255;
constexpr int kEmail = 254;
constexpr int kPhone = 40;
constexpr int kPostalCode = 20;
// An alert's text, in bytes of UTF-8, however it is raised.
constexpr int kAlertTextBytes = 4096;
constexpr int kMaxBodyBytes = 1024 * 1024;
// A request to the publishing interface: a few thousand user names and the
// text, escaped as JSON may escape it, fit with room to spare.
constexpr int kMaxApiBodyBytes = 256 * 1024;
} // namespace limits

// Whether an e-mail address may be stored: it passes the wizard's own check
// (an "@" with a "." after it, a last piece of two or three letters, nothing
// but letters, digits and ". @ - _"), and has one "@" with a name before it,
// so it names one mailbox.
bool isMailAddress(const QString &address);

// Every endpoint of the alert server, independent of the HTTP library: one
// call per request, safe to run on many threads at once.
class AlertService
{
public:
    // The access code the wizard sends with every e-mail request.
    static constexpr const char *kMailAccessCode = "q804";
    // How many alerts the alert page lists.
    static constexpr int kAlertsShown = 200;

    AlertService(Store &store, MailDelivery &mail, const SkinLibrary &skins, QString fallbackBase);

    HttpReply handle(const HttpRequest &request);
    // The request target as a log may show it: the values of "password" and
    // "code" (the activation code) are hidden.
    static QByteArray loggableTarget(const QByteArray &target);
    // The path of the publishing interface.
    static constexpr const char *kPublishPath = "/api/v1/alerts";
    // What a request refused before it reached the service is answered:
    // JSON on the publishing interface, XML everywhere else.
    static HttpReply refusalFor(const QByteArray &target, int status, const QString &why);
    // Why an alert text cannot be raised ("" when it can): empty, longer
    // than kAlertTextBytes of UTF-8, or holding control characters other
    // than line ends and tabs. `tooLong` is set when that is the reason.
    static QString alertTextProblem(const QString &text, bool *tooLong = nullptr);
    // Both are set before serving starts. Addresses in skins, pages and
    // e-mails start with the public base when one is set, else with the
    // fallback base (the address the server listens on); never with what a
    // request says.
    void setFallbackBase(const QString &base) { m_fallbackBase = base; }
    void setPublicBase(const QString &base) { m_publicBase = base; }

private:
    struct Context
    {
        const HttpRequest &request;
        FormData query;
        FormData body;
        QString base; // scheme and host the caller reached us by
    };

    HttpReply route(const QByteArray &path, Context &c);
    // POST /api/v1/alerts
    HttpReply publish(const HttpRequest &request, const QByteArray &query);

    // client
    HttpReply skin(Context &c);
    HttpReply skinPicture(const QByteArray &path);
    HttpReply clientLogin(Context &c);
    HttpReply status(Context &c);
    HttpReply alertPage(Context &c);
    HttpReply profilePage(Context &c);
    HttpReply downloadPage(Context &c);
    // administrators
    HttpReply registerAdmin(Context &c);
    HttpReply activate(Context &c);
    HttpReply adminLogin(Context &c);
    HttpReply listUsers(Context &c);
    HttpReply addUser(Context &c);
    HttpReply editUser(Context &c);
    HttpReply deleteUser(Context &c);
    HttpReply sendEmail(Context &c);

    // What an administrator page answers when it refuses a request: what the
    // wizard reads as a failure on that page.
    static HttpReply refusal(const QByteArray &page, int status);
    // The client session of the caller: its address, or the one session of
    // the user when sessions are per user.
    QString sessionOf(const HttpRequest &request) const;
    QString baseFor(const HttpRequest &request) const;

    Store &m_store;
    MailDelivery &m_mail;
    const SkinLibrary &m_skins;
    QString m_fallbackBase;
    QString m_publicBase;
};

} // namespace alertserver
