// The cost of a sealed call's handshake (both sides, in memory), of sealing a datagram, and of sealing it on one side and opening
// it on the other (what one sealed datagram of a call costs in all), for the
// datagram sizes of speex_16khz (four 52-byte frames), GSM and the largest
// codec frames (four 800-byte G.711 frames). A call sends 12.5 datagrams a
// second each way at four 20 ms frames a datagram; "ppm of a core" is the
// share of one core, in millionths (100 = 0.01 %), that sealing adds to one
// copy at that rate: it seals its own datagrams and opens the peer's, one
// round trip's worth of work per datagram.
#include <benchmark/benchmark.h>

#include <time.h>

#include <vector>

#include <cstdlib>

#include "link/DatagramGuard.h"
#include "link/LinkTestSupport.h"
#include "link/VoiceLink.h"

namespace {

using namespace ambrel;

constexpr double kDatagramsPerSecond = 12.5;

struct Ends {
    Ends() {
        GuardKey key;
        key.fill(0x17);
        sender.setKey(key);
        receiver.setKey(key);
        if (!test::sealedPair(sender, receiver)) std::abort();
    }
    DatagramGuard sender, receiver;
};

void BM_Seal(benchmark::State& state) {
    Ends ends;
    std::vector<uint8_t> plain(static_cast<size_t>(state.range(0)), 0x5A), out(VoiceLink::kMaxDatagram);
    plain[0] = 0;
    for (auto _ : state) {
        int n = ends.sender.seal(plain.data(), static_cast<int>(plain.size()), out.data(), VoiceLink::kMaxDatagram);
        benchmark::DoNotOptimize(n);
    }
}

void BM_SealThenOpen(benchmark::State& state) {
    Ends ends;
    std::vector<uint8_t> plain(static_cast<size_t>(state.range(0)), 0x5A), out(VoiceLink::kMaxDatagram),
        scratch(VoiceLink::kMaxDatagram);
    plain[0] = 0;
    const SocketAddress from = SocketAddress::fromHostOrder(0x7f000001, 5007);
    int64_t opened = 0;
    timespec begin{}, end{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &begin);
    for (auto _ : state) {
        int n = ends.sender.seal(plain.data(), static_cast<int>(plain.size()), out.data(), VoiceLink::kMaxDatagram);
        const uint8_t* result = nullptr;
        opened += ends.receiver.open(from, out.data(), n, scratch.data(), result) > 0;
        benchmark::DoNotOptimize(result);
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    if (opened != static_cast<int64_t>(state.iterations())) state.SkipWithError("a datagram did not open");
    // CPU seconds per round trip x datagrams per second x 1e6.
    const double cpu =
        static_cast<double>(end.tv_sec - begin.tv_sec) + 1e-9 * static_cast<double>(end.tv_nsec - begin.tv_nsec);
    state.counters["ppm of a core"] = cpu / static_cast<double>(state.iterations()) * kDatagramsPerSecond * 1e6;
}

// Both sides of a handshake: hello, cookie, hello again, answer and the
// first sound datagram, with every key exchange and hash.
void BM_Handshake(benchmark::State& state) {
    Ends ends;
    for (auto _ : state) {
        if (!test::sealedPair(ends.sender, ends.receiver)) state.SkipWithError("the handshake failed");
    }
}
BENCHMARK(BM_Handshake);

// 1 + 4 x 52 bytes (speex_16khz), 1 + 4 x 33 (GSM), 1 + 4 x 800 (G.711).
BENCHMARK(BM_Seal)->Arg(209)->Arg(133)->Arg(3201);
BENCHMARK(BM_SealThenOpen)->Arg(209)->Arg(133)->Arg(3201);

}  // namespace
