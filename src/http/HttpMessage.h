// HTTP/1.0 messages: the request the client sends and the response it parses.
// "Whitespace" is every byte of value 32 or less; case folding maps only A-Z.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Exception.h"

namespace ambrel {

// A malformed head: a status line without a space or starting with one, a
// header line without ":" or with ":" first.
class HttpException : public Exception {};

namespace http {
// The text without leading and trailing bytes of value 32 or less.
std::string_view trim(std::string_view text);
// A-Z folded to a-z; every other byte unchanged.
std::string toLower(std::string_view text);
bool equalsIgnoreCase(std::string_view a, std::string_view b);
// The value of the leading decimal digits (0 when there are none), saturating
// at the maximum instead of overflowing.
int64_t decimalValue(std::string_view text);
}  // namespace http

struct HttpHeader {
    std::string name;
    std::string value;
};

// What requests and responses share: start line, headers, body and the
// incremental parser fed with received bytes.
class HttpMessage {
public:
    enum ParseState { kStartLine = 0, kHeaders = 1, kBody = 2, kComplete = 3 };

    virtual ~HttpMessage() = default;

    // Empties start line, headers, body and raw input; state 0, lengths unknown.
    virtual void clear();

    const std::string& startLine() const { return startLine_; }
    const std::vector<HttpHeader>& headers() const { return headers_; }
    const std::string& body() const { return body_; }
    std::string& body() { return body_; }
    int parseState() const { return state_; }
    // -1 until known; 0 when the head had no "Content-Length".
    int64_t contentLength() const { return contentLength_; }
    // -1 until the head is complete, then 1 when it had "Content-Length", else 0.
    int hasLength() const { return hasLength_; }
    // True once a "Content-Length" header has been parsed, even before the
    // head is complete.
    bool contentLengthSeen() const { return hasLength_ == 1 || (hasLength_ == -1 && contentLength_ != -1); }

    // Index of the first header at or after `from` whose name equals `name`
    // ignoring the case of ASCII letters; -1 when there is none.
    int findHeader(std::string_view name, int from = 0) const;
    // The value of the first header of that name, or empty.
    std::string headerValue(std::string_view name) const;
    // Replaces the value of the first header of that name, or appends one.
    void setHeader(std::string_view name, std::string_view value);
    void addHeader(std::string_view name, std::string_view value);
    // Removes every header of that name.
    void removeHeader(std::string_view name);

    // Feeds received bytes to the parser: complete lines of the head (ended by
    // CR LF, LF CR, a lone CR or a lone LF; each trimmed) fill the start line
    // and the headers; an empty line ends the head; then bytes go to the body,
    // cut at "Content-Length" when it is known. Throws HttpException for a
    // malformed start or header line (the message is then unusable).
    void feed(std::string_view bytes);

protected:
    // Parses the start line; throws HttpException when it is malformed.
    virtual void parseStartLine(std::string_view line) = 0;

    std::string startLine_;

private:
    void parseLines();
    void headComplete();
    void appendBody(std::string_view bytes);

    std::vector<HttpHeader> headers_;
    std::string body_;
    std::string raw_;
    std::size_t position_ = 0;
    // The byte that would complete a two-byte line end (CR LF or LF CR) when
    // the previous feed ended right after the first one; 0 for none.
    char pendingSkip_ = 0;
    int state_ = kStartLine;
    int64_t contentLength_ = -1;
    int hasLength_ = -1;
};

// A request: method, URL parts and version; produces its wire form.
class HttpRequest : public HttpMessage {
public:
    void clear() override;

    // Parses a URL into scheme, host, port, path and the absolute-form flag:
    // "scheme://host[:port]/path"; text without "://" is a path alone.
    void setUrl(std::string_view url);

    // The request line and headers after setting "Host" (host, and ":port"
    // unless the port is 80; nothing when the host is empty), then the body:
    // exactly the bytes sent.
    std::string wireForm();
    // The target of the request line: the path, or in absolute form
    // scheme "://" host [":" port] path.
    std::string target() const;
    // The URL in absolute form: scheme "://" host [":" port] path.
    std::string absoluteUrl() const;

    std::string method = "GET";
    std::string scheme = "http";
    std::string host;
    int port = 80;
    std::string path = "/";
    std::string version = "HTTP/1.0";
    bool absoluteForm = false;

protected:
    void parseStartLine(std::string_view line) override;
};

// A response: version, status code and reason phrase from the status line.
class HttpResponse : public HttpMessage {
public:
    void clear() override;

    std::string version;
    int statusCode = 0;
    std::string reason;

protected:
    void parseStartLine(std::string_view line) override;
};

// Decodes a body sent with "Transfer-Encoding: chunked" as its bytes arrive,
// in pieces of any size: hexadecimal size lines (extensions after ";" are
// ignored), the data of each chunk followed by a line end, a last chunk of
// size 0 and trailer lines up to an empty one. Line ends are CR LF or LF.
// Used by one thread at a time.
class ChunkedDecoder {
public:
    // Longest size or trailer line accepted, and most trailer lines.
    static constexpr std::size_t kLineLimit = 1024;
    static constexpr int kTrailerLimit = 100;

    // Appends the chunk data found in `bytes` to `out` and returns how many
    // bytes of `bytes` it used: all of them, unless the body ended inside
    // them (what follows is not part of the body). Throws HttpException for a
    // malformed size line, a size over 2^56, a chunk not followed by a line
    // end, an over-long line or too many trailer lines.
    std::size_t feed(std::string_view bytes, std::string& out);
    // The last chunk and the trailer have been read.
    bool done() const { return state_ == kDone; }

private:
    enum State { kSize, kData, kDataEnd, kTrailer, kDone };
    // One complete line (without its LF) in the state it ends.
    void lineComplete();

    State state_ = kSize;
    std::string line_;
    uint64_t left_ = 0;  // data bytes left in the current chunk
    int trailers_ = 0;
};

}  // namespace ambrel
