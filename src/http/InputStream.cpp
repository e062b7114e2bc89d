#include "http/InputStream.h"

#include <algorithm>
#include <cstring>

#include "base/Clock.h"
#include "link/Socket.h"

namespace ambrel {

int SocketByteSource::read(char* buffer, int size, int ms) {
    // A closed connection reads as one the peer closed, never as a descriptor
    // number that may by now belong to someone else.
    if (handle_ == kNoSocket) throw NoConnectionException();
    return receive(handle_, buffer, size, ms);
}

void InputStream::reset() {
    begin_ = end_ = 0;
    limit_ = -1;
}

bool InputStream::fill(int ms) {
    if (begin_ > 0) {
        std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    int got = source_->read(buffer_ + end_, static_cast<int>(kBufferSize - end_), ms);
    if (got <= 0) return false;
    end_ += static_cast<std::size_t>(got);
    received_ += static_cast<uint64_t>(got);
    return true;
}

std::string InputStream::readLine(int ms) {
    // One limit for the whole line: a source that trickles a byte at a time
    // must not stretch it.
    const int64_t deadline = ms < 0 ? 0 : monotonicMilliseconds() + ms;
    std::size_t scanned = begin_;
    bool firstRead = true;
    for (;;) {
        const char* start = buffer_ + begin_;
        const void* lf = std::memchr(buffer_ + scanned, '\n', end_ - scanned);
        if (lf != nullptr) {
            std::size_t length = static_cast<const char*>(lf) - start;
            begin_ += length + 1;
            if (length > static_cast<std::size_t>(kLineSizeLimit)) throw LineSizeLimitExceeded();
            if (length > 0 && start[length - 1] == '\r') --length;
            return std::string(start, length);
        }
        // No LF yet: everything buffered belongs to the line, so more than the
        // limit can never become a valid line.
        if (end_ - begin_ > static_cast<std::size_t>(kLineSizeLimit)) throw LineSizeLimitExceeded();
        std::size_t pending = end_ - begin_;
        int wait = -1;
        if (ms >= 0) {
            // With no time left the line still gets one look at what is ready.
            const int64_t left = deadline - monotonicMilliseconds();
            if (left <= 0 && !firstRead) throw TimeoutException();
            wait = static_cast<int>(std::clamp<int64_t>(left, 0, ms));
        }
        firstRead = false;
        if (!fill(wait)) throw TimeoutException();
        scanned = begin_ + pending;
    }
}

std::size_t InputStream::takeBuffered(std::string& out, std::size_t max) {
    std::size_t n = std::min(max, end_ - begin_);
    out.append(buffer_ + begin_, n);
    begin_ += n;
    return n;
}

int InputStream::read(char* buffer, int size, int ms) {
    if (size <= 0 || limit_ == 0) return 0;
    long long want = size;
    if (limit_ > 0) want = std::min(want, limit_);
    int n;
    if (end_ > begin_) {
        n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(want), end_ - begin_));
        std::memcpy(buffer, buffer_ + begin_, static_cast<std::size_t>(n));
        begin_ += static_cast<std::size_t>(n);
    } else {
        try {
            n = source_->read(buffer, static_cast<int>(want), ms);
        } catch (const NoConnectionException&) {
            return 0;
        }
        if (n <= 0) throw TimeoutException();
        received_ += static_cast<uint64_t>(n);
    }
    if (limit_ > 0) limit_ -= n;
    return n;
}

}  // namespace ambrel
