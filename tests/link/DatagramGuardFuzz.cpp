// Fuzz target: the sealed call's parser, in two phases over the same input.
//
// Listening: a listener, two callers with its key (at 127.0.0.1:5007 and
// 127.0.0.2:6000) and one with another key; the input is a script of steps
// from any of three sources (those two and [fd00::9]:7), op % 5:
//   0  raw bytes (a length byte, then that many)
//   1  a caller's hello; its answer goes back to it when sent from its own
//      address
//   2  a caller with call keys sends its first sound datagram
//   3  a datagram a caller sent before, with one byte changed
//   4  a datagram a caller sent before, again
// The listener's answer is never larger than what came; a hello without the
// cookie of its source is answered with a cookie at most and leaves no
// pending call; only a first sound datagram from the address its caller's
// cookie proved makes the call; nothing is answered once it is made.
//
// The call: two guards with one key run the handshake in memory (caller and
// listener); then the input is a script of steps, each checked against a
// model of the call's replay window kept here with a plain set:
//   op % 6 == 0  raw bytes (a length byte, then that many) to either side:
//                never open, never change the call
//   op % 6 == 1  the caller seals a payload (a length byte, then that many)
//                and it is delivered: opens to the payload unless the window
//                refuses it
//   op % 6 == 2  the same, held back for later
//   op % 6 == 3  a held-back datagram is delivered (next byte picks it)
//   op % 6 == 4  a delivered datagram again: never opens
//   op % 6 == 5  a recorded handshake or sound datagram with one byte
//                changed, to either side: never opens, never changes the call
// The listener must answer nothing once the call is made, and any answer it
// gives is never larger than what it was sent.
// (The calls on real sockets are in VoiceLinkGuardTest and VoiceLinkSealTest.)
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <vector>

#include "link/DatagramGuard.h"
#include "link/VoiceLink.h"

namespace {

using namespace ambrel;
using Bytes = std::vector<uint8_t>;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "guard fuzz: %s\n", what);
    std::abort();
}

// The input, byte by byte; 0 once it is used up.
class Input {
protected:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool more() const { return pos_ < size_; }
    uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
    Bytes take(size_t n) {
        n = std::min(n, size_ - pos_);
        Bytes b(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return b;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

struct Sealed {
    uint64_t counter;
    Bytes payload;
    Bytes datagram;
};

class Script : Input {
public:
    Script(const uint8_t* data, size_t size) : Input(data, size) {
        GuardKey key;
        key.fill(0x42);
        caller_.setKey(key);
        listener_.setKey(key);
    }

    void run() {
        if (!handshake()) fail("the handshake did not finish");
        while (more()) {
            const uint8_t op = next();
            switch (op % 6) {
            case 0: {
                const bool toCaller = next() & 1;
                Bytes raw = take(next());
                if (open(toCaller ? caller_ : listener_, raw)) fail("raw bytes opened");
                break;
            }
            case 1:
            case 2: {
                Bytes payload = take(next());
                if (payload.empty()) payload.push_back(0);
                Bytes out(VoiceLink::kMaxDatagram);
                const int n = caller_.seal(payload.data(), static_cast<int>(payload.size()), out.data(),
                                           VoiceLink::kMaxDatagram);
                if (n != static_cast<int>(payload.size()) + DatagramGuard::kSealOverhead) fail("wrong sealed size");
                out.resize(static_cast<size_t>(n));
                Sealed s{counter_++, payload, out};
                if (op % 6 == 1)
                    deliver(s);
                else
                    held_.push_back(s);
                break;
            }
            case 3:
                if (!held_.empty()) {
                    const size_t i = next() % held_.size();
                    Sealed s = held_[i];
                    held_.erase(held_.begin() + static_cast<long>(i));
                    deliver(s);
                }
                break;
            case 4:
                if (!delivered_.empty() && open(listener_, delivered_[next() % delivered_.size()].datagram))
                    fail("a replay was taken");
                break;
            case 5: {
                const size_t pick = next() % (recorded_.size() + delivered_.size());
                Bytes bad = pick < recorded_.size() ? recorded_[pick] : delivered_[pick - recorded_.size()].datagram;
                const size_t at = (static_cast<size_t>(next()) * 7 + next()) % bad.size();
                bad[at] ^= static_cast<uint8_t>(next() | 1);
                const bool toCaller = next() & 1;
                if (open(toCaller ? caller_ : listener_, bad)) fail("a changed datagram opened");
                break;
            }
            }
            if (!caller_.established() || !listener_.established()) fail("the call was undone");
        }
    }

private:
    // The caller's hello, the listener's cookie, the hello again and the
    // answer, then the first sound datagram; each is recorded.
    bool handshake() {
        caller_.beginCall(true);
        listener_.beginCall(false);
        for (int round = 0; round < 3 && !caller_.established(); ++round) {
            const uint8_t* hello = nullptr;
            const int n = caller_.hello(0, hello);
            if (n <= 0) return false;
            Bytes h(hello, hello + n);
            recorded_.push_back(h);
            open(listener_, h);
            if (reply_.empty()) return false;
            Bytes answer = reply_;
            recorded_.push_back(answer);
            open(caller_, answer);
        }
        if (!caller_.established()) return false;
        const Bytes first{1};
        Bytes out(64);
        out.resize(static_cast<size_t>(caller_.seal(first.data(), 1, out.data(), 64)));
        deliver(Sealed{counter_++, first, out});
        return listener_.established();
    }

    // The plain datagram, or nothing when dropped. The listener answers
    // nothing once the call is made.
    std::optional<Bytes> open(DatagramGuard& g, const Bytes& datagram) {
        Bytes scratch(datagram.size() + 1);
        const uint8_t* plain = nullptr;
        const SocketAddress from = SocketAddress::fromHostOrder(0x7f000001, 5007);
        const int n = g.open(from, datagram.data(), static_cast<int>(datagram.size()), scratch.data(), plain);
        if (n < 0 || n > static_cast<int>(datagram.size())) fail("impossible length");
        const uint8_t* reply = nullptr;
        const int r = g.takeReply(reply);
        if (r > static_cast<int>(datagram.size())) fail("an answer larger than what came");
        if (r > 0 && g.established()) fail("an answer during a call");
        reply_.assign(reply, reply + std::max(r, 0));
        if (n == 0) return std::nullopt;
        return Bytes(plain, plain + n);
    }

    // Whether the model's window takes the counter, updating it.
    bool modelTakes(uint64_t c) {
        if (!seen_.empty() && c <= top_ && (top_ - c >= 64 || seen_.count(c))) return false;
        top_ = seen_.empty() ? c : std::max(top_, c);
        seen_.insert(c);
        return true;
    }

    void deliver(const Sealed& s) {
        const bool expected = modelTakes(s.counter);
        std::optional<Bytes> got = open(listener_, s.datagram);
        if (got.has_value() != expected) fail(expected ? "a fresh datagram was refused" : "a replay was taken");
        if (got && *got != s.payload) fail("opened bytes differ from the payload");
        delivered_.push_back(s);
        if (delivered_.size() > 256) delivered_.erase(delivered_.begin());
    }

    DatagramGuard caller_, listener_;
    uint64_t counter_ = 0;
    std::vector<Sealed> held_, delivered_;
    std::vector<Bytes> recorded_;
    Bytes reply_;  // the answer to the latest open
    uint64_t top_ = 0;
    std::set<uint64_t> seen_;
};

class Listening : Input {
public:
    Listening(const uint8_t* data, size_t size) : Input(data, size) {
        GuardKey key;
        key.fill(0x42);
        listener_.setKey(key);
        for (DatagramGuard& c : callers_) c.setKey(key);
        key.fill(0x43);
        stranger_.setKey(key);
        listener_.beginCall(false);
        for (int i = 0; i < 3; ++i) caller(i).beginCall(true, SocketAddress::fromHostOrder(0x7f000003, 5007));
    }

    void run() {
        while (more()) {
            const uint8_t op = next();
            const int who = next() % 3;
            const SocketAddress& from = sources_[next() % 3];
            switch (op % 5) {
            case 0:
                send(from, take(next()), -1);
                break;
            case 1: {
                const uint8_t* hello = nullptr;
                clock_ += DatagramGuard::kHelloRepeatMs;
                const int n = caller(who).hello(clock_, hello);
                if (n <= 0) break;
                const Bytes reply = send(from, Bytes(hello, hello + n), who);
                if (!reply.empty() && from == sources_[who]) open(caller(who), reply);
                break;
            }
            case 2: {
                const uint8_t first = 1;
                Bytes out(64);
                const int n = caller(who).seal(&first, 1, out.data(), 64);
                if (n > 0) send(from, Bytes(out.begin(), out.begin() + n), who);
                break;
            }
            case 3:
            case 4:
                if (!sent_.empty()) {
                    auto [bytes, owner] = sent_[next() % sent_.size()];
                    if (op % 5 == 3) {
                        bytes[next() % bytes.size()] ^= static_cast<uint8_t>(next() | 1);
                        owner = -1;
                    }
                    send(from, bytes, owner);
                }
                break;
            }
        }
    }

private:
    DatagramGuard& caller(int i) { return i < 2 ? callers_[i] : stranger_; }

    static int open(DatagramGuard& g, const Bytes& d, const SocketAddress& from = SocketAddress{}) {
        Bytes scratch(d.size() + 1);
        const uint8_t* plain = nullptr;
        const int n = g.open(from, d.data(), static_cast<int>(d.size()), scratch.data(), plain);
        if (n < 0 || n > static_cast<int>(d.size())) fail("impossible length");
        return n;
    }

    // Sends bytes that `owner` (a caller, -1 for nobody) made to the listener
    // from `from`, checks what the listener did and returns its answer.
    Bytes send(const SocketAddress& from, const Bytes& d, int owner) {
        if (d.empty()) return {};
        // Only what callers made is kept for steps 3 and 4: a change made
        // twice would give a caller's datagram back without its owner.
        if (owner >= 0 && sent_.size() < 64) sent_.emplace_back(d, owner);
        const bool hello = d.size() == DatagramGuard::kHelloBytes && d[2] == DatagramGuard::kHello;
        // A caller's own hello carrying a cookie, from the address it got
        // the cookie at (answers go back only there).
        const bool proved = hello && owner >= 0 && owner < 2 && from == sources_[owner] &&
                            std::any_of(d.end() - DatagramGuard::kCookieBytes, d.end(), [](uint8_t b) { return b; });
        const int slots = listener_.pendingCalls();
        const bool calling = listener_.established();
        open(listener_, d, from);
        const uint8_t* reply = nullptr;
        const int r = listener_.takeReply(reply);
        if (r > static_cast<int>(d.size())) fail("an answer larger than what came");
        if (r > 0 && calling) fail("an answer during a call");
        if (!proved && (r > DatagramGuard::kCookieReplyBytes || listener_.pendingCalls() > slots))
            fail("an unproved hello earned an answer or a pending call");
        if (!calling && listener_.established() && !(owner >= 0 && owner < 2 && from == sources_[owner]))
            fail("a call made from an address no cookie proved");
        return Bytes(reply, reply + std::max(r, 0));
    }

    DatagramGuard listener_, callers_[2], stranger_;
    const SocketAddress sources_[3] = {SocketAddress::fromHostOrder(0x7f000001, 5007),
                                       SocketAddress::fromHostOrder(0x7f000002, 6000), fd00_9()};
    int64_t clock_ = 0;
    std::vector<std::pair<Bytes, int>> sent_;

    static SocketAddress fd00_9() {
        SocketAddress a;
        a.family = SocketAddress::kIpv6;
        a.bytes[0] = 0xfd;
        a.bytes[15] = 9;
        a.port = htons(7);
        return a;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Listening(data, size).run();
    Script(data, size).run();
    return 0;
}
