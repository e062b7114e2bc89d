// The voice link: listening, connecting, the worker's link loop, the frame
// queue and level reports. See VoiceLink.h.
#include "link/VoiceLink.h"

#include <algorithm>

#include <cstring>
#include <new>

#include "link/LinkMessages.h"

namespace ambrel {

namespace {

uint64_t packPeer(const SocketAddress& a) {
    return (static_cast<uint64_t>(a.address) << 16) | a.port;
}

SocketAddress unpackPeer(uint64_t packed) {
    SocketAddress a;
    a.port = static_cast<uint16_t>(packed & 0xFFFF);
    a.address = static_cast<uint32_t>(packed >> 16);
    return a;
}

}  // namespace

VoiceLink::VoiceLink(std::unique_ptr<LinkAudio> audio) : audio_(std::move(audio)), ring_(kMaxQueuedFrames) {
    if (!audio_) throw Exception();
    setThreadName("ambrel-link");
    receiveBuffer_.resize(kMaxDatagram);
    // A kind byte and four frames of the common codecs fit without growing.
    sendBuffer_.reserve(1500);
    openBuffer_.resize(kMaxDatagram);
    sealBuffer_.resize(kMaxDatagram);
    audio_->setSink(this);
}

VoiceLink::~VoiceLink() {
    disconnect();
    stop(true);
    // The audio half goes first, while the queue it feeds still exists: its
    // recorder may be delivering a frame right now.
    audio_.reset();
}

void VoiceLink::setDestinations(std::vector<SocketAddress> destinations) {
    destinations_ = std::move(destinations);
}

// Owner's thread.
void VoiceLink::listen(const char* localHost, int port) {
    // The new socket is made aside and installed only once every step
    // succeeded, so a failure leaves no descriptor behind.
    SocketHandle fresh;
    fresh.openDatagram();
    SocketAddress local;
    local.setAddress(localHost, port & 0xFFFF);
    bindSocket(fresh.handle, local);
    // The socket is never connected to the caller, so without this the call
    // would not end when the caller's port is gone: the system's "port
    // unreachable" answers would be dropped.
    reportPeerErrors(fresh.handle);
    installSocket(fresh, 0, Listening);
    post(WM_LINK_LISTENING);
}

int VoiceLink::localPort() const {
    std::lock_guard<std::mutex> lock(socketLock_);
    const int handle = socket_.handle != kNoSocket ? socket_.handle : activeHandle_;
    return handle == kNoSocket ? 0 : localAddress(handle).hostPort();
}

// Owner's thread.
void VoiceLink::connect(const char* host, int port) {
    if (state_.load() != Idle) return;
    SocketHandle fresh;
    fresh.openDatagram();
    bindSocket(fresh.handle, SocketAddress{});
    if (destinations_.empty()) {
        SocketAddress remote;
        remote.setAddress(host, port & 0xFFFF);
        // For a datagram socket this only fixes the remote address.
        connectWithTimeout(fresh.handle, remote, kReceiveTimeoutMs);
    }
    installSocket(fresh, packPeer(peerAddress(fresh.handle)), Connected);
}

// Owner's thread. A handle left in the field by a call that ended without
// closing it (a socket failure) is closed here; the handle a running call
// still uses is left to that call, which closes it when it sees the new
// generation.
void VoiceLink::installSocket(SocketHandle& fresh, uint64_t peer, int newState) {
    std::lock_guard<std::mutex> guard(socketLock_);
    if (socket_.handle != kNoSocket && socket_.handle != activeHandle_) socket_.close();
    socket_.handle = fresh.release();
    socket_.timeout = kReceiveTimeoutMs;
    peer_.store(peer);
    generation_.fetch_add(1);
    state_.store(newState);
    bell_.ring();  // a call still running sees that it is no longer current
}

SocketAddress VoiceLink::peer() const { return unpackPeer(peer_.load()); }

SocketAddress VoiceLink::localSocketAddress() const {
    std::lock_guard<std::mutex> guard(socketLock_);
    if (socket_.handle == kNoSocket) return SocketAddress{};
    return localAddress(socket_.handle);
}

int VoiceLink::queuedFrames() const {
    std::lock_guard<std::mutex> guard(queueLock_);
    return count_;
}

void VoiceLink::post(int message) {
    if (LinkOwner* owner = owner_.load()) owner->postLinkMessage(message);
}

// Capture thread.
void VoiceLink::onFrameEncoded(const uint8_t* bytes, int length) {
    if (bytes == nullptr || length <= 0) return;
    bool complete = false;
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        // A late frame of a call that has ended is dropped: it must not go to
        // the next call's peer.
        if (queueOpen_) {
            if (count_ >= kMaxQueuedFrames) {  // drop the oldest
                head_ = (head_ + 1) % kMaxQueuedFrames;
                --count_;
            }
            // Slots keep their capacity, so a steady codec allocates nothing here.
            try {
                ring_[(head_ + count_) % kMaxQueuedFrames].assign(bytes, bytes + length);
                ++count_;
            } catch (const std::bad_alloc&) {
                // Out of memory: this frame is lost, the recorder goes on.
            }
        }
        complete = queueOpen_ && count_ == kFramesPerDatagram;
    }
    if (complete) bell_.ring();
    const int64_t now = monotonicMilliseconds();
    if (now >= nextLevelReport_.load()) {
        int input = sendMuted_.load() ? 0 : audio_->captureLevel();
        int output = audio_->playerLevel(playerIndex_.load());
        if (LinkOwner* owner = owner_.load()) owner->reportLevels(input, output);
        nextLevelReport_.store(now + kLevelReportMs);
    }
}

// Worker thread.
void VoiceLink::run() {
    socketStartup();
    audio_->resetCaptureLevel();
    playerIndex_.store(audio_->addPlayer(outputDevice_.load()));
    try {
        while (!stopRequested()) {
            const int s = state_.load();
            if (s == Idle) {
                pause(100);
                pause(200);
            } else if (s == Listening || s == Connected) {
                try {
                    linkLoop();
                } catch (const SocketException&) {
                    // linkLoop has set the link idle; nothing is posted.
                }
                pause(200);
            } else {
                pause(200);
            }
        }
    } catch (...) {
        // A stop request or any other failure ends the thread; the audio
        // half is shut down either way.
    }
    audio_->shutdown();
    socketCleanup();
}

// Worker thread.
void VoiceLink::linkLoop() {
    try {
        enterCall();
        while (state_.load() == Connected && callIsCurrent()) {
            if (!serviceCall()) break;
        }
        leaveCall();
    } catch (const SocketException&) {
        {
            std::lock_guard<std::mutex> guard(socketLock_);
            if (callIsCurrent()) state_.store(Idle);
        }
        abandonCall();
        throw;
    } catch (...) {
        abandonCall();
        throw;
    }
}

bool VoiceLink::callIsCurrent() const { return generation_.load() == callGeneration_; }

bool VoiceLink::enterCall() {
    {
        std::lock_guard<std::mutex> guard(socketLock_);
        callHandle_ = socket_.handle;
        activeHandle_ = callHandle_;
        callGeneration_ = generation_.load();
    }
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        queueOpen_ = true;
    }
    audio_->startCapture();
    nextLevelReport_.store(0);
    guard_.beginCall();
    pendingLength_ = 0;
    if (callHandle_ == kNoSocket) return false;  // nothing to run a call on

    // Listening: wait for a first datagram. Until then the peer is 0.0.0.0.
    const bool listened = peer().isAnyAddress();
    if (listened) {
        while (state_.load() == Listening && callIsCurrent()) {
            throwIfStopRequested();
            if (guard_.active()) {
                // Only a datagram the guard lets in takes the call; it is
                // kept for the call's first pass.
                pendingLength_ = receiveDatagram(pendingFrom_, 0, pending_, true);
                if (pendingLength_ > 0) {
                    if (!answerCall()) pendingLength_ = 0;
                    break;
                }
                if (waitReadable(callHandle_, 0)) continue;
                pause(50);
                continue;
            }
            if (bytesAvailable(callHandle_) > 0) {
                answerCall();
                break;
            }
            if (waitReadable(callHandle_, 0)) {
                // A datagram that came since the look above: take the call.
                if (bytesAvailable(callHandle_) > 0) continue;
                // Readable with nothing available: an empty datagram at the
                // head of the queue. It carries no call; drop it, or it would
                // hide every datagram behind it.
                uint8_t scratch;
                SocketAddress from;
                try {
                    receiveFrom(callHandle_, from, &scratch, 1, 0);
                } catch (const NoConnectionException&) {
                }
                continue;
            }
            pause(50);
            if (!peer().isAnyAddress()) break;
        }
    }
    const bool connected = state_.load() == Connected && callIsCurrent();
    if (connected && listened) {
        // What the room said while nobody called is not the caller's to hear,
        // and all of it would only add to the caller's delay: the newest
        // datagram's worth goes out, the rest is dropped.
        std::lock_guard<std::mutex> guard(queueLock_);
        while (count_ > kFramesPerDatagram) {
            head_ = (head_ + 1) % kMaxQueuedFrames;
            --count_;
        }
    }
    if (connected) post(WM_LINK_CONNECTED);
    lastReceive_ = monotonicSeconds();
    return connected;
}

bool VoiceLink::answerCall() {
    // Under the socket lock, where listen and connect install a new call: a
    // disconnect, or a disconnect and a new listen, since the datagram was
    // seen must not be undone or taken for this call.
    std::lock_guard<std::mutex> guard(socketLock_);
    int expected = Listening;
    return callIsCurrent() && state_.compare_exchange_strong(expected, Connected);
}

bool VoiceLink::serviceCall() {
    throwIfStopRequested();
    const bool oneToMany = !destinations_.empty();
    try {
        int n = 0;
        SocketAddress from;
        const uint8_t* datagram = receiveBuffer_.data();
        if (pendingLength_ > 0) {
            n = pendingLength_;
            from = pendingFrom_;
            datagram = pending_;
            pendingLength_ = 0;
        } else {
            try {
                // Nothing to take off the socket when the wait ended for queued
                // frames or its time-out.
                const int ms = receiveWaitMs();
                if (ms == 0 || bell_.wait(callHandle_, ms) == Doorbell::Readable) n = receiveDatagram(from, 0, datagram);
            } catch (const Exception&) {
                if (!oneToMany) throw;
                n = 0;  // one-to-many: a failed receive is nothing received
            }
        }
        if (n > 0) {
            peer_.store(packPeer(from));
            lastReceive_ = monotonicSeconds();
            if (datagram[0] == 0 && !playMuted_.load() && !oneToMany) {
                const int frameLength = (n - 1) / kFramesPerDatagram;
                const int player = playerIndex_.load();
                for (int i = 0; i < kFramesPerDatagram; ++i) {
                    audio_->playFrame(player, datagram + 1 + i * frameLength, frameLength);
                }
            }
        } else if (idleCheck()) {
            return false;
        }
    } catch (const TimeoutException&) {
        if (idleCheck()) return false;
    } catch (const ThreadStopException&) {
        throw;
    } catch (const Exception&) {
        // A receive failure ends a point-to-point call.
        {
            std::lock_guard<std::mutex> guard(socketLock_);
            endCallLocked();
        }
        post(WM_LINK_DISCONNECTED);
        return false;
    }
    sendQueued();
    return true;
}

// Receives one datagram within ms and passes it through the guard. Returns
// its length with `datagram` pointing at the plain datagram, or 0 when none
// came or the guard dropped it. Without guard rules this is receiveFrom.
// A datagram of an impossible size (empty, or beyond kMaxDatagram) from a
// source the rules refuse, or any such datagram while sealing or while
// `waiting` for a call, is dropped too, instead of ending the call (or the
// wait) as a failed receive. Call thread.
int VoiceLink::receiveDatagram(SocketAddress& from, int ms, const uint8_t*& datagram, bool waiting) {
    datagram = receiveBuffer_.data();
    if (!guard_.active()) return receiveFrom(callHandle_, from, receiveBuffer_.data(), kMaxDatagram, ms);
    from = SocketAddress{};
    from.family = 0;  // stays 0 unless a datagram was taken off the socket
    int n = 0;
    try {
        n = receiveFrom(callHandle_, from, receiveBuffer_.data(), kMaxDatagram, ms);
    } catch (const SocketException&) {
        if (from.family == 0 || (guard_.admitsSource(from) && !guard_.sealing() && !waiting)) throw;
        guard_.countDrop(from);
        return 0;
    }
    if (n <= 0) return 0;
    return guard_.open(from, receiveBuffer_.data(), n, openBuffer_.data(), datagram);
}

// The receive wait of one pass: none when a datagram's frames are queued
// already. Worker thread.
int VoiceLink::receiveWaitMs() {
    std::lock_guard<std::mutex> guard(queueLock_);
    if (count_ >= kFramesPerDatagram) return 0;
    // Without a bell nobody cuts the wait short: the short time-out keeps
    // captured sound from waiting long for a receive.
    return bell_.valid() ? kServiceWaitMs : kReceiveTimeoutMs;
}

// Ends the call: the link goes idle unless a newer call was set up meanwhile,
// and the call's socket is closed. Caller holds socketLock_.
void VoiceLink::endCallLocked() {
    if (callIsCurrent()) state_.store(Idle);
    if (callHandle_ != kNoSocket) {
        if (socket_.handle == callHandle_) socket_.handle = kNoSocket;
        closeSocket(callHandle_);
        callHandle_ = kNoSocket;
    }
    activeHandle_ = kNoSocket;
}

bool VoiceLink::idleCheck() {
    const int timeout = idleTimeout_.load();
    if (timeout < 0) return false;
    // Whole seconds and a strict comparison: a call ends more than `timeout`
    // and at most about `timeout` + 1 seconds after the last datagram.
    if (monotonicSeconds() <= lastReceive_ + timeout) return false;
    {
        std::lock_guard<std::mutex> guard(socketLock_);
        endCallLocked();
    }
    post(WM_LINK_DISCONNECTED);
    return true;
}

void VoiceLink::sendQueued() {
    for (;;) {
        throwIfStopRequested();
        {
            // The frames are copied out, and the lock released before sealing
            // and sending, so the recorder never waits for the network.
            std::lock_guard<std::mutex> guard(queueLock_);
            if (count_ < kFramesPerDatagram) return;
            // sendBuffer_ holds the whole datagram: the kind byte, then the frames.
            sendBuffer_.assign(1, 0);
            for (int i = 0; i < kFramesPerDatagram; ++i) {
                const std::vector<uint8_t>& frame = ring_[head_];
                sendBuffer_.insert(sendBuffer_.end(), frame.begin(), frame.end());
                head_ = (head_ + 1) % kMaxQueuedFrames;
                --count_;
            }
            // An empty queue starts over at the first slot: in a call only
            // the first few slots are used, and once they have grown to the
            // codec's frame size, queueing a frame never allocates.
            if (count_ == 0) head_ = 0;
        }
        const uint8_t muted = 1;
        const bool silent = sendMuted_.load();
        const uint8_t* datagram = silent ? &muted : sendBuffer_.data();
        int length = silent ? 1 : static_cast<int>(sendBuffer_.size());
        if (guard_.sealing()) {
            // Sealed once, the same bytes to every destination. A group that
            // would not fit the receive limit sealed is not sent (counted).
            length = guard_.seal(datagram, length, sealBuffer_.data(), kMaxDatagram);
            datagram = sealBuffer_.data();
            if (length == 0) continue;
        }
        if (destinations_.empty()) {
            try {
                sendTo(callHandle_, peer(), datagram, length);
            } catch (const Exception&) {
                // This group is lost; the next one goes out as usual.
            }
        } else {
            for (const SocketAddress& to : destinations_) {
                // A destination that fails loses this datagram; the ones after
                // it in the list still get it.
                try {
                    sendTo(callHandle_, to, datagram, length);
                } catch (const Exception&) {
                }
            }
        }
    }
}

void VoiceLink::leaveCall() {
    audio_->stopCapture();
    closeFrameQueue();
    {
        std::lock_guard<std::mutex> guard(socketLock_);
        endCallLocked();
    }
    post(WM_LINK_DISCONNECTED);
}

// After an exception left the loop the socket stays where it is (closed with
// the link or by the next listen/connect); a handle this call held that is no
// longer in the field has no other owner and is closed here.
void VoiceLink::abandonCall() {
    closeFrameQueue();
    std::lock_guard<std::mutex> guard(socketLock_);
    if (callHandle_ != kNoSocket && socket_.handle != callHandle_) closeSocket(callHandle_);
    callHandle_ = kNoSocket;
    activeHandle_ = kNoSocket;
}

// Frames still queued when a call ends, and frames the recorder delivers
// before it has seen the stop, belong to that call: they are dropped, and
// nothing is queued again until the next call starts.
void VoiceLink::closeFrameQueue() {
    std::lock_guard<std::mutex> guard(queueLock_);
    queueOpen_ = false;
    head_ = 0;
    count_ = 0;
}

}  // namespace ambrel
