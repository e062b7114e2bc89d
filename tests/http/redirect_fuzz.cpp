// Fuzz target for redirect resolution: the first line is the URL of the
// request, the rest the Location header of its answer. What comes back must
// be a plain "http://" URL the next request can take apart, with no blank or
// control byte, or be refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/HttpClient.h"
#include "http/HttpMessage.h"

namespace {

using namespace ambrel;

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = input.find('\n');
    if (newline == std::string_view::npos) return 0;
    // The request's URL passed the client's checks: no blank or control
    // byte inside.
    const std::string_view base = input.substr(0, newline);
    for (char c : base)
        if (static_cast<unsigned char>(c) <= 32 || c == 127) return 0;
    HttpRequest from;
    from.setUrl(base);
    std::string url;
    try {
        url = HttpClient::resolveRedirect(input.substr(newline + 1), from);
    } catch (const HttpClient::BadResponseException&) {
        return 0;
    }
    check(url.starts_with("http://"));
    for (char c : url) check(static_cast<unsigned char>(c) > 32 && c != 127);
    HttpRequest next;
    next.setUrl(url);
    check(!next.path.empty() && (next.path.front() == '/' || next.path.front() == '?'));
    return 0;
}
