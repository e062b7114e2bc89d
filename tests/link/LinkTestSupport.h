// Test doubles for the voice link: a scripted audio half, a recording owner and
// raw UDP peers. Used by the link tests, the fuzzer and the benchmark.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioSink.h"
#include "audio/LinkAudio.h"
#include "link/LinkOwner.h"
#include "link/Socket.h"
#include "link/VoiceLink.h"

namespace ambrel::test {

using Bytes = std::vector<uint8_t>;

// Waits (generously, for a loaded machine) until pred() holds.
inline bool eventually(const std::function<bool()>& pred, int ms = 10000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The audio half without a sound card. Records every call; while capture is
// on and autoFrames is set, a "recorder" thread produces a numbered frame of
// frameLength bytes every framePeriodMs through the sink.
class ScriptedAudio : public LinkAudio {
public:
    struct Played {
        int player;
        Bytes bytes;
    };

    explicit ScriptedAudio(bool autoFrames = false, int frameLength = 8, int framePeriodMs = 5)
        : frameLength_(frameLength), periodMs_(framePeriodMs) {
        if (autoFrames) recorder_ = std::thread([this] { recorderLoop(); });
    }
    ~ScriptedAudio() override {
        quit_ = true;
        if (recorder_.joinable()) recorder_.join();
    }

    void setSink(AudioSink* sink) override { sink_ = sink; }
    void resetCaptureLevel() override { log("reset"); }
    int addPlayer(int device) override {
        log("addPlayer " + std::to_string(device));
        return playerIndex;
    }
    void startCapture() override {
        log("start");
        capturing_ = true;
    }
    void playFrame(int player, const uint8_t* bytes, int length) override {
        std::lock_guard<std::mutex> g(mutex_);
        played_.push_back({player, Bytes(bytes, bytes + length)});
    }
    void stopCapture() override {
        capturing_ = false;
        log("stop");
    }
    void shutdown() override {
        capturing_ = false;
        log("shutdown");
    }
    int captureLevel() override { return inputLevel.load(); }
    int playerLevel(int index) override { return index == playerIndex ? outputLevel.load() : -1; }

    // Delivers one frame as the recorder thread would (any thread here).
    void produce(const Bytes& frame) { sink_.load()->onFrameEncoded(frame.data(), static_cast<int>(frame.size())); }

    std::vector<Played> played() {
        std::lock_guard<std::mutex> g(mutex_);
        return played_;
    }
    size_t playedCount() {
        std::lock_guard<std::mutex> g(mutex_);
        return played_.size();
    }
    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> g(mutex_);
        return calls_;
    }
    bool capturing() const { return capturing_.load(); }
    uint32_t framesProduced() const { return produced_.load(); }

    const int playerIndex = 7;
    // Set: the recorder thread produces nothing, as if the microphone fell silent.
    std::atomic<bool> held{false};
    std::atomic<int> inputLevel{42};
    std::atomic<int> outputLevel{17};

private:
    void log(const std::string& s) {
        std::lock_guard<std::mutex> g(mutex_);
        calls_.push_back(s);
    }
    void recorderLoop() {
        while (!quit_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(periodMs_));
            if (!capturing_.load() || held.load() || sink_.load() == nullptr) continue;
            // A frame carries its number, so order and loss show at the far end.
            Bytes frame(static_cast<size_t>(frameLength_), 0);
            uint32_t n = produced_.fetch_add(1);
            std::memcpy(frame.data(), &n, std::min<size_t>(4, frame.size()));
            produce(frame);
        }
    }

    const int frameLength_;
    const int periodMs_;
    std::atomic<AudioSink*> sink_{nullptr};
    std::atomic<bool> capturing_{false};
    std::atomic<bool> quit_{false};
    std::atomic<uint32_t> produced_{0};
    std::mutex mutex_;
    std::vector<Played> played_;
    std::vector<std::string> calls_;
    std::thread recorder_;
};

// A link whose call steps a test drives itself on its own thread, without
// starting the link's worker.
class DrivenLink : public VoiceLink {
public:
    using VoiceLink::VoiceLink;
    using VoiceLink::answerCall;
    using VoiceLink::enterCall;
    using VoiceLink::leaveCall;
    using VoiceLink::serviceCall;
};

// An owner that records what the link tells it.
class RecordingOwner : public LinkOwner {
public:
    void postLinkMessage(int message) override {
        std::lock_guard<std::mutex> g(mutex_);
        messages_.push_back(message);
    }
    void reportLevels(int input, int output) override {
        std::lock_guard<std::mutex> g(mutex_);
        levels_.emplace_back(input, output);
    }
    std::vector<int> messages() {
        std::lock_guard<std::mutex> g(mutex_);
        return messages_;
    }
    int count(int message) {
        std::lock_guard<std::mutex> g(mutex_);
        int n = 0;
        for (int m : messages_) n += m == message;
        return n;
    }
    std::vector<std::pair<int, int>> levels() {
        std::lock_guard<std::mutex> g(mutex_);
        return levels_;
    }
    bool waitFor(int message, int times = 1, int ms = 10000) {
        return eventually([&] { return count(message) >= times; }, ms);
    }

private:
    std::mutex mutex_;
    std::vector<int> messages_;
    std::vector<std::pair<int, int>> levels_;
};

// A plain UDP socket on loopback, written against the system calls directly
// so that it checks the link rather than the link's own socket layer.
class RawPeer {
public:
    // Bound to a free port of a loopback address (127.0.0.2 plays a stranger).
    explicit RawPeer(uint32_t hostAddress = INADDR_LOOPBACK) : RawPeer(SocketAddress::fromHostOrder(hostAddress, 0)) {}
    // Bound to a free port of an address of either family (::1 for IPv6).
    explicit RawPeer(const SocketAddress& at) : address_(at) {
        fd_ = ::socket(at.isIpv6() ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_storage a = system(at);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);  // same place in both families
        address_.port = htons(static_cast<uint16_t>(port_));
        int big = 4 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    ~RawPeer() { ::close(fd_); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    int port() const { return port_; }
    SocketAddress address() const { return address_; }

    // To a port on the loopback address of the peer's family.
    void sendTo(int port, const Bytes& datagram) const {
        SocketAddress to = address_.isIpv6() ? SocketAddress{} : SocketAddress::fromHostOrder(INADDR_LOOPBACK, port);
        if (address_.isIpv6()) {
            to.family = SocketAddress::kIpv6;
            to.bytes[15] = 1;
            to.port = htons(static_cast<uint16_t>(port));
        }
        sockaddr_storage a = system(to);
        ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&a),
                 to.isIpv6() ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    }

    // One datagram within ms, or false.
    bool receive(Bytes& out, int ms = 5000) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return false;
        out.resize(65536);
        ssize_t n = ::recv(fd_, out.data(), out.size(), 0);
        if (n < 0) return false;
        out.resize(static_cast<size_t>(n));
        return true;
    }

    int fd() const { return fd_; }

private:
    static sockaddr_storage system(const SocketAddress& at) {
        sockaddr_storage s{};
        if (at.isIpv6()) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&s);
            a->sin6_family = AF_INET6;
            a->sin6_port = at.port;
            std::memcpy(&a->sin6_addr, at.bytes, 16);
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&s);
            a->sin_family = AF_INET;
            a->sin_port = at.port;
            std::memcpy(&a->sin_addr, at.bytes, 4);
        }
        return s;
    }

    SocketAddress address_;
    int fd_ = -1;
    int port_ = 0;
};

// A link with a scripted audio half and a recording owner.
struct LinkRig {
    explicit LinkRig(bool autoFrames = false) {
        auto a = std::make_unique<ScriptedAudio>(autoFrames);
        audio = a.get();
        link = std::make_unique<VoiceLink>(std::move(a));
        link->setOwner(&owner);
    }
    void start() {
        link->create();
        link->start();
    }
    int port() const { return link->localSocketAddress().hostPort(); }
    std::vector<Bytes> playedBytes() {
        std::vector<Bytes> out;
        for (auto& p : audio->played()) out.push_back(p.bytes);
        return out;
    }
    RecordingOwner owner;
    ScriptedAudio* audio;
    std::unique_ptr<VoiceLink> link;
};

// Runs a caller's side of a sealed call's handshake with `g` from `peer`
// against the link listening on `port`, every datagram sent also appended to
// `sent` when given. Returns whether it finished within `rounds` hellos.
inline bool callSealed(DatagramGuard& g, const RawPeer& peer, int port, int rounds = 40,
                       std::vector<Bytes>* sent = nullptr) {
    g.beginCall(true);
    Bytes scratch(VoiceLink::kMaxDatagram), got;
    for (int64_t now = 0; now < rounds * DatagramGuard::kHelloRepeatMs; now += DatagramGuard::kHelloRepeatMs) {
        const uint8_t* hello = nullptr;
        if (const int n = g.hello(now, hello); n > 0) {
            peer.sendTo(port, Bytes(hello, hello + n));
            if (sent != nullptr) sent->emplace_back(hello, hello + n);
        }
        while (peer.receive(got, 100)) {
            const uint8_t* plain = nullptr;
            g.open(peer.address(), got.data(), static_cast<int>(got.size()), scratch.data(), plain);
            if (g.established()) return true;
        }
    }
    return false;
}

// Runs a sealed call's handshake between two guards in memory (no sockets),
// as from 127.0.0.1:5007, up to the call keys on both sides. Returns whether
// both have them.
inline bool sealedPair(DatagramGuard& caller, DatagramGuard& listener) {
    caller.beginCall(true);
    listener.beginCall(false);
    const SocketAddress from = SocketAddress::fromHostOrder(0x7f000001, 5007);
    Bytes scratch(VoiceLink::kMaxDatagram);
    const uint8_t* plain = nullptr;
    for (int round = 0; round < 3 && !caller.established(); ++round) {
        const uint8_t* hello = nullptr;
        const int n = caller.hello(0, hello);
        if (n <= 0) return false;
        listener.open(from, hello, n, scratch.data(), plain);
        const uint8_t* reply = nullptr;
        const int r = listener.takeReply(reply);
        if (r <= 0) return false;
        caller.open(from, reply, r, scratch.data(), plain);
    }
    const uint8_t first = 1;
    Bytes sealed(64);
    const int n = caller.seal(&first, 1, sealed.data(), 64);
    return n > 0 && listener.open(from, sealed.data(), n, scratch.data(), plain) == 1 && listener.established();
}

// Forges the system's "port unreachable" report for a datagram that `port`
// on 127.0.0.1 seemingly sent to 127.0.0.1:`toPort`, as anyone on the path
// can. Needs a raw socket (root): false when there is none.
class IcmpForger {
public:
    IcmpForger() { fd_ = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP); }
    ~IcmpForger() {
        if (fd_ >= 0) ::close(fd_);
    }
    IcmpForger(const IcmpForger&) = delete;
    IcmpForger& operator=(const IcmpForger&) = delete;
    bool usable() const { return fd_ >= 0; }

    bool portUnreachable(int port, int toPort) const {
        // ICMP header (8), then the quoted IPv4 header (20) and the first 8
        // bytes of the "refused" UDP datagram.
        uint8_t packet[36] = {};
        packet[0] = 3;  // destination unreachable
        packet[1] = 3;  // port unreachable
        uint8_t* ip = packet + 8;
        ip[0] = 0x45;
        ip[3] = 29;  // total length: 20 + 8 + 1
        ip[8] = 64;
        ip[9] = IPPROTO_UDP;
        const uint32_t loopback = htonl(INADDR_LOOPBACK);
        std::memcpy(ip + 12, &loopback, 4);
        std::memcpy(ip + 16, &loopback, 4);
        uint8_t* udp = ip + 20;
        udp[0] = static_cast<uint8_t>(port >> 8);
        udp[1] = static_cast<uint8_t>(port);
        udp[2] = static_cast<uint8_t>(toPort >> 8);
        udp[3] = static_cast<uint8_t>(toPort);
        udp[5] = 9;
        uint32_t sum = 0;
        for (size_t i = 0; i < sizeof packet; i += 2) sum += static_cast<uint32_t>(packet[i] << 8 | packet[i + 1]);
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        const uint16_t check = static_cast<uint16_t>(~sum);
        packet[2] = static_cast<uint8_t>(check >> 8);
        packet[3] = static_cast<uint8_t>(check);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = loopback;
        return ::sendto(fd_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(sizeof packet);
    }

private:
    int fd_ = -1;
};

}  // namespace ambrel::test
