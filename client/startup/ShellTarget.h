#pragma once

#include <QString>
#include <QUrl>

namespace client {

// The address OpenInShell hands to the desktop for a target, or an empty QUrl
// when the target is refused (empty, unparsable, or not http/https/mailto):
// the targets come from the server, and nothing it sends may start a local
// program or open a local file.
QUrl shellTarget(const QString &target);

} // namespace client
