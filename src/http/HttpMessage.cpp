#include "http/HttpMessage.h"

#include <algorithm>
#include <climits>

namespace ambrel {

namespace http {

std::string_view trim(std::string_view text) {
    std::size_t b = 0;
    std::size_t e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= 32) ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32) --e;
    return text.substr(b, e - b);
}

static char lowerByte(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string toLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = lowerByte(c);
    return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerByte(a[i]) != lowerByte(b[i])) return false;
    }
    return true;
}

int64_t decimalValue(std::string_view text) {
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        int digit = c - '0';
        if (value > (INT64_MAX - digit) / 10) return INT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace http

// --- HttpMessage -----------------------------------------------------------

void HttpMessage::clear() {
    startLine_.clear();
    headers_.clear();
    body_.clear();
    raw_.clear();
    position_ = 0;
    pendingSkip_ = 0;
    state_ = kStartLine;
    contentLength_ = -1;
    hasLength_ = -1;
}

int HttpMessage::findHeader(std::string_view name, int from) const {
    for (std::size_t i = static_cast<std::size_t>(std::max(from, 0)); i < headers_.size(); ++i) {
        if (http::equalsIgnoreCase(headers_[i].name, name)) return static_cast<int>(i);
    }
    return -1;
}

std::string HttpMessage::headerValue(std::string_view name) const {
    int i = findHeader(name);
    return i < 0 ? std::string() : headers_[static_cast<std::size_t>(i)].value;
}

void HttpMessage::setHeader(std::string_view name, std::string_view value) {
    int i = findHeader(name);
    if (i < 0) {
        addHeader(name, value);
    } else {
        headers_[static_cast<std::size_t>(i)].value = std::string(value);
    }
}

void HttpMessage::addHeader(std::string_view name, std::string_view value) {
    headers_.push_back(HttpHeader{std::string(name), std::string(value)});
}

void HttpMessage::removeHeader(std::string_view name) {
    std::erase_if(headers_, [&](const HttpHeader& h) { return http::equalsIgnoreCase(h.name, name); });
}

void HttpMessage::feed(std::string_view bytes) {
    if (state_ == kComplete || bytes.empty()) return;
    if (state_ == kBody) {
        if (pendingSkip_ != 0) {
            if (bytes.front() == pendingSkip_) bytes.remove_prefix(1);
            pendingSkip_ = 0;
        }
        appendBody(bytes);
        return;
    }
    raw_.append(bytes);
    parseLines();
}

void HttpMessage::parseLines() {
    while (state_ < kBody) {
        if (pendingSkip_ != 0 && position_ < raw_.size()) {
            if (raw_[position_] == pendingSkip_) ++position_;
            pendingSkip_ = 0;
        }
        std::size_t end = raw_.find_first_of("\r\n", position_);
        if (end == std::string::npos) break;
        std::string_view line = http::trim(std::string_view(raw_).substr(position_, end - position_));
        // A line end is CR LF, LF CR, or either byte alone.
        char other = raw_[end] == '\r' ? '\n' : '\r';
        std::size_t next = end + 1;
        if (next == raw_.size()) {
            pendingSkip_ = other;
        } else if (raw_[next] == other) {
            ++next;
        }
        std::string text(line);
        position_ = next;
        if (state_ == kStartLine) {
            startLine_ = text;
            parseStartLine(startLine_);
            state_ = kHeaders;
        } else if (text.empty()) {
            headComplete();
        } else {
            std::size_t colon = text.find(':');
            if (colon == std::string::npos || colon == 0) throw HttpException();
            std::string_view name = http::trim(std::string_view(text).substr(0, colon));
            std::string_view value = http::trim(std::string_view(text).substr(colon + 1));
            addHeader(name, value);
            if (http::equalsIgnoreCase(name, "content-length")) contentLength_ = http::decimalValue(value);
        }
    }
    // Parsed lines are dropped so that a long head does not grow the buffer.
    if (state_ < kBody && position_ > 0) {
        raw_.erase(0, position_);
        position_ = 0;
    }
}

void HttpMessage::headComplete() {
    state_ = kBody;
    int i = findHeader("Content-Length");
    hasLength_ = i >= 0 ? 1 : 0;
    contentLength_ = i >= 0 ? http::decimalValue(headers_[static_cast<std::size_t>(i)].value) : 0;
    std::string rest = raw_.substr(position_);
    raw_.clear();
    position_ = 0;
    if (!rest.empty()) pendingSkip_ = 0;
    appendBody(rest);
}

void HttpMessage::appendBody(std::string_view bytes) {
    if (hasLength_ == 1) {
        uint64_t room = static_cast<uint64_t>(contentLength_) - body_.size();
        if (bytes.size() > room) bytes = bytes.substr(0, static_cast<std::size_t>(room));
        body_.append(bytes);
        if (static_cast<int64_t>(body_.size()) == contentLength_) state_ = kComplete;
    } else {
        body_.append(bytes);
    }
}

// --- HttpRequest -----------------------------------------------------------

void HttpRequest::clear() {
    HttpMessage::clear();
    method = "GET";
    scheme = "http";
    host.clear();
    port = 80;
    path = "/";
    version = "HTTP/1.0";
    absoluteForm = false;
}

void HttpRequest::setUrl(std::string_view url) {
    url = http::trim(url);
    scheme.clear();
    host.clear();
    path.clear();
    port = 80;
    std::size_t sep = url.find("://");
    if (sep == std::string_view::npos) {
        path = std::string(url);
        absoluteForm = false;
    } else {
        scheme = std::string(url.substr(0, sep));
        std::string_view rest = url.substr(sep + 3);
        std::size_t slash = rest.find('/');
        std::string_view hostPart = rest;
        if (slash == std::string_view::npos) {
            path = "/";
        } else {
            hostPart = rest.substr(0, slash);
            path = std::string(rest.substr(slash));
        }
        // An IPv6 host stays in its brackets ("[::1]"), as the Host header
        // and the URL need it; the port is after them.
        const bool bracketed = !hostPart.empty() && hostPart.front() == '[';
        std::size_t colon = hostPart.find(':', bracketed ? hostPart.find(']') : 0);
        if (colon == std::string_view::npos) {
            host = std::string(hostPart);
        } else {
            host = std::string(hostPart.substr(0, colon));
            port = static_cast<int>(std::min<int64_t>(http::decimalValue(hostPart.substr(colon + 1)), INT_MAX));
        }
        absoluteForm = true;
    }
    if (scheme.empty()) scheme = "http";
    if (path.empty()) path = "/";
}

std::string HttpRequest::absoluteUrl() const {
    std::string url = scheme + "://" + host;
    if (port != 80 && port != 0) url += ":" + std::to_string(port);
    return url + path;
}

std::string HttpRequest::target() const { return absoluteForm ? absoluteUrl() : path; }

std::string HttpRequest::wireForm() {
    if (!host.empty()) {
        setHeader("Host", port == 80 ? host : host + ":" + std::to_string(port));
    }
    startLine_ = method + " " + target() + " " + version;
    std::string out = startLine_ + "\r\n";
    for (const HttpHeader& h : headers()) {
        out += h.name;
        out += ": ";
        out += h.value;
        out += "\r\n";
    }
    out += "\r\n";
    out += body();
    return out;
}

namespace {

// A start line split at its first space into the first word and the trimmed
// rest; no space, or a space first, is malformed.
std::pair<std::string_view, std::string_view> splitStartLine(std::string_view line) {
    line = http::trim(line);
    std::size_t sp = line.find(' ');
    if (sp == std::string_view::npos || sp == 0) throw HttpException();
    return {line.substr(0, sp), http::trim(line.substr(sp + 1))};
}

}  // namespace

void HttpRequest::parseStartLine(std::string_view line) {
    auto [first, rest] = splitStartLine(line);
    method = std::string(first);
    std::size_t sp2 = rest.find(' ');
    if (sp2 == std::string_view::npos) {
        path = std::string(rest);
        version.clear();
    } else {
        path = std::string(rest.substr(0, sp2));
        version = std::string(http::trim(rest.substr(sp2 + 1)));
    }
}

// --- HttpResponse ----------------------------------------------------------

void HttpResponse::clear() {
    HttpMessage::clear();
    version.clear();
    statusCode = 0;
    reason.clear();
}

void HttpResponse::parseStartLine(std::string_view line) {
    auto [first, rest] = splitStartLine(line);
    version = std::string(first);
    std::size_t sp2 = rest.find(' ');
    statusCode = static_cast<int>(std::min<int64_t>(http::decimalValue(rest.substr(0, sp2)), INT_MAX));
    reason = sp2 == std::string_view::npos ? std::string() : std::string(http::trim(rest.substr(sp2 + 1)));
}

// --- ChunkedDecoder ----------------------------------------------------------

std::size_t ChunkedDecoder::feed(std::string_view bytes, std::string& out) {
    std::size_t at = 0;
    while (at < bytes.size() && state_ != kDone) {
        if (state_ == kData) {
            std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(left_, bytes.size() - at));
            out.append(bytes.substr(at, n));
            at += n;
            left_ -= n;
            if (left_ == 0) state_ = kDataEnd;
            continue;
        }
        std::size_t lf = bytes.find('\n', at);
        std::size_t end = lf == std::string_view::npos ? bytes.size() : lf;
        if (line_.size() + (end - at) > kLineLimit) throw HttpException();
        line_.append(bytes.substr(at, end - at));
        at = end;
        if (lf == std::string_view::npos) break;
        ++at;
        if (!line_.empty() && line_.back() == '\r') line_.pop_back();
        lineComplete();
        line_.clear();
    }
    return at;
}

void ChunkedDecoder::lineComplete() {
    switch (state_) {
    case kSize: {
        std::string_view text = http::trim(std::string_view(line_).substr(0, line_.find(';')));
        if (text.empty()) throw HttpException();
        uint64_t size = 0;
        for (char c : text) {
            int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
            if (digit < 0 || size > (uint64_t(1) << 52)) throw HttpException();
            size = size * 16 + static_cast<uint64_t>(digit);
        }
        left_ = size;
        state_ = size == 0 ? kTrailer : kData;
        break;
    }
    case kDataEnd:
        if (!line_.empty()) throw HttpException();
        state_ = kSize;
        break;
    case kTrailer:
        if (line_.empty()) {
            state_ = kDone;
        } else if (++trailers_ > kTrailerLimit) {
            throw HttpException();
        }
        break;
    default:
        break;
    }
}

}  // namespace ambrel
