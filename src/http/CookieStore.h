// Cookies kept by one HttpClient for its lifetime ("expires" is not evaluated).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ambrel {

class HttpRequest;
class HttpResponse;

class CookieStore {
public:
    struct Cookie {
        std::string name;  // lower case
        std::string value;
    };
    struct Entry {
        std::string domain;  // lower case
        std::string path;    // lower case
        std::vector<Cookie> cookies;
    };

    // The "Cookie" header value for a request: every cookie of every entry
    // whose domain ends the request's host part (host[:port]) and whose path
    // begins its path, as name=value separated by ";". Empty when none apply.
    std::string cookieHeader(const HttpRequest& request) const;

    // Stores the cookies of every "Set-Cookie" header of the response to that
    // request. The domain is the "domain" attribute, else the request's host
    // (and ":port" unless 80); the path is the "path" attribute, else empty.
    void store(const HttpRequest& request, const HttpResponse& response);

    // Sets one cookie in the entry of that domain and path (case-insensitive),
    // appending the entry or the cookie when missing.
    void set(std::string_view domain, std::string_view path, std::string_view name, std::string_view value);

    const std::vector<Entry>& entries() const { return entries_; }
    void clear() { entries_.clear(); }

private:
    std::vector<Entry> entries_;
};

}  // namespace ambrel
