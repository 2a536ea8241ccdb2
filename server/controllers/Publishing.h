#pragma once

#include "server/web/Http.h"

namespace alertserver {

class Store;
struct PageRequest;

// The publishing interface: programs and scripts raise alerts with an
// administrator's token (POST /api/v1/alerts), in JSON or as plain text.
class Publishing
{
public:
    explicit Publishing(Store &store) : m_store(store) {}

    HttpReply publish(PageRequest &r);

private:
    Store &m_store;
};

} // namespace alertserver
