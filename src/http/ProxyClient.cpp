#include "http/ProxyClient.h"

#include "link/Socket.h"

#include <algorithm>

namespace ambrel {

void ProxyClient::connect(SocketHandle& socket, const std::string& host, int port, const ProxySettings& settings,
                          int ms) {
    if (settings.type != ProxySettings::kDirect && settings.type != ProxySettings::kHttpProxy) {
        throw ProxyException();
    }
    // Port 0 or a number that does not fit 16 bits would silently connect
    // somewhere else once cut to 16 bits.
    if (port <= 0 || port > 65535) throw ConnectException();
    // Every address of the host in the system's order, within the one time
    // allowed: a socket of the address's family takes the place of the last
    // one under the same descriptor, so the caller's handle stays valid.
    const std::vector<SocketAddress> addresses = resolveAll(host.c_str());
    const int64_t deadline = monotonicMilliseconds() + ms;
    for (size_t i = 0; i < addresses.size(); ++i) {
        SocketAddress address = addresses[i];
        address.port = SocketAddress::fromHostOrder(0, port).port;
        const int left = ms < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, deadline - monotonicMilliseconds()));
        try {
            if (i > 0 || socketFamily(socket.handle) != address.family) renewSocket(socket.handle, address.family);
            connectWithTimeout(socket.handle, address, left);
            return;
        } catch (const TimeoutException&) {
            throw;  // the time is up for every address
        } catch (const SocketException&) {
            if (i + 1 == addresses.size()) throw;
        }
    }
}

}  // namespace ambrel
