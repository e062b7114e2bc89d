// The connector through which the HTTP client opens its connections. Only the
// direct connection is built: the program never configures a proxy, and every
// other connection type fails with ProxyClient::ProxyException.
#pragma once

#include <string>

#include "base/Exception.h"

namespace ambrel {

class SocketHandle;

struct ProxySettings {
    enum Type { kDirect = 0, kHttpsConnect = 1, kSocks4 = 2, kSocks5 = 3, kHttpProxy = 4 };

    int type = kDirect;
    std::string host;
    int port = 0;
    std::string user;
    std::string password;
    // Connect time-out in milliseconds; the HTTP client overwrites it with the
    // time left before its deadline on every connect.
    int connectTimeout = 15000;
};

class ProxyClient {
public:
    class ProxyException : public Exception {};
    class ProxyAuthenticationRequiredException : public ProxyException {};
    // A 407 answer offers no authentication scheme the client knows.
    class ProxyUnknownAuthenticationRequiredException : public ProxyAuthenticationRequiredException {};

    // Connects the open stream socket `socket` to host:port as the settings
    // say, giving up after ms (-1: no limit).
    // Leaves the socket connected or throws: the exceptions of the socket layer
    // (UnknownHostException, ConnectException, TimeoutException, ...),
    // ConnectException for a port outside 1..65535, ProxyException for a
    // connection type other than the direct one.
    static void connect(SocketHandle& socket, const std::string& host, int port, const ProxySettings& settings,
                        int ms);
};

}  // namespace ambrel
