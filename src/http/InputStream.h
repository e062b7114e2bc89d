// Buffered reading from a byte source: the line reader of the HTTP client and
// the stream a caller reads a response body from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/Exception.h"

namespace ambrel {

// Base of stream failures.
class IOException : public Exception {};

// Where an InputStream gets its bytes: a connected socket, or a script in tests.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Waits at most ms (-1: no limit) for data and returns 0 when none came in
    // time; otherwise reads at most size (> 0) bytes and returns the count.
    // Throws NoConnectionException when the peer has closed the stream, and
    // other Exceptions for other failures.
    virtual int read(char* buffer, int size, int ms) = 0;
};

// A ByteSource over a connected stream socket of the socket layer; handle 0
// reads as a closed connection.
class SocketByteSource : public ByteSource {
public:
    explicit SocketByteSource(int handle = 0) : handle_(handle) {}
    void setHandle(int handle) { handle_ = handle; }
    int handle() const { return handle_; }
    int read(char* buffer, int size, int ms) override;

private:
    int handle_;
};

// A buffered reader with a fixed buffer and a limit on the length of a line.
// Used by one thread at a time.
class InputStream {
public:
    // A line (its final CR counted, its LF not) is longer than the limit.
    class LineSizeLimitExceeded : public IOException {};

    static constexpr int kBufferSize = 10000;
    static constexpr int kLineSizeLimit = 1000;

    explicit InputStream(ByteSource& source) : source_(&source) {}
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    void setSource(ByteSource& source) { source_ = &source; }

    // Forgets every buffered byte and the body limit (a new connection).
    void reset();

    // One line up to LF, without the LF and without a final CR. Waits at most
    // ms (-1: no limit) in all, however slowly the bytes come. Throws
    // TimeoutException when the line was not complete in time (bytes already
    // buffered stay buffered, so the call can be repeated),
    // LineSizeLimitExceeded for an over-long line, and NoConnectionException
    // when the source ends before an LF.
    std::string readLine(int ms);

    // Reads at most size bytes, buffered ones first, waiting at most ms for the
    // source. Returns 0 at the end: the body limit is reached or the peer has
    // closed the stream. Throws TimeoutException when nothing came in time.
    int read(char* buffer, int size, int ms);

    // Bytes taken from the source since the stream was made.
    uint64_t totalReceived() const { return received_; }

    // Bytes buffered and not yet read.
    std::size_t buffered() const { return end_ - begin_; }
    // Moves at most max buffered bytes to the end of out; returns the count.
    std::size_t takeBuffered(std::string& out, std::size_t max);

    // Limits what read() returns from now on to count bytes (-1: no limit),
    // so a caller of a body stream stops at the end of the body.
    void setReadLimit(long long count) { limit_ = count; }
    long long readLimit() const { return limit_; }

private:
    // Reads more bytes from the source into the free end of the buffer.
    // Returns false on time-out.
    bool fill(int ms);

    ByteSource* source_;
    char buffer_[kBufferSize];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    long long limit_ = -1;
    uint64_t received_ = 0;
};

}  // namespace ambrel
