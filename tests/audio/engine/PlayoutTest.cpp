// The playout stage on a scripted clock: a simulated device plays one 10 ms
// block per tick and asks for more exactly as the player does, and datagrams
// of four frames arrive when the script says.
#include "audio/Playout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "audio/CodecId.h"
#include "audio/CodecTable.h"
#include "audio/engine/CallSupport.h"

namespace ambrel {
namespace {

constexpr std::uint32_t kRate = 8000;
constexpr std::uint32_t kFrame = 160;  // 20 ms
constexpr std::uint32_t kBlock = 80;   // 10 ms
constexpr std::int64_t kFrameUs = 20000;
constexpr std::int64_t kDatagramUs = 4 * kFrameUs;

Playout::Format rawFormat() { return {kRate, kFrame, 16, kBlock}; }

// Raw PCM frame number `id`: loud (or quiet) and carrying its number in the
// last sample.
std::vector<std::uint8_t> rawFrame(int id, bool quiet = false) {
    std::vector<std::int16_t> s(kFrame, static_cast<std::int16_t>(quiet ? 40 : 8000));
    s.back() = static_cast<std::int16_t>(id);
    std::vector<std::uint8_t> bytes(kFrame * 2);
    std::memcpy(bytes.data(), s.data(), bytes.size());
    return bytes;
}

// A device lent at most four blocks, playing one per tick, and the player's
// way of feeding it: frames cut into blocks, the stage asked for the next
// frame whenever a block is free.
struct Rig {
    Rig() = default;
    // A stage decoding with `codec`; frame k of the script is frameBytes(k).
    Rig(std::unique_ptr<VoiceCodec> codec, std::function<std::vector<std::uint8_t>(int)> bytes)
        : stage(rawFormat(), std::move(codec)), frameBytes(std::move(bytes)) {}
    Playout stage{rawFormat(), nullptr};
    std::function<std::vector<std::uint8_t>(int)> frameBytes;  // empty: rawFrame
    std::vector<std::int16_t> sound;  // every frame taken, in order
    std::int64_t now = 1000000;
    int lent = 0;
    std::size_t offset = kFrame * 2;
    std::vector<std::uint8_t> frame = std::vector<std::uint8_t>(kFrame * 2);
    std::vector<int> heard;     // numbers of the received frames, in playing order
    std::vector<Playout::Fill> fills;
    std::vector<std::vector<std::int16_t>> made;  // frames made up
    int dryTicks = 0;           // ticks the device had nothing to play, once sound began
    bool renders = false;       // asks for each block as it plays it, holding nothing
    bool partial = false;       // takes frames shorter by whole blocks, as the player does
    int shortened = 0;          // frames the stage shortened

    // The next frame from the stage, the device holding `queued` samples.
    bool take(std::uint32_t queued) {
        std::size_t filled = frame.size();
        const auto r = stage.fill(frame.data(), frame.size(), queued, now, partial ? &filled : nullptr);
        if (r == Playout::Fill::Nothing) return false;
        fills.push_back(r);
        std::vector<std::int16_t> s(kFrame);
        std::memcpy(s.data(), frame.data(), frame.size());
        sound.insert(sound.end(), s.begin(), s.end());
        offset = 0;
        if (filled < frame.size()) {
            // Played from the end, as the player does; its number may be
            // blended away by the cut.
            EXPECT_EQ(filled % (kBlock * 2), 0u);
            offset = frame.size() - filled;
            ++shortened;
        } else if (r == Playout::Fill::Sound) {
            heard.push_back(s.back());
        } else {
            made.push_back(s);
        }
        return true;
    }
    void pump() {
        while (lent < 4) {
            if (offset >= frame.size() && !take(static_cast<std::uint32_t>(lent) * kBlock)) return;
            offset += kBlock * 2;
            ++lent;
        }
    }
    void tick() {
        now += 10000;
        if (renders) {
            if (offset >= frame.size() && !take(0)) {
                if (!heard.empty()) dryTicks++;
                return;
            }
            offset += kBlock * 2;
            return;
        }
        if (lent > 0) --lent;
        else if (!heard.empty()) dryTicks++;
        pump();
    }
    // Datagram `firstId / 4`, arrived at `at` (0: now), between two ticks.
    void datagram(int firstId, const std::function<bool(int)>& quiet = {}, std::int64_t at = 0) {
        for (int i = 0; i < 4; ++i) {
            auto f = frameBytes ? frameBytes(firstId + i) : rawFrame(firstId + i, quiet && quiet(firstId + i));
            stage.push(f.data(), f.size(), at ? at : now);
        }
        if (!renders) pump();
    }
    // Runs until `untilUs`, with datagram k arriving at arrival(k) (a time;
    // negative: no more datagrams); returns the next k.
    int run(std::int64_t untilUs, int k, const std::function<std::int64_t(int)>& arrival,
            const std::function<bool(int)>& quiet = {}) {
        while (now < untilUs) {
            while (true) {
                const std::int64_t at = arrival(k);
                if (at < 0 || at > now) break;
                datagram(4 * k, quiet, at);
                ++k;
            }
            tick();
        }
        return k;
    }
    std::uint64_t held() const { return stage.waiting() * kFrame + static_cast<std::uint64_t>(lent) * kBlock; }
};

bool inOrder(const std::vector<int>& ids) { return std::is_sorted(ids.begin(), ids.end()) &&
                                                   std::adjacent_find(ids.begin(), ids.end()) == ids.end(); }

// A datagram that comes late is bridged with made-up sound (the last frame
// fading); when it comes, as many of its frames as it was late are left out,
// the rest play: no second gap, and no lasting rise of the delay.
TEST(PlayoutTest, AnUnderrunIsConcealedAndTheLateDatagramMakesNoSecondGap) {
    Rig r;
    const std::int64_t t0 = r.now + 3000;
    auto arrival = [&](int k) { return t0 + k * kDatagramUs + (k == 20 ? 55000 : 0); };
    int k = r.run(t0 + 10 * kDatagramUs, 0, arrival);
    std::uint64_t heldBefore = 0;
    for (int i = 0; i < 80; ++i) {
        k = r.run(r.now + 10000, k, arrival);
        heldBefore = std::max(heldBefore, r.held());
    }
    const std::size_t madeBefore = r.made.size();
    k = r.run(t0 + 30 * kDatagramUs, k, arrival);
    std::uint64_t heldAfter = 0;
    for (int i = 0; i < 80; ++i) {
        k = r.run(r.now + 10000, k, arrival);
        heldAfter = std::max(heldAfter, r.held());
    }
    const std::size_t made = r.made.size() - madeBefore;
    EXPECT_GE(made, 1u);
    EXPECT_LE(made, 4u);
    // The frames made up carry frame 79's sound on at full strength.
    for (std::size_t i = madeBefore; i < r.made.size(); ++i) EXPECT_EQ(r.made[i][kFrame - 2], 8000);
    // Frames were played once and in order; only as many were left out as
    // were made up.
    ASSERT_TRUE(inOrder(r.heard));
    EXPECT_EQ(r.heard.front(), 0);
    EXPECT_EQ(static_cast<std::size_t>(r.heard.back() + 1), r.heard.size() + r.stage.stats().dropped);
    EXPECT_LE(r.stage.stats().dropped, made);
    EXPECT_EQ(r.stage.stats().concealed, r.made.size());
    EXPECT_EQ(r.stage.stats().played, r.heard.size());
    EXPECT_EQ(r.dryTicks, 0);
    EXPECT_LE(heldAfter, heldBefore + kBlock);
}

// When the peer stops, the last sound is bridged at full strength for 80 ms
// (four frames), then faded out over four more; after that the stage plays
// silence; once the peer has been quiet a while the stage asks for nothing
// and the device runs dry, until the next frame starts at once.
TEST(PlayoutTest, ALongLossFadesToSilenceAndTheNextFrameStartsAfresh) {
    Rig r;
    const std::int64_t t0 = r.now + 3000;
    r.run(t0 + 10 * kDatagramUs + 1000, 0, [&](int k) { return k < 10 ? t0 + k * kDatagramUs : -1; });
    const std::size_t heard = r.heard.size();
    const std::size_t before = r.made.size();
    r.run(r.now + 1000000, 10, [](int) { return std::int64_t(-1); });
    EXPECT_EQ(r.heard.size(), heard);
    ASSERT_GE(r.made.size(), before + 9);
    const std::vector<std::vector<std::int16_t>> made(r.made.begin() + static_cast<std::ptrdiff_t>(before),
                                                      r.made.end());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(made[i][kFrame - 2], 8000) << i;
    for (int i = 5; i < 8; ++i) EXPECT_GT(made[i - 1][kFrame - 2], made[i][kFrame - 2]) << i;
    EXPECT_GT(made[7][0], 0);
    for (std::size_t i = 8; i < made.size(); ++i)
        EXPECT_TRUE(std::all_of(made[i].begin(), made[i].end(), [](std::int16_t s) { return s == 0; })) << i;
    EXPECT_LE(made.size(), 30u) << "an idle stage stops making sound up";
    EXPECT_GT(r.dryTicks, 0);
    const std::size_t madeNow = r.made.size();
    r.datagram(1000);
    ASSERT_GT(r.heard.size(), heard);
    EXPECT_EQ(r.heard[heard], 1000);
    EXPECT_EQ(r.made.size(), madeNow);
}

// Too much sound held (here the peer's first datagrams came in one burst):
// the stage leaves frames out until it holds what the rhythm needs, choosing
// quiet frames while there are some.
TEST(PlayoutTest, ABacklogShrinksByLeavingOutQuietFramesFirst) {
    Rig r;
    const std::int64_t t0 = r.now + 3000;
    auto quiet = [](int id) { return id % 5 == 2; };
    // Datagrams 0-2 arrive together: 160 ms more than needed.
    auto arrival = [&](int k) { return t0 + std::max(0, k - 2) * kDatagramUs; };
    r.run(t0 + 20000, 0, arrival, quiet);
    const std::uint64_t heldAtStart = r.held();
    r.run(t0 + 6 * 1000000, 3, arrival, quiet);
    const std::uint64_t dropped = r.stage.stats().dropped;
    EXPECT_GE(dropped, 4u);
    EXPECT_LE(dropped, 10u);
    ASSERT_TRUE(inOrder(r.heard));
    // Every loud frame was played; the ones left out were quiet.
    int missingLoud = 0, missingQuiet = 0;
    for (int id = 0; id <= r.heard.back(); ++id) {
        if (std::binary_search(r.heard.begin(), r.heard.end(), id)) continue;
        (quiet(id) ? missingQuiet : missingLoud)++;
    }
    EXPECT_EQ(missingLoud, 0);
    EXPECT_EQ(static_cast<std::uint64_t>(missingQuiet), dropped);
    EXPECT_LT(r.held() + 4 * kFrame, heldAtStart);
    EXPECT_TRUE(r.made.empty());
}

// A stall of 1.5 s, then everything held back at once: within 2 s the stage
// holds what it held before the stall (give or take a frame and the jitter
// it measured), and what it plays stays in order.
TEST(PlayoutTest, AStallAndItsBurstReturnToTheTargetWithinTwoSeconds) {
    Rig r;
    const std::int64_t t0 = r.now + 3000;
    const std::int64_t stallFrom = t0 + 3 * 1000000, stallTo = stallFrom + 1500000;
    auto arrival = [&](int k) {
        std::int64_t at = t0 + k * kDatagramUs + (k % 3) * 7000;  // a little jitter
        return at >= stallFrom && at < stallTo ? stallTo : at;
    };
    int k = r.run(stallFrom - 1000000, 0, arrival);
    std::uint64_t before = 0;
    for (int i = 0; i < 100; ++i) {
        k = r.run(r.now + 10000, k, arrival);
        before = std::max(before, r.held());
    }
    k = r.run(stallTo + 2000000, k, arrival);
    std::uint64_t after = 0;
    for (int i = 0; i < 100; ++i) {
        k = r.run(r.now + 10000, k, arrival);
        after = std::max(after, r.held());
    }
    EXPECT_LE(after, before + kFrame + kRate * 30 / 1000) << "before " << before;
    EXPECT_GE(r.stage.stats().dropped, 50u);
    EXPECT_TRUE(inOrder(r.heard));
    EXPECT_LE(r.stage.stats().targetMs, 150u);
}

// A sender whose sound card runs 0.5 % slower than ours: its datagrams come
// ever later against the rhythm of the first ones. That is drift, not jitter:
// the target stays where it was, and the frames the slow sender leaves the
// device short of are made up one at a time and kept (not made up and left
// out again with every datagram).
TEST(PlayoutTest, ASlowSendersDriftIsNotTakenForJitter) {
    Rig r;
    const std::int64_t t0 = r.now + 3000;
    auto arrival = [&](int k) { return t0 + k * (kDatagramUs + kDatagramUs / 200); };
    int k = r.run(t0 + 3 * 1000000, 0, arrival);
    const std::uint32_t targetBefore = r.stage.stats().targetMs;
    r.run(t0 + 30 * 1000000, k, arrival);
    EXPECT_LE(r.stage.stats().targetMs, targetBefore + 5);
    EXPECT_EQ(r.dryTicks, 0);
    EXPECT_TRUE(inOrder(r.heard));
    EXPECT_LE(r.made.size(), 12u);  // 135 ms short over 27 s: 7 frames
    EXPECT_LE(r.stage.stats().dropped, 2u);
}

// The way through the network grows 30 ms longer for good (a new route):
// the first datagram that comes that much later is bridged, and the sound
// made up for it stays, since the next ones come as late; frames are not
// made up and left out again for each of them until the jitter measure
// has caught up.
TEST(PlayoutTest, ALastingRiseInNetworkDelayIsBridgedOnce) {
    Rig r;
    const std::int64_t t0 = r.now + 3000;
    auto arrival = [&](int k) { return t0 + k * kDatagramUs + (k >= 60 ? 30000 : 0); };
    int k = r.run(t0 + 59 * kDatagramUs, 0, arrival);
    const auto before = r.stage.stats();
    r.run(t0 + 200 * kDatagramUs, k, arrival);
    EXPECT_LE(r.stage.stats().concealed - before.concealed, 6u);
    EXPECT_LE(r.stage.stats().dropped - before.dropped, 3u);
    EXPECT_EQ(r.dryTicks, 0);
    EXPECT_TRUE(inOrder(r.heard));
}

// A device that asks for each block as it plays it (a file) holds nothing of
// its own: the stage keeps a block less for it. Here every datagram comes
// about 35 ms before its first frame is needed, which for such a device is a
// frame more than it needs (for one that holds a block, not): a frame is
// left out, and the device never runs dry.
TEST(PlayoutTest, ADeviceThatAsksWithNothingHeldIsKeptABlockLess) {
    Rig r;
    r.renders = true;
    const std::int64_t t0 = r.now + 3000;
    r.run(t0 + 6 * 1000000, 0, [&](int k) { return t0 + k * kDatagramUs - (k > 0 ? 35000 : 0); });
    EXPECT_GE(r.stage.stats().dropped, 1u);
    EXPECT_LE(r.stage.stats().dropped, 2u);
    EXPECT_TRUE(r.made.empty());
    EXPECT_EQ(r.dryTicks, 0);
    EXPECT_TRUE(inOrder(r.heard));
    EXPECT_LE(r.stage.stats().delayMs, r.stage.stats().targetMs);
}

// Datagrams that come 25 ms ahead of the rhythm the first one set keep the
// stage 7 ms over its target: less than the half frame the whole-frame rule
// waits for, so that keeps it for good. A caller that takes shorter frames
// gets one frame shortened by a block, and the stage settles a block lower,
// never running dry.
TEST(PlayoutTest, ACallerThatTakesShorterFramesIsTrimmedToWithinABlock) {
    std::uint32_t delayMs[2] = {};
    for (bool partial : {false, true}) {
        Rig r;
        r.partial = partial;
        const std::int64_t t0 = r.now + 3000;
        r.run(t0 + 8 * 1000000, 0, [&](int k) { return t0 + k * kDatagramUs - (k > 0 ? 25000 : 0); });
        EXPECT_TRUE(r.made.empty());
        EXPECT_EQ(r.dryTicks, 0);
        EXPECT_TRUE(inOrder(r.heard));
        EXPECT_EQ(r.shortened, partial ? 1 : 0);
        delayMs[partial] = r.stage.stats().delayMs;
    }
    EXPECT_GE(delayMs[0], delayMs[1] + 8) << "whole frames " << delayMs[0] << " ms, blocks " << delayMs[1] << " ms";
}

// Long frames (here 100 ms): a lost datagram is 400 ms, and it is bridged
// at full strength throughout (a longer outage fades, or ends in an idle
// stage that asks for nothing).
TEST(PlayoutTest, ALostDatagramOfLongFramesIsBridgedWhole) {
    constexpr std::uint32_t kLong = 800;
    Playout stage({kRate, kLong, 16, kBlock}, nullptr);
    std::vector<std::int16_t> tone(4 * kLong);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int16_t>(8000 * std::sin(2 * 3.14159265358979 * 200.0 * static_cast<double>(i) / kRate));
    std::int64_t now = 1000000;
    for (int f = 0; f < 4; ++f)
        stage.push(reinterpret_cast<const std::uint8_t*>(tone.data() + f * kLong), kLong * 2, now);
    std::vector<std::uint8_t> out(kLong * 2);
    std::vector<double> madeUp;  // the level of each frame made up, in order
    int heard = 0;
    for (int tries = 0; tries < 40 && madeUp.size() < 4; ++tries, now += 100000) {
        const auto r = stage.fill(out.data(), out.size(), 0, now);
        const auto* s = reinterpret_cast<const std::int16_t*>(out.data());
        if (r == Playout::Fill::Sound) ++heard;
        if (r == Playout::Fill::Concealed && heard == 4) madeUp.push_back(test::rms(s, kLong));
    }
    ASSERT_EQ(madeUp.size(), 4u);
    const double level = test::rms(tone.data(), kLong);
    for (int i = 0; i < 4; ++i) EXPECT_GT(madeUp[static_cast<std::size_t>(i)], 0.8 * level) << "frame " << i;
}

// Long frames (here 100 ms) are never left out whole: a backlog (two
// datagrams at once at the start, 400 ms too much) is cut away in parts of
// frames, each joined with a cross-fade, and the cuts add up to the excess.
// The sound is a slow ramp, so each sample tells where it came from.
TEST(PlayoutTest, ALongFrameBacklogIsCutInPartsOfFrames) {
    constexpr std::uint32_t kLong = 800;
    Playout stage({kRate, kLong, 16, kBlock}, nullptr);
    auto frameOf = [&](int id) {
        std::vector<std::int16_t> s(kLong);
        for (std::uint32_t i = 0; i < kLong; ++i) s[i] = static_cast<std::int16_t>((id * kLong + i) / 2);
        std::vector<std::uint8_t> bytes(kLong * 2);
        std::memcpy(bytes.data(), s.data(), bytes.size());
        return bytes;
    };
    std::int64_t now = 1000000;
    const std::int64_t t0 = now + 3000;
    int lent = 0, k = 0;
    std::size_t offset = kLong * 2;
    std::vector<std::uint8_t> out(kLong * 2);
    std::vector<std::int16_t> played;
    int madeUp = 0;
    // Datagrams 0 and 1 together, then one every 400 ms.
    auto arrival = [&](int n) { return t0 + std::max(0, n - 1) * 4 * 100000; };
    while (now < t0 + 7 * 1000000) {
        while (arrival(k) <= now && k < 18) {
            for (int i = 0; i < 4; ++i) {
                auto f = frameOf(4 * k + i);
                stage.push(f.data(), f.size(), now);
            }
            ++k;
        }
        now += 10000;
        if (lent > 0) --lent;
        while (lent < 4) {
            if (offset >= out.size()) {
                const auto r = stage.fill(out.data(), out.size(), static_cast<std::uint32_t>(lent) * kBlock, now);
                if (r == Playout::Fill::Nothing) break;
                if (r == Playout::Fill::Concealed && k < 18) ++madeUp;
                const auto* s = reinterpret_cast<const std::int16_t*>(out.data());
                if (r == Playout::Fill::Sound) played.insert(played.end(), s, s + kLong);
                offset = 0;
            }
            offset += kBlock * 2;
            ++lent;
        }
    }
    ASSERT_GT(played.size(), 40u * kLong);
    EXPECT_EQ(madeUp, 0);
    // The ramp climbs by one every two samples: a step of more is a cut. No
    // step jumps (the cross-fade spreads each cut over 5 ms), no cut reaches
    // a whole frame, and no frame is missing.
    int cuts = 0;
    std::int64_t cutSamples = 0;
    for (std::size_t i = 1; i < played.size(); ++i) {
        const int step = played[i] - played[i - 1];
        EXPECT_GE(step, 0) << i;
        EXPECT_LE(step, 12) << i;
    }
    std::vector<bool> seen(18 * 4, false);
    for (std::int16_t v : played) seen[static_cast<std::size_t>(v) * 2 / kLong] = true;
    const int last = played.back() * 2 / static_cast<int>(kLong);
    for (int id = 0; id <= last; ++id) EXPECT_TRUE(seen[static_cast<std::size_t>(id)]) << id;
    // Sound left out: what the ramp skipped, against what was played.
    cutSamples = static_cast<std::int64_t>(played.back() - played.front()) * 2 - static_cast<std::int64_t>(played.size());
    for (std::size_t i = kLong; i < played.size(); i += kLong) cuts += played[i] - played[i - kLong] > static_cast<int>(kLong / 2) + 4;
    EXPECT_GE(cuts, 2);
    EXPECT_GE(cutSamples, 3 * static_cast<std::int64_t>(kLong) - 40);
    EXPECT_LE(cutSamples, 4 * static_cast<std::int64_t>(kLong) + 40);
    EXPECT_GE(stage.stats().dropped, 3u);
    EXPECT_LE(stage.stats().dropped, 4u);
}

// A steady voiced sound through Speex, whose own concealment fades within a
// lost datagram: one or two datagrams lost in a row are bridged without a
// gap (the first at full strength throughout), a long outage fades to
// silence after 160 ms, and the sound comes back with the next datagram.
TEST(PlayoutTest, SpeexLossesAreBridgedFromThePitchOfTheSoundPlayed) {
    const CodecId id = *codecIdFromName("speex_8khz");
    CodecChoice encoder = chooseCodec(id, 0);
    ASSERT_EQ(encoder.frameSamples, kFrame);
    std::vector<std::int16_t> tone(kRate * 4);
    for (std::size_t i = 0; i < tone.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        tone[i] = static_cast<std::int16_t>(6000 * std::sin(2 * M_PI * 180 * t) + 3000 * std::sin(2 * M_PI * 540 * t) +
                                            1500 * std::sin(2 * M_PI * 900 * t));
    }
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<std::uint8_t> bits;
    for (std::size_t at = 0; at + kFrame <= tone.size(); at += kFrame) {
        encoder.codec->encode16(tone.data() + at, kFrame, bits, false);
        frames.push_back(bits);
    }
    {
        // What Speex alone makes of a lost datagram: it fades.
        CodecChoice alone = chooseCodec(id, 0);
        std::vector<std::int16_t> pcm;
        for (int i = 0; i < 40; ++i) alone.codec->decode16(frames[i].data(), frames[i].size(), pcm, false);
        const double level = test::rms(pcm.data(), pcm.size());
        for (int i = 0; i < 4; ++i) alone.codec->conceal16(pcm, false);
        ASSERT_LT(test::rms(pcm.data(), pcm.size()), level / 2);
    }
    Rig r(chooseCodec(id, 0).codec, [&](int k) { return frames[static_cast<std::size_t>(k) % frames.size()]; });
    const std::int64_t t0 = r.now + 3000;
    // Datagram 12 lost; 20 and 21 lost; 30 to 35 lost (480 ms).
    const auto lost = [](int k) { return k == 12 || k == 20 || k == 21 || (k >= 30 && k <= 35); };
    int k = 0;
    while (r.now < t0 + 45 * kDatagramUs) {
        const std::int64_t at = t0 + k * kDatagramUs;
        if (k < 45 && at <= r.now) {
            if (!lost(k)) r.datagram(4 * k, {}, at);
            ++k;
            continue;
        }
        r.tick();
    }
    // 10 ms windows of what was played, from the first sound on.
    const std::size_t w = kRate / 100;
    std::vector<double> levels;
    for (std::size_t at = 0; at + w <= r.sound.size(); at += w) levels.push_back(test::rms(r.sound.data() + at, w));
    const auto first = std::find_if(levels.begin(), levels.end(), [](double v) { return v > 100; });
    ASSERT_NE(first, levels.end());
    std::vector<double> sorted(first, levels.end());
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    // Where each datagram's sound was played: the stage plays in order, so
    // datagram k's first window follows from where the first one began.
    const std::size_t start = static_cast<std::size_t>(first - levels.begin());
    const auto windowOf = [&](int datagram) { return start + static_cast<std::size_t>(datagram) * 8; };
    int faint = 0;
    for (std::size_t i = start; i < windowOf(30) && i < levels.size(); ++i) faint += levels[i] < median / 31.6;
    EXPECT_EQ(faint, 0) << "a gap of one or two datagrams falls silent";
    // The single loss keeps full strength: within 6 dB of the median.
    for (std::size_t i = windowOf(12) - 2; i < windowOf(13) + 2; ++i) EXPECT_GT(levels[i], median / 2) << i;
    // The long outage: bridged, then faded out by 160 ms, then silence
    // (until the stage sees the peer gone quiet and stops asking).
    const std::size_t outage = windowOf(30);
    ASSERT_GT(levels.size(), outage + 28);
    for (std::size_t i = outage; i < outage + 12; ++i) EXPECT_GT(levels[i], median / 31.6) << i - outage;
    for (std::size_t i = outage + 18; i < outage + 28; ++i) EXPECT_LT(levels[i], 1.0) << i - outage;
    ASSERT_GT(levels.size(), windowOf(40));
    EXPECT_GT(levels[windowOf(40)], median / 2);
}

// Speex and iLBC make up a lost frame from their decoders' state; the other
// codecs leave it to the stage's bridge.
TEST(PlayoutTest, SpeexAndIlbcConcealWithTheirOwnDecoders) {
    for (const char* name : {"speex_16khz", "ilbc_8khz", "gsm_8khz", "g711_8khz"}) {
        SCOPED_TRACE(name);
        CodecChoice choice = chooseCodec(*codecIdFromName(name), CodecSelection::kInitialFrameSamples);
        const auto speech = test::synthSpeech(choice.sampleRate, 0, 0.3, 0, 1.0);
        std::vector<std::uint8_t> bits;
        std::vector<std::int16_t> pcm;
        for (std::size_t at = 0; at + choice.frameSamples <= speech.size(); at += choice.frameSamples) {
            choice.codec->encode16(speech.data() + at, choice.frameSamples, bits, false);
            choice.codec->decode16(bits.data(), bits.size(), pcm, false);
        }
        const bool own = std::string(name) == "speex_16khz" || std::string(name) == "ilbc_8khz";
        std::vector<std::int16_t> made;
        EXPECT_EQ(choice.codec->conceal16(made, false), own ? choice.frameSamples : 0u);
        if (own) {
            EXPECT_GT(test::rms(made.data(), made.size()), 50.0);
        }
    }
}

// The link's thread pushes while the player's thread fills: every frame
// pushed is played or counted as dropped, in order.
TEST(PlayoutTest, ThePushingAndTheFillingThreadsShareTheRingSafely) {
    Playout stage(rawFormat(), nullptr);
    std::atomic<bool> done{false};
    std::atomic<std::int64_t> clock{1000000};
    std::thread link([&] {
        for (int id = 0; id < 2000; ++id) {
            auto f = rawFrame(id);
            stage.push(f.data(), f.size(), clock.fetch_add(500));
            if (id % 4 == 3) std::this_thread::yield();
        }
        done.store(true);
    });
    std::vector<std::uint8_t> out(kFrame * 2);
    int last = -1;
    bool ordered = true;
    while (!done.load() || stage.waiting() > 0) {
        if (stage.fill(out.data(), out.size(), kBlock * 3, clock.load()) == Playout::Fill::Sound) {
            std::int16_t id;
            std::memcpy(&id, out.data() + out.size() - 2, 2);
            ordered = ordered && id > last;
            last = id;
        }
    }
    link.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(stage.stats().played + stage.stats().dropped, 2000u);
}

}  // namespace
}  // namespace ambrel
