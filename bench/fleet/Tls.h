#pragma once
// The run's certificate, and single requests over TLS for setting up.

#include <cstdint>
#include <string>

namespace fleet {

// A self-signed certificate for 127.0.0.1 and its key, PEM: ECDSA P-256,
// or RSA 2048 with `rsa`.
bool makeCertificate(const std::string &certificateFile, const std::string &keyFile, bool rsa, std::string *error);

struct Fetched
{
    std::string error; // empty when a whole reply came
    int status = 0;
    std::string head, body;
};

// One request on a new TLS connection from the source address `from`,
// waiting for the whole reply.
Fetched fetch(int port, uint32_t from, const std::string &request, int timeoutSeconds = 30);

} // namespace fleet
