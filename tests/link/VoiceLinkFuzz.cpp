// Fuzz target: arbitrary datagrams reach a connected link's receive path.
// A listening link is driven step by step on this thread (no worker, no
// timing): two raw UDP peers take turns sending, so every received datagram
// shows up as a change of the link's peer. Each input is one datagram; an
// input starting FF FF stands for one of 9990..10009 bytes, beyond the
// fuzzer's usual input length, to reach the size limit.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "link/LinkTestSupport.h"
#include "link/VoiceLink.h"

namespace {

using namespace ambrel;
using test::Bytes;
using test::DrivenLink;
using test::RawPeer;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "link fuzz: %s\n", what);
    std::abort();
}

// An audio half that checks every frame it is asked to play against the
// datagram that was sent.
class CheckingAudio : public LinkAudio {
public:
    void setSink(AudioSink* s) override { sink = s; }
    void resetCaptureLevel() override {}
    int addPlayer(int) override { return 3; }
    void startCapture() override {}
    void stopCapture() override {}
    void shutdown() override {}
    int captureLevel() override { return 0; }
    int playerLevel(int) override { return -1; }
    void playFrame(int player, const uint8_t* bytes, int length) override {
        if (expected == nullptr || player != -1) fail("frame played outside a call or to the wrong player");
        const int frameLength = (static_cast<int>(expected->size()) - 1) / 4;
        if (length != frameLength || played >= 4) fail("wrong frame length or too many frames");
        if (length > 0 && std::memcmp(bytes, expected->data() + 1 + played * frameLength, length) != 0) {
            fail("frame bytes differ from the datagram");
        }
        ++played;
    }
    AudioSink* sink = nullptr;
    const Bytes* expected = nullptr;
    int played = 0;
};

struct Harness {
    Harness() {
        auto a = std::make_unique<CheckingAudio>();
        audio = a.get();
        link = std::make_unique<DrivenLink>(std::move(a));
    }

    // Until the link has received something from `from` or the call ended.
    void serviceUntilFrom(const RawPeer& from) {
        for (int i = 0; i < 200; ++i) {
            if (!link->serviceCall()) return;
            if (link->peer() == from.address()) return;
        }
        fail("a datagram never arrived");
    }

    void ensureCall() {
        if (link->state() == VoiceLink::Connected) return;
        link->listen("127.0.0.1", 0);
        port = link->localSocketAddress().hostPort();
        peers[turn].sendTo(port, {1});
        if (!link->enterCall()) fail("a listening link did not connect on a datagram");
        serviceUntilFrom(peers[turn]);
        turn ^= 1;
    }

    void feed(const Bytes& datagram) {
        ensureCall();
        // Four frames to send back, so the send path runs with every peer.
        for (int i = 0; i < 4; ++i) audio->sink->onFrameEncoded(datagram.data(), datagram.empty() ? 0 : 1);
        const RawPeer& sender = peers[turn];
        turn ^= 1;
        audio->expected = &datagram;
        audio->played = 0;
        sender.sendTo(port, datagram);
        serviceUntilFrom(sender);
        audio->expected = nullptr;

        const size_t n = datagram.size();
        const bool failure = n == 0 || n > VoiceLink::kMaxDatagram;
        if (failure != (link->state() == VoiceLink::Idle)) fail("call state does not match the datagram");
        const bool sound = !failure && datagram[0] == 0;
        if (audio->played != (sound ? 4 : 0)) fail("wrong number of frames played");
        if (failure) link->leaveCall();
        Bytes scratch;
        for (const RawPeer& p : peers) {
            while (p.receive(scratch, 0)) {
            }
        }
    }

    CheckingAudio* audio;
    std::unique_ptr<DrivenLink> link;
    RawPeer peers[2];
    int port = 0;
    int turn = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness harness;
    Bytes datagram(data, data + size);
    if (size >= 3 && data[0] == 0xFF && data[1] == 0xFF) {
        datagram.assign(9990 + data[2] % 20, 0);
        for (size_t i = 1; i < datagram.size(); ++i) datagram[i] = data[i % size];
    }
    harness.feed(datagram);
    return 0;
}
