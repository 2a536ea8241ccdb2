#pragma once

#include "server/http/Engine.h"

#include <string>

namespace alertserver::http {

// One connection's life, from the accept to the close, over plain TCP or TLS
// as the engine serves: the handshake and the head within the head deadline,
// the body within the body deadline, the request to a worker, the reply back,
// and a graceful close; then the next request, or the close. It takes its
// place with the admission first.
void startConnection(Engine &engine, tcp::socket socket, const net::ip::address &peer);

} // namespace alertserver::http
