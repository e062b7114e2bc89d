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

DatagramGuard::DatagramGuard() = default;

DatagramGuard::~DatagramGuard() { sodium_memzero(key_.data(), key_.size()); }

void DatagramGuard::setKey(const GuardKey& key) {
    startSodium();
    key_ = key;
    sealing_ = true;
    randombytes_buf(&senderId_, sizeof senderId_);
}

bool DatagramGuard::admitsSource(const SocketAddress& from) const {
    if (lockPeer_ && locked_ && !(from == lockedPeer_)) return false;
    if (allow_.empty()) return true;
    for (const AllowRule& rule : allow_)
        if (rule.matches(from)) return true;
    return false;
}

int DatagramGuard::open(const SocketAddress& from, const uint8_t* datagram, int length, uint8_t* scratch,
                        const uint8_t*& plain) {
    if (!admitsSource(from)) {
        countDrop(from);
        return 0;
    }
    int plainLength = length;
    plain = datagram;
    if (sealing_) {
        unsigned long long opened = 0;
        if (length < kSealOverhead + 1 || datagram[0] != kSealedKind ||
            crypto_aead_xchacha20poly1305_ietf_decrypt(scratch, &opened, nullptr, datagram + 1 + kNonceBytes,
                                                       static_cast<unsigned long long>(length - 1 - kNonceBytes),
                                                       datagram, 1, datagram + 1, key_.data()) != 0 ||
            // One of our own datagrams sent back to us (a reflection) is no
            // datagram of the peer's.
            static_cast<uint32_t>(getLe(scratch, 4)) == senderId_ ||
            !freshCounter(static_cast<uint32_t>(getLe(scratch, 4)), getLe(scratch + 4, 8))) {
            countDrop(from);
            return 0;
        }
        plain = scratch + kHeaderBytes;
        plainLength = static_cast<int>(opened) - kHeaderBytes;
    }
    if (lockPeer_ && !locked_) {
        locked_ = true;
        lockedPeer_ = from;
    }
    return plainLength;
}

// Takes the counter into the sender's window when it is new there.
bool DatagramGuard::freshCounter(uint32_t id, uint64_t counter) {
    ++tick_;
    Sender* slot = nullptr;
    Sender* oldest = &senders_[0];
    for (Sender& s : senders_) {
        if (s.heard != 0 && s.id == id) slot = &s;
        if (s.heard < oldest->heard) oldest = &s;
    }
    if (slot == nullptr) {  // a sender not heard lately: a fresh window
        *oldest = Sender{id, counter, 1, tick_};
        return true;
    }
    if (counter > slot->top) {
        const uint64_t shift = counter - slot->top;
        slot->seen = shift >= 64 ? 1 : (slot->seen << shift) | 1;
        slot->top = counter;
    } else {
        const uint64_t back = slot->top - counter;
        if (back >= 64 || (slot->seen >> back) & 1) return false;
        slot->seen |= uint64_t{1} << back;
    }
    slot->heard = tick_;
    return true;
}

void DatagramGuard::countDrop(const SocketAddress& from) {
    std::lock_guard<std::mutex> guard(dropLock_);
    ++dropped_;
    for (Source& s : sources_) {
        if (s.count != 0 && s.from == from) {
            ++s.count;
            return;
        }
        if (s.count == 0) {
            s = Source{from, 1};
            return;
        }
    }
    ++untracked_;
}

int DatagramGuard::seal(const uint8_t* plain, int length, uint8_t* out, int capacity) {
    if (length < 1 || length > capacity - kSealOverhead) {
        unsealable_.fetch_add(1);
        return 0;
    }
    out[0] = kSealedKind;
    randombytes_buf(out + 1, kNonceBytes);
    // The header and the plain datagram are put in place, then encrypted
    // there (the library allows the message and the ciphertext to overlap
    // exactly).
    uint8_t* message = out + 1 + kNonceBytes;
    putLe(message, senderId_, 4);
    putLe(message + 4, ++nextCounter_, 8);
    std::memcpy(message + kHeaderBytes, plain, static_cast<size_t>(length));
    unsigned long long sealed = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(message, &sealed, message,
                                               static_cast<unsigned long long>(kHeaderBytes + length), out, 1,
                                               nullptr, out + 1, key_.data());
    return 1 + kNonceBytes + static_cast<int>(sealed);
}

DropReport DatagramGuard::takeDrops() {
    DropReport report;
    report.unsealable = unsealable_.exchange(0);
    std::lock_guard<std::mutex> guard(dropLock_);
    report.total = dropped_;
    for (const Source& s : sources_) {
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
