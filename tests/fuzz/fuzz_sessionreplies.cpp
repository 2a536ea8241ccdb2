// Any bytes as a login or status reply: an unreadable body is never taken for
// an answer, and a readable one is judged by root child 0 alone.
#include "client/session/SessionRequests.h"

#include "common/HttpExchange.h"
#include "common/NumberReader.h"
#include "common/PositionalXml.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    common::HttpResult result;
    result.ok = true;
    result.status = 200;
    result.body = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));

    const client::LoginAnswer answer = client::readLoginAnswer(result);
    const std::optional<std::int16_t> status = client::readStatus(result);

    common::PositionalXml xml;
    if (!xml.loadText(result.body)) {
        if (answer != client::LoginAnswer::Unreadable || status)
            __builtin_trap();
    } else {
        const QString first = xml.rootChildText(0);
        const client::LoginAnswer expected = first == QLatin1String("1") ? client::LoginAnswer::Accepted
            : first == QLatin1String("0")                                 ? client::LoginAnswer::Refused
            : first == QLatin1String("ERROR")                             ? client::LoginAnswer::ServerError
                                                                          : client::LoginAnswer::Other;
        if (answer != expected || !status || *status != common::readNumber16(first).value)
            __builtin_trap();
    }

    // A failed exchange is unreadable whatever body it holds.
    result.ok = false;
    if (client::readLoginAnswer(result) != client::LoginAnswer::Unreadable || client::readStatus(result))
        __builtin_trap();
    return 0;
}
