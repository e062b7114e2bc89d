// Lets other threads cut short the worker's wait on its socket: an eventfd
// polled together with the socket. A ring stays pending until the next wait
// takes it, so one that comes just before the worker starts waiting is not
// lost. Without a descriptor to spare (valid() false) a ring does nothing and
// a wait is a plain wait on the socket.
#pragma once

namespace ambrel {

class Doorbell {
public:
    Doorbell();
    ~Doorbell();
    Doorbell(const Doorbell&) = delete;
    Doorbell& operator=(const Doorbell&) = delete;

    bool valid() const { return fd_ >= 0; }

    // One write. Any thread.
    void ring();

    enum Woken { TimedOut, Readable, Rang };
    // Waits at most ms (>= 0) until the socket is readable (or has an error
    // report) or the bell rings, and takes a pending ring. Readable wins when
    // both happened. The waiting thread only; throws SocketException when the
    // wait itself fails.
    Woken wait(int socket, int ms);

private:
    int fd_ = -1;
};

}  // namespace ambrel
