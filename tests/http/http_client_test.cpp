// HttpClient against servers on 127.0.0.1: a scripted TCP server for answers
// real servers do not give, and the Python http.server script for the rest.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "http/HttpClient.h"
#include "http/TestServers.h"

namespace ambrel {
namespace {

using test::PythonHttpServer;
using test::ScriptedServer;
using Step = ScriptedServer::Step;

std::string firstLine(const std::string& request) { return request.substr(0, request.find("\r\n")); }

TEST(HttpClientScripted, SendsTheExactRequestBytes) {
    ScriptedServer server({{"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhi"}});
    HttpClient client;
    std::string body;
    client.get(server.url("/"), body);
    EXPECT_EQ(body, "hi");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0],
              "GET / HTTP/1.0\r\nConnection: Keep-Alive\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                  "\r\n\r\n");
}

TEST(HttpClientScripted, ExtraHeadersAndPostBody) {
    ScriptedServer server({{"HTTP/1.0 303 See Other\r\nLocation: /done\r\nContent-Length: 0\r\n\r\n"},
                           {"HTTP/1.0 200 OK\r\n\r\nfinished"}});
    HttpClient client;
    client.setHeader("User-Agent", "Ambrel");
    client.setHeader("X-Gone", "1");
    client.setHeader("X-Gone", "");
    client.setHeader("", "ignored");
    client.setHeader("user-agent", "Ambrel/2.8");
    std::string body = "unchanged";
    client.post(server.url("/form"), "a=1&b=2", body);
    EXPECT_EQ(body, "finished");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    std::string host = "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
    EXPECT_EQ(requests[0], "POST /form HTTP/1.0\r\nUser-Agent: Ambrel/2.8\r\nConnection: Keep-Alive\r\n"
                           "Content-Length: 7\r\n" + host + "\r\na=1&b=2");
    // A redirected POST goes on as a GET without the body.
    EXPECT_EQ(requests[1], "GET /done HTTP/1.0\r\nUser-Agent: Ambrel/2.8\r\nConnection: Keep-Alive\r\n" + host + "\r\n");
}

TEST(HttpClientScripted, LargePostBodyArrivesWhole) {
    ScriptedServer server({{"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"}});
    std::string upload(3u << 20, 'u');
    upload.back() = 'z';
    HttpClient client;
    std::string body;
    client.post(server.url("/upload"), upload, body);
    EXPECT_EQ(body, "ok");
    ASSERT_EQ(server.requests().size(), 1u);
    const std::string request = server.requests()[0];
    EXPECT_NE(request.find("Content-Length: " + std::to_string(upload.size()) + "\r\n"), std::string::npos);
    ASSERT_GE(request.size(), upload.size());
    EXPECT_EQ(request.substr(request.size() - upload.size()), upload);
}

TEST(HttpClientScripted, MalformedStatusLineFailsWithPlainException) {
    ScriptedServer server({{"HTTP/1.0\r\nContent-Length: 2\r\n\r\nhi"}});
    HttpClient client;
    std::string body = "unchanged";
    try {
        client.get(server.url("/"), body);
        FAIL() << "no exception";
    } catch (const HttpClient::BadResponseException&) {
        FAIL() << "a malformed status line is not a bad status";
    } catch (const Exception&) {
    }
    EXPECT_EQ(body, "unchanged");
    EXPECT_FALSE(client.connected());
}

TEST(HttpClientScripted, HeadsThatBreakAfterTheStatusLineAreBadResponses) {
    ScriptedServer server({{"HTTP/1.0 200 OK\r\nX: 1\r\nno colon here\r\nbody"},
                           {"HTTP/1.0 200 OK\r\nContent-Length: 4\r\nno colon here\r\nbody"},
                           {"HTTP/1.0 200 OK\r\nX-A: 1\r\n  folded: 2\r\n\r\nbody"},
                           {"HTTP/1.0 200 OK\r\nX: " + std::string(2000, 'a') + "\r\n\r\nb"},
                           {"HTTP/1.0 200 OK\r\nX: 1\r\n"},
                           {"HTTP/1.0 200 OK\r\nX:  spaced \r\n \r\nfine"}});
    HttpClient client;
    std::string body = "unchanged";
    for (int i = 0; i < 5; ++i) {
        EXPECT_THROW(client.get(server.url("/"), body), HttpClient::BadResponseException) << "answer " << i;
        EXPECT_EQ(body, "unchanged");
        EXPECT_FALSE(client.connected());
    }
    // A line of blanks still ends the head.
    client.get(server.url("/"), body);
    EXPECT_EQ(body, "fine");
    EXPECT_EQ(client.response().headerValue("X"), "spaced");
}

TEST(HttpClientScripted, BodyWithoutLengthEndsAtCloseAndLengthCutsExtraBytes) {
    std::string big(25000, 'z');
    ScriptedServer server({{"HTTP/1.0 200 OK\r\n\r\n" + big},
                           {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello, and more bytes", false}});
    HttpClient client;
    std::string body;
    client.get(server.url("/a"), body);
    EXPECT_EQ(body, big);
    client.get(server.url("/b"), body);
    EXPECT_EQ(body, "hello");
}

TEST(HttpClientScripted, RelativeRedirectStaysOnHostAndDirectory) {
    ScriptedServer server({{"HTTP/1.0 302 Found\r\nLocation: b.txt\r\nContent-Length: 0\r\n\r\n"},
                           {"HTTP/1.0 301 Moved\r\nLocation: /root.txt\r\n\r\n"},
                           {"HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nroot"}});
    HttpClient client;
    std::string body;
    client.get(server.url("/dir/a.txt"), body);
    EXPECT_EQ(body, "root");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(firstLine(requests[1]), "GET /dir/b.txt HTTP/1.0");
    EXPECT_NE(requests[1].find("Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n"), std::string::npos);
    EXPECT_EQ(firstLine(requests[2]), "GET /root.txt HTTP/1.0");
}

TEST(HttpClientScripted, RedirectsResolveLikeReferencesAndLeadOnlyToHttp) {
    auto redirect = [](const std::string& location) {
        return Step{"HTTP/1.0 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n"};
    };
    const Step page{"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"};
    const std::pair<std::string, std::string> followed[] = {
        {"../c.txt?q=1#top", "GET /a/c.txt?q=1 HTTP/1.0"},
        {"?other", "GET /a/b/x.txt?other HTTP/1.0"},
        {"./d/../e", "GET /a/b/e HTTP/1.0"},
        {"/../../up", "GET /up HTTP/1.0"},
    };
    for (const auto& [location, line] : followed) {
        ScriptedServer server({redirect(location), page});
        HttpClient client;
        std::string body;
        client.get(server.url("/a/b/x.txt?first"), body);
        EXPECT_EQ(body, "ok") << location;
        auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2u) << location;
        EXPECT_EQ(firstLine(requests[1]), line) << location;
    }
    {
        // A network-path reference keeps plain HTTP; the port is its own.
        ScriptedServer target({page});
        ScriptedServer server({redirect("//127.0.0.1:" + std::to_string(target.port()) + "/n")});
        HttpClient client;
        std::string body;
        client.get(server.url("/"), body);
        EXPECT_EQ(body, "ok");
        ASSERT_EQ(target.requests().size(), 1u);
        EXPECT_EQ(firstLine(target.requests()[0]), "GET /n HTTP/1.0");
    }
    for (const char* location : {"file:///etc/passwd", "ftp://127.0.0.1/x", "data:,x", "https://127.0.0.1/",
                                 "gopher://127.0.0.1/?http://x", "http:relative", ""}) {
        ScriptedServer server({redirect(location), page});
        HttpClient client;
        std::string body = "kept";
        EXPECT_THROW(client.get(server.url("/"), body), HttpClient::BadResponseException) << location;
        EXPECT_EQ(body, "kept");
        EXPECT_EQ(server.requests().size(), 1u) << location;
    }
    for (const char* location : {"http://127.0.0.1:99999999999/", "http://127.0.0.1:12ab/", "http://:80/"}) {
        ScriptedServer server({redirect(location), page});
        HttpClient client;
        std::string body;
        EXPECT_THROW(client.get(server.url("/"), body), HttpClient::InvalidUrlException) << location;
        EXPECT_EQ(server.requests().size(), 1u) << location;
    }
    // A blank or a control byte inside a URL (from a banner list) would break
    // the request line: nothing is sent.
    for (const char* path : {"/a b", "/a\rX: y"}) {
        ScriptedServer server({page});
        HttpClient client;
        std::string body;
        EXPECT_THROW(client.get(server.url(path), body), HttpClient::InvalidUrlException) << path;
        EXPECT_TRUE(server.requests().empty()) << path;
    }
}

TEST(HttpClientScripted, RedirectsOffReturnTheRedirectAnswer) {
    ScriptedServer server({{"HTTP/1.0 302 Found\r\nLocation: /x\r\nContent-Length: 3\r\n\r\nabc"}});
    HttpClient client;
    client.setFollowRedirects(false);
    std::string body;
    client.get(server.url("/"), body);
    EXPECT_EQ(body, "abc");
    EXPECT_EQ(client.response().statusCode, 302);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(HttpClientScripted, RedirectLoopIsCutAfterTenRedirects) {
    std::vector<Step> steps(20, Step{"HTTP/1.0 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n"});
    ScriptedServer server(steps);
    HttpClient client;
    std::string body;
    EXPECT_THROW(client.get(server.url("/loop"), body), HttpClient::BadResponseException);
    EXPECT_EQ(server.requests().size(), 1u + HttpClient::kMaxRedirects);
}

TEST(HttpClientScripted, ErrorStatusesRaiseTheirExceptions) {
    ScriptedServer server({{"HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"},
                           {"HTTP/1.0 401 Unauthorized\r\n\r\n"},
                           {"HTTP/1.0 500 Oops\r\n\r\n"},
                           {"HTTP/1.0 407 Proxy\r\nProxy-Authenticate: Negotiate\r\n\r\n"},
                           {"HTTP/1.0 407 Proxy\r\nProxy-Authenticate: Foo\r\nProxy-Authenticate: Basic realm=x\r\n\r\n"}});
    HttpClient client;
    std::string body = "unchanged";
    EXPECT_THROW(client.get(server.url("/"), body), HttpClient::BadResponseException);
    EXPECT_EQ(body, "unchanged");
    try {
        client.get(server.url("/"), body);
        FAIL() << "no exception";
    } catch (const HttpClient::AuthenticationRequiredException&) {
    }
    EXPECT_THROW(client.get(server.url("/"), body), HttpClient::BadResponseException);
    EXPECT_THROW(client.get(server.url("/"), body), ProxyClient::ProxyUnknownAuthenticationRequiredException);
    try {
        client.get(server.url("/"), body);
        FAIL() << "no exception";
    } catch (const ProxyClient::ProxyUnknownAuthenticationRequiredException&) {
        FAIL() << "Basic is a known scheme";
    } catch (const ProxyClient::ProxyAuthenticationRequiredException&) {
    }
}

TEST(HttpClientScripted, HugeContentLengthIsRefusedWithoutAllocating) {
    ScriptedServer server({{"HTTP/1.0 200 OK\r\nContent-Length: 99999999999999\r\n\r\nabc", false},
                           {"HTTP/1.0 200 OK\r\nContent-Length: 67108864\r\n\r\nabc"}});
    HttpClient client;
    std::string body;
    EXPECT_THROW(client.get(server.url("/"), body), HttpClient::BadResponseException);
    // Exactly the limit is accepted, but the server closes after three bytes.
    EXPECT_THROW(client.get(server.url("/"), body), Exception);
    EXPECT_LT(body.capacity(), 1000000u);
}

TEST(HttpClientScripted, BodyOverTheLimitWithoutLengthIsRefused) {
    std::string reply = "HTTP/1.0 200 OK\r\n\r\n" + std::string(HttpClient::kMaxBodySize + 10000, 'x');
    ScriptedServer server({{reply}});
    HttpClient client;
    std::string body;
    EXPECT_THROW(client.get(server.url("/"), body), HttpClient::BadResponseException);
}

TEST(HttpClientScripted, EndlessHeadIsRefused) {
    std::string head = "HTTP/1.0 200 OK\r\n";
    for (std::size_t i = 0; i <= HttpClient::kMaxHeaderLines; ++i) head += "Set-Cookie: n" + std::to_string(i) + "=v\r\n";
    ScriptedServer server({{head + "\r\n"}});
    HttpClient client;
    std::string body;
    EXPECT_THROW(client.get(server.url("/"), body), HttpClient::BadResponseException);
}


TEST(HttpClientScripted, SilentServerRunsIntoTheTimeout) {
    ScriptedServer server({{"", true, true}});
    HttpClient client;
    client.setTimeout(1);
    std::string body;
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(client.get(server.url("/"), body), TimeoutException);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_FALSE(client.connected());
}

TEST(HttpClientScripted, AServerThatStopsReadingCannotHoldAPostPastTheTimeout) {
    // A listening socket that never accepts: the system takes the connection
    // and buffers the first bytes, then the sender waits.
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    HttpClient client;
    client.setTimeout(1);
    std::string body;
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(client.post("http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/", std::string(64u << 20, 'p'), body),
                 TimeoutException);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_FALSE(client.connected());
    ::close(listener);
}

TEST(HttpClientScripted, AbortFromAnotherThreadEndsAHangingRequest) {
    ScriptedServer server({{"", true, true}});
    HttpClient client;
    std::thread aborter([&client] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        client.abort();
    });
    std::string body;
    EXPECT_THROW(client.get(server.url("/"), body), HttpClient::AbortedException);
    aborter.join();
    EXPECT_THROW(client.get(server.url("/"), body), HttpClient::AbortedException);
}

TEST(HttpClientScripted, KeepAliveDecision) {
    ScriptedServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na", false},
                           {"HTTP/1.0 200 OK\r\nConnection: KeEp-AlIvE\r\nContent-Length: 1\r\n\r\nb", false},
                           {"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\nc", false},
                           {"HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nd", false}});
    HttpClient client;
    std::string body;
    client.get(server.url("/1"), body);
    EXPECT_TRUE(client.connected());
    client.get(server.url("/2"), body);
    EXPECT_TRUE(client.connected());
    client.get(server.url("/3"), body);
    EXPECT_FALSE(client.connected());
    client.get(server.url("/4"), body);
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(body, "d");
    // The first three shared one connection; the fourth needed a new one.
    EXPECT_EQ(server.connections(), 2);
}

TEST(HttpClientScripted, ConnectionClosedByTheServerIsReplaced) {
    // The server promises keep-alive, then closes: the probe notices.
    ScriptedServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na", true},
                           {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nb", true}});
    HttpClient client;
    std::string body;
    client.get(server.url("/1"), body);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    client.get(server.url("/2"), body);
    EXPECT_EQ(body, "b");
    EXPECT_EQ(server.connections(), 2);
}

TEST(HttpClientScripted, KeptConnectionClosedWithoutAnswerIsRetriedOnce) {
    // The server takes the second request on the kept connection and closes
    // it without a byte: the request goes out once more on a new connection.
    ScriptedServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na", false},
                           {"", true},
                           {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nb", false}});
    HttpClient client;
    std::string body;
    client.get(server.url("/1"), body);
    client.get(server.url("/2"), body);
    EXPECT_EQ(body, "b");
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(server.connections(), 2);
    // A POST is never sent twice: the server may have acted on it.
    ScriptedServer poster({{"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na", false},
                           {"", true},
                           {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nc", false}});
    client.get(poster.url("/1"), body);
    body = "unchanged";
    EXPECT_THROW(client.post(poster.url("/order"), "pay=1", body), Exception);
    EXPECT_EQ(body, "unchanged");
    EXPECT_EQ(poster.requests().size(), 2u);
    client.get(poster.url("/3"), body);
    EXPECT_EQ(body, "c");
    EXPECT_EQ(firstLine(poster.requests()[2]), "GET /3 HTTP/1.0");
    // A new connection closed without an answer is not retried.
    ScriptedServer mute({{"", true}, {"HTTP/1.0 200 OK\r\n\r\nnever"}});
    EXPECT_THROW(client.get(mute.url("/"), body), Exception);
    EXPECT_EQ(mute.requests().size(), 1u);
}

TEST(HttpClientScripted, StreamReadsTheBodyFromTheConnection) {
    ScriptedServer server({{"HTTP/1.0 200 OK\r\nContent-Length: 11\r\n\r\nhello worldEXTRA", false},
                           {"HTTP/1.0 200 OK\r\n\r\nuntil close"}});
    HttpClient client;
    auto readAll = [](InputStream& in) {
        std::string all;
        char buf[4];
        for (int n; (n = in.read(buf, sizeof buf, 2000)) > 0;) all.append(buf, static_cast<std::size_t>(n));
        return all;
    };
    EXPECT_EQ(readAll(client.getStream(server.url("/a"))), "hello world");
    EXPECT_EQ(readAll(client.getStream(server.url("/b"))), "until close");
    EXPECT_EQ(server.connections(), 2);
}

TEST(HttpClientScripted, RefusedConnectionRaisesASocketException) {
    int port;
    {
        ScriptedServer gone({});
        port = gone.port();
    }
    HttpClient client;
    std::string body;
    EXPECT_THROW(client.get("http://127.0.0.1:" + std::to_string(port) + "/", body), SocketException);
    EXPECT_THROW(client.get("http://127.0.0.1:0/", body), ConnectException);
}

// --- the Python http.server script -------------------------------------------------

class HttpClientPython : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("ambrel-http-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_ / "dir");
        std::ofstream(dir_ / "hello.txt") << "Hello, Ambrel!\n";
        std::ofstream(dir_ / "dir" / "b.txt") << "bee";
        server_ = std::make_unique<PythonHttpServer>(dir_.string());
        ASSERT_NE(server_->port(), 0) << "the Python test server did not start";
    }
    void TearDown() override {
        server_.reset();
        std::filesystem::remove_all(dir_);
    }
    std::string url(const std::string& path) const { return server_->url(path); }

    std::filesystem::path dir_;
    std::unique_ptr<PythonHttpServer> server_;
};

TEST_F(HttpClientPython, PlainGetAndNotFound) {
    HttpClient client;
    std::string body;
    client.get(url("/hello.txt"), body);
    EXPECT_EQ(body, "Hello, Ambrel!\n");
    EXPECT_THROW(client.get(url("/missing.txt"), body), HttpClient::BadResponseException);
}

TEST_F(HttpClientPython, KeepAliveReusesOneConnection) {
    HttpClient client;
    std::string a;
    std::string b;
    client.get(url("/hello.txt"), a);
    std::string first = client.response().headerValue("X-Connection");
    client.get(url("/dir/b.txt"), b);
    EXPECT_EQ(b, "bee");
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(client.response().headerValue("X-Connection"), first);
    // Without keep-alive every request has its own connection.
    HttpClient closing;
    closing.setKeepAlive(false);
    closing.get(url("/hello.txt"), a);
    std::string one = closing.response().headerValue("X-Connection");
    closing.get(url("/hello.txt"), a);
    EXPECT_NE(closing.response().headerValue("X-Connection"), one);
}

TEST_F(HttpClientPython, ATricklingServerIsHeldToTheTimeout) {
    // A 917-byte status line, a byte every 200 ms: three minutes in all.
    HttpClient client;
    client.setTimeout(2);
    std::string body;
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(client.get(url("/trickle?ms=200"), body), TimeoutException);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_FALSE(client.connected());
}

TEST_F(HttpClientPython, SlowRedirectsShareTheRequestsDeadline) {
    HttpClient client;
    client.setTimeout(2);
    std::string body;
    client.get(url("/slowredirect?ms=300&n=2"), body);
    EXPECT_EQ(body, "arrived");
    // Each answer comes well within the time-out, all of them together do not.
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(client.get(url("/slowredirect?ms=700&n=5"), body), TimeoutException);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
}

TEST_F(HttpClientPython, ChunkedOversizedAndCutBodies) {
    HttpClient client;
    std::string body;
    client.get(url("/chunked?n=3"), body);
    EXPECT_EQ(body, "chunk 0.chunk 1.chunk 2.");
    // The connection stays in step after the last chunk and its trailer.
    client.get(url("/hello.txt"), body);
    EXPECT_EQ(body, "Hello, Ambrel!\n");
    EXPECT_EQ(client.response().headerValue("X-Connection"), "1");

    client.get(url("/big?kb=300"), body);
    EXPECT_EQ(body.size(), 300u * 1024u);
    client.setMaxBodySize(256 * 1024);
    body = "kept";
    EXPECT_THROW(client.get(url("/big?kb=300"), body), HttpClient::BodyTooLargeException);
    EXPECT_TRUE(body == "kept");
    // A reset before the server's orderly close is not the end of the body.
    EXPECT_THROW(client.get(url("/cut?kb=64"), body), Exception);
    EXPECT_TRUE(body == "kept");
}

TEST_F(HttpClientPython, FollowsRedirects) {
    HttpClient client;
    std::string body;
    client.get(url("/redirect?to=/dir/b.txt"), body);
    EXPECT_EQ(body, "bee");
    client.get(url("/redirect?to=") + url("/hello.txt"), body);
    EXPECT_EQ(body, "Hello, Ambrel!\n");
}

TEST_F(HttpClientPython, CookiesAreKeptWhenOn) {
    HttpClient client;
    client.setCookies(true);
    std::string body;
    client.get(url("/setcookie?a=1&b=2"), body);
    client.get(url("/setcookie?a=3"), body);
    client.get(url("/cookies"), body);
    EXPECT_EQ(body, "a=3;b=2");
    HttpClient without;
    without.get(url("/setcookie?a=1"), body);
    without.get(url("/cookies"), body);
    EXPECT_EQ(body, "");
}

}  // namespace
}  // namespace ambrel
