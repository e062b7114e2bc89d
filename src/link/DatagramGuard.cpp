// Allow-list, peer lock, sealing and the replay window. See DatagramGuard.h.
#include "link/DatagramGuard.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "link/NoiseHandshake.h"

namespace ambrel {

namespace {

void putLe(uint8_t* at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t getLe(const uint8_t* at, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(at[i]) << (8 * i);
    return value;
}

void startSodium() {
    // Thread-safe and idempotent; fails only without a source of randomness.
    if (sodium_init() < 0) throw Exception();
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace

AllowRule AllowRule::make(uint32_t address, int bits) { return make(SocketAddress::fromIpv4(address, 0), bits); }

AllowRule AllowRule::make(const SocketAddress& address, int bits) {
    AllowRule rule;
    const int width = address.isIpv6() ? 128 : 32;
    rule.bits = bits < 0 ? 0 : bits > width ? width : bits;
    rule.network = address;
    rule.network.scope = 0;
    for (int i = 0; i < width / 8; ++i) {
        const int kept = std::min(8, std::max(0, rule.bits - 8 * i));
        rule.network.bytes[i] &= static_cast<uint8_t>(0xFF00u >> kept);
    }
    return rule;
}

bool AllowRule::matches(const SocketAddress& source) const {
    if (source.family != network.family) return false;
    if (network.port != 0 && source.port != network.port) return false;
    for (int i = 0; i * 8 < bits; ++i) {
        const int kept = std::min(8, bits - 8 * i);
        const auto mask = static_cast<uint8_t>(0xFF00u >> kept);
        if ((source.bytes[i] & mask) != network.bytes[i]) return false;
    }
    return true;
}

// A hello answered: where it came from, its ephemeral key, the answer (sent
// again when the hello comes again) and the keys the call would have.
struct DatagramGuard::Pending {
    bool used = false;
    SocketAddress from;
    uint8_t ephemeral[noise::kKeyBytes] = {};
    uint8_t answer[kAnswerBytes] = {};
    noise::CipherState send, receive;
    uint64_t tick = 0;

    void wipe() {
        used = false;
        sodium_memzero(ephemeral, sizeof ephemeral);
        send.wipe();
        receive.wipe();
    }
};

// The secrets of a guard and the state of its call's handshake and keys, in
// one block of locked memory that core dumps leave out (sodium_malloc).
struct DatagramGuard::Secrets {
    uint8_t psk[noise::kKeyBytes] = {};
    uint8_t macKey[32] = {};
    uint8_t cookieSecret[2][32] = {};  // the current one, the one before
    // The caller's handshake until the answer came, and a scratch state for
    // trying an answer (or a listener's reading of a hello).
    noise::HandshakeState handshake, scratch;
    uint8_t hello[kHelloBytes] = {};
    uint8_t cookieReply[kCookieReplyBytes] = {};
    // The call's transport keys and replay window.
    noise::CipherState send, receive;
    std::atomic<bool> established{false};  // written by the call thread, read by any
    uint64_t nextCounter = 0;
    bool any = false;   // a counter was taken
    uint64_t top = 0;   // the highest counter taken
    uint64_t seen = 0;  // bit i: top - i taken
    Pending pending[kPending];

    bool fresh(uint64_t counter) const {
        if (!any || counter > top) return true;
        const uint64_t back = top - counter;
        return back < 64 && ((seen >> back) & 1) == 0;
    }
    void take(uint64_t counter) {
        if (!any) {
            any = true;
            top = counter;
            seen = 1;
        } else if (counter > top) {
            const uint64_t shift = counter - top;
            seen = shift >= 64 ? 1 : (seen << shift) | 1;
            top = counter;
        } else {
            seen |= uint64_t{1} << (top - counter);
        }
    }
    void endCall() {
        handshake.wipe();
        scratch.wipe();
        send.wipe();
        receive.wipe();
        established = false;
        nextCounter = 0;
        any = false;
        top = 0;
        seen = 0;
        for (Pending& p : pending) p.wipe();
    }
};

namespace {

// Bound into every handshake: a peer of another protocol or version cannot
// complete one.
constexpr char kPrologue[] = "ambrel sealed call 1";
constexpr char kMacLabel[] = "ambrel sealed call mac";
constexpr int kNoiseMessageBytes = noise::kHandshakeOverhead;  // NNpsk0, empty payload
constexpr int kHelloMacAt = 3 + kNoiseMessageBytes;
constexpr int kHelloCookieAt = kHelloMacAt + DatagramGuard::kMacBytes;

const uint8_t* prologueBytes() { return reinterpret_cast<const uint8_t*>(kPrologue); }

}  // namespace

LockedKey::LockedKey() {
    void* block = sodium_init() >= 0 ? sodium_malloc(sizeof(GuardKey)) : nullptr;
    // Without such memory the key still works, in ordinary memory.
    locked_ = block != nullptr;
    key_ = locked_ ? new (block) GuardKey{} : new GuardKey{};
}

LockedKey::~LockedKey() {
    wipe();
    if (locked_)
        sodium_free(key_);
    else
        delete key_;
}

void LockedKey::wipe() { sodium_memzero(key_->data(), key_->size()); }

DatagramGuard::DatagramGuard() = default;

DatagramGuard::~DatagramGuard() {
    if (secrets_ != nullptr) {
        secrets_->~Secrets();
        sodium_free(secrets_);  // wipes the block
    }
}

void DatagramGuard::setKey(const GuardKey& key) {
    startSodium();
    if (secrets_ == nullptr) {
        // A multiple of the strictest alignment: sodium_malloc puts the block
        // right before a guard page.
        const size_t size = (sizeof(Secrets) + 63) / 64 * 64;
        void* block = sodium_malloc(size);
        if (block == nullptr) throw MemoryException();
        secrets_ = new (block) Secrets();
    }
    std::memcpy(secrets_->psk, key.data(), key.size());
    crypto_generichash(secrets_->macKey, sizeof secrets_->macKey, reinterpret_cast<const uint8_t*>(kMacLabel),
                       sizeof kMacLabel - 1, secrets_->psk, sizeof secrets_->psk);
    sealing_ = true;
}

void DatagramGuard::beginCall(bool caller, const SocketAddress& callee) {
    locked_ = false;
    movesPeer_ = true;
    replyLength_ = 0;
    caller_ = caller;
    callee_ = callee;
    if (!sealing_) return;
    Secrets& s = *secrets_;
    s.endCall();
    if (!caller) return;
    s.handshake.initialize(true, prologueBytes(), sizeof kPrologue - 1, s.psk);
    s.hello[0] = kSealedKind;
    s.hello[1] = kVersion;
    s.hello[2] = kHello;
    s.handshake.writeMessage(nullptr, 0, s.hello + 3);
    mac(s.hello, kHelloMacAt, s.hello + kHelloMacAt);
    std::memset(s.hello + kHelloCookieAt, 0, kCookieBytes);  // none yet
    nextHelloMs_ = 0;
    helloWaitMs_ = kHelloFirstRepeatMs;
    cookieMayHasten_ = true;
}

void DatagramGuard::endCall() {
    locked_ = false;
    replyLength_ = 0;
    if (sealing_) secrets_->endCall();
}

bool DatagramGuard::established() const { return sealing_ && secrets_->established; }

bool DatagramGuard::admitsSource(const SocketAddress& from) const {
    if (lockPeer_ && locked_ && !(from == lockedPeer_)) return false;
    if (allow_.empty()) return true;
    for (const AllowRule& rule : allow_)
        if (rule.matches(from)) return true;
    return false;
}

int DatagramGuard::open(const SocketAddress& from, const uint8_t* datagram, int length, uint8_t* scratch,
                        const uint8_t*& plain) {
    replyLength_ = 0;
    movesPeer_ = true;
    if (!admitsSource(from)) {
        countDrop(from);
        return 0;
    }
    int plainLength = length;
    plain = datagram;
    if (sealing_) {
        plainLength = openSealed(from, datagram, length, scratch);
        if (plainLength <= 0) return 0;
        plain = scratch;
    }
    if (lockPeer_ && !locked_) {
        locked_ = true;
        lockedPeer_ = from;
    }
    return plainLength;
}

int DatagramGuard::openSealed(const SocketAddress& from, const uint8_t* d, int length, uint8_t* scratch) {
    Secrets& s = *secrets_;
    if (length >= 1 && d[0] == kFirstSealedKind) {
        dropOtherVersion(from);
        return 0;
    }
    if (length < 3 || d[0] != kSealedKind) {
        const bool plainSound = length >= 1 && (d[0] == 0 || (d[0] == 1 && length == 1));
        if (plainSound && caller_ && !s.established && from == callee_) plainPeer_.fetch_add(1);
        countDrop(from);
        return 0;
    }
    if (d[1] != kVersion) {
        dropOtherVersion(from);
        return 0;
    }
    const bool handshaking = !s.established;
    switch (d[2]) {
    case kHello:
        // The mac first: a stranger's hello costs one hash and earns nothing.
        if (length != kHelloBytes || caller_ || !handshaking || !macMatches(d, kHelloMacAt)) break;
        answerHello(from, d);
        return 0;
    case kCookie:
        // Bound to this call's hello: a reply to another hello (an earlier
        // call's, replayed) does not match.
        if (length != kCookieReplyBytes || !caller_ || !handshaking ||
            !macMatches(d, 3 + kCookieBytes, s.hello + kHelloMacAt))
            break;
        std::memcpy(s.hello + kHelloCookieAt, d + 3, kCookieBytes);
        if (cookieMayHasten_) {
            // The hello goes again at once, with the cookie. Once a call: a
            // cookie sent again (by anyone on the path) waits for the
            // repeat, or each copy of it would send a hello.
            cookieMayHasten_ = false;
            nextHelloMs_ = 0;
            helloWaitMs_ = kHelloFirstRepeatMs;
        }
        return 0;
    case kAnswer:
        if (length != kAnswerBytes || !caller_ || !handshaking || !macMatches(d, kHelloMacAt) || !takeAnswer(d))
            break;
        return 0;
    case kSound:
        if (const int n = openSound(from, d, length, scratch); n > 0) return n;
        break;
    default:
        break;
    }
    countDrop(from);
    return 0;
}

// A listener's answer to a hello that passed its mac: a cookie when the hello
// has none (or a stale one), which costs the listener no state; with the
// right cookie, the second handshake message, kept in a slot for repeats.
void DatagramGuard::answerHello(const SocketAddress& from, const uint8_t* d) {
    Secrets& s = *secrets_;
    rotateCookieSecret(monotonicMilliseconds());
    const uint8_t* ephemeral = d + 3;
    uint8_t expected[kCookieBytes];
    bool proven = false;
    for (int secret = 0; secret < 2 && !proven; ++secret) {
        cookieFor(from, ephemeral, secret, expected);
        proven = crypto_verify_16(expected, d + kHelloCookieAt) == 0;
    }
    if (!proven) {
        s.cookieReply[0] = kSealedKind;
        s.cookieReply[1] = kVersion;
        s.cookieReply[2] = kCookie;
        cookieFor(from, ephemeral, 0, s.cookieReply + 3);
        mac(s.cookieReply, 3 + kCookieBytes, s.cookieReply + 3 + kCookieBytes, d + kHelloMacAt);
        reply_ = s.cookieReply;
        replyLength_ = kCookieReplyBytes;
        return;
    }
    Pending* slot = nullptr;
    for (Pending& p : s.pending)
        if (p.used && p.from == from) slot = &p;
    if (slot != nullptr && std::memcmp(slot->ephemeral, ephemeral, noise::kKeyBytes) == 0) {
        // The caller repeats its hello: the answer was lost.
        reply_ = slot->answer;
        replyLength_ = kAnswerBytes;
        return;
    }
    uint8_t payload[16];
    s.scratch.initialize(false, prologueBytes(), sizeof kPrologue - 1, s.psk);
    if (s.scratch.readMessage(ephemeral, kNoiseMessageBytes, payload) != 0) {
        s.scratch.wipe();
        countDrop(from);
        return;
    }
    if (slot == nullptr) {
        slot = &s.pending[0];
        for (Pending& p : s.pending) {
            if (!p.used) {
                slot = &p;
                break;
            }
            if (p.tick < slot->tick) slot = &p;
        }
    }
    slot->wipe();
    slot->answer[0] = kSealedKind;
    slot->answer[1] = kVersion;
    slot->answer[2] = kAnswer;
    if (s.scratch.writeMessage(nullptr, 0, slot->answer + 3) != static_cast<size_t>(kNoiseMessageBytes)) {
        s.scratch.wipe();
        countDrop(from);
        return;
    }
    mac(slot->answer, kHelloMacAt, slot->answer + kHelloMacAt);
    s.scratch.split(slot->send, slot->receive);
    s.scratch.wipe();
    slot->used = true;
    slot->from = from;
    std::memcpy(slot->ephemeral, ephemeral, noise::kKeyBytes);
    slot->tick = ++tick_;
    reply_ = slot->answer;
    replyLength_ = kAnswerBytes;
}

// A caller takes the listener's answer: the handshake is done when it reads.
// A copy is tried, so an answer that does not read leaves the handshake as
// it was for the real one.
bool DatagramGuard::takeAnswer(const uint8_t* d) {
    Secrets& s = *secrets_;
    s.scratch = s.handshake;
    uint8_t payload[16];
    if (s.scratch.readMessage(d + 3, kNoiseMessageBytes, payload) != 0) {
        s.scratch.wipe();
        return false;
    }
    s.scratch.split(s.send, s.receive);
    s.scratch.wipe();
    s.handshake.wipe();
    s.established = true;
    return true;
}

int DatagramGuard::openSound(const SocketAddress& from, const uint8_t* d, int length, uint8_t* scratch) {
    Secrets& s = *secrets_;
    if (length < kSealOverhead + 1) return 0;
    const uint64_t counter = getLe(d + 3, 8);
    const uint8_t* sealed = d + kHeaderBytes;
    const size_t sealedLength = static_cast<size_t>(length - kHeaderBytes);
    long n = -1;
    if (s.established) {
        if (!s.fresh(counter)) return 0;
        s.receive.setNonce(counter);
        n = s.receive.decryptWithAd(d, kHeaderBytes, sealed, sealedLength, scratch);
        if (n < 1) return 0;
        movesPeer_ = !s.any || counter > s.top;
    } else if (!caller_) {
        // A listener: the caller's first sound datagram under the keys of one
        // answered hello makes the call, from the address its cookie proved
        // (a copy sent from elsewhere would take the call, and its peer
        // lock, there).
        Pending* made = nullptr;
        for (Pending& p : s.pending) {
            if (!p.used || !(p.from == from)) continue;
            p.receive.setNonce(counter);
            n = p.receive.decryptWithAd(d, kHeaderBytes, sealed, sealedLength, scratch);
            if (n >= 1) {
                made = &p;
                break;
            }
        }
        if (made == nullptr) return 0;
        s.send = made->send;
        s.receive = made->receive;
        s.established = true;
        for (Pending& p : s.pending) p.wipe();
        movesPeer_ = true;
    } else {
        return 0;
    }
    s.take(counter);
    return static_cast<int>(n);
}

int DatagramGuard::pendingCalls() const {
    if (!sealing_) return 0;
    return static_cast<int>(std::count_if(std::begin(secrets_->pending), std::end(secrets_->pending),
                                          [](const Pending& p) { return p.used; }));
}

int DatagramGuard::takeReply(const uint8_t*& bytes) {
    const int n = replyLength_;
    bytes = reply_;
    replyLength_ = 0;
    return n;
}

int DatagramGuard::hello(int64_t nowMs, const uint8_t*& bytes) {
    if (!sealing_ || !caller_ || secrets_->established || nowMs < nextHelloMs_) return 0;
    nextHelloMs_ = nowMs + helloWaitMs_;
    helloWaitMs_ = std::min(2 * helloWaitMs_, kHelloRepeatMs);
    bytes = secrets_->hello;
    return kHelloBytes;
}

// The cookie of a hello: a keyed hash of its source address (as stored)
// and its ephemeral key.
void DatagramGuard::cookieFor(const SocketAddress& from, const uint8_t* ephemeral, int secret, uint8_t* out) const {
    crypto_generichash_state state;
    crypto_generichash_init(&state, secrets_->cookieSecret[secret], sizeof secrets_->cookieSecret[secret],
                            kCookieBytes);
    crypto_generichash_update(&state, reinterpret_cast<const uint8_t*>(&from), sizeof from);
    crypto_generichash_update(&state, ephemeral, noise::kKeyBytes);
    crypto_generichash_final(&state, out, kCookieBytes);
    sodium_memzero(&state, sizeof state);  // it holds the cookie secret
}

void DatagramGuard::mac(const uint8_t* bytes, int length, uint8_t* out, const uint8_t* bound) const {
    crypto_generichash_state state;
    crypto_generichash_init(&state, secrets_->macKey, sizeof secrets_->macKey, kMacBytes);
    crypto_generichash_update(&state, bytes, static_cast<size_t>(length));
    if (bound != nullptr) crypto_generichash_update(&state, bound, kMacBytes);
    crypto_generichash_final(&state, out, kMacBytes);
    sodium_memzero(&state, sizeof state);  // it holds the mac key
}

bool DatagramGuard::macMatches(const uint8_t* bytes, int length, const uint8_t* bound) const {
    uint8_t expected[kMacBytes];
    mac(bytes, length, expected, bound);
    return crypto_verify_16(expected, bytes + length) == 0;
}

void DatagramGuard::rotateCookieSecret(int64_t nowMs) {
    Secrets& s = *secrets_;
    if (cookieSecretMs_ < 0) {
        randombytes_buf(s.cookieSecret, sizeof s.cookieSecret);
        cookieSecretMs_ = nowMs;
    } else if (nowMs - cookieSecretMs_ >= kCookieSecretMs) {
        std::memcpy(s.cookieSecret[1], s.cookieSecret[0], sizeof s.cookieSecret[0]);
        randombytes_buf(s.cookieSecret[0], sizeof s.cookieSecret[0]);
        cookieSecretMs_ = nowMs;
    }
}

void DatagramGuard::dropOtherVersion(const SocketAddress& from) {
    otherVersion_.fetch_add(1);
    countDrop(from);
}

void DatagramGuard::countDrop(const SocketAddress& from) {
    std::lock_guard<std::mutex> guard(dropLock_);
    ++dropped_;
    for (DropSource& s : sources_) {
        if (s.count != 0 && s.from == from) {
            ++s.count;
            return;
        }
        if (s.count == 0) {
            s = DropSource{from, 1};
            return;
        }
    }
    ++untracked_;
}

int DatagramGuard::seal(const uint8_t* plain, int length, uint8_t* out, int capacity) {
    if (!sealing_ || !secrets_->established) return 0;
    if (length < 1 || length > capacity - kSealOverhead) {
        unsealable_.fetch_add(1);
        return 0;
    }
    Secrets& s = *secrets_;
    out[0] = kSealedKind;
    out[1] = kVersion;
    out[2] = kSound;
    const uint64_t counter = s.nextCounter++;
    putLe(out + 3, counter, 8);
    std::memcpy(out + kHeaderBytes, plain, static_cast<size_t>(length));
    // Encrypted in place (the library allows the message and the
    // ciphertext to overlap exactly); the counter is the nonce.
    s.send.setNonce(counter);
    const size_t sealed = s.send.encryptWithAd(out, kHeaderBytes, out + kHeaderBytes, static_cast<size_t>(length),
                                               out + kHeaderBytes);
    return kHeaderBytes + static_cast<int>(sealed);
}

DropReport DatagramGuard::takeDrops() {
    DropReport report;
    report.unsealable = unsealable_.exchange(0);
    report.otherVersion = otherVersion_.exchange(0);
    report.plainPeer = plainPeer_.exchange(0);
    std::lock_guard<std::mutex> guard(dropLock_);
    report.total = dropped_;
    for (const DropSource& s : sources_) {
        if (s.count == 0) continue;
        ++report.sources;
        if (s.count > report.topCount) {
            report.topCount = s.count;
            report.topSource = s.from;
        }
    }
    if (untracked_ != 0) ++report.sources;
    sources_ = {};
    dropped_ = 0;
    untracked_ = 0;
    return report;
}

bool DatagramGuard::loadKey(const std::string& path, GuardKey& key, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO must not block
    if (fd < 0) {
        error = "cannot read the key file " + quoted(path) + ": " + std::strerror(errno);
        return false;
    }
    std::string problem;
    struct stat st {};
    uint8_t bytes[sizeof(GuardKey) + 1];
    ssize_t n = -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = "the key file " + quoted(path) + " is not a regular file";
    } else if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        problem = "the key file " + quoted(path) + " is readable by group or others (chmod 600 it)";
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        problem = "the key file " + quoted(path) + " is writable by group or others (chmod 600 it)";
    } else {
        do {
            n = ::read(fd, bytes, sizeof bytes);
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            problem = "cannot read the key file " + quoted(path) + ": " + std::strerror(errno);
        else if (n != static_cast<ssize_t>(sizeof(GuardKey)))
            problem = "the key file " + quoted(path) + " does not hold a key (32 bytes; make one with --gen-key)";
    }
    ::close(fd);
    const bool ok = problem.empty() && n == static_cast<ssize_t>(sizeof(GuardKey));
    if (ok) std::memcpy(key.data(), bytes, key.size());
    else error = problem;
    sodium_memzero(bytes, sizeof bytes);
    return ok;
}

bool DatagramGuard::writeNewKey(const std::string& path, std::string& error) {
    try {
        startSodium();
    } catch (const Exception&) {
        error = "no source of random numbers for a key";
        return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = errno == EEXIST ? "the key file " + quoted(path) + " exists already; it is not overwritten"
                                : "cannot create the key file " + quoted(path) + ": " + std::strerror(errno);
        return false;
    }
    GuardKey key;
    randombytes_buf(key.data(), key.size());
    ssize_t n;
    do {
        n = ::write(fd, key.data(), key.size());
    } while (n < 0 && errno == EINTR);
    sodium_memzero(key.data(), key.size());
    const bool ok = n == static_cast<ssize_t>(key.size()) && ::fchmod(fd, 0600) == 0 && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !ok) {
        error = "cannot write the key file " + quoted(path);
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

}  // namespace ambrel
