#include "link/Doorbell.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "base/Clock.h"
#include "link/Socket.h"

namespace ambrel {

Doorbell::Doorbell() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Doorbell::~Doorbell() {
    if (fd_ >= 0) ::close(fd_);
}

void Doorbell::ring() {
    if (fd_ < 0) return;
    const std::uint64_t one = 1;
    // Only a counter at its limit refuses the write, and that is a pending ring.
    [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}

Doorbell::Woken Doorbell::wait(int socket, int ms) {
    if (fd_ < 0) return waitReadable(socket, ms) ? Readable : TimedOut;
    if (socket < 0) throw SocketException();
    const std::int64_t deadline = monotonicMilliseconds() + ms;
    for (;;) {
        pollfd p[2] = {{socket, POLLIN, 0}, {fd_, POLLIN, 0}};
        const int wait = static_cast<int>(std::max<std::int64_t>(0, deadline - monotonicMilliseconds()));
        const int r = ::poll(p, 2, wait);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw SocketException();
        }
        if (p[1].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(fd_, &count, sizeof count);
        }
        if (p[0].revents != 0) return Readable;
        return p[1].revents != 0 ? Rang : TimedOut;
    }
}

}  // namespace ambrel
