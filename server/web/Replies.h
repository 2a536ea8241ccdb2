#pragma once

#include "server/web/Http.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace alertserver {

// The replies every page builds from.
namespace replies {

HttpReply xml(QByteArray body, int status = 200);
HttpReply html(QByteArray body, int status = 200);
// A reply that no program reads as an answer: the wizard's pages and the
// client take it as unreadable and recover as from a broken connection.
HttpReply notXml(int status, const QByteArray &why);
HttpReply json(int status, const QJsonObject &object);
// {"error": why}, the publishing interface's refusal.
HttpReply jsonError(int status, const QString &why);
// <reply><status>ERROR</status><message>why</message></reply>
HttpReply xmlError(int status, const QString &why);

} // namespace replies

// How a page says no, in the form the program that calls it reads as a
// failure.
struct Refusal
{
    enum class Form {
        Xml,    // the ERROR reply of the programs' wire, with why
        NotXml, // the user list pages: it reads any other XML as users
        Json,   // the publishing interface
    };
    Form form = Form::Xml;
    // What the wizard reads as this page's failure when a rule turns the
    // request down (a browser, a binding, a limit): "INVALID" for the
    // login, "CANOTADD" for a new user. None: the form's own refusal.
    const char *word = nullptr;

    // A request the page cannot carry out: malformed, unknown, or failed.
    HttpReply reply(int status, const QString &why) const;
    // A request a rule turned down.
    HttpReply turnedDown(int status) const;
};

} // namespace alertserver
