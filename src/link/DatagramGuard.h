// Who may talk to a link: an allow-list of source networks, a peer lock that
// keeps a call with the address of its first datagram, and sealed calls. With
// no rule set the guard is inactive and the link uses none of it.
//
// A datagram the rules refuse is dropped: it changes nothing in the call, is
// not answered or played, and is only counted per source for a report.
//
// Sealed calls (a shared 256-bit key): before any sound, the two sides run
// the Noise handshake Noise_NNpsk0_25519_ChaChaPoly_SHA256 (NoiseHandshake.h)
// with the key as its pre-shared key. Both contribute fresh ephemeral keys,
// so each call has keys of its own: a datagram of another call (an earlier
// one, or another copy's) opens nothing, and a key file taken later opens no
// recorded call. Every sealed datagram starts with kind 3, the sealing
// version (1) and its type; all sizes in bytes:
//
//   hello   (caller)   3 1 1 | Noise message 1 (48) | mac (16) | cookie (16)   83
//   cookie  (listener) 3 1 2 | cookie (16) | mac (16)                          35
//   answer  (listener) 3 1 3 | Noise message 2 (48) | mac (16)                 67
//   sound   (both)     3 1 4 | counter (8, little-endian) | sealed datagram | tag (16)
//
// The mac (keyed BLAKE2b over what precedes it, with a key derived from the
// shared key) lets a listener drop a stranger's hello at the cost of one
// hash. A cookie's mac also covers the mac of the hello it answers, so a
// caller takes only the cookie for its own hello; the first one sends the
// hello again at once, any later one waits for the hello's repeat. A hello
// without the right cookie earns only a cookie, smaller than the hello,
// and leaves no state behind: the cookie is a keyed hash of the
// hello's source address and ephemeral key under a secret that changes
// every two minutes. A hello with its cookie has proved that its sender
// receives at that address; only then does the listener work the handshake
// and keep its result, in one of kPending slots (one per source address,
// the oldest given up first). The first sound datagram from a slot's address
// that opens with its keys makes the call; the other slots are forgotten.
//
// Sound datagrams are sealed with the call's transport keys (ChaCha20-Poly1305,
// the counter as the nonce, the 11 header bytes as associated data):
// kSealOverhead = 27 bytes are added to the plain datagram (kind 0 or 1 and
// its frames). The replay window belongs to the call: the highest counter
// taken and a 64-bit map of the ones below it; a counter already taken, or 64
// or more below the highest, is dropped. Only a datagram whose counter is
// above every one taken may move the call's peer address (movesPeer()).
//
// A datagram of kind 2 (the first sealing, without a handshake) or of kind 3
// with another version is counted apart (DropReport::otherVersion), so the
// user can be told that the peer seals with another version; so is a plain
// sound datagram that a caller gets from its callee before any answer
// (DropReport::plainPeer): a copy without a key answers a hello as a call.
//
// Secrets (the key, the keys derived from it, the cookie secret and every
// handshake and call key) live in one block from sodium_malloc: locked in
// memory, left out of core dumps, wiped when freed.
//
// Threads: configuration on the owner's thread before the link's worker
// starts; beginCall, endCall, admitsSource, open, takeReply, hello and seal
// on the thread that drives the call (the worker); takeDrops on any thread.
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

// A source of dropped datagrams and how many it sent.
struct DropSource {
    SocketAddress from;
    uint64_t count = 0;
};

// What was dropped since the last report: the total, the source that sent the
// most of it, how many sources there were
// (at least `sources`; more than kTrackedSources are counted as one), and the
// groups of frames not sent because they would not fit a sealed datagram,
// the datagrams (among the total) sealed with another version, and the plain
// sound datagrams (among the total) that a sealing caller got from the peer
// it calls before any answer: that peer does not seal.
struct DropReport {
    uint64_t total = 0;
    SocketAddress topSource;
    uint64_t topCount = 0;
    int sources = 0;
    uint64_t unsealable = 0;
    uint64_t otherVersion = 0;
    uint64_t plainPeer = 0;
};

// A key in locked memory that core dumps leave out (sodium_malloc), wiped
// when destroyed: where a key waits between its file and its guard.
class LockedKey {
public:
    // Falls back to ordinary memory when no locked memory can be had.
    LockedKey();
    ~LockedKey();
    LockedKey(const LockedKey&) = delete;
    LockedKey& operator=(const LockedKey&) = delete;
    GuardKey& key() { return *key_; }
    // Zeros the key (sodium_memzero: the compiler may not drop it).
    void wipe();

private:
    GuardKey* key_;
    bool locked_;
};

class DatagramGuard {
public:
    static constexpr uint8_t kSealedKind = 3;
    static constexpr uint8_t kFirstSealedKind = 2;  // the first sealing, told apart only
    static constexpr uint8_t kVersion = 1;
    static constexpr uint8_t kHello = 1, kCookie = 2, kAnswer = 3, kSound = 4;
    static constexpr int kMacBytes = 16;
    static constexpr int kCookieBytes = 16;
    static constexpr int kHelloBytes = 3 + 48 + kMacBytes + kCookieBytes;
    static constexpr int kCookieReplyBytes = 3 + kCookieBytes + kMacBytes;
    static constexpr int kAnswerBytes = 3 + 48 + kMacBytes;
    static constexpr int kHeaderBytes = 3 + 8;  // of a sound datagram
    static constexpr int kTagBytes = 16;
    static constexpr int kSealOverhead = kHeaderBytes + kTagBytes;
    static constexpr int kPending = 4;
    static constexpr int kTrackedSources = 8;
    // A caller repeats its hello until it has an answer: first after
    // kHelloFirstRepeatMs, each wait twice the one before, at most
    // kHelloRepeatMs; the call's first cookie starts the waits over.
    static constexpr int kHelloFirstRepeatMs = 100;
    static constexpr int kHelloRepeatMs = 500;
    static constexpr int kCookieSecretMs = 120000;

    DatagramGuard();
    // Wipes and frees the secrets.
    ~DatagramGuard();
    DatagramGuard(const DatagramGuard&) = delete;
    DatagramGuard& operator=(const DatagramGuard&) = delete;

    // Configuration. Owner's thread, before the link starts.
    void setAllowList(std::vector<AllowRule> rules) { allow_ = std::move(rules); }
    void setLockPeer(bool lock) { lockPeer_ = lock; }
    // Calls are sealed with keys made by a handshake on this key; only
    // sealed datagrams are taken. Throws MemoryException when no locked
    // memory can be had for it.
    void setKey(const GuardKey& key);

    bool active() const { return !allow_.empty() || lockPeer_ || sealing_; }
    bool sealing() const { return sealing_; }

    // A new call: the peer lock is released and the previous call's keys
    // are wiped. A caller starts its handshake (hello() has its first
    // message) with `callee`; a listener waits for one. Call thread.
    void beginCall(bool caller = false, const SocketAddress& callee = SocketAddress{});
    // The call has ended: its handshake state and keys are wiped now rather
    // than at the next call, and the peer lock is released. Call thread.
    void endCall();
    // Sealing: the handshake of this call is done (a listener: and the
    // caller's first sound datagram has come). Any thread.
    bool established() const;
    // Whether the allow-list and the peer lock let `from` in (counts nothing).
    bool admitsSource(const SocketAddress& from) const;
    // Checks a received datagram. Returns the length of the plain datagram
    // and points `plain` at it (the input itself, or `scratch` for a sealed
    // one, which needs `length` bytes), or 0 when it is dropped (counted) or
    // was a step of the handshake (then takeReply may have an answer for
    // `from`). An accepted datagram locks the peer when the lock is on.
    // Call thread.
    int open(const SocketAddress& from, const uint8_t* datagram, int length, uint8_t* scratch,
             const uint8_t*& plain);
    // A listener's answered hellos kept for their first sound datagram.
    // Call thread.
    int pendingCalls() const;
    // The answer the last open() left for its sender, once: its length and
    // bytes, or 0. Call thread.
    int takeReply(const uint8_t*& bytes);
    // Whether the datagram open() took last carried a counter above every
    // one taken before in this call (always true unsealed). Call thread.
    bool movesPeer() const { return movesPeer_; }
    // A caller whose handshake is not done: its hello when one is due at
    // nowMs (monotonic), else 0. Call thread.
    int hello(int64_t nowMs, const uint8_t*& bytes);
    // Counts a datagram from `from` dropped by the caller (e.g. one of an
    // impossible size). Call thread.
    void countDrop(const SocketAddress& from);
    // Seals a plain datagram into out (capacity bytes). Returns the sealed
    // length, or 0 when there are no call keys yet, or when it would not fit
    // (counted as unsealable); nothing is to be sent then. Call thread.
    int seal(const uint8_t* plain, int length, uint8_t* out, int capacity);

    // The drops since the last call, and starts counting afresh. Any thread.
    DropReport takeDrops();

    // Reads a key file: exactly 32 bytes, not readable by group or others,
    // not writable by group or others. On failure returns false with one line
    // in `error`.
    static bool loadKey(const std::string& path, GuardKey& key, std::string& error);
    // Writes a new random key to a file that must not exist yet, mode 0600.
    static bool writeNewKey(const std::string& path, std::string& error);

private:
    struct Secrets;
    struct Pending;

    int openSealed(const SocketAddress& from, const uint8_t* datagram, int length, uint8_t* scratch);
    void answerHello(const SocketAddress& from, const uint8_t* datagram);
    bool takeAnswer(const uint8_t* datagram);
    int openSound(const SocketAddress& from, const uint8_t* datagram, int length, uint8_t* scratch);
    void cookieFor(const SocketAddress& from, const uint8_t* ephemeral, int secret, uint8_t* out) const;
    // The mac of length bytes, and of the kMacBytes at `bound` after them
    // when given.
    void mac(const uint8_t* bytes, int length, uint8_t* out, const uint8_t* bound = nullptr) const;
    bool macMatches(const uint8_t* bytes, int length, const uint8_t* bound = nullptr) const;
    void rotateCookieSecret(int64_t nowMs);
    void dropOtherVersion(const SocketAddress& from);

    std::vector<AllowRule> allow_;
    bool lockPeer_ = false;
    bool sealing_ = false;
    Secrets* secrets_ = nullptr;  // sodium_malloc

    // Call thread only.
    bool locked_ = false;  // the call is locked to lockedPeer_
    SocketAddress lockedPeer_;
    bool caller_ = false;
    SocketAddress callee_;  // whom a caller calls
    bool movesPeer_ = true;
    int replyLength_ = 0;
    const uint8_t* reply_ = nullptr;
    int64_t nextHelloMs_ = 0;
    int helloWaitMs_ = kHelloFirstRepeatMs;
    bool cookieMayHasten_ = false;  // no cookie of this call has hastened the hello yet
    int64_t cookieSecretMs_ = -1;
    uint64_t tick_ = 0;

    // Drop counts, written by the call thread, taken by any thread.
    std::mutex dropLock_;
    std::array<DropSource, kTrackedSources> sources_{};  // dropLock_
    uint64_t dropped_ = 0;                           // dropLock_
    uint64_t untracked_ = 0;                         // dropLock_
    std::atomic<uint64_t> unsealable_{0};
    std::atomic<uint64_t> otherVersion_{0};
    std::atomic<uint64_t> plainPeer_{0};
};

}  // namespace ambrel
