#pragma once

#include "server/store/Records.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace alertserver {

// The HTML pages the server renders. Every value from the store or the
// request is escaped before it is written into a page.
namespace pages {

// Where every page's style sheet is served, and what it holds.
constexpr const char *kStyleSheetPath = "/alertsystem/pages.css";
QByteArray styleSheet();

// A page with a heading and paragraphs of plain text.
QByteArray simple(const QString &title, const QStringList &paragraphs);

// The alert page the client shows after login: the user's alerts, newest
// first, each with its priority in words, its time, whether it expired (as
// of `now`), was resolved or acknowledged, and until then a form that
// acknowledges it (when it carries a token). `user` is empty for an unknown
// name.
QByteArray alerts(const std::optional<UserRecord> &user, const QList<AlertRecord> &list, qint64 now);

QByteArray profile(const std::optional<UserRecord> &user);

// The fixed link pages of the skin (web site, contact, about, help, the
// registration and the password reminder page), by their short name; an
// empty answer for an unknown name.
QByteArray link(const QString &name, const QString &base);

} // namespace pages
} // namespace alertserver
