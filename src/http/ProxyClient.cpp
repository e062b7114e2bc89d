#include "http/ProxyClient.h"

#include "link/Socket.h"

namespace ambrel {

void ProxyClient::connect(SocketHandle& socket, const std::string& host, int port, const ProxySettings& settings,
                          int ms) {
    if (settings.type != ProxySettings::kDirect && settings.type != ProxySettings::kHttpProxy) {
        throw ProxyException();
    }
    // Port 0 or a number that does not fit 16 bits would silently connect
    // somewhere else once cut to 16 bits.
    if (port <= 0 || port > 65535) throw ConnectException();
    SocketAddress address;
    address.setAddress(host.c_str(), port);
    connectWithTimeout(socket.handle, address, ms);
}

}  // namespace ambrel
