// The voice link: listening, connecting, the worker's link loop, the frame
// queue and level reports. See VoiceLink.h.
#include "link/VoiceLink.h"

#include <algorithm>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <cstring>
#include <new>

#include "link/LinkMessages.h"

namespace ambrel {

namespace {

bool everyInterface(const char* host) { return host == nullptr || std::strcmp(host, "::") == 0; }

// Whether IPv6 carries anything here: with IPv6 disabled on every interface
// (net.ipv6.conf.all.disable_ipv6) a dual-stack socket still opens and binds,
// but no interface keeps an IPv6 address. Any interface's counts, loopback
// or not; when the system cannot list them, IPv6 is taken to work.
bool ipv6Works() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return true;
    bool found = false;
    for (const ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next)
        found = i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET6;
    ::freeifaddrs(list);
    return found;
}

// A datagram socket bound to every interface at `port`: dual-stack, or IPv4
// alone where the system has no IPv6. Returns whether IPv6 is reached too.
// When the port is taken the IPv4 bind fails too and says so.
bool bindEveryInterface(SocketHandle& socket, int port) {
    try {
        socket.openDatagram(SocketAddress::kIpv6);
        setDualStack(socket.handle);
        SocketAddress any;
        any.family = SocketAddress::kIpv6;
        any.port = htons(static_cast<uint16_t>(port));
        bindSocket(socket.handle, any);
        // IPv6 disabled: the socket still answers IPv4 callers.
        return ipv6Works();
    } catch (const SocketException&) {
    }
    socket.close();
    socket.openDatagram(SocketAddress::kIpv4);
    bindSocket(socket.handle, SocketAddress::fromIpv4(0, port));
    return false;
}

// A datagram socket of the remote's family on any local port, fixed on the
// remote (for a datagram socket this sends nothing). ConnectException when
// the system gave it the very port it is to send to: it would only hear
// itself. Throws the socket layer's exceptions; `fresh` then holds no socket
// or one to be closed.
void openConnected(SocketHandle& fresh, const SocketAddress& remote) {
    fresh.close();
    fresh.openDatagram(remote.family);
    bindSocket(fresh.handle, SocketAddress::fromIpv4(0, 0));
    connectWithTimeout(fresh.handle, remote, VoiceLink::kReceiveTimeoutMs);
    if (localAddress(fresh.handle) == peerAddress(fresh.handle)) throw ConnectException();
}

}  // namespace

VoiceLink::VoiceLink(std::unique_ptr<LinkAudio> audio)
    : audio_(std::move(audio)), capturedFor_(audio_.get()), ring_(kMaxQueuedFrames) {
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
    if (everyInterface(localHost)) {
        ipv4Only_.store(!bindEveryInterface(fresh, port & 0xFFFF));
    } else {
        SocketAddress local;
        local.setAddress(localHost, port & 0xFFFF);
        fresh.openDatagram(local.family);
        bindSocket(fresh.handle, local);
    }
    // The socket is never connected to the caller, so without this the call
    // would not end when the caller's port is gone: the system's "port
    // unreachable" answers would be dropped.
    reportPeerErrors(fresh.handle);
    // A port the system chose is nobody's to call.
    installSocket(fresh, SocketAddress{}, Listening, (port & 0xFFFF) != 0 ? port & 0xFFFF : -1);
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
    connectTo(destinations_.empty() ? resolveAll(host) : std::vector<SocketAddress>{}, port);
}

// Owner's thread.
void VoiceLink::connectTo(const std::vector<SocketAddress>& addresses, int port) {
    if (state_.load() != Idle) return;
    SocketHandle fresh;
    if (!destinations_.empty()) {
        bindEveryInterface(fresh, 0);
        installSocket(fresh, SocketAddress{}, Connected);
        return;
    }
    if (addresses.empty()) throw UnknownHostException();
    if (((port & 0xFFFF) == ownListenPort_.load() || (port & 0xFFFF) == listeningPort_.load()) &&
        std::any_of(addresses.begin(), addresses.end(), [](const SocketAddress& a) { return isOwnAddress(a); }))
        throw ConnectException();  // this copy would call itself
    std::vector<SocketAddress> remotes = addresses;
    for (SocketAddress& remote : remotes) remote.port = htons(static_cast<uint16_t>(port & 0xFFFF));
    size_t used = 0;
    for (; used < remotes.size(); ++used) {
        try {
            openConnected(fresh, remotes[used]);
            break;
        } catch (const SocketException&) {
            // The next address, if any: a family the system cannot reach.
            if (used + 1 == remotes.size()) throw;
        }
    }
    // The call goes on from the one in use; the others wait their turn.
    std::rotate(remotes.begin(), remotes.begin() + static_cast<long>(used), remotes.end());
    installSocket(fresh, peerAddress(fresh.handle), Connected, -1, std::move(remotes));
}

// Owner's thread. A handle left in the field by a call that ended without
// closing it (a socket failure) is closed here; the handle a running call
// still uses is left to that call, which closes it when it sees the new
// generation.
void VoiceLink::installSocket(SocketHandle& fresh, const SocketAddress& peer, int newState, int listeningPort,
                              std::vector<SocketAddress> addresses) {
    std::lock_guard<std::mutex> guard(socketLock_);
    if (socket_.handle != kNoSocket && socket_.handle != activeHandle_) socket_.close();
    socket_.handle = fresh.release();
    listeningPort_.store(listeningPort);
    dialled_ = std::move(addresses);
    socket_.timeout = kReceiveTimeoutMs;
    peer_.store(peer);
    generation_.fetch_add(1);
    state_.store(newState);
    bell_.ring();  // a call still running sees that it is no longer current
}

SocketAddress VoiceLink::peer() const { return peer_.load(); }

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
        int input = sendMuted_.load() ? 0 : capturedFor_->captureLevel();
        int output = capturedFor_->playerLevel(playerIndex_.load());
        if (LinkOwner* owner = owner_.load()) owner->reportLevels(input, output);
        nextLevelReport_.store(now + kLevelReportMs);
    }
}

// Worker thread.
void VoiceLink::run() {
    socketStartup();
    audio_->resetCaptureLevel();
    // One-to-many plays nothing: no playing device is opened for it.
    if (destinations_.empty()) playerIndex_.store(audio_->addPlayer(outputDevice_.load()));
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
        callAddresses_ = dialled_;
    }
    callAddress_ = 0;
    addressAnswered_ = false;
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        queueOpen_ = true;
    }
    audio_->startCapture();
    nextLevelReport_.store(0);
    // A caller begins the handshake of a sealed call; a listener waits for one.
    guard_.beginCall(!peer().isAnyAddress() && destinations_.empty(), peer());
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
                // The next step of a handshake is taken as soon as it comes.
                waitReadable(callHandle_, 50);
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
                } catch (const PeerUnreachableException&) {
                    // Nothing was sent from this socket: a report now is
                    // stale or forged, and listening goes on.
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
    callStartMs_ = monotonicMilliseconds();
    addressStartMs_ = callStartMs_;
    lastReceiveMs_ = callStartMs_;
    lastErrorMs_ = -1;
    nextNoAnswerMs_ = 0;
    // A listener's call begins with its caller's first datagram.
    heard_ = connected && listened;
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
    if (guard_.sealing() && !oneToMany) {
        // A caller repeats its hello until the handshake is done.
        const uint8_t* hello = nullptr;
        if (const int length = guard_.hello(monotonicMilliseconds(), hello); length > 0) {
            try {
                sendTo(callHandle_, peer(), hello, length);
            } catch (const Exception&) {
                lastErrorMs_ = monotonicMilliseconds();
            }
        }
    }
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
            // Sealed, only the newest datagram of the call moves the peer: a
            // replayed or held-back one from elsewhere does not. Stored only
            // when it changes: every reader sees a whole address.
            if (guard_.movesPeer() && !(peer_.load() == from)) peer_.store(from);
            tookDatagram();
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
    if (!guard_.active()) {
        try {
            return receiveFrom(callHandle_, from, receiveBuffer_.data(), kMaxDatagram, ms);
        } catch (const PeerUnreachableException&) {
            lastErrorMs_ = monotonicMilliseconds();
            return 0;
        }
    }
    from = SocketAddress{};
    from.family = 0;  // stays 0 unless a datagram was taken off the socket
    int n = 0;
    try {
        n = receiveFrom(callHandle_, from, receiveBuffer_.data(), kMaxDatagram, ms);
    } catch (const PeerUnreachableException&) {
        lastErrorMs_ = monotonicMilliseconds();
        return 0;
    } catch (const SocketException&) {
        if (from.family == 0 || (guard_.admitsSource(from) && !guard_.sealing() && !waiting)) throw;
        guard_.countDrop(from);
        return 0;
    }
    if (n <= 0) return 0;
    // A caller's socket takes datagrams only from the address it is fixed on:
    // whatever comes (a step of the handshake, a peer that does not seal)
    // shows that address is there, and the call stays with it.
    addressAnswered_ = true;
    const int opened = guard_.open(from, receiveBuffer_.data(), n, openBuffer_.data(), datagram);
    // A step of a sealed call's handshake may want an answer to its sender.
    const uint8_t* reply = nullptr;
    if (const int length = guard_.takeReply(reply); length > 0) {
        try {
            sendTo(callHandle_, from, reply, length);
        } catch (const Exception&) {
            // Lost like a datagram on the way: the caller repeats its hello.
        }
    }
    return opened;
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
// the call's socket is closed and its keys wiped. Caller holds socketLock_.
void VoiceLink::endCallLocked() {
    guard_.endCall();
    if (callIsCurrent()) {
        state_.store(Idle);
        listeningPort_.store(-1);  // its socket is closed below
    }
    if (callHandle_ != kNoSocket) {
        if (socket_.handle == callHandle_) socket_.handle = kNoSocket;
        closeSocket(callHandle_);
        callHandle_ = kNoSocket;
    }
    activeHandle_ = kNoSocket;
}

// A datagram of the peer was taken. Call thread.
void VoiceLink::tookDatagram() {
    lastReceive_ = monotonicSeconds();
    lastReceiveMs_ = monotonicMilliseconds();
    // One-to-many: whatever comes back is no peer's answer.
    if (destinations_.empty()) heard_ = true;
}

bool VoiceLink::idleCheck() {
    const int64_t now = monotonicMilliseconds();
    const int64_t silence = now - lastReceiveMs_;
    // An error report ends the call only together with the peer's silence,
    // so a forged one changes nothing while the peer talks.
    bool end = heard_ && lastErrorMs_ >= 0 && now - lastErrorMs_ <= kErrorMemoryMs && silence >= kErrorSilenceMs;
    const int timeout = idleTimeout_.load();
    if (timeout >= 0) {
        // Whole seconds and a strict comparison: a call ends more than
        // `timeout` and at most about `timeout` + 1 seconds after the last
        // datagram.
        end = end || monotonicSeconds() > lastReceive_ + timeout;
    } else {
        end = end || (heard_ && silence > kSilentPeerMs);
    }
    if (!end) {
        if (!heard_ && destinations_.empty()) {
            nextAddress(now);
            noAnswerHint(now);
        }
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(socketLock_);
        endCallLocked();
    }
    post(WM_LINK_DISCONNECTED);
    return true;
}

// A caller that has had nothing from the address it calls moves on to the
// host's next address that a socket can be fixed on, once an error report
// came or after kNoAnswerMs there: a host of both families whose IPv6
// address is dead or unrouted is still reached over IPv4. A sealed call
// starts its handshake again there. Call thread.
void VoiceLink::nextAddress(int64_t now) {
    if (callAddresses_.size() < 2 || addressAnswered_) return;
    if (lastErrorMs_ < 0 && now - addressStartMs_ < kNoAnswerMs) return;
    lastErrorMs_ = -1;
    addressStartMs_ = now;
    for (size_t k = 1; k < callAddresses_.size(); ++k) {
        const size_t next = (callAddress_ + k) % callAddresses_.size();
        SocketHandle fresh;
        try {
            openConnected(fresh, callAddresses_[next]);
        } catch (const SocketException&) {
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(socketLock_);
            if (!callIsCurrent()) return;  // the call is being replaced; it ends
            if (socket_.handle == callHandle_) socket_.handle = fresh.handle;
            closeSocket(callHandle_);
            callHandle_ = fresh.release();
            activeHandle_ = callHandle_;
        }
        callAddress_ = next;
        addressAnswered_ = false;
        peer_.store(callAddresses_[next]);
        guard_.beginCall(true, callAddresses_[next]);
        return;
    }
}

// A caller that has heard nothing says so: once an error report came or
// after kNoAnswerMs, then at most every kNoAnswerRepeatMs. Call thread.
void VoiceLink::noAnswerHint(int64_t now) {
    if (now < nextNoAnswerMs_) return;
    if (lastErrorMs_ < 0 && now - callStartMs_ < kNoAnswerMs) return;
    nextNoAnswerMs_ = now + kNoAnswerRepeatMs;
    post(WM_LINK_NO_ANSWER);
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
                // This group is lost; the next one goes out as usual. The
                // failure may be the report of an earlier datagram's refusal,
                // taken by this send: a hint as at a receive.
                lastErrorMs_ = monotonicMilliseconds();
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
    guard_.endCall();
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
