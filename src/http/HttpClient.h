// HTTP/1.0 client over the socket layer: GET and POST with keep-alive,
// redirects and cookies. Plain HTTP only: a URL of another scheme is still
// fetched with plain HTTP on its port, but redirects lead only to "http:"
// addresses. Chunked answers (HTTP/1.1 servers send them) are decoded.
//
// A client belongs to the thread that uses it (the banner fetcher's worker
// thread in this program); only abort() may be called from another thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "http/CookieStore.h"
#include "http/HttpMessage.h"
#include "http/InputStream.h"
#include "http/ProxyClient.h"
#include "link/Socket.h"

namespace ambrel {

class HttpClient {
public:
    // The final status is not 200, 301, 302, 303, 401 or 407; also: more than
    // kMaxRedirects redirects in a row, a body longer than kMaxBodySize, a
    // head of more than kMaxHeaderLines header lines, and a head that breaks
    // after its status line (a header line without ":", a folded or over-long
    // header line, the connection ending or failing before the empty line).
    class BadResponseException : public Exception {};
    // Status 401.
    class AuthenticationRequiredException : public BadResponseException {};
    // The body is longer than the client's maxBodySize().
    class BodyTooLargeException : public BadResponseException {};
    // A URL (given, or from a redirect) without a host, or with a port that
    // is not a number from 1 to 65535: nothing could be connected to (a
    // ConnectException, as a connect to port 0 always was).
    class InvalidUrlException : public ConnectException {};
    // abort() was called.
    class AbortedException : public Exception {};

    // Redirects followed in a row; the next one raises BadResponseException.
    static constexpr int kMaxRedirects = 10;
    // The largest body accepted. "Content-Length" is never used to allocate:
    // the body grows as bytes arrive.
    static constexpr std::size_t kMaxBodySize = 64u * 1024u * 1024u;
    // The most header lines accepted in one response head.
    static constexpr std::size_t kMaxHeaderLines = 1000;

    // Where a "Location" header sent in answer to `from` leads: an absolute
    // "http:" URL (from an absolute one, a network-path reference, or a
    // reference resolved against the request's URL, dot segments removed;
    // any "#fragment" dropped). Anything else, or a Location with blanks or
    // control bytes, is a BadResponseException. The port is not checked
    // here (the next request refuses a bad one). Any thread.
    static std::string resolveRedirect(std::string_view location, const HttpRequest& from);

    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // GET url; on return `out` holds the body of the final answer. Returns
    // after a 200 answer, after a 301..303 answer when redirects are off, or
    // when the redirected request returns. Throws BadResponseException (and
    // AuthenticationRequiredException for 401),
    // ProxyClient::ProxyAuthenticationRequiredException (407),
    // TimeoutException, AbortedException, or another Exception (socket
    // failures, a malformed answer). On a throw `out` is left unchanged.
    // The time-out bounds the whole request: connecting, sending, every wait
    // for the answer, and every redirect it follows. A redirect to anything
    // but an "http:" address (absolute, or relative and resolved against the
    // request's URL) is a BadResponseException. A body that the connection
    // cut short (a reset, or a close before its length or its last chunk) is
    // a failure. A kept connection that the server closes without
    // an answer is tried once more on a new one. A URL with a blank or a
    // control byte inside, without a host, or with a port outside 1..65535
    // is an InvalidUrlException before anything is sent.
    void get(std::string_view url, std::string& out);

    // GET url, leaving the body in the connection: the returned stream reads
    // it (it ends at "Content-Length" when there is one, else when the server
    // closes). Valid until the next request or the client's destruction.
    // Throws as get; a chunked answer is a BadResponseException here.
    InputStream& getStream(std::string_view url);

    // POST url with `body` and a "Content-Length" header; the answer's body
    // goes to `out`. A redirected POST continues as a GET. Throws as get;
    // sent once only: a kept connection closed without an answer is a
    // failure (Exception), since the server may have acted on it.
    void post(std::string_view url, std::string_view body, std::string& out);

    // An extra header sent with every request: an empty name does nothing, an
    // empty value removes it; otherwise it is replaced or appended.
    void setHeader(std::string_view name, std::string_view value);

    // Any thread: makes the current request (and every later one) end with
    // AbortedException as soon as possible, shutting its connection down.
    // A host name lookup in progress is not interrupted.
    void abort();

    // Options. Seconds allowed for one request, 60 by default; negative: no limit.
    void setTimeout(int seconds) { timeout_ = seconds; }
    int timeout() const { return timeout_; }
    void setKeepAlive(bool on) { keepAlive_ = on; }
    bool keepAlive() const { return keepAlive_; }
    void setFollowRedirects(bool on) { followRedirects_ = on; }
    bool followRedirects() const { return followRedirects_; }
    void setCookies(bool on) { cookies_ = on; }
    // The longest body accepted (at most kMaxBodySize); a longer one raises
    // BodyTooLargeException as soon as its length is known or reached.
    void setMaxBodySize(std::size_t bytes) { maxBodySize_ = std::min(bytes, kMaxBodySize); }
    std::size_t maxBodySize() const { return maxBodySize_; }
    bool cookies() const { return cookies_; }
    void setProxy(const ProxySettings& proxy) { proxy_ = proxy; }
    const ProxySettings& proxy() const { return proxy_; }
    CookieStore& cookieStore() { return cookieStore_; }

    // The last request sent and the last response parsed.
    const HttpRequest& request() const { return request_; }
    const HttpResponse& response() const { return response_; }
    // Whether a connection is open (kept alive after the last request).
    bool connected() const { return socket_.handle != kNoSocket; }

private:
    enum class Mode { kBuffer, kStream };

    void perform(Mode mode, std::string method, std::string url, std::string_view body, std::string* out);
    void prepare(const std::string& method, const std::string& url);
    // Connects (reusing a kept connection when it is usable) and sends the
    // request; true when a kept connection was reused.
    bool send();
    void sendBytes(const std::string& bytes);
    bool connectionUsable();
    void openConnection();
    void closeConnection();
    // The guarded step: head, then (not in stream mode) body into body_.
    // Returns false, with the connection closed, when `reused` is set and the
    // connection ended before a single byte of the answer arrived.
    bool readResponse(Mode mode, bool reused);
    void readHead();
    void readBody();
    void readChunkedBody();
    void decideKeepAlive(Mode mode);
    // The URL a 3xx answer leads to.
    std::string redirectUrl() const;
    void proxyAuthentication();
    void checkAborted() const;
    // Milliseconds left before the deadline, 0 when it has passed; -1 when
    // the time-out is negative (no limit).
    int timeLeft() const;
    bool deadlinePassed() const;
    void startDeadline();

    int timeout_ = 60;
    bool keepAlive_ = true;
    bool followRedirects_ = true;
    bool cookies_ = false;
    std::size_t maxBodySize_ = kMaxBodySize;
    ProxySettings proxy_;
    std::vector<HttpHeader> extraHeaders_;
    CookieStore cookieStore_;

    HttpRequest request_;
    HttpResponse response_;
    std::string body_;
    int64_t deadline_ = 0;  // monotonic milliseconds

    SocketHandle socket_;
    std::string connectedHost_;
    int connectedPort_ = 0;
    // A stream-mode answer asked to close: the connection still carries the
    // body for the caller and is replaced at the next request.
    bool closeAfterBody_ = false;
    SocketByteSource source_;
    InputStream reader_;

    // Guards socket_.handle changes against abort() on another thread.
    std::mutex socketMutex_;
    std::atomic<bool> aborted_{false};
};

}  // namespace ambrel
