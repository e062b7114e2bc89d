// Who may talk to a link: an allow-list of source networks, a peer lock that
// keeps a call with the address of its first datagram, and sealed datagrams
// (XChaCha20-Poly1305 with a shared 256-bit key) with a replay window. With no
// rule set the guard is inactive and the link uses none of it.
//
// A datagram the rules refuse is dropped: it changes nothing in the call, is
// not answered or played, and is only counted per source for a report.
//
// Sealed datagram (kind 2), all sizes in bytes:
//   0        kind 2 (authenticated as associated data)
//   1..24    nonce, random per datagram
//   25..     ciphertext of: sender id (4, little-endian; random per process),
//            counter (8, little-endian; one more for every datagram sealed),
//            the plain datagram (kind 0 or 1 and its frames)
//   last 16  Poly1305 tag
// kSealOverhead = 53 bytes are added to the plain datagram.
//
// Replay window: per sender id (up to kSenders at a time, the least recently
// heard forgotten first) the highest counter and a 64-bit map of the counters
// below it. A counter already seen, or 64 or more below the highest, is
// dropped. The windows are kept across calls, so a datagram recorded in an
// earlier call of this process cannot open a new one. A datagram carrying
// this guard's own sender id (one of ours, sent back) is dropped too.
//
// Threads: configuration on the owner's thread before the link's worker
// starts; beginCall, admitsSource, open and seal on the thread that drives the
// call (the worker); takeDrops on any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "link/Socket.h"

namespace ambrel {

// A source network of either family: the address with its host bits
// cleared, the prefix length (0..32 for IPv4, 0..128 for IPv6) and a port
// (network order in network.port; 0 = any port). An IPv4 source reached over
// a dual-stack socket (::ffff:a.b.c.d) is held unmapped by the socket layer,
// so IPv4 rules match it.
struct AllowRule {
    SocketAddress network;
    int bits = 32;

    // The rule for an IPv4 address/bits (network order), host bits cleared.
    static AllowRule make(uint32_t address, int bits);
    // The rule for address/bits of its family; its port is kept.
    static AllowRule make(const SocketAddress& address, int bits);
    bool matches(const SocketAddress& source) const;
    // IPv4 source, network order, any port.
    bool matches(uint32_t address) const { return matches(SocketAddress::fromIpv4(address, 0)); }
};

using GuardKey = std::array<uint8_t, 32>;

// What was dropped since the last report: the total, the source that sent the
// most of it, how many sources there were
// (at least `sources`; more than kTrackedSources are counted as one), and the
// groups of frames not sent because they would not fit a sealed datagram.
struct DropReport {
    uint64_t total = 0;
    SocketAddress topSource;
    uint64_t topCount = 0;
    int sources = 0;
    uint64_t unsealable = 0;
};

class DatagramGuard {
public:
    static constexpr uint8_t kSealedKind = 2;
    static constexpr int kNonceBytes = 24;
    static constexpr int kHeaderBytes = 12;  // sender id and counter
    static constexpr int kTagBytes = 16;
    static constexpr int kSealOverhead = 1 + kNonceBytes + kHeaderBytes + kTagBytes;
    static constexpr int kSenders = 4;
    static constexpr int kTrackedSources = 8;

    DatagramGuard();
    // Wipes the key.
    ~DatagramGuard();
    DatagramGuard(const DatagramGuard&) = delete;
    DatagramGuard& operator=(const DatagramGuard&) = delete;

    // Configuration. Owner's thread, before the link starts.
    void setAllowList(std::vector<AllowRule> rules) { allow_ = std::move(rules); }
    void setLockPeer(bool lock) { lockPeer_ = lock; }
    // Every datagram is sealed with this key, and only sealed ones are taken.
    void setKey(const GuardKey& key);

    bool active() const { return !allow_.empty() || lockPeer_ || sealing_; }
    bool sealing() const { return sealing_; }
    // The id this guard seals with (random, chosen by setKey).
    uint32_t senderId() const { return senderId_; }

    // A new call: the peer lock is released. Call thread.
    void beginCall() { locked_ = false; }
    // Whether the allow-list and the peer lock let `from` in (counts nothing).
    bool admitsSource(const SocketAddress& from) const;
    // Checks a received datagram. Returns the length of the plain datagram
    // and points `plain` at it (the input itself, or `scratch` for a sealed
    // one, which needs `length` bytes), or 0 when it is dropped (counted).
    // An accepted datagram locks the peer when the lock is on. Call thread.
    int open(const SocketAddress& from, const uint8_t* datagram, int length, uint8_t* scratch,
             const uint8_t*& plain);
    // Counts a datagram from `from` dropped by the caller (e.g. one of an
    // impossible size). Call thread.
    void countDrop(const SocketAddress& from);
    // Seals a plain datagram into out (capacity bytes). Returns the sealed
    // length, or 0 when it would not fit (counted as unsealable; nothing is
    // to be sent). Call thread.
    int seal(const uint8_t* plain, int length, uint8_t* out, int capacity);

    // The drops since the last call, and starts counting afresh. Any thread.
    DropReport takeDrops();

    // Reads a key file: exactly 32 bytes, not readable by group or others.
    // On failure returns false with one line in `error`.
    static bool loadKey(const std::string& path, GuardKey& key, std::string& error);
    // Writes a new random key to a file that must not exist yet, mode 0600.
    static bool writeNewKey(const std::string& path, std::string& error);

private:
    struct Sender {
        uint32_t id = 0;
        uint64_t top = 0;     // highest counter accepted
        uint64_t seen = 0;    // bit i: top - i accepted
        uint64_t heard = 0;   // recency tick; 0 = free slot
    };
    struct Source {
        SocketAddress from;
        uint64_t count = 0;
    };

    bool freshCounter(uint32_t id, uint64_t counter);

    std::vector<AllowRule> allow_;
    bool lockPeer_ = false;
    bool sealing_ = false;
    GuardKey key_{};
    uint32_t senderId_ = 0;

    // Call thread only.
    bool locked_ = false;       // the call is locked to lockedPeer_
    SocketAddress lockedPeer_;
    uint64_t nextCounter_ = 0;  // of datagrams sealed here
    uint64_t tick_ = 0;
    std::array<Sender, kSenders> senders_{};

    // Drop counts, written by the call thread, taken by any thread.
    std::mutex dropLock_;
    std::array<Source, kTrackedSources> sources_{};  // dropLock_
    uint64_t dropped_ = 0;                           // dropLock_
    uint64_t untracked_ = 0;                         // dropLock_
    std::atomic<uint64_t> unsealable_{0};
};

}  // namespace ambrel
