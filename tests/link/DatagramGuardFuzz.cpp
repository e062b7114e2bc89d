// Fuzz target: the sealed call's parser. Two guards with one key run the
// handshake in memory (caller and listener); then the input is a script of
// steps, each checked against a model of the call's replay window kept here
// with a plain set:
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

struct Sealed {
    uint64_t counter;
    Bytes payload;
    Bytes datagram;
};

class Script {
public:
    Script(const uint8_t* data, size_t size) : data_(data), size_(size) {
        GuardKey key;
        key.fill(0x42);
        caller_.setKey(key);
        listener_.setKey(key);
    }

    void run() {
        if (!handshake()) fail("the handshake did not finish");
        while (pos_ < size_) {
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
    uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
    Bytes take(size_t n) {
        n = std::min(n, size_ - pos_);
        Bytes b(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return b;
    }

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

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    DatagramGuard caller_, listener_;
    uint64_t counter_ = 0;
    std::vector<Sealed> held_, delivered_;
    std::vector<Bytes> recorded_;
    Bytes reply_;  // the answer to the latest open
    uint64_t top_ = 0;
    std::set<uint64_t> seen_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Script(data, size).run();
    return 0;
}
