// Requests, response parsing, the line reader and cookies, without a network.
#include <gtest/gtest.h>

#include <deque>

#include "http/CookieStore.h"
#include "http/HttpMessage.h"
#include "http/InputStream.h"

namespace ambrel {
namespace {

// --- URL parsing and wire form -------------------------------------------------------

TEST(HttpRequestUrl, SplitsSchemeHostPortAndPath) {
    struct Case {
        const char* url;
        const char* scheme;
        const char* host;
        int port;
        const char* path;
        bool absolute;
    } cases[] = {
        {"http://127.0.0.1/", "http", "127.0.0.1", 80, "/", true},
        {"  http://example.org:8080/a/b?c=d \r\n", "http", "example.org", 8080, "/a/b?c=d", true},
        {"http://host", "http", "host", 80, "/", true},
        {"http://[::1]:8080/b", "http", "[::1]", 8080, "/b", true},  // brackets kept for the Host header
        {"http://[fd00::2]/", "http", "[fd00::2]", 80, "/", true},
        {"http:///x", "http", "", 80, "/x", true},
        {"https://host:443/x", "https", "host", 443, "/x", true},
        {"://host/x", "http", "host", 80, "/x", true},
        {"http://host:abc/", "http", "host", 0, "/", true},
        {"http://host:99999999999999999999/", "http", "host", 2147483647, "/", true},
        {"/just/a/path", "http", "", 80, "/just/a/path", false},
        {"", "http", "", 80, "/", false},
    };
    for (const Case& c : cases) {
        HttpRequest r;
        r.setUrl(c.url);
        EXPECT_EQ(r.scheme, c.scheme) << c.url;
        EXPECT_EQ(r.host, c.host) << c.url;
        EXPECT_EQ(r.port, c.port) << c.url;
        EXPECT_EQ(r.path, c.path) << c.url;
        EXPECT_EQ(r.absoluteForm, c.absolute) << c.url;
    }
}

TEST(HttpRequestWire, ExactBytesOfTheBasicRequest) {
    HttpRequest r;
    r.setUrl("http://127.0.0.1/");
    r.absoluteForm = false;
    r.setHeader("Connection", "Keep-Alive");
    EXPECT_EQ(r.wireForm(), "GET / HTTP/1.0\r\nConnection: Keep-Alive\r\nHost: 127.0.0.1\r\n\r\n");
}

TEST(HttpRequestWire, PortOtherThan80GoesIntoHostAndAbsoluteTarget) {
    HttpRequest r;
    r.setUrl("http://example.org:8080/x");
    r.absoluteForm = false;
    EXPECT_EQ(r.wireForm(), "GET /x HTTP/1.0\r\nHost: example.org:8080\r\n\r\n");
    r.absoluteForm = true;
    EXPECT_EQ(r.wireForm(), "GET http://example.org:8080/x HTTP/1.0\r\nHost: example.org:8080\r\n\r\n");
    HttpRequest d;
    d.setUrl("http://example.org:80/y");
    EXPECT_EQ(d.wireForm(), "GET http://example.org/y HTTP/1.0\r\nHost: example.org\r\n\r\n");
}

TEST(HttpRequestWire, PathOnlyUrlSendsNoHostHeader) {
    HttpRequest r;
    r.setUrl("/index.html");
    EXPECT_EQ(r.wireForm(), "GET /index.html HTTP/1.0\r\n\r\n");
}

TEST(HttpRequestWire, ExistingHostHeaderIsReplacedInPlaceAndBodyFollows) {
    HttpRequest r;
    r.setUrl("http://h/p");
    r.absoluteForm = false;
    r.method = "POST";
    r.addHeader("host", "old");
    r.addHeader("X-A", "1");
    r.body() = "abc";
    r.addHeader("Content-Length", "3");
    EXPECT_EQ(r.wireForm(), "POST /p HTTP/1.0\r\nhost: h\r\nX-A: 1\r\nContent-Length: 3\r\n\r\nabc");
}

// --- message parser ------------------------------------------------------------------

TEST(HttpResponseParser, ParsesStatusLineHeadersAndBodyCutAtContentLength) {
    HttpResponse r;
    r.feed("HTTP/1.1  200   Very  OK  \r\nContent-Type: text/plain\r\n content-length :  5 \r\n\r\nhello world");
    EXPECT_EQ(r.version, "HTTP/1.1");
    EXPECT_EQ(r.statusCode, 200);
    EXPECT_EQ(r.reason, "Very  OK");
    ASSERT_EQ(r.headers().size(), 2u);
    EXPECT_EQ(r.headers()[1].name, "content-length");
    EXPECT_EQ(r.headers()[1].value, "5");
    EXPECT_EQ(r.contentLength(), 5);
    EXPECT_EQ(r.hasLength(), 1);
    EXPECT_EQ(r.body(), "hello");
    EXPECT_EQ(r.parseState(), HttpMessage::kComplete);
}

TEST(HttpResponseParser, AcceptsEveryLineEndAndSplitFeeds) {
    const std::string head = "HTTP/1.0 302 Found\nLocation: /a\n\rX: y\r\r\n";
    // Fed byte by byte, the result must equal the result of one feed.
    HttpResponse whole;
    whole.feed(head + "body");
    HttpResponse split;
    for (char c : head + "body") split.feed(std::string(1, c));
    for (const HttpResponse* r : {&whole, &split}) {
        EXPECT_EQ(r->statusCode, 302);
        ASSERT_EQ(r->headers().size(), 2u);
        EXPECT_EQ(r->headerValue("LOCATION"), "/a");
        EXPECT_EQ(r->headerValue("x"), "y");
        EXPECT_EQ(r->parseState(), HttpMessage::kBody);
        EXPECT_EQ(r->hasLength(), 0);
        EXPECT_EQ(r->contentLength(), 0);
        EXPECT_EQ(r->body(), "body");
    }
}

TEST(HttpResponseParser, RepeatedHeadersAreVisitedInOrder) {
    HttpResponse r;
    r.feed("HTTP/1.0 200 OK\r\nSet-Cookie: a=1\r\nX: 0\r\nset-cookie: b=2\r\n\r\n");
    int first = r.findHeader("Set-Cookie");
    ASSERT_EQ(first, 0);
    int second = r.findHeader("Set-Cookie", first + 1);
    ASSERT_EQ(second, 2);
    EXPECT_EQ(r.headers()[2].value, "b=2");
    EXPECT_EQ(r.findHeader("Set-Cookie", second + 1), -1);
}

TEST(HttpResponseParser, MalformedHeadRaisesHttpException) {
    const char* bad[] = {
        "HTTP/1.0\r\n",                         // no space
        "\r\n",                                 // empty status line
        "HTTP/1.0 200 OK\r\nNoColon\r\n",       // header without ":"
        "HTTP/1.0 200 OK\r\n: value\r\n",       // ":" first
    };
    for (const char* text : bad) {
        HttpResponse r;
        EXPECT_THROW(r.feed(text), HttpException) << text;
    }
    HttpResponse noSpace;
    EXPECT_THROW(noSpace.feed("HTTP/1.0\r\n"), HttpException);
    EXPECT_EQ(noSpace.parseState(), HttpMessage::kStartLine);  // no status line was read
    HttpResponse badHeader;
    EXPECT_THROW(badHeader.feed("HTTP/1.0 200 OK\r\nContent-Length: 4\r\nbad\r\n"), HttpException);
    EXPECT_TRUE(badHeader.contentLengthSeen());
}

TEST(HttpResponseParser, ZeroLengthCompletesAtTheHeadAndOddNumbersDoNotOverflow) {
    HttpResponse r;
    r.feed("HTTP/1.0 204 No\r\nContent-Length: 0\r\n\r\nignored");
    EXPECT_EQ(r.parseState(), HttpMessage::kComplete);
    EXPECT_EQ(r.body(), "");
    HttpResponse huge;
    huge.feed("HTTP/1.0 99999999999999999999999 X\r\nContent-Length: 99999999999999999999999\r\n\r\nabc");
    EXPECT_EQ(huge.statusCode, 2147483647);
    EXPECT_EQ(huge.contentLength(), INT64_MAX);
    EXPECT_EQ(huge.body(), "abc");
    HttpResponse words;
    words.feed("HTTP/1.0 abc\r\nContent-Length: none\r\n\r\nabc");
    EXPECT_EQ(words.statusCode, 0);
    EXPECT_EQ(words.contentLength(), 0);
    EXPECT_EQ(words.parseState(), HttpMessage::kComplete);
}

// --- line reader -------------------------------------------------------------------------

// Delivers scripted chunks; an empty chunk is a wait that runs out; after the
// script the peer has closed.
class ScriptSource : public ByteSource {
public:
    explicit ScriptSource(std::deque<std::string> chunks) : chunks_(std::move(chunks)) {}
    int read(char* buffer, int size, int) override {
        if (chunks_.empty()) throw NoConnectionException();
        std::string& c = chunks_.front();
        if (c.empty()) {
            chunks_.pop_front();
            return 0;
        }
        int n = std::min<int>(size, static_cast<int>(c.size()));
        std::copy(c.begin(), c.begin() + n, buffer);
        c.erase(0, static_cast<std::size_t>(n));
        if (c.empty()) chunks_.pop_front();
        return n;
    }

private:
    std::deque<std::string> chunks_;
};

TEST(InputStreamLines, LinesAcrossChunksAndTimeoutsKeepBufferedBytes) {
    ScriptSource source({"HTTP/1.0 2", "", "00 OK\r", "\nA: b\n\r\nrest"});
    InputStream in(source);
    EXPECT_THROW(in.readLine(10), TimeoutException);
    EXPECT_EQ(in.readLine(10), "HTTP/1.0 200 OK");
    EXPECT_EQ(in.readLine(10), "A: b");
    EXPECT_EQ(in.readLine(10), "");
    EXPECT_EQ(in.buffered(), 4u);
    EXPECT_THROW(in.readLine(10), NoConnectionException);
}

TEST(InputStreamLines, LineLimitCountsTheFinalCr) {
    std::string ok999(999, 'a');
    std::string ok1000(1000, 'b');
    std::string bad1000(1000, 'c');
    ScriptSource source({ok999 + "\r\n" + ok1000 + "\n" + bad1000 + "\r\n"});
    InputStream in(source);
    EXPECT_EQ(in.readLine(10), ok999);
    EXPECT_EQ(in.readLine(10), ok1000);
    EXPECT_THROW(in.readLine(10), InputStream::LineSizeLimitExceeded);
}

TEST(InputStreamLines, EndlessLineWithoutLfFailsWithoutGrowing) {
    std::deque<std::string> chunks;
    for (int i = 0; i < 100; ++i) chunks.push_back(std::string(700, 'x'));
    ScriptSource source(chunks);
    InputStream in(source);
    EXPECT_THROW(in.readLine(10), InputStream::LineSizeLimitExceeded);
    EXPECT_LE(in.buffered(), static_cast<std::size_t>(InputStream::kBufferSize));
}

TEST(InputStreamRead, ReadLimitEndsTheBodyAndCloseEndsTheRest) {
    ScriptSource source({"line\nabcdefgh", "ij"});
    InputStream in(source);
    EXPECT_EQ(in.readLine(10), "line");
    in.setReadLimit(5);
    char buf[16];
    int n = in.read(buf, sizeof buf, 10);
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), "abcde");
    EXPECT_EQ(in.read(buf, sizeof buf, 10), 0);
    in.setReadLimit(-1);
    std::string rest;
    while ((n = in.read(buf, sizeof buf, 10)) > 0) rest.append(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(rest, "fghij");
}

// --- cookies -----------------------------------------------------------------------------

HttpResponse responseWith(const std::string& head) {
    HttpResponse r;
    r.feed(head + "\r\n");
    return r;
}

TEST(Cookies, StoredFromSetCookieAndSentToMatchingRequests) {
    CookieStore store;
    HttpRequest req;
    req.setUrl("http://Example.org:8080/app/login");
    store.store(req, responseWith("HTTP/1.0 200 OK\r\n"
                                  "Set-Cookie: SID=abc; Path=/App; Expires=Wed, 09 Jun 2021 10:18:14 GMT\r\n"
                                  "Set-Cookie: theme = dark ;path=/app\r\n"
                                  "Set-Cookie: sid=xyz; path=/app;;\r\n"
                                  "Set-Cookie: other=1; domain=example.net; path=/\r\n"));
    ASSERT_EQ(store.entries().size(), 2u);
    EXPECT_EQ(store.entries()[0].domain, "example.org:8080");
    EXPECT_EQ(store.entries()[0].path, "/app");
    ASSERT_EQ(store.entries()[0].cookies.size(), 2u);
    EXPECT_EQ(store.entries()[0].cookies[0].name, "sid");
    EXPECT_EQ(store.entries()[0].cookies[0].value, "xyz");  // replaced by the later header

    auto cookiesFor = [&store](const char* url) {
        HttpRequest r;
        r.setUrl(url);
        return store.cookieHeader(r);
    };
    EXPECT_EQ(cookiesFor("http://example.org:8080/app/page"), "sid=xyz;theme=dark");
    EXPECT_EQ(cookiesFor("http://example.org:8080/other"), "");
    EXPECT_EQ(cookiesFor("http://example.org/app"), "");
    EXPECT_EQ(cookiesFor("http://www.example.net/x"), "other=1");
}

}  // namespace
}  // namespace ambrel
