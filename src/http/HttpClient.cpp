#include "http/HttpClient.h"

#include <sys/socket.h>

#include <algorithm>
#include <climits>

namespace ambrel {

namespace {

// scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." )
bool isScheme(std::string_view text) {
    auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (text.empty() || !alpha(text.front())) return false;
    return std::all_of(text.begin(), text.end(), [&](char c) {
        return alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    });
}

// The "remove_dot_segments" step of reference resolution (RFC 3986 5.2.4).
std::string removeDotSegments(std::string_view in) {
    std::string out;
    while (!in.empty()) {
        if (in.starts_with("../")) {
            in.remove_prefix(3);
        } else if (in.starts_with("./")) {
            in.remove_prefix(2);
        } else if (in.starts_with("/./")) {
            in.remove_prefix(2);
        } else if (in == "/.") {
            in = "/";
        } else if (in.starts_with("/../") || in == "/..") {
            in = in.size() == 3 ? std::string_view("/") : in.substr(3);
            std::size_t slash = out.rfind('/');
            out.erase(slash == std::string::npos ? 0 : slash);
        } else if (in == "." || in == "..") {
            in = {};
        } else {
            std::size_t next = in.find('/', 1);
            if (next == std::string_view::npos) next = in.size();
            out.append(in.substr(0, next));
            in.remove_prefix(next);
        }
    }
    return out;
}

// Refuses a URL with a blank or a control byte inside (it would break the
// request line, or add to it), and an absolute URL without a host or with a
// port outside 1..65535.
void checkUrl(std::string_view url) {
    url = http::trim(url);
    if (std::any_of(url.begin(), url.end(), [](char c) { return static_cast<unsigned char>(c) <= 32 || c == 127; }))
        throw HttpClient::InvalidUrlException();
    std::size_t sep = url.find("://");
    if (sep == std::string_view::npos) return;
    std::string_view authority = url.substr(sep + 3);
    authority = authority.substr(0, authority.find('/'));
    // An IPv6 literal in brackets has colons of its own.
    std::size_t colon = authority.find(':', authority.starts_with('[') ? authority.find(']') : 0);
    if (authority.substr(0, colon).empty()) throw HttpClient::InvalidUrlException();
    if (colon == std::string_view::npos) return;
    std::string_view port = authority.substr(colon + 1);
    if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) {
            return c >= '0' && c <= '9';
        })) {
        throw HttpClient::InvalidUrlException();
    }
    int64_t value = http::decimalValue(port);
    if (value < 1 || value > 65535) throw HttpClient::InvalidUrlException();
}

bool chunked(const HttpResponse& response) {
    std::string coding = response.headerValue("Transfer-Encoding");
    std::size_t comma = coding.rfind(',');
    if (comma != std::string::npos) coding.erase(0, comma + 1);
    return http::equalsIgnoreCase(http::trim(coding), "chunked");
}

}  // namespace

HttpClient::HttpClient() : reader_(source_) {}

HttpClient::~HttpClient() { closeConnection(); }

void HttpClient::get(std::string_view url, std::string& out) {
    perform(Mode::kBuffer, "GET", std::string(url), {}, &out);
}

InputStream& HttpClient::getStream(std::string_view url) {
    perform(Mode::kStream, "GET", std::string(url), {}, nullptr);
    return reader_;
}

void HttpClient::post(std::string_view url, std::string_view body, std::string& out) {
    perform(Mode::kBuffer, "POST", std::string(url), body, &out);
}

void HttpClient::setHeader(std::string_view name, std::string_view value) {
    if (name.empty()) return;
    auto it = std::find_if(extraHeaders_.begin(), extraHeaders_.end(),
                           [&](const HttpHeader& h) { return http::equalsIgnoreCase(h.name, name); });
    if (value.empty()) {
        if (it != extraHeaders_.end()) extraHeaders_.erase(it);
    } else if (it != extraHeaders_.end()) {
        it->value = std::string(value);
    } else {
        extraHeaders_.push_back(HttpHeader{std::string(name), std::string(value)});
    }
}

void HttpClient::abort() {
    aborted_ = true;
    std::lock_guard<std::mutex> lock(socketMutex_);
    // shutdown, not close: the owner thread still holds the descriptor and
    // must not find its number reused. Its blocked wait returns at once.
    if (socket_.handle != kNoSocket) ::shutdown(socket_.handle, SHUT_RDWR);
}

void HttpClient::checkAborted() const {
    if (aborted_) throw AbortedException();
}

// --- time ------------------------------------------------------------------

void HttpClient::startDeadline() {
    deadline_ = monotonicMilliseconds() + static_cast<int64_t>(std::max(timeout_, 0)) * 1000;
}

int HttpClient::timeLeft() const {
    if (timeout_ < 0) return -1;
    int64_t left = deadline_ - monotonicMilliseconds();
    return static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
}

bool HttpClient::deadlinePassed() const { return timeout_ >= 0 && monotonicMilliseconds() >= deadline_; }

// --- one request -------------------------------------------------------------

void HttpClient::perform(Mode mode, std::string method, std::string url, std::string_view body,
                         std::string* out) {
    checkAborted();
    // One deadline for the request and all the redirects it follows.
    startDeadline();
    for (int redirects = 0;; ++redirects) {
        prepare(method, url);
        if (method == "POST") {
            request_.body() = std::string(body);
            request_.setHeader("Content-Length", std::to_string(body.size()));
        }
        if (!readResponse(mode, send())) {
            // The server closed the kept connection just as the request went
            // out, most likely unseen: a request that is safe to repeat goes
            // once more on a new connection. readResponse refuses this for
            // any other.
            openConnection();
            sendBytes(request_.wireForm());
            readResponse(mode, false);
        }
        decideKeepAlive(mode);
        if (cookies_) cookieStore_.store(request_, response_);
        checkAborted();

        int status = response_.statusCode;
        if (status == 301 || status == 302 || status == 303) {
            if (followRedirects_) {
                if (redirects == kMaxRedirects) throw BadResponseException();
                url = redirectUrl();
                method = "GET";
                body = {};
                continue;
            }
        } else if (status == 401) {
            throw AuthenticationRequiredException();
        } else if (status == 407) {
            proxyAuthentication();
        } else if (status != 200) {
            throw BadResponseException();
        }
        if (out != nullptr) out->swap(body_);
        body_.clear();
        return;
    }
}

void HttpClient::prepare(const std::string& method, const std::string& url) {
    checkUrl(url);
    request_.clear();
    request_.method = method;
    request_.setUrl(url);
    request_.version = "HTTP/1.0";
    request_.absoluteForm = proxy_.type == ProxySettings::kHttpProxy;
    if (cookies_) {
        std::string cookie = cookieStore_.cookieHeader(request_);
        if (!cookie.empty()) request_.addHeader("Cookie", cookie);
    }
    for (const HttpHeader& h : extraHeaders_) request_.addHeader(h.name, h.value);
    if (keepAlive_) {
        request_.setHeader("Connection", "Keep-Alive");
        if (proxy_.type == ProxySettings::kHttpProxy) request_.setHeader("Proxy-Connection", "Keep-Alive");
    }
}

// --- connection ----------------------------------------------------------------

bool HttpClient::connectionUsable() {
    if (socket_.handle == kNoSocket || closeAfterBody_) return false;
    // Bytes left over from an earlier answer mean the connection is out of step.
    if (reader_.buffered() > 0) return false;
    try {
        // Readable while idle: the server has closed the connection or sent
        // something unexpected. Either way it cannot carry the next request.
        if (waitReadable(socket_.handle, 0)) return false;
    } catch (const Exception&) {
        return false;
    }
    if (proxy_.type != ProxySettings::kHttpProxy &&
        (connectedHost_ != request_.host || connectedPort_ != request_.port)) {
        return false;
    }
    return true;
}

void HttpClient::closeConnection() {
    std::lock_guard<std::mutex> lock(socketMutex_);
    socket_.close();
    source_.setHandle(kNoSocket);
    reader_.reset();
    connectedHost_.clear();
    connectedPort_ = 0;
    closeAfterBody_ = false;
}

void HttpClient::openConnection() {
    closeConnection();
    {
        std::lock_guard<std::mutex> lock(socketMutex_);
        checkAborted();
        socket_.openStream();
        source_.setHandle(socket_.handle);
    }
    std::string host = request_.host;
    int port = request_.port;
    if (proxy_.type == ProxySettings::kHttpProxy && !proxy_.host.empty() && proxy_.port != 0) {
        host = proxy_.host;
        port = proxy_.port;
    }
    proxy_.connectTimeout = timeLeft();
    try {
        ProxyClient::connect(socket_, host, port, proxy_, proxy_.connectTimeout);
        checkAborted();
    } catch (...) {
        closeConnection();
        throw;
    }
    connectedHost_ = request_.host;
    connectedPort_ = request_.port;
}

bool HttpClient::send() {
    bool reused = connectionUsable();
    if (!reused) openConnection();
    std::string bytes = request_.wireForm();
    try {
        sendBytes(bytes);
    } catch (const AbortedException&) {
        throw;
    } catch (const TimeoutException&) {
        throw;
    } catch (const Exception&) {
        // A kept connection may have been closed by the server just now: one
        // more try on a new connection.
        openConnection();
        sendBytes(bytes);
        reused = false;
    }
    return reused;
}

void HttpClient::sendBytes(const std::string& bytes) {
    // The socket layer counts in int: a large POST body goes in pieces, each
    // within the time left, so a server that stops reading cannot hold the
    // request past its deadline.
    constexpr std::size_t kPiece = 1u << 20;
    try {
        for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
            std::size_t n = std::min(kPiece, bytes.size() - at);
            sendAll(socket_.handle, bytes.data() + at, static_cast<int>(n), timeLeft());
        }
    } catch (const TimeoutException&) {
        closeConnection();
        checkAborted();
        throw;
    }
}

// --- answer ------------------------------------------------------------------

bool HttpClient::readResponse(Mode mode, bool reused) {
    response_.clear();
    body_.clear();
    const uint64_t before = reader_.totalReceived();
    try {
        readHead();
        if (mode == Mode::kBuffer) readBody();
    } catch (const TimeoutException&) {
        closeConnection();
        checkAborted();
        throw TimeoutException();
    } catch (const BadResponseException&) {
        closeConnection();
        throw;
    } catch (const Exception&) {
        bool silent = reader_.totalReceived() == before;
        closeConnection();
        checkAborted();
        // Only a request that is safe to repeat: a POST may have been acted on.
        if (reused && silent && request_.method == "GET") return false;
        // A head that broke after its status line is not an answer.
        if (response_.parseState() == HttpMessage::kHeaders) throw BadResponseException();
        // No head, or a body cut short (readBody takes a server's orderly
        // close as the end of a body without length).
        throw Exception();
    }
    if (mode == Mode::kStream) {
        if (chunked(response_)) {
            closeConnection();
            throw BadResponseException();
        }
        reader_.setReadLimit(response_.hasLength() == 1 ? response_.contentLength() : -1);
    }
    return true;
}

void HttpClient::readHead() {
    while (response_.parseState() < HttpMessage::kBody) {
        checkAborted();
        if (deadlinePassed()) throw TimeoutException();
        std::string line;
        try {
            line = reader_.readLine(timeLeft());
        } catch (const TimeoutException&) {
            continue;
        }
        // A folded line (one that begins with a space or tab) would be read
        // as a header of its own.
        const bool folded = !line.empty() && (line[0] == ' ' || line[0] == '\t');
        line = std::string(http::trim(line));
        if (folded && !line.empty() && response_.parseState() == HttpMessage::kHeaders) {
            throw BadResponseException();
        }
        line += "\r\n";
        response_.feed(line);
        if (response_.headers().size() > kMaxHeaderLines) throw BadResponseException();
    }
}

void HttpClient::readBody() {
    if (chunked(response_)) {
        readChunkedBody();
        return;
    }
    // Another coding would leave the body unreadable.
    const std::string coding = response_.headerValue("Transfer-Encoding");
    if (!coding.empty() && !http::equalsIgnoreCase(coding, "identity")) throw BadResponseException();
    const bool known = response_.hasLength() == 1;
    const int64_t length = response_.contentLength();
    if (known && static_cast<uint64_t>(length) > maxBodySize_) throw BodyTooLargeException();
    const std::size_t want = known ? static_cast<std::size_t>(length) : maxBodySize_ + 1;
    reader_.takeBuffered(body_, want);
    char chunk[InputStream::kBufferSize];
    while (body_.size() < want) {
        checkAborted();
        if (deadlinePassed()) throw TimeoutException();
        int size = static_cast<int>(std::min<std::size_t>(sizeof chunk, want - body_.size()));
        int got = 0;
        try {
            got = source_.read(chunk, size, timeLeft());
        } catch (const NoConnectionException&) {
            // Without a length the server's orderly close ends the body; a
            // reset or any other failure is a body cut short.
            if (known) throw;
            closeConnection();
            break;
        }
        if (got <= 0) continue;  // the wait ran out: the deadline check decides
        body_.append(chunk, static_cast<std::size_t>(got));
    }
    if (body_.size() > maxBodySize_) throw BodyTooLargeException();
}

void HttpClient::readChunkedBody() {
    ChunkedDecoder decoder;
    std::string raw;
    reader_.takeBuffered(raw, InputStream::kBufferSize);
    char chunk[InputStream::kBufferSize];
    for (;;) {
        std::size_t used = 0;
        try {
            used = decoder.feed(raw, body_);
        } catch (const HttpException&) {
            throw BadResponseException();
        }
        if (body_.size() > maxBodySize_) throw BodyTooLargeException();
        if (decoder.done()) {
            // Bytes behind the body put the connection out of step.
            if (used < raw.size()) closeConnection();
            return;
        }
        checkAborted();
        if (deadlinePassed()) throw TimeoutException();
        // A close before the last chunk is a body cut short.
        int got = source_.read(chunk, sizeof chunk, timeLeft());
        raw.assign(chunk, static_cast<std::size_t>(std::max(got, 0)));
    }
}

void HttpClient::decideKeepAlive(Mode mode) {
    if (socket_.handle == kNoSocket) return;
    bool keep = response_.version == "HTTP/1.1";
    std::string connection = http::toLower(response_.headerValue("Connection"));
    if (connection == "keep-alive") keep = true;
    if (connection == "close") keep = false;
    if (proxy_.type == ProxySettings::kHttpProxy) {
        std::string proxyConnection = http::toLower(response_.headerValue("Proxy-Connection"));
        if (proxyConnection == "keep-alive") keep = true;
        if (proxyConnection == "close") keep = false;
    }
    if (keep) return;
    // In stream mode the body is still to be read from this connection.
    if (mode == Mode::kStream) {
        closeAfterBody_ = true;
    } else {
        closeConnection();
    }
}

std::string HttpClient::redirectUrl() const { return resolveRedirect(response_.headerValue("Location"), request_); }

std::string HttpClient::resolveRedirect(std::string_view locationHeader, const HttpRequest& from) {
    std::string location(http::trim(locationHeader));
    location = location.substr(0, location.find('#'));
    if (location.empty()) throw BadResponseException();
    for (char c : location) {
        if (static_cast<unsigned char>(c) <= 32 || c == 127) throw BadResponseException();
    }
    // An absolute address: only plain HTTP is followed.
    std::size_t colon = location.find(':');
    if (colon != std::string::npos && colon < location.find_first_of("/?") &&
        isScheme(std::string_view(location).substr(0, colon))) {
        if (!http::equalsIgnoreCase(location.substr(0, colon), "http") || location.compare(colon + 1, 2, "//") != 0) {
            throw BadResponseException();
        }
        return "http:" + location.substr(colon + 1);
    }
    // A network-path reference keeps the scheme only.
    if (location.starts_with("//")) return "http:" + location;
    std::string base = "http://" + from.host;
    if (from.port != 80) base += ":" + std::to_string(from.port);
    const std::string& target = from.path;
    const std::string basePath = target.substr(0, target.find('?'));
    std::string merged;
    if (location.front() == '/') {
        merged = location;
    } else if (location.front() == '?') {
        merged = basePath + location;
    } else {
        merged = basePath.substr(0, basePath.rfind('/') + 1) + location;
    }
    std::size_t query = merged.find('?');
    std::string path = removeDotSegments(merged.substr(0, query));
    if (path.empty() || path.front() != '/') path.insert(path.begin(), '/');
    return base + path + (query == std::string::npos ? std::string() : merged.substr(query));
}

void HttpClient::proxyAuthentication() {
    startDeadline();
    for (int i = response_.findHeader("Proxy-Authenticate"); i >= 0;
         i = response_.findHeader("Proxy-Authenticate", i + 1)) {
        std::string value = http::toLower(response_.headers()[static_cast<std::size_t>(i)].value);
        if (value.starts_with("ntlm") || value.starts_with("basic") || value.starts_with("digest")) {
            // The NTLM, Basic and Digest exchanges belong to a proxy library
            // this program does not carry (it never configures a proxy).
            throw ProxyClient::ProxyAuthenticationRequiredException();
        }
    }
    throw ProxyClient::ProxyUnknownAuthenticationRequiredException();
}

}  // namespace ambrel
