// How long a call takes to begin: from the caller's link loop starting
// (WM_LINK_CONNECTED on the caller) to the listener taking the call
// (WM_LINK_CONNECTED on the listener), for sealed calls (handshake, cookie
// round trip, first sound datagram) or plain ones (first sound datagram),
// over loopback or through a relay such as tests/support/impair_relay.py.
//
//   guard_call_setup [--plain] [--calls N] [--listen PORT] [--via PORT]
//
// The listener listens on PORT (default: any); the caller connects to --via
// (the relay, which forwards to PORT) or straight to the listener. Frames of
// 20 ms come from a scripted recorder, as from a codec. Prints the median,
// 90th percentile and longest setup time and how many calls did not begin
// within 10 s.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "link/LinkMessages.h"
#include "link/LinkTestSupport.h"
#include "link/VoiceLink.h"

using namespace ambrel;
using Clock = std::chrono::steady_clock;

namespace {

struct Side {
    explicit Side(bool sealed) {
        auto a = std::make_unique<test::ScriptedAudio>(true, 52, 20);
        link = std::make_unique<VoiceLink>(std::move(a));
        link->setOwner(&owner);
        if (sealed) {
            GuardKey key;
            key.fill(0x33);
            link->guard().setKey(key);
        }
        link->create();
        link->start();
    }
    test::RecordingOwner owner;
    std::unique_ptr<VoiceLink> link;
};

}  // namespace

int main(int argc, char** argv) {
    bool sealed = true;
    int calls = 20, listenPort = 0, via = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--plain")
            sealed = false;
        else if (a == "--calls" && i + 1 < argc)
            calls = std::atoi(argv[++i]);
        else if (a == "--listen" && i + 1 < argc)
            listenPort = std::atoi(argv[++i]);
        else if (a == "--via" && i + 1 < argc)
            via = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: guard_call_setup [--plain] [--calls N] [--listen PORT] [--via PORT]\n");
            return 2;
        }
    }
    Side listener(sealed), caller(sealed);
    std::vector<double> ms;
    int failed = 0;
    for (int i = 0; i < calls; ++i) {
        listener.link->listen("127.0.0.1", listenPort);
        const int port = via != 0 ? via : listener.link->localSocketAddress().hostPort();
        const int before = listener.owner.count(WM_LINK_CONNECTED);
        const int callerBefore = caller.owner.count(WM_LINK_CONNECTED);
        caller.link->connect("127.0.0.1", port);
        if (!caller.owner.waitFor(WM_LINK_CONNECTED, callerBefore + 1, 5000)) {
            ++failed;
            continue;
        }
        const auto start = Clock::now();
        if (listener.owner.waitFor(WM_LINK_CONNECTED, before + 1, 10000))
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        else
            ++failed;
        caller.link->disconnect();
        listener.link->disconnect();
        // Both links look at their state every few hundred milliseconds.
        test::eventually([&] {
            return caller.link->state() == VoiceLink::Idle && listener.link->state() == VoiceLink::Idle;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms.empty() ? 0.0 : ms[std::min(ms.size() - 1, static_cast<size_t>(q * ms.size()))]; };
    std::printf("%s calls: %zu began, %d did not; setup median %.1f ms, p90 %.1f ms, max %.1f ms\n",
                sealed ? "sealed" : "plain", ms.size(), failed, at(0.5), at(0.9), ms.empty() ? 0.0 : ms.back());
    return 0;
}
