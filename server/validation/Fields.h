#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace alertserver {

class FormData;

// Every rule a value must meet before the server stores it or acts on it,
// for the pages and the command line alike.
namespace validation {

// A field of a form: its key, its longest value, and whether it may be empty.
struct Field
{
    const char *key;
    int maxLength;
    bool required;
};

// What a value must be: at most so long, maybe not empty, and without
// control characters (line ends and tabs allowed where `multiline`).
struct Rule
{
    int maxLength;
    bool required;
    bool multiline = false;
};

// Why `value` cannot be `name` ("the user name", "field email"); "" when it
// can.
QString problem(const QString &name, const QString &value, const Rule &rule);
// Why the form does not carry the fields as required; "" when it does.
QString formProblem(const FormData &form, const QList<Field> &fields, bool multiline = false);

// Control characters: below U+0020 and DEL; line ends and tabs pass where
// `multiline`.
bool hasControlCharacter(const QString &text, bool multiline);

// Why an alert text cannot be raised ("" when it can): empty, longer than
// limits::kAlertTextBytes of UTF-8, or holding control characters other
// than line ends and tabs. `tooLong` is set when that is the reason.
QString alertTextProblem(const QString &text, bool *tooLong = nullptr);

// An id as the programs send it: decimal digits only, 1 to 32767.
std::optional<int> parseId(const QString &text);

// Whether an e-mail address may be stored: it passes the wizard's own check
// (common::IsValidEmail), and has one "@" with a name before it, so it
// names one mailbox.
bool isMailAddress(const QString &address);

// Whether a label may name a publishing token: 1 to limits::kTokenLabel
// letters, digits, ". _ -".
bool isTokenLabel(const QString &label);
// The characters of a bearer token (RFC 6750's b64token); ours are base64url.
bool isTokenText(const QByteArray &token);

} // namespace validation
} // namespace alertserver
