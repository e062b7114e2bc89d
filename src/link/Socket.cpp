// Socket layer over POSIX sockets. See Socket.h for the contract.
#include "link/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/errqueue.h>
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

sockaddr_in toSockaddr(const SocketAddress& a) {
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_port = a.port;
    s.sin_addr.s_addr = a.address;
    return s;
}

SocketAddress fromSockaddr(const sockaddr_in& s) {
    SocketAddress a;
    a.port = s.sin_port;
    a.address = s.sin_addr.s_addr;
    return a;
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
            if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR) continue;
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

// One piece of the dotted-quad test: at most three digits, read modulo 256.
bool quadPiece(const char* begin, const char* end, uint8_t& value) {
    if (end - begin > 3) return false;
    unsigned v = 0;
    for (const char* p = begin; p != end; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = (v * 10 + static_cast<unsigned>(*p - '0')) & 0xFF;
    }
    value = static_cast<uint8_t>(v);
    return true;
}

// The dotted-quad test: four pieces after dropping one final empty piece.
bool parseDottedQuad(const char* text, uint32_t& address) {
    const char* end = text + std::strlen(text);
    if (end != text && end[-1] == '.') --end;  // a final dot makes no piece
    uint8_t bytes[4];
    int pieces = 0;
    const char* start = text;
    for (const char* p = text;; ++p) {
        if (p == end || *p == '.') {
            if (pieces == 4 || !quadPiece(start, p, bytes[pieces])) return false;
            ++pieces;
            if (p == end) break;
            start = p + 1;
        }
    }
    if (pieces != 4) return false;
    std::memcpy(&address, bytes, 4);  // bytes in order = network order
    return true;
}

}  // namespace

void SocketAddress::setAddress(const char* host, int newPort) {
    address = host == nullptr ? 0 : resolveHost(host);
    if (newPort >= 0) port = htons(static_cast<uint16_t>(newPort & 0xFFFF));
}

int SocketAddress::hostPort() const { return ntohs(port); }

SocketAddress SocketAddress::fromHostOrder(uint32_t hostAddress, int p) {
    SocketAddress a;
    a.address = htonl(hostAddress);
    a.port = htons(static_cast<uint16_t>(p & 0xFFFF));
    return a;
}

int socketStartup() { return ++startupCount; }

int socketCleanup() {
    int count = startupCount.load();
    do {
        if (count <= 0) throw SocketException();
    } while (!startupCount.compare_exchange_weak(count, count - 1));
    return count - 1;
}

int openSocket(bool stream) {
    int fd = ::socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (fd < 0) throw SocketException();
    return aboveStandardStreams(fd);
}

int closeSocket(int handle) {
    if (handle == 0 || handle == -1) return 0;
    ::shutdown(handle, SHUT_WR);
    ::shutdown(handle, SHUT_RD);
    ::close(handle);
    return 0;
}

void bindSocket(int handle, const SocketAddress& address) {
    sockaddr_in s = toSockaddr(address);
    if (::bind(handle, reinterpret_cast<sockaddr*>(&s), sizeof s) != 0) {
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
    sockaddr_in s{};
    socklen_t len = sizeof s;
    int fd;
    do {
        fd = ::accept4(handle, reinterpret_cast<sockaddr*>(&s), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw SocketException();
    fd = aboveStandardStreams(fd);
    from = fromSockaddr(s);
    return fd;
}

void connectSocket(int handle, const SocketAddress& address) {
    sockaddr_in s = toSockaddr(address);
    if (::connect(handle, reinterpret_cast<sockaddr*>(&s), sizeof s) == 0) return;
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
    sockaddr_in s = toSockaddr(address);
    int err = ::connect(handle, reinterpret_cast<sockaddr*>(&s), sizeof s) == 0 ? 0 : errno;
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
    sockaddr_in s = toSockaddr(to);
    ssize_t n;
    do {
        n = ::sendto(handle, bytes, static_cast<size_t>(length), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&s),
                     sizeof s);
    } while (n < 0 && errno == EINTR);
    if (n < 0) throwSendError(errno);
    return static_cast<int>(n);
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
    sockaddr_in s{};
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
    if (len >= sizeof(sockaddr_in) && s.sin_family == AF_INET) from = fromSockaddr(s);
    if (n > size) throw SocketException();
    if (n == 0) throw NoConnectionException();
    return static_cast<int>(n);
}

void reportPeerErrors(int handle) {
    int on = 1;
    if (::setsockopt(handle, IPPROTO_IP, IP_RECVERR, &on, sizeof on) != 0) throw SocketException();
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
    sockaddr_in s{};
    socklen_t len = sizeof s;
    if (::getsockname(handle, reinterpret_cast<sockaddr*>(&s), &len) != 0 || s.sin_family != AF_INET) {
        return SocketAddress{};
    }
    return fromSockaddr(s);
}

SocketAddress peerAddress(int handle) {
    sockaddr_in s{};
    socklen_t len = sizeof s;
    if (::getpeername(handle, reinterpret_cast<sockaddr*>(&s), &len) != 0 || s.sin_family != AF_INET) {
        return SocketAddress{};
    }
    return fromSockaddr(s);
}

int peerPort(int handle) { return peerAddress(handle).hostPort(); }

uint32_t resolveHost(const char* host) {
    if (host == nullptr) throw UnknownHostException();
    uint32_t address = 0;
    if (parseDottedQuad(host, address)) return address;
    std::lock_guard<std::mutex> guard(resolverLock());
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* answer = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &answer) != 0 || answer == nullptr) throw UnknownHostException();
    for (addrinfo* a = answer; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr != nullptr && a->ai_addrlen >= sizeof(sockaddr_in)) {
            address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
            ::freeaddrinfo(answer);
            return address;
        }
    }
    ::freeaddrinfo(answer);
    throw UnknownHostException();
}

std::string reverseLookup(uint32_t address) {
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_addr.s_addr = address;
    char name[NI_MAXHOST];
    std::lock_guard<std::mutex> guard(resolverLock());
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&s), sizeof s, name, sizeof name, nullptr, 0, NI_NAMEREQD) != 0) {
        throw UnknownHostException();
    }
    return std::string(name);
}

std::string addressText(uint32_t address) {
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN];
    if (::inet_ntop(AF_INET, &a, text, sizeof text) == nullptr) return std::string();
    return std::string(text);
}

}  // namespace ambrel
