#include "http/CookieStore.h"

#include "http/HttpMessage.h"

namespace ambrel {

namespace {

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::string CookieStore::cookieHeader(const HttpRequest& request) const {
    std::string url = request.absoluteUrl();
    std::string_view rest = url;
    if (startsWith(rest, "http://")) rest.remove_prefix(7);
    std::size_t slash = rest.find('/');
    // Stored domains and paths are lower case: compare with the folded URL.
    std::string hostPart = http::toLower(rest.substr(0, slash));
    std::string path = slash == std::string_view::npos ? std::string() : http::toLower(rest.substr(slash));
    std::string header;
    for (const Entry& entry : entries_) {
        if (!endsWith(hostPart, entry.domain) || !startsWith(path, entry.path)) continue;
        for (const Cookie& cookie : entry.cookies) {
            if (!header.empty()) header += ';';
            header += cookie.name;
            header += '=';
            header += cookie.value;
        }
    }
    return header;
}

void CookieStore::set(std::string_view domain, std::string_view path, std::string_view name,
                      std::string_view value) {
    std::string d = http::toLower(domain);
    std::string p = http::toLower(path);
    std::string n = http::toLower(name);
    Entry* entry = nullptr;
    for (Entry& e : entries_) {
        if (e.domain == d && e.path == p) {
            entry = &e;
            break;
        }
    }
    if (entry == nullptr) {
        entries_.push_back(Entry{d, p, {}});
        entry = &entries_.back();
    }
    for (Cookie& c : entry->cookies) {
        if (c.name == n) {
            c.value = std::string(value);
            return;
        }
    }
    entry->cookies.push_back(Cookie{n, std::string(value)});
}

void CookieStore::store(const HttpRequest& request, const HttpResponse& response) {
    for (int i = response.findHeader("set-cookie"); i >= 0; i = response.findHeader("set-cookie", i + 1)) {
        std::string_view value = response.headers()[static_cast<std::size_t>(i)].value;
        struct Piece {
            std::string name;
            std::string value;
        };
        std::vector<Piece> pieces;
        std::string domain = request.port == 80 ? request.host : request.host + ":" + std::to_string(request.port);
        std::string path;
        std::size_t start = 0;
        while (start <= value.size()) {
            std::size_t semi = value.find(';', start);
            std::string_view piece = value.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start);
            std::size_t eq = piece.find('=');
            std::string name(http::trim(piece.substr(0, eq)));
            std::string v = eq == std::string_view::npos ? std::string() : std::string(http::trim(piece.substr(eq + 1)));
            std::string lower = http::toLower(name);
            if (lower == "domain") {
                domain = v;
            } else if (lower == "path") {
                path = v;
            } else if (lower != "expires" && !name.empty()) {
                // An empty piece (";;" or a final ";") is not a cookie.
                pieces.push_back(Piece{name, v});
            }
            if (semi == std::string_view::npos) break;
            start = semi + 1;
        }
        for (const Piece& p : pieces) set(domain, path, p.name, p.value);
    }
}

}  // namespace ambrel
