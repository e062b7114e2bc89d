// How many datagrams per second one link sends to N destinations on loopback
// (one-to-many mode), through its real send path: frames queued through the
// sink, one pass of the call loop takes them four at a time and sends each
// datagram to every destination.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "link/LinkTestSupport.h"
#include "link/VoiceLink.h"

namespace {

using namespace ambrel;
using test::DrivenLink;
using test::RawPeer;
using test::ScriptedAudio;

void BM_OneToManySend(benchmark::State& state) {
    const int destinations = static_cast<int>(state.range(0));
    std::vector<std::unique_ptr<RawPeer>> receivers;
    std::vector<SocketAddress> addresses;
    for (int i = 0; i < destinations; ++i) {
        receivers.push_back(std::make_unique<RawPeer>());
        addresses.push_back(receivers.back()->address());
    }
    auto owned = std::make_unique<ScriptedAudio>();
    ScriptedAudio* audio = owned.get();
    DrivenLink link(std::move(owned));
    link.setDestinations(addresses);
    link.connect(nullptr, 0);
    link.enterCall();
    const int port = link.localSocketAddress().hostPort();
    RawPeer poker;

    // 52-byte frames: four of them make a datagram the size of wideband
    // speech. A full queue is 250 datagrams per pass.
    const test::Bytes frame(52, 0x5A);
    constexpr int kGroups = VoiceLink::kMaxQueuedFrames / VoiceLink::kFramesPerDatagram;
    int64_t sent = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < VoiceLink::kMaxQueuedFrames; ++i) audio->produce(frame);
        // Something to receive, so the pass does not wait out its time-out.
        poker.sendTo(port, {1});
        state.ResumeTiming();
        link.serviceCall();
        sent += static_cast<int64_t>(kGroups) * destinations;
    }
    state.counters["datagrams/s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
    state.counters["groups/s"] = benchmark::Counter(static_cast<double>(sent) / destinations, benchmark::Counter::kIsRate);
    link.leaveCall();
}

BENCHMARK(BM_OneToManySend)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
