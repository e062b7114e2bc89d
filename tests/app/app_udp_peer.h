// A raw UDP peer on loopback for the application tests (no Qt).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace ambrel::test {

// A raw UDP socket bound to a free loopback port.
class UdpPeer {
public:
    // Bound to a free port of a loopback address (127.0.0.2 plays a stranger).
    explicit UdpPeer(uint32_t hostAddress = INADDR_LOOPBACK) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(hostAddress);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~UdpPeer() { ::close(fd_); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    int port() const { return port_; }

    // One datagram, or an empty vector after ms without one.
    std::vector<uint8_t> receive(int ms, sockaddr_in* from = nullptr) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return {};
        std::vector<uint8_t> buffer(65536);
        sockaddr_in sender{};
        socklen_t len = sizeof sender;
        ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&sender), &len);
        if (n < 0) return {};
        if (from) *from = sender;
        buffer.resize(static_cast<size_t>(n));
        return buffer;
    }

    void sendTo(const sockaddr_in& to, const std::vector<uint8_t>& bytes) {
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A loopback port that nothing listens on (bound and released at once).
inline int freeUdpPort() {
    UdpPeer probe;
    return probe.port();
}

}  // namespace ambrel::test
