// The socket layer: thin operations over POSIX IPv4 sockets that turn every
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

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/Clock.h"
#include "base/Exception.h"

namespace ambrel {

// An IPv4 socket address laid out as the system's 16-byte structure: family 2,
// port and address in network byte order, 8 zero bytes.
struct SocketAddress {
    uint16_t family = 2;
    uint16_t port = 0;     // network byte order
    uint32_t address = 0;  // network byte order
    uint8_t zero[8] = {};

    // address := 0.0.0.0 when host is null, else resolveHost(host); the port
    // (host order, only its low 16 bits) is stored only when port >= 0, so -1
    // keeps the old one. Throws UnknownHostException.
    void setAddress(const char* host, int port);

    // The port in host byte order.
    int hostPort() const;
    // True for 0.0.0.0 (the address part only).
    bool isAnyAddress() const { return address == 0; }

    // From a host-order address (e.g. 0x7f000001) and host-order port.
    static SocketAddress fromHostOrder(uint32_t hostAddress, int port);

    friend bool operator==(const SocketAddress& a, const SocketAddress& b) {
        return a.family == b.family && a.port == b.port && a.address == b.address;
    }
};
static_assert(sizeof(SocketAddress) == 16, "SocketAddress must match the system's IPv4 address");

// No socket.
constexpr int kNoSocket = 0;

// A use count only: nothing needs starting on Linux. socketStartup returns the
// new count; socketCleanup returns the remaining count and throws
// SocketException when called more often than socketStartup.
int socketStartup();
int socketCleanup();

// A new IPv4 stream (stream = true) or datagram socket, close-on-exec.
// Throws SocketException.
int openSocket(bool stream);
// Shuts down both directions and closes; nothing for 0 or -1; errors ignored.
int closeSocket(int handle);
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
SocketAddress localAddress(int handle);
SocketAddress peerAddress(int handle);
// The port of peerAddress, host byte order.
int peerPort(int handle);

// Host text -> IPv4 address in network byte order. A dotted quad (exactly four
// pieces of at most three digits, each read modulo 256, an empty piece reading
// 0; one final dot is dropped before counting) is converted without a lookup;
// anything else goes to the resolver under the resolver lock.
// Throws UnknownHostException.
uint32_t resolveHost(const char* host);
// The official name for an address (network order). Throws UnknownHostException.
std::string reverseLookup(uint32_t address);
// Dotted-decimal text of an address (network order).
std::string addressText(uint32_t address);

// An owning socket: closes its handle when destroyed. Not locked: its owner
// decides which thread uses it.
class SocketHandle {
public:
    SocketHandle() = default;
    ~SocketHandle() { close(); }
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;

    // Store a new socket from openSocket. The handle they replace is not closed.
    void openDatagram() { handle = openSocket(false); }
    void openStream() { handle = openSocket(true); }
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
