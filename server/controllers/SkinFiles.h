#pragma once

#include "server/web/Http.h"

namespace alertserver {

class Links;
class SkinLibrary;
struct PageRequest;

// Skins and their pictures: the 24 values the client's loading window reads,
// and the pictures it downloads after them.
class SkinFiles
{
public:
    SkinFiles(const SkinLibrary &skins, const Links &links) : m_skins(skins), m_links(links) {}

    HttpReply values(PageRequest &r);  // notifytype.php?id=
    HttpReply picture(PageRequest &r); // skins/<id>/<file>

private:
    const SkinLibrary &m_skins;
    const Links &m_links;
};

} // namespace alertserver
