// Socket layer over POSIX sockets. See Socket.h for the contract.
#include "link/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/errqueue.h>
#include <net/if.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace ambrel {

namespace {

// The resolver lock: one host-database question at a time, process-wide.
// A function-local static is built before first use and lives to exit.
std::mutex& resolverLock() {
    static std::mutex lock;
    return lock;
}

std::atomic<int> startupCount{0};

// A system address for a socket of `socketFamily`: an IPv4 address to an
// IPv6 socket goes as its mapped form (::ffff:a.b.c.d).
struct SystemAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

SystemAddress toSockaddr(const SocketAddress& a, int socketFamily) {
    SystemAddress out;
    if (a.family == SocketAddress::kIpv6 || socketFamily == AF_INET6) {
        auto* s = reinterpret_cast<sockaddr_in6*>(&out.storage);
        s->sin6_family = AF_INET6;
        s->sin6_port = a.port;
        if (a.family == SocketAddress::kIpv6) {
            std::memcpy(&s->sin6_addr, a.bytes, 16);
            s->sin6_scope_id = a.scope;
        } else if (a.ipv4() == 0) {
            s->sin6_addr = in6addr_any;  // every address of both families
        } else {
            s->sin6_addr.s6_addr[10] = 0xFF;
            s->sin6_addr.s6_addr[11] = 0xFF;
            std::memcpy(&s->sin6_addr.s6_addr[12], a.bytes, 4);
        }
        out.length = sizeof(sockaddr_in6);
    } else {
        auto* s = reinterpret_cast<sockaddr_in*>(&out.storage);
        s->sin_family = AF_INET;
        s->sin_port = a.port;
        std::memcpy(&s->sin_addr, a.bytes, 4);
        out.length = sizeof(sockaddr_in);
    }
    return out;
}

// False for a family other than IPv4 and IPv6 or a short length.
bool fromSockaddr(const sockaddr_storage& storage, socklen_t length, SocketAddress& a) {
    if (storage.ss_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto* s = reinterpret_cast<const sockaddr_in*>(&storage);
        a = SocketAddress::fromIpv4(s->sin_addr.s_addr, ntohs(s->sin_port));
        return true;
    }
    if (storage.ss_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const auto* s = reinterpret_cast<const sockaddr_in6*>(&storage);
        a = SocketAddress::fromIpv6(s->sin6_addr.s6_addr, ntohs(s->sin6_port), s->sin6_scope_id);
        return true;
    }
    return false;
}

// Waits for `events` on one descriptor for at most ms (-1: no limit), on the
// monotonic clock; interrupted waits resume with the time that is left.
// Returns true when ready (or the descriptor reports an error or hang-up,
// which the following call then reports), false on time-out. A negative
// handle is no socket at all: poll would skip it and never report anything.
bool waitFor(int handle, short events, int ms) {
    if (handle < 0) throw SocketException();
    const int64_t deadline = ms < 0 ? 0 : monotonicMilliseconds() + ms;
    for (;;) {
        int wait = -1;
        if (ms >= 0) {
            wait = static_cast<int>(std::max<int64_t>(0, deadline - monotonicMilliseconds()));
        }
        pollfd p{handle, events, 0};
        int r = ::poll(&p, 1, wait);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) throw SocketException();
    }
}

// 0 means "no socket" to every caller, and 1 and 2 are the standard streams:
// a new descriptor below 3 is moved above them.
int aboveStandardStreams(int fd) {
    if (fd > 2) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    if (moved < 0) throw SocketException();
    return moved;
}

[[noreturn]] void throwConnectError(int err) {
    switch (err) {
    case EADDRINUSE: throw BindException();
    case EADDRNOTAVAIL:
    case ECONNREFUSED: throw ConnectException();
    case ETIMEDOUT: throw NoRouteToHostException();
    default: throw SocketException();
    }
}

[[noreturn]] void throwSendError(int err) {
    if (err == ETIMEDOUT || err == EHOSTUNREACH || err == ENETUNREACH) throw NoRouteToHostException();
    throw SocketException();
}

[[noreturn]] void throwReceiveError(int err) {
    if (err == ETIMEDOUT) throw NoRouteToHostException();
    throw SocketException();
}

// Takes every queued error report off a socket (only one with
// reportPeerErrors gets any) and returns the error number of the first one,
// 0 when there was none. Reports left queued would keep the socket "ready"
// for every later wait.
int takeErrorReports(int handle) {
    int first = 0;
    for (;;) {
        char payload[1];
        alignas(cmsghdr) char control[256];
        iovec piece{payload, sizeof payload};
        msghdr message{};
        message.msg_iov = &piece;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (::recvmsg(handle, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
            if (errno == EINTR) continue;
            return first;  // EAGAIN: the queue is empty
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            const bool v4 = c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR;
            const bool v6 = c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_RECVERR;
            if (!v4 && !v6) continue;
            sock_extended_err report;
            std::memcpy(&report, CMSG_DATA(c), sizeof report);
            if (first == 0) first = static_cast<int>(report.ee_errno);
        }
        if (first == 0) first = EIO;  // a report without its details
    }
}

// The error numbers the system gives a datagram socket for the ICMP reports
// of a datagram it sent (unreachable port, host, network or protocol, or a
// filtered or faulty path).
bool isDeliveryReport(int err) {
    switch (err) {
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENOPROTOOPT:
    case EPROTO:
    case EOPNOTSUPP:
    case EACCES:
        return true;
    default:
        return false;
    }
}

// One piece of the dotted-quad test: at most three digits, at most 255 (an
// empty piece reads 0).
bool quadPiece(std::string_view piece, uint8_t& value) {
    if (piece.size() > 3) return false;
    unsigned v = 0;
    for (char c : piece) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > 255) return false;
    value = static_cast<uint8_t>(v);
    return true;
}

// The dotted-quad test: four pieces after dropping one final dot.
bool parseDottedQuad(std::string_view text, uint8_t (&bytes)[4]) {
    if (!text.empty() && text.back() == '.') text.remove_suffix(1);
    int pieces = 0;
    for (;;) {
        const size_t dot = text.find('.');
        if (pieces == 4 || !quadPiece(text.substr(0, dot), bytes[pieces])) return false;
        ++pieces;
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    return pieces == 4;
}

bool isMappedIpv4(const uint8_t* b) {
    static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(b, prefix, 12) == 0;
}

}  // namespace

void SocketAddress::setAddress(const char* host, int newPort) {
    const uint16_t kept = port;
    *this = host == nullptr ? SocketAddress{} : resolveHost(host);
    port = kept;
    if (newPort >= 0) port = htons(static_cast<uint16_t>(newPort & 0xFFFF));
}

int SocketAddress::hostPort() const { return ntohs(port); }

bool SocketAddress::isAnyAddress() const {
    static const uint8_t zero[16] = {};
    return std::memcmp(bytes, zero, family == kIpv6 ? 16 : 4) == 0;
}

uint32_t SocketAddress::ipv4() const {
    if (family != kIpv4) return 0;
    uint32_t a;
    std::memcpy(&a, bytes, 4);
    return a;
}

std::string SocketAddress::hostText() const { return addressText(*this); }

std::string SocketAddress::text() const {
    const std::string host = hostText();
    return (family == kIpv6 ? "[" + host + "]" : host) + ":" + std::to_string(hostPort());
}

SocketAddress SocketAddress::fromHostOrder(uint32_t hostAddress, int p) { return fromIpv4(htonl(hostAddress), p); }

SocketAddress SocketAddress::fromIpv4(uint32_t networkAddress, int p) {
    SocketAddress a;
    std::memcpy(a.bytes, &networkAddress, 4);
    a.port = htons(static_cast<uint16_t>(p & 0xFFFF));
    return a;
}

SocketAddress SocketAddress::fromIpv6(const uint8_t* address16, int p, uint32_t scope) {
    if (isMappedIpv4(address16)) {
        uint32_t v4;
        std::memcpy(&v4, address16 + 12, 4);
        return fromIpv4(v4, p);
    }
    SocketAddress a;
    a.family = kIpv6;
    std::memcpy(a.bytes, address16, 16);
    a.port = htons(static_cast<uint16_t>(p & 0xFFFF));
    a.scope = scope;
    return a;
}

size_t SocketAddress::hash() const {
    // FNV-1a over the fields.
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](const void* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            h ^= static_cast<const uint8_t*>(p)[i];
            h *= 1099511628211ull;
        }
    };
    mix(&family, sizeof family);
    mix(&port, sizeof port);
    mix(&scope, sizeof scope);
    mix(bytes, sizeof bytes);
    return static_cast<size_t>(h);
}

void SharedSocketAddress::store(const SocketAddress& address) {
    uint64_t words[kWords];
    std::memcpy(words, &address, sizeof words);
    uint32_t seq = sequence_.load(std::memory_order_relaxed);
    for (;;) {
        if ((seq & 1) == 0 &&
            sequence_.compare_exchange_weak(seq, seq + 1, std::memory_order_acquire, std::memory_order_relaxed))
            break;
        seq = sequence_.load(std::memory_order_relaxed);
    }
    std::atomic_thread_fence(std::memory_order_release);
    for (int i = 0; i < kWords; ++i) words_[i].store(words[i], std::memory_order_relaxed);
    sequence_.store(seq + 2, std::memory_order_release);
}

SocketAddress SharedSocketAddress::load() const {
    uint64_t words[kWords];
    for (;;) {
        const uint32_t before = sequence_.load(std::memory_order_acquire);
        if (before & 1) continue;
        for (int i = 0; i < kWords; ++i) words[i] = words_[i].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (sequence_.load(std::memory_order_relaxed) == before) break;
    }
    SocketAddress a;
    std::memcpy(&a, words, sizeof a);
    return a;
}

bool parseAddressLiteral(std::string_view text, SocketAddress& address) {
    // The system's parsers stop at a NUL: "::1\0junk" is no address.
    if (text.find('\0') != std::string_view::npos) return false;
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    uint8_t quad[4];
    if (parseDottedQuad(text, quad)) {
        uint32_t v4;
        std::memcpy(&v4, quad, 4);
        address = SocketAddress::fromIpv4(v4, 0);
        return true;
    }
    if (text.find(':') == std::string_view::npos || text.size() >= INET6_ADDRSTRLEN + IF_NAMESIZE) return false;
    const size_t percent = text.find('%');
    const std::string literal(text.substr(0, percent));
    in6_addr bytes{};
    if (::inet_pton(AF_INET6, literal.c_str(), &bytes) != 1) return false;
    uint32_t scope = 0;
    if (percent != std::string_view::npos) {
        const std::string zone(text.substr(percent + 1));
        if (zone.empty()) return false;
        if (zone.find_first_not_of("0123456789") == std::string::npos && zone.size() <= 9)
            scope = static_cast<uint32_t>(std::stoul(zone));
        else
            scope = ::if_nametoindex(zone.c_str());
        if (scope == 0) return false;
    }
    address = SocketAddress::fromIpv6(bytes.s6_addr, 0, scope);
    return true;
}

bool looksLikeAddressLiteral(std::string_view text) {
    if (text.empty()) return false;
    if (text.find_first_of(":[]") != std::string_view::npos) return true;
    return text.find_first_not_of("0123456789.") == std::string_view::npos;
}

bool splitHostPort(std::string_view text, std::string& host, std::string& port) {
    host.clear();
    port.clear();
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) return false;
        host = std::string(text.substr(1, close - 1));
        std::string_view rest = text.substr(close + 1);
        if (rest.empty()) return true;
        if (rest.front() != ':') return false;
        port = std::string(rest.substr(1));
        return true;
    }
    if (text.find(']') != std::string_view::npos) return false;
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos) {
        host = std::string(text);  // no port, or a bare IPv6 literal
        return true;
    }
    host = std::string(text.substr(0, colon));
    port = std::string(text.substr(colon + 1));
    return true;
}

std::string bracketedHost(const std::string& host) {
    return host.find(':') != std::string::npos && host.front() != '[' ? "[" + host + "]" : host;
}

int socketStartup() { return ++startupCount; }

int socketCleanup() {
    int count = startupCount.load();
    do {
        if (count <= 0) throw SocketException();
    } while (!startupCount.compare_exchange_weak(count, count - 1));
    return count - 1;
}

int openSocket(bool stream, int family) {
    const int domain = family == SocketAddress::kIpv6 ? AF_INET6 : AF_INET;
    int fd = ::socket(domain, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (fd < 0) throw SocketException();
    return aboveStandardStreams(fd);
}

int socketFamily(int handle) {
    int domain = AF_INET;
    socklen_t len = sizeof domain;
    if (::getsockopt(handle, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0) return SocketAddress::kIpv4;
    return domain == AF_INET6 ? SocketAddress::kIpv6 : SocketAddress::kIpv4;
}

void setDualStack(int handle) {
    int off = 0;
    if (::setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) throw SocketException();
}

void renewSocket(int handle, int family) {
    int type = SOCK_DGRAM;
    socklen_t len = sizeof type;
    if (::getsockopt(handle, SOL_SOCKET, SO_TYPE, &type, &len) != 0) throw SocketException();
    const int fresh = ::socket(family == SocketAddress::kIpv6 ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC, 0);
    if (fresh < 0) throw SocketException();
    // dup3 closes the old socket behind the number and puts the new one there.
    const int r = ::dup3(fresh, handle, O_CLOEXEC);
    ::close(fresh);
    if (r < 0) throw SocketException();
}

int closeSocket(int handle) {
    if (handle == 0 || handle == -1) return 0;
    ::shutdown(handle, SHUT_WR);
    ::shutdown(handle, SHUT_RD);
    ::close(handle);
    return 0;
}

void bindSocket(int handle, const SocketAddress& address) {
    SystemAddress s = toSockaddr(address, socketFamily(handle));
    if (::bind(handle, s.get(), s.length) != 0) {
        if (errno == EADDRINUSE || errno == EADDRNOTAVAIL) throw BindException();
        throw SocketException();
    }
}

int listenSocket(int handle, int backlog) {
    if (::listen(handle, backlog) != 0) {
        if (errno == EADDRINUSE) throw BindException();
        throw SocketException();
    }
    return 0;
}

int acceptWithTimeout(int handle, SocketAddress& from, int ms) {
    if (ms != -1 && !waitFor(handle, POLLIN, ms)) return 0;
    sockaddr_storage s{};
    socklen_t len = sizeof s;
    int fd;
    do {
        len = sizeof s;
        fd = ::accept4(handle, reinterpret_cast<sockaddr*>(&s), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw SocketException();
    fd = aboveStandardStreams(fd);
    fromSockaddr(s, len, from);
    return fd;
}

void connectSocket(int handle, const SocketAddress& address) {
    SystemAddress s = toSockaddr(address, socketFamily(handle));
    if (::connect(handle, s.get(), s.length) == 0) return;
    int err = errno;
    if (err == EINTR) {
        // The connect goes on in the background; wait for its outcome.
        waitFor(handle, POLLOUT, -1);
        socklen_t len = sizeof err;
        if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &err, &len) != 0) throw SocketException();
        if (err == 0) return;
    }
    throwConnectError(err);
}

void connectWithTimeout(int handle, const SocketAddress& address, int ms) {
    if (ms == -1) {
        connectSocket(handle, address);
        return;
    }
    const int64_t deadline = monotonicMilliseconds() + ms;
    setBlocking(handle, false);
    SystemAddress s = toSockaddr(address, socketFamily(handle));
    int err = ::connect(handle, s.get(), s.length) == 0 ? 0 : errno;
    setBlocking(handle, true);
    // Done at once (always for a datagram socket): a late look at the clock
    // must not turn a made connection into a time-out.
    if (err == 0) return;
    int64_t remaining = 0;
    for (;;) {
        remaining = deadline - monotonicMilliseconds();
        if (remaining < 0) break;
        if (err != 0 && err != EINPROGRESS && err != EWOULDBLOCK && err != EAGAIN && err != EINTR) break;
        const bool writable = waitWritable(handle, static_cast<int>(std::min<int64_t>(remaining, 100)));
        // A refused or failed connect also makes the socket writable: the
        // pending error tells the outcome.
        int pending = 0;
        socklen_t len = sizeof pending;
        if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &pending, &len) != 0) throw SocketException();
        if (writable && pending == 0) return;
        err = pending;
    }
    if ((err == 0 || err == EINPROGRESS || err == EWOULDBLOCK || err == EAGAIN || err == EINTR) && remaining < 0) {
        throw TimeoutException();
    }
    throwConnectError(err);
}

int sendAll(int handle, const void* bytes, int length, int ms) {
    if (length <= 0) return 0;
    const int64_t deadline = ms < 0 ? 0 : monotonicMilliseconds() + ms;
    const char* p = static_cast<const char*>(bytes);
    int done = 0;
    while (done < length) {
        int wait = -1;
        if (ms >= 0) {
            wait = static_cast<int>(std::max<int64_t>(0, deadline - monotonicMilliseconds()));
        }
        if (!waitWritable(handle, wait)) throw TimeoutException();
        // Not blocking: a wait above bounds the time, never the send itself.
        ssize_t n = ::send(handle, p + done, static_cast<size_t>(length - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            throwSendError(errno);
        }
        done += static_cast<int>(n);
    }
    return done;
}

int sendTo(int handle, const SocketAddress& to, const void* bytes, int length) {
    if (length <= 0) return 0;
    // Sent in the address's own form, which Linux takes on a dual-stack
    // socket too (no look at the socket per datagram); the mapped form only
    // where the system asks for it.
    SystemAddress s = toSockaddr(to, to.family);
    bool mapped = false;
    for (;;) {
        const ssize_t n = ::sendto(handle, bytes, static_cast<size_t>(length), MSG_NOSIGNAL, s.get(), s.length);
        if (n >= 0) return static_cast<int>(n);
        const int err = errno;
        if (err == EINTR) continue;
        if (mapped || to.isIpv6() || (err != EAFNOSUPPORT && err != EINVAL) ||
            socketFamily(handle) != SocketAddress::kIpv6)
            throwSendError(err);
        s = toSockaddr(to, SocketAddress::kIpv6);
        mapped = true;
    }
}

int receive(int handle, void* buffer, int size, int ms) {
    if (ms != -1 && !waitFor(handle, POLLIN, ms)) return 0;
    ssize_t n;
    do {
        n = ::recv(handle, buffer, static_cast<size_t>(std::max(size, 0)), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) throwReceiveError(errno);
    if (n == 0) throw NoConnectionException();
    return static_cast<int>(n);
}

int receiveFrom(int handle, SocketAddress& from, void* buffer, int size, int ms) {
    if (ms != -1 && !waitFor(handle, POLLIN, ms)) return 0;
    sockaddr_storage s{};
    socklen_t len = sizeof s;
    ssize_t n;
    // MSG_TRUNC makes the kernel return the datagram's real length, so one
    // larger than the buffer is seen instead of being cut silently. After a
    // wait the receive does not block: the wait may have ended for an error
    // report alone, with no datagram behind it.
    const int flags = MSG_TRUNC | (ms != -1 ? MSG_DONTWAIT : 0);
    do {
        len = sizeof s;
        n = ::recvfrom(handle, buffer, static_cast<size_t>(std::max(size, 0)), flags,
                       reinterpret_cast<sockaddr*>(&s), &len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        int err = errno;
        const int reported = takeErrorReports(handle);
        // Only a report woke the wait (a send took its error first): it still
        // ends the receive as a failure. Nothing at all: nothing came.
        if (err == EAGAIN || err == EWOULDBLOCK) err = reported;
        // "Message too long" tells that a datagram sent was larger than the
        // path allows (the system has learnt the smaller size): the peer is
        // still there, and nothing came.
        if (err == 0 || err == EMSGSIZE) return 0;
        if (isDeliveryReport(err)) throw PeerUnreachableException();
        throwReceiveError(err);
    }
    fromSockaddr(s, len, from);
    if (n > size) throw SocketException();
    if (n == 0) throw NoConnectionException();
    return static_cast<int>(n);
}

void reportPeerErrors(int handle) {
    int on = 1;
    // An IPv6 socket takes both: the IPv4 one for the mapped addresses of a
    // dual-stack socket.
    if (::setsockopt(handle, IPPROTO_IP, IP_RECVERR, &on, sizeof on) != 0) throw SocketException();
    if (socketFamily(handle) == SocketAddress::kIpv6 &&
        ::setsockopt(handle, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on) != 0)
        throw SocketException();
}

bool waitWritable(int handle, int ms) { return waitFor(handle, POLLOUT, ms); }

bool waitReadable(int handle, int ms) { return waitFor(handle, POLLIN, ms); }

void setBlocking(int handle, bool blocking) {
    int flags = ::fcntl(handle, F_GETFL);
    if (flags < 0) throw SocketException();
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (::fcntl(handle, F_SETFL, flags) != 0) throw SocketException();
}

int bytesAvailable(int handle) {
    int n = 0;
    if (::ioctl(handle, FIONREAD, &n) != 0) throw SocketException();
    return n;
}

SocketAddress localAddress(int handle) {
    sockaddr_storage s{};
    socklen_t len = sizeof s;
    SocketAddress a;
    if (::getsockname(handle, reinterpret_cast<sockaddr*>(&s), &len) != 0 || !fromSockaddr(s, len, a)) {
        return SocketAddress{};
    }
    return a;
}

SocketAddress peerAddress(int handle) {
    sockaddr_storage s{};
    socklen_t len = sizeof s;
    SocketAddress a;
    if (::getpeername(handle, reinterpret_cast<sockaddr*>(&s), &len) != 0 || !fromSockaddr(s, len, a)) {
        return SocketAddress{};
    }
    return a;
}

int peerPort(int handle) { return peerAddress(handle).hostPort(); }

bool isOwnAddress(const SocketAddress& address) {
    if (address.isAnyAddress()) return true;
    if (address.isIpv6() ? SocketAddress::fromIpv6(address.bytes, 0) == resolveHost("::1")
                         : address.bytes[0] == 127)
        return true;
    try {
        SocketHandle probe;
        probe.openDatagram(address.family);
        SocketAddress at = address;
        at.port = 0;
        bindSocket(probe.handle, at);
        return true;
    } catch (const SocketException&) {
        return false;
    }
}

std::vector<SocketAddress> resolveAll(const char* host) {
    if (host == nullptr) throw UnknownHostException();
    SocketAddress literal;
    if (parseAddressLiteral(host, literal)) return {literal};
    std::lock_guard<std::mutex> guard(resolverLock());
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* answer = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &answer) != 0 || answer == nullptr) throw UnknownHostException();
    std::vector<SocketAddress> addresses;
    for (addrinfo* a = answer; a != nullptr; a = a->ai_next) {
        if (a->ai_addr == nullptr || a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        sockaddr_storage s{};
        std::memcpy(&s, a->ai_addr, a->ai_addrlen);
        SocketAddress address;
        if (!fromSockaddr(s, a->ai_addrlen, address)) continue;
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) addresses.push_back(address);
    }
    ::freeaddrinfo(answer);
    if (addresses.empty()) throw UnknownHostException();
    return addresses;
}

SocketAddress resolveHost(const char* host) { return resolveAll(host).front(); }

std::string reverseLookup(const SocketAddress& address) {
    SystemAddress s = toSockaddr(address, address.family);
    char name[NI_MAXHOST];
    std::lock_guard<std::mutex> guard(resolverLock());
    if (::getnameinfo(s.get(), s.length, name, sizeof name, nullptr, 0, NI_NAMEREQD) != 0) {
        throw UnknownHostException();
    }
    return std::string(name);
}

std::string addressText(const SocketAddress& address) {
    char text[INET6_ADDRSTRLEN];
    if (address.family != SocketAddress::kIpv6) {
        if (::inet_ntop(AF_INET, address.bytes, text, sizeof text) == nullptr) return std::string();
        return std::string(text);
    }
    if (::inet_ntop(AF_INET6, address.bytes, text, sizeof text) == nullptr) return std::string();
    std::string result(text);
    if (address.scope != 0) {
        char name[IF_NAMESIZE];
        result += "%";
        result += ::if_indextoname(address.scope, name) != nullptr ? std::string(name) : std::to_string(address.scope);
    }
    return result;
}

}  // namespace ambrel
