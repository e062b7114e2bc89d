// Fuzz target: opening sealed datagrams. The input is a script of steps, each
// checked against a model of the replay window kept here with plain sets:
//   op % 4 == 0  raw bytes (a length byte, then that many): never opens
//   op % 4 == 1  sender (next byte % 5) seals a payload (a length byte, then
//                that many): opens to the payload unless the window refuses
//   op % 4 == 2  an earlier sealed datagram again (next byte picks it)
//   op % 4 == 3  an earlier sealed datagram with one byte changed: never opens
// Five senders for four window slots, so senders are forgotten and come back.
// (The calls on real sockets are in VoiceLinkGuardTest.)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <memory>
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

struct Window {
    uint64_t top = 0;
    std::set<uint64_t> seen;
};

struct Sealed {
    int sender;
    uint64_t counter;
    Bytes payload;
    Bytes datagram;
};

class Script {
public:
    Script(const uint8_t* data, size_t size) : data_(data), size_(size) {
        GuardKey key;
        key.fill(0x42);
        receiver_.setKey(key);
        for (auto& s : senders_) {
            s = std::make_unique<DatagramGuard>();
            s->setKey(key);
        }
    }

    void run() {
        // The model tells senders apart by their ids: skip the rare draw
        // where two of the six random ids are equal.
        std::set<uint32_t> ids{receiver_.senderId()};
        for (auto& s : senders_) ids.insert(s->senderId());
        if (ids.size() != 6) return;
        while (pos_ < size_) {
            const uint8_t op = next();
            switch (op % 4) {
            case 0: {
                Bytes raw = take(next());
                if (open(raw)) fail("raw bytes opened");
                break;
            }
            case 1: {
                const int s = next() % 5;
                Bytes payload = take(next());
                if (payload.empty()) payload.push_back(0);
                Bytes out(VoiceLink::kMaxDatagram);
                const int n = senders_[s]->seal(payload.data(), static_cast<int>(payload.size()), out.data(),
                                                VoiceLink::kMaxDatagram);
                if (n != static_cast<int>(payload.size()) + DatagramGuard::kSealOverhead) fail("wrong sealed size");
                out.resize(static_cast<size_t>(n));
                history_.push_back({s, ++counters_[s], payload, out});
                deliver(history_.back());
                break;
            }
            case 2:
                if (!history_.empty()) deliver(history_[next() % history_.size()]);
                break;
            case 3:
                if (!history_.empty()) {
                    Bytes bad = history_[next() % history_.size()].datagram;
                    const size_t at = (static_cast<size_t>(next()) * 7 + next()) % bad.size();
                    bad[at] ^= static_cast<uint8_t>(next() | 1);
                    if (open(bad)) fail("a changed datagram opened");
                }
                break;
            }
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

    // The plain datagram, or nothing when dropped.
    std::optional<Bytes> open(const Bytes& datagram) {
        Bytes scratch(datagram.size() + 1);
        const uint8_t* plain = nullptr;
        const SocketAddress from = SocketAddress::fromHostOrder(0x7f000001, 5007);
        const int n = receiver_.open(from, datagram.data(), static_cast<int>(datagram.size()), scratch.data(), plain);
        if (n < 0 || n > static_cast<int>(datagram.size())) fail("impossible length");
        if (n == 0) return std::nullopt;
        return Bytes(plain, plain + n);
    }

    // Whether the model's window takes (sender, counter), updating it.
    bool modelTakes(int s, uint64_t c) {
        auto it = windows_.find(s);
        if (it == windows_.end()) {
            if (windows_.size() == static_cast<size_t>(DatagramGuard::kSenders)) {
                windows_.erase(recency_.front());
                recency_.pop_front();
            }
            windows_[s] = Window{c, {c}};
        } else {
            Window& w = it->second;
            if (c <= w.top && (w.top - c >= 64 || w.seen.count(c))) return false;
            w.top = std::max(w.top, c);
            w.seen.insert(c);
            recency_.remove(s);
        }
        recency_.push_back(s);
        return true;
    }

    void deliver(const Sealed& d) {
        const bool expected = modelTakes(d.sender, d.counter);
        std::optional<Bytes> got = open(d.datagram);
        if (got.has_value() != expected) fail(expected ? "a fresh datagram was refused" : "a replay was taken");
        if (got && *got != d.payload) fail("opened bytes differ from the payload");
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    DatagramGuard receiver_;
    std::unique_ptr<DatagramGuard> senders_[5];
    uint64_t counters_[5] = {};
    std::vector<Sealed> history_;
    std::map<int, Window> windows_;
    std::list<int> recency_;  // least recently heard first
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Script(data, size).run();
    return 0;
}
