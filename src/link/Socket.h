// The socket layer: thin operations over POSIX IPv4 and IPv6 sockets that turn every
// failure into an exception of Exception.h, add time-outs to blocking calls and
// resolve host names under one process-wide lock.
//
// Handles are plain descriptors. 0 means "no socket" (as does -1): the layer
// never hands out descriptors 0, 1 or 2, so a real socket is never mistaken for
// "none" even when the standard streams are closed. Sockets stay blocking
// except during connectWithTimeout.
//
// Time-outs are in milliseconds; -1 waits without limit. Every wait on a
// negative handle throws SocketException. Every deadline is
// measured on the monotonic clock, so a step of the wall clock (NTP, resume
// from suspend) neither cuts a wait short nor stretches it.
//
// All operations may be called from any thread; they keep no state except the
// resolver lock and the start-up count.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.h"
#include "base/Exception.h"

namespace ambrel {

// A socket address of either family: IPv4 or IPv6, port in network byte
// order. A plain record: every byte is defined (unused ones are zero), so two
// addresses compare and hash by their fields. An IPv4 address reached over a
// dual-stack socket (::ffff:a.b.c.d) is always held as the IPv4 address.
struct SocketAddress {
    static constexpr uint16_t kIpv4 = 2;   // the system's AF_INET
    static constexpr uint16_t kIpv6 = 10;  // the system's AF_INET6

    uint16_t family = kIpv4;
    uint16_t port = 0;      // network byte order
    uint32_t scope = 0;     // IPv6 interface index (link-local addresses); else 0
    uint8_t bytes[16] = {}; // network order; IPv4 uses the first four

    // address := 0.0.0.0 when host is null, else resolveHost(host); the port
    // (host order, only its low 16 bits) is stored only when port >= 0, so -1
    // keeps the old one. Throws UnknownHostException.
    void setAddress(const char* host, int port);

    // The port in host byte order.
    int hostPort() const;
    bool isIpv6() const { return family == kIpv6; }
    // True for 0.0.0.0 and :: (the address part only).
    bool isAnyAddress() const;
    // The IPv4 address in network order; 0 for an IPv6 address.
    uint32_t ipv4() const;
    // The address without the port: "10.0.0.2", "fd00::2", "fe80::1%eth0".
    std::string hostText() const;
    // With the port: "10.0.0.2:5007", "[fd00::2]:5007".
    std::string text() const;

    // From a host-order IPv4 address (e.g. 0x7f000001) and host-order port.
    static SocketAddress fromHostOrder(uint32_t hostAddress, int port);
    // From an IPv4 address in network order.
    static SocketAddress fromIpv4(uint32_t networkAddress, int port);
    // From 16 address bytes; an IPv4-mapped address becomes the IPv4 one.
    static SocketAddress fromIpv6(const uint8_t* address16, int port, uint32_t scope = 0);

    friend bool operator==(const SocketAddress& a, const SocketAddress& b) {
        return a.family == b.family && a.port == b.port && a.scope == b.scope &&
               std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
    }
    friend bool operator<(const SocketAddress& a, const SocketAddress& b) {
        if (a.family != b.family) return a.family < b.family;
        if (int c = std::memcmp(a.bytes, b.bytes, sizeof a.bytes)) return c < 0;
        if (a.port != b.port) return a.port < b.port;
        return a.scope < b.scope;
    }
    size_t hash() const;
};

struct SocketAddressHash {
    size_t operator()(const SocketAddress& a) const { return a.hash(); }
};

// An address text without a lookup: a dotted quad (four pieces of at most
// three digits, each 0..255, an empty piece reading 0; one final dot is
// dropped before counting) or an IPv6 literal,
// with or without brackets, with an optional "%interface" scope. Port 0.
// Returns false for anything else.
bool parseAddressLiteral(std::string_view text, SocketAddress& address);
// Whether the text is made like an IPv4 address (only digits and dots) or an
// IPv6 one (a colon, or brackets), so that a failed parseAddressLiteral means
// a bad literal rather than a host name.
bool looksLikeAddressLiteral(std::string_view text);
// "host:port" or "[v6]:port" into host (brackets removed) and port text;
// a text without a port ("host", "[v6]", "fd00::2") leaves port empty. False
// for unbalanced brackets or text after "]" other than ":port".
bool splitHostPort(std::string_view text, std::string& host, std::string& port);
// A host for showing with a port: IPv6 literals in brackets.
std::string bracketedHost(const std::string& host);

// A SocketAddress shared between threads without a lock: a sequence count
// and the address in atomic words. store() from any thread (writers take
// turns on the count), load() from any thread (retries while a store is
// under way). Neither allocates nor waits on a lock.
class SharedSocketAddress {
public:
    SharedSocketAddress() { store(SocketAddress{}); }
    void store(const SocketAddress& address);
    SocketAddress load() const;

private:
    static constexpr int kWords = sizeof(SocketAddress) / sizeof(uint64_t);
    static_assert(sizeof(SocketAddress) % sizeof(uint64_t) == 0, "whole words");
    std::atomic<uint32_t> sequence_{0};  // odd while a store is under way
    std::atomic<uint64_t> words_[kWords];
};

// No socket.
constexpr int kNoSocket = 0;

// A use count only: nothing needs starting on Linux. socketStartup returns the
// new count; socketCleanup returns the remaining count and throws
// SocketException when called more often than socketStartup.
int socketStartup();
int socketCleanup();

// A new stream (stream = true) or datagram socket of the family
// (SocketAddress::kIpv4 or kIpv6), close-on-exec. Throws SocketException
// (an IPv6 socket where the system has no IPv6 at all).
int openSocket(bool stream, int family = SocketAddress::kIpv4);
// The family of a socket's addresses; kIpv4 when it cannot be told.
int socketFamily(int handle);
// An IPv6 socket that also takes and sends IPv4 (IPV6_V6ONLY off). Throws
// SocketException.
void setDualStack(int handle);
// Puts a fresh socket of the same type, of `family`, in place of `handle`
// (the descriptor number stays; the old socket is closed): for another try
// after a failed connect, or for an address of the other family. Throws
// SocketException.
void renewSocket(int handle, int family);
// Shuts down both directions and closes; nothing for 0 or -1; errors ignored.
int closeSocket(int handle);
// Addresses are given in either family: an IPv4 address to an IPv6 socket is
// passed as its IPv4-mapped form, and addresses the system reports
// (receiveFrom, accept, localAddress, peerAddress) come back unmapped.
//
// BindException for address in use / not available; SocketException otherwise.
void bindSocket(int handle, const SocketAddress& address);
// BindException for address in use; SocketException otherwise. Returns 0.
int listenSocket(int handle, int backlog);
// Waits at most ms (unless -1) for a connection; returns 0 when none came in
// time, else the new handle (sender's address in `from`). Throws SocketException.
int acceptWithTimeout(int handle, SocketAddress& from, int ms);
// Blocking connect. BindException (address in use), ConnectException (refused,
// address not available), NoRouteToHostException (network time-out),
// SocketException otherwise.
void connectSocket(int handle, const SocketAddress& address);
// Connect that gives up after ms (TimeoutException); polls at least every
// 100 ms; the socket is blocking again afterwards whatever the outcome. ms -1
// is connectSocket. Other failures as connectSocket.
void connectWithTimeout(int handle, const SocketAddress& address, int ms);
// Sends all length bytes on a stream, waiting as needed but at most ms in all
// (-1: no limit); returns length. TimeoutException when the time runs out
// (part of the bytes may have gone), NoRouteToHostException (network
// time-out, unreachable), SocketException otherwise.
int sendAll(int handle, const void* bytes, int length, int ms = -1);
// One datagram of length bytes; length 0 sends nothing and returns 0. Returns
// the count sent. NoRouteToHostException (time-out, host or network
// unreachable), SocketException otherwise.
int sendTo(int handle, const SocketAddress& to, const void* bytes, int length);
// Waits at most ms (unless -1) for data and returns 0 on time-out; then
// receives at most size bytes and returns the count. NoConnectionException when
// 0 bytes arrive (peer closed the stream, empty datagram),
// NoRouteToHostException on a network time-out, SocketException otherwise.
int receive(int handle, void* buffer, int size, int ms);
// As receive, for one datagram; the sender's address is written to `from`. A
// datagram larger than size is a failure (SocketException), never silently cut.
// An error report of a socket given reportPeerErrors (a datagram sent from it
// was refused: port or host unreachable) makes the next call fail with
// PeerUnreachableException, and takes the queued reports off the socket; so
// does the refusal a connected socket is told of. A report that
// a datagram sent was too large for the path is no failure: 0, nothing came.
int receiveFrom(int handle, SocketAddress& from, void* buffer, int size, int ms);
// For a datagram socket that is not connected: the system's error reports for
// datagrams it sent (ICMP port or host unreachable) reach receiveFrom, as they
// do for a connected one. Throws SocketException.
void reportPeerErrors(int handle);
// Waits at most ms (unless -1) until the socket is writable; false on time-out.
bool waitWritable(int handle, int ms);
// Waits at most ms (unless -1) until the socket is readable; false on time-out.
bool waitReadable(int handle, int ms);
// true: blocking; false: non-blocking. Throws SocketException.
void setBlocking(int handle, bool blocking);
// Bytes readable without waiting (for a datagram socket: the size of the next
// datagram). Throws SocketException.
int bytesAvailable(int handle);
// The socket's own / the connected peer's address; never fail (0.0.0.0:0 then).
// A dual-stack socket's own address is [::]:port.
SocketAddress localAddress(int handle);
SocketAddress peerAddress(int handle);
// The port of peerAddress, host byte order.
int peerPort(int handle);
// Whether an address is one of this machine's: a loopback or unspecified
// address, or one a socket can be bound to here. Throws nothing.
bool isOwnAddress(const SocketAddress& address);

// Host text -> address (port 0). An address literal (parseAddressLiteral;
// brackets allowed) is converted without a lookup; anything else goes to the
// resolver (getaddrinfo, both families) under the resolver lock, and the
// first answer in the system's order of preference is returned.
// Throws UnknownHostException.
SocketAddress resolveHost(const char* host);
// Every address of a host, in the system's order of preference, without
// repeats (port 0). Throws UnknownHostException when there is none.
std::vector<SocketAddress> resolveAll(const char* host);
// The official name for an address. Throws UnknownHostException.
std::string reverseLookup(const SocketAddress& address);
// Text of an address without its port ("192.168.1.20", "fd00::2").
std::string addressText(const SocketAddress& address);

// An owning socket: closes its handle when destroyed. Not locked: its owner
// decides which thread uses it.
class SocketHandle {
public:
    SocketHandle() = default;
    ~SocketHandle() { close(); }
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;

    // Store a new socket from openSocket. The handle they replace is not closed.
    void openDatagram(int family = SocketAddress::kIpv4) { handle = openSocket(false, family); }
    void openStream(int family = SocketAddress::kIpv4) { handle = openSocket(true, family); }
    // Closes a non-zero handle and sets it to 0.
    void close() {
        if (handle != kNoSocket) {
            closeSocket(handle);
            handle = kNoSocket;
        }
    }
    // Gives up ownership: returns the handle and sets it to 0.
    int release() {
        int h = handle;
        handle = kNoSocket;
        return h;
    }

    int handle = kNoSocket;
    // Receive / connect time-out in milliseconds; -1 = none.
    int timeout = 1000;
};

}  // namespace ambrel
