// Address texts as users, contacts files and the network browse give them:
// the literal parser and the host:port split must never crash, and every
// address they accept must read back the same from its own text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "link/Socket.h"

using namespace ambrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    looksLikeAddressLiteral(text);
    std::string host, port;
    if (splitHostPort(text, host, port) && host.size() > text.size()) std::abort();
    const std::string split = host;
    for (std::string_view candidate : {text, std::string_view(split)}) {
        // The parser takes zero-terminated text through the resolver: an
        // inner NUL must not make it read something else.
        SocketAddress a;
        if (!parseAddressLiteral(candidate, a)) continue;
        SocketAddress again;
        if (!parseAddressLiteral(a.hostText(), again) || !(again == a)) std::abort();
        const std::string shown = a.text();
        if (!splitHostPort(shown, host, port) || std::stoi(port) != 0) std::abort();
    }
    return 0;
}
