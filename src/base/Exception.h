// The program's exception hierarchy. Engine and library failures are thrown
// by value and caught by reference, most derived handler first. A class carries
// nothing but its type: the catcher chooses the words.
#pragma once

namespace ambrel {

class Exception {
public:
    virtual ~Exception() = default;
};

// Any socket failure not listed below.
class SocketException : public Exception {};
// A connect with time-out ran out of time; other parts throw it for their own time-outs.
class TimeoutException : public SocketException {};
// The system reports a network time-out, or (send only) an unreachable host.
class NoRouteToHostException : public SocketException {};
// A receive returned 0 bytes (a stream peer closed; an empty datagram).
class NoConnectionException : public SocketException {};
// Address in use (bind, listen, connect) or address not available (bind).
class BindException : public SocketException {};
// Connection refused, or address not available, on connect.
class ConnectException : public SocketException {};
// A receive met the system's report that a datagram sent earlier was refused
// or could not be delivered (ICMP port, host or network unreachable). Such a
// report carries no proof of where it came from: a hint, not a verdict.
class PeerUnreachableException : public SocketException {};
// A host name or address cannot be resolved.
class UnknownHostException : public SocketException {};

// A worker thread saw its stop request.
class ThreadStopException : public Exception {};
// An event or thread cannot be created.
class ThreadCreateException : public Exception {};
// An allocation failed.
class MemoryException : public Exception {};

}  // namespace ambrel
