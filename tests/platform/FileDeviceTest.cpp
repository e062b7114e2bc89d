// The WAV file devices: pacing, conversion, silence, reset and close, and
// the playing side's time line.
#include <gtest/gtest.h>

#include <filesystem>

#include <cmath>
#include <mutex>
#include <thread>

#include "SoundTestSupport.h"
#include "platform/FileBackend.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using test::Buffers;
using test::Collector;
using test::Posted;
using test::ScratchDir;
using test::format;

double msBetween(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// Re-queues every buffer that comes back with sound, as the recorder does.
void requeueFilled(Collector& c, std::atomic<SoundInput*>& device) {
    c.onMessage = [&device](const Posted& p) {
        SoundInput* d = device.load();
        if (p.message.id == kMsgInputData && p.bytes > 0 && d) d->addBuffer(p.buffer);
    };
}

std::vector<std::uint8_t> concat(const std::vector<Posted>& posted) {
    std::vector<std::uint8_t> all;
    for (const auto& p : posted) all.insert(all.end(), p.data.begin(), p.data.end());
    return all;
}

class FileInputTest : public ::testing::Test {
protected:
    ScratchDir dir;
    std::unique_ptr<SoundBackend> backend = makeFileBackend();
    Collector collector;
    std::atomic<SoundInput*> live{nullptr};  // read by the message thread's re-queue hook
};

TEST_F(FileInputTest, DeliversTheFileExactlyAtTheDeviceRateBufferByBuffer) {
    // 16-bit mono at the device rate: the samples arrive unchanged.
    std::vector<float> ramp(8000);
    for (std::size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<float>(static_cast<int>(i % 2000) - 1000) / 32768.0f;
    const auto path = dir.file("ramp.wav");
    ASSERT_TRUE(test::writeWav(path, 8000, 1, ramp));

    SoundError err;
    auto in = backend->openInput(SoundDeviceRef::file(path), format(8000, 16, 160), collector.thread, err);
    ASSERT_TRUE(in) << err.text;
    EXPECT_EQ(in->deviceName(), path);
    live = in.get();
    requeueFilled(collector, live);
    Buffers bufs(12, 320);
    for (std::size_t i = 0; i < 12; ++i) ASSERT_TRUE(in->addBuffer(bufs[i]).ok());

    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(in->start().ok());
    constexpr std::size_t kFrames = 30;  // 600 ms of sound
    ASSERT_TRUE(collector.waitFor(kFrames));
    const auto posted = collector.posted();
    // Paced like a sound card: frame k is not there before its time.
    // (Generous: a loaded machine may only be late, never early.)
    EXPECT_GE(msBetween(t0, posted[kFrames - 1].when), kFrames * 20 * 0.9);
    EXPECT_GE(msBetween(t0, posted[0].when), 20 * 0.9);
    EXPECT_LT(msBetween(t0, posted[kFrames - 1].when), kFrames * 20 * 10.0);
    live = nullptr;
    in->close();
    collector.stop();

    std::size_t n = 0;
    for (const auto& p : collector.posted()) {
        if (p.bytes == 0) continue;  // handed back by close()
        EXPECT_EQ(p.bytes, 320u);
        EXPECT_EQ(p.buffer->user, n % 12) << "buffers come back in queue order";
        ++n;
    }
    auto got = test::asSamples16(concat(collector.posted()));
    ASSERT_GE(got.size(), kFrames * 160);
    for (std::size_t i = 0; i < kFrames * 160; ++i)
        ASSERT_EQ(got[i], static_cast<int>(i % 2000) - 1000) << "sample " << i;
}

TEST_F(FileInputTest, MixesStereoToMonoAndResamplesToBothWidths) {
    // 44.1 kHz stereo, 440 Hz at half scale in both channels, plus a 1 kHz
    // tone in opposite phase on the two channels that the mono mix cancels.
    const int rate = 44100;
    std::vector<float> st(2 * rate / 2);
    for (std::size_t i = 0; i < st.size() / 2; ++i) {
        double t = static_cast<double>(i) / rate;
        double a = 0.5 * std::sin(2 * M_PI * 440 * t), b = 0.25 * std::sin(2 * M_PI * 1000 * t);
        st[2 * i] = static_cast<float>(a + b);
        st[2 * i + 1] = static_cast<float>(a - b);
    }
    const auto path = dir.file("stereo.wav");
    ASSERT_TRUE(test::writeWav(path, rate, 2, st));

    for (std::uint32_t bits : {16u, 8u}) {
        SCOPED_TRACE(bits);
        Collector c;
        std::atomic<SoundInput*> dev{nullptr};
        requeueFilled(c, dev);
        SoundError err;
        auto in = backend->openInput(SoundDeviceRef::file(path), format(8000, bits, 800), c.thread, err);
        ASSERT_TRUE(in) << err.text;
        dev = in.get();
        Buffers bufs(4, 800 * bits / 8);
        for (std::size_t i = 0; i < 4; ++i) ASSERT_TRUE(in->addBuffer(bufs[i]).ok());
        ASSERT_TRUE(in->start().ok());
        ASSERT_TRUE(c.waitFor(5));  // 0.5 s of file, then silence
        dev = nullptr;
        in->close();
        c.stop();
        auto bytes = concat(c.posted());
        ASSERT_GE(bytes.size(), 5u * 800 * bits / 8);

        std::vector<double> x;  // full scale = 1.0
        if (bits == 16) {
            for (auto s : test::asSamples16(bytes)) x.push_back(s / 32768.0);
        } else {
            for (auto b : bytes) x.push_back((b - 128) / 128.0);
        }
        // 0.5 s of file = 4000 samples; skip the resampler's start-up.
        std::vector<double> body(x.begin() + 200, x.begin() + 3800);
        EXPECT_NEAR(test::toneAmplitude(body, 440, 8000), 0.5, 0.03);
        EXPECT_LT(test::toneAmplitude(body, 1000, 8000), 0.01) << "channels are mixed, not one taken";
        double energy = 0, tone = 0.5 * 0.5 / 2;
        for (double v : body) energy += v * v;
        EXPECT_NEAR(energy / static_cast<double>(body.size()), tone, tone * 0.05);
        // After the file: silence (0, or 128 for 8-bit).
        for (std::size_t i = 4100; i < 5 * 800; ++i) ASSERT_NEAR(x[i], 0.0, 1e-9) << i;
    }
}

TEST_F(FileInputTest, DeliversSilenceAfterTheEndOf8BitAnd16BitFiles) {
    const auto path = dir.file("short.wav");
    ASSERT_TRUE(test::writeWav(path, 8000, 1, std::vector<float>(100, 0.25f)));
    for (std::uint32_t bits : {16u, 8u}) {
        SCOPED_TRACE(bits);
        Collector c;
        SoundError err;
        auto in = backend->openInput(SoundDeviceRef::file(path), format(8000, bits, 80), c.thread, err);
        ASSERT_TRUE(in) << err.text;
        Buffers bufs(4, 80 * bits / 8);
        for (std::size_t i = 0; i < 4; ++i) ASSERT_TRUE(in->addBuffer(bufs[i]).ok());
        ASSERT_TRUE(in->start().ok());
        ASSERT_TRUE(c.waitFor(4));
        in->close();
        auto bytes = concat(c.posted());
        ASSERT_EQ(bytes.size(), 4u * 80 * bits / 8);
        if (bits == 16) {
            auto s = test::asSamples16(bytes);
            for (std::size_t i = 0; i < s.size(); ++i) ASSERT_EQ(s[i], i < 100 ? 8192 : 0) << i;
        } else {
            for (std::size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], i < 100 ? 160 : 128) << i;
        }
    }
}

// A capturer gets the file on the pacing thread, a whole block a tick, in
// order; buffers lent before stay queued; nothing comes after stop().
TEST_F(FileInputTest, ACapturerTakesWholeBlocksInOrderAndNothingAfterStop) {
    struct Keep : SoundCapturer {
        std::mutex m;
        std::vector<std::uint8_t> all;
        std::vector<std::size_t> sizes;
        std::thread::id thread;
        void captured(const std::uint8_t* data, std::size_t bytes) override {
            std::lock_guard lock(m);
            all.insert(all.end(), data, data + bytes);
            sizes.push_back(bytes);
            thread = std::this_thread::get_id();
        }
        std::size_t blocks() {
            std::lock_guard lock(m);
            return sizes.size();
        }
    } keep;
    std::vector<float> ramp(8000);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(static_cast<int>(i % 500) - 250) / 32768.0f;
    const auto path = dir.file("ramp.wav");
    ASSERT_TRUE(test::writeWav(path, 8000, 1, ramp));
    SoundError err;
    auto in = backend->openInput(SoundDeviceRef::file(path), format(8000, 16, 160), collector.thread, err);
    ASSERT_TRUE(in) << err.text;
    Buffers bufs(2, 320);
    ASSERT_TRUE(in->addBuffer(bufs[0]).ok());
    ASSERT_TRUE(in->setCapturer(&keep));
    ASSERT_TRUE(in->start().ok());
    for (int i = 0; i < 200 && keep.blocks() < 10; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(in->stop().ok());
    const std::size_t atStop = keep.blocks();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(keep.blocks(), atStop) << "no block after stop() has returned";
    EXPECT_GE(atStop, 10u);
    EXPECT_EQ(collector.count(), 0u) << "the lent buffer stays queued";
    EXPECT_NE(keep.thread, std::this_thread::get_id());
    for (std::size_t n : keep.sizes) EXPECT_EQ(n, 320u);
    const auto got = test::asSamples16(keep.all);
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], static_cast<int>(i % 500) - 250) << "sample " << i;
    ASSERT_TRUE(in->close().ok());
    ASSERT_TRUE(collector.waitFor(1));
    EXPECT_EQ(collector.posted()[0].buffer, bufs[0]);
}

TEST_F(FileInputTest, StopKeepsBuffersResetReturnsThemEmptyAndCloseEndsTheDevice) {
    const auto path = dir.file("tone.wav");
    ASSERT_TRUE(test::writeWav(path, 8000, 1, std::vector<float>(8000, 0.1f)));
    SoundError err;
    auto in = backend->openInput(SoundDeviceRef::file(path), format(8000, 16, 160), collector.thread, err);
    ASSERT_TRUE(in) << err.text;
    Buffers bufs(6, 320);
    for (std::size_t i = 0; i < 6; ++i) ASSERT_TRUE(in->addBuffer(bufs[i]).ok());
    EXPECT_EQ(in->addBuffer(bufs[0]).code, SoundErrorCode::StillPlaying);
    EXPECT_TRUE(bufs[0]->inDevice.load());

    ASSERT_TRUE(in->start().ok());
    ASSERT_TRUE(collector.waitFor(2));
    ASSERT_TRUE(in->stop().ok());
    std::size_t afterStop = collector.count();
    std::this_thread::sleep_for(100ms);  // five frame times: a running device would post
    EXPECT_EQ(collector.count(), afterStop) << "a stopped device keeps its buffers";

    ASSERT_TRUE(in->reset().ok());
    ASSERT_TRUE(collector.waitFor(6));
    auto posted = collector.posted();
    ASSERT_EQ(posted.size(), 6u);
    for (std::size_t i = 0; i < posted.size(); ++i) {
        EXPECT_EQ(posted[i].buffer, bufs[i]) << "queue order";
        EXPECT_EQ(posted[i].bytes, i < afterStop ? 320u : 0u);
        EXPECT_FALSE(posted[i].buffer->inDevice.load());
    }

    // Queued again and closed: close hands them back empty, then refuses.
    ASSERT_TRUE(in->addBuffer(bufs[0]).ok());
    ASSERT_TRUE(in->close().ok());
    ASSERT_TRUE(collector.waitFor(7));
    EXPECT_EQ(collector.posted()[6].bytes, 0u);
    EXPECT_EQ(in->start().code, SoundErrorCode::InvalidHandle);
    EXPECT_EQ(in->addBuffer(bufs[1]).code, SoundErrorCode::InvalidHandle);
    EXPECT_EQ(in->close().code, SoundErrorCode::InvalidHandle);
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(collector.count(), 7u);
}

TEST_F(FileInputTest, RefusesMissingFilesBadFormatsAndNumbers) {
    SoundError err;
    const auto missing = dir.file("missing.wav");
    EXPECT_FALSE(backend->openInput(SoundDeviceRef::file(missing), format(8000, 16, 160), collector.thread, err));
    EXPECT_EQ(err.code, SoundErrorCode::FileError);
    EXPECT_NE(err.text.find("missing.wav"), std::string::npos) << err.text;

    const auto notWav = dir.file("text.wav");
    {
        FILE* f = std::fopen(notWav.c_str(), "w");
        ASSERT_TRUE(f);
        std::fputs("this is not a sound file at all, just some words", f);
        std::fclose(f);
    }
    EXPECT_FALSE(backend->openInput(SoundDeviceRef::file(notWav), format(8000, 16, 160), collector.thread, err));
    EXPECT_EQ(err.code, SoundErrorCode::FileError);

    // A header claiming a rate no sound has (patched into a valid file).
    const auto odd = dir.file("rate.wav");
    ASSERT_TRUE(test::writeWav(odd, 8000, 1, std::vector<float>(10)));
    {
        FILE* f = std::fopen(odd.c_str(), "r+b");
        ASSERT_TRUE(f);
        const std::uint32_t rate = 2000000000u;  // little-endian at byte 24 of a canonical header
        std::fseek(f, 24, SEEK_SET);
        std::fwrite(&rate, 4, 1, f);
        std::fclose(f);
    }
    EXPECT_FALSE(backend->openInput(SoundDeviceRef::file(odd), format(8000, 16, 160), collector.thread, err));
    EXPECT_EQ(err.code, SoundErrorCode::FileError);
    EXPECT_NE(err.text.find("sample rate"), std::string::npos) << err.text;

    const auto path = dir.file("ok.wav");
    ASSERT_TRUE(test::writeWav(path, 8000, 1, std::vector<float>(10)));
    EXPECT_FALSE(backend->openInput(SoundDeviceRef::file(path), format(8000, 12, 160), collector.thread, err));
    EXPECT_EQ(err.code, SoundErrorCode::BadFormat);
    EXPECT_FALSE(backend->openInput(SoundDeviceRef::file(path), format(0, 16, 160), collector.thread, err));
    EXPECT_EQ(err.code, SoundErrorCode::BadFormat);
    EXPECT_FALSE(backend->openInput(SoundDeviceRef(2), format(8000, 16, 160), collector.thread, err));
    EXPECT_EQ(err.code, SoundErrorCode::BadDevice);
    EXPECT_FALSE(backend->openOutput(SoundDeviceRef::file(dir.file("no/such/dir.wav")), format(8000, 16, 160),
                                     collector.thread, err));
    EXPECT_EQ(err.code, SoundErrorCode::FileError);
    EXPECT_FALSE(err.text.empty());
}

class FileOutputTest : public ::testing::Test {
protected:
    ScratchDir dir;
    std::unique_ptr<SoundBackend> backend = makeFileBackend();
    Collector collector;
};

TEST_F(FileOutputTest, KeepsTheTimeLineWithSilenceAndPlaysBuffersInOrder) {
    const auto path = dir.file("out.wav");
    SoundError err;
    const auto opened = std::chrono::steady_clock::now();
    auto out = backend->openOutput(SoundDeviceRef::file(path), format(8000, 16, 160), collector.thread, err);
    ASSERT_TRUE(out) << err.text;
    ASSERT_TRUE(out->setVolume(0xFFFF, 0xFFFF).ok());

    std::this_thread::sleep_for(200ms);  // nothing queued: the file gets silence
    Buffers bufs(3, 320);
    for (std::size_t b = 0; b < 3; ++b) {
        auto* s = reinterpret_cast<std::int16_t*>(bufs.storage[b].data());
        for (int i = 0; i < 160; ++i) s[i] = static_cast<std::int16_t>(1000 * (b + 1) + i);
    }
    const auto written = std::chrono::steady_clock::now();
    for (std::size_t b = 0; b < 3; ++b) ASSERT_TRUE(out->write(bufs[b]).ok());
    EXPECT_EQ(out->write(bufs[0]).code, SoundErrorCode::StillPlaying);
    Buffers odd(1, 321);  // half a sample would shift the rest of the file
    EXPECT_EQ(out->write(odd[0]).code, SoundErrorCode::InvalidParam);
    EXPECT_FALSE(odd[0]->inDevice.load());
    ASSERT_TRUE(collector.waitFor(3));
    auto posted = collector.posted();
    for (std::size_t b = 0; b < 3; ++b) {
        EXPECT_EQ(posted[b].message.id, kMsgOutputDone);
        EXPECT_EQ(posted[b].buffer, bufs[b]);
        EXPECT_FALSE(bufs[b]->inDevice.load());
    }
    // Handed back only once played: three frames take 60 ms.
    EXPECT_GE(msBetween(written, posted[2].when), 60 * 0.75);

    std::this_thread::sleep_for(200ms);  // an underrun: silence again
    ASSERT_TRUE(out->close().ok());
    const double openMs = msBetween(opened, std::chrono::steady_clock::now());
    EXPECT_EQ(out->write(bufs[0]).code, SoundErrorCode::InvalidHandle);

    auto wav = test::readWav(path);
    ASSERT_EQ(wav.rate, 8000);
    ASSERT_EQ(wav.channels, 1);
    EXPECT_EQ(wav.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
    // As long as the device was open: never longer, and not much shorter
    // (a starved pacing thread catches up, but close() may cut it short).
    EXPECT_GE(wav.samples.size(), static_cast<std::size_t>(openMs * 8 * 0.5));
    EXPECT_LE(wav.samples.size(), static_cast<std::size_t>(openMs * 8) + 3 * 160);

    std::size_t start = 0;
    while (start < wav.samples.size() && wav.samples[start] == 0) ++start;
    ASSERT_LT(start + 480, wav.samples.size());
    EXPECT_GE(start, 400u) << "silence before the first buffer";
    for (std::size_t b = 0; b < 3; ++b)
        for (int i = 0; i < 160; ++i)
            ASSERT_EQ(wav.samples[start + b * 160 + i], 1000 * (b + 1) + i) << "buffer " << b << " sample " << i;
    for (std::size_t i = start + 480; i < wav.samples.size(); ++i) ASSERT_EQ(wav.samples[i], 0) << i;
    EXPECT_GE(wav.samples.size() - (start + 480), 400u) << "the underrun is in the file as silence";
}

TEST_F(FileOutputTest, EightBitSilenceVolumeAndAFileCompleteWhileOpen) {
    const auto path = dir.file("out8.wav");
    SoundError err;
    auto out = backend->openOutput(SoundDeviceRef::file(path), format(8000, 8, 80), collector.thread, err);
    ASSERT_TRUE(out) << err.text;
    ASSERT_TRUE(out->setVolume(0x8000, 0x2000).ok());
    std::uint16_t l = 0, r = 0;
    ASSERT_TRUE(out->volume(l, r).ok());
    EXPECT_EQ(l, 0x8000);
    EXPECT_EQ(r, 0x8000);

    Buffers bufs(1, 80);
    std::fill(bufs.storage[0].begin(), bufs.storage[0].end(), 228);  // +100
    ASSERT_TRUE(out->write(bufs[0]).ok());
    ASSERT_TRUE(collector.waitFor(1));
    std::this_thread::sleep_for(50ms);

    // Still open, yet already a valid WAV holding what was played, under its
    // temporary name until the close puts it in place.
    EXPECT_FALSE(std::filesystem::exists(path));
    auto partial = test::readWav(path + ".part");
    ASSERT_EQ(partial.rate, 8000);
    EXPECT_EQ(partial.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_U8);
    EXPECT_GE(partial.samples.size(), 80u);
    ASSERT_TRUE(out->close().ok());

    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_TRUE(f);
    std::vector<std::uint8_t> raw(static_cast<std::size_t>(info.frames));
    ASSERT_EQ(sf_read_raw(f, raw.data(), info.frames), info.frames);
    sf_close(f);
    std::size_t loud = 0;
    for (auto b : raw) {
        ASSERT_TRUE(b == 128 || b == 178) << int(b);  // silence, or +100 at half volume
        loud += b == 178;
    }
    EXPECT_EQ(loud, 80u);
}

TEST_F(FileOutputTest, ResetHandsBackEveryQueuedBufferAtOnceInOrder) {
    SoundError err;
    auto out = backend->openOutput(SoundDeviceRef::file(dir.file("reset.wav")), format(8000, 16, 800),
                                   collector.thread, err);
    ASSERT_TRUE(out) << err.text;
    Buffers bufs(12, 1600);  // 12 x 100 ms queued
    for (std::size_t i = 0; i < 12; ++i) ASSERT_TRUE(out->write(bufs[i]).ok());
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(out->reset().ok());
    ASSERT_TRUE(collector.waitFor(12));
    EXPECT_LT(msBetween(t0, collector.posted()[11].when), 1000.0) << "not played out first";
    auto posted = collector.posted();
    for (std::size_t i = 0; i < 12; ++i) EXPECT_EQ(posted[i].buffer, bufs[i]);
    // The device stays open and plays on.
    ASSERT_TRUE(out->write(bufs[0]).ok());
    ASSERT_TRUE(collector.waitFor(13));
    out.reset();  // the destructor closes
}

TEST(SoundSystemTest, RoutesRefsAliasesAndParsesDeviceArguments) {
    EXPECT_EQ(SoundDeviceRef::parse("").number, -1);
    EXPECT_EQ(SoundDeviceRef::parse("0").number, -1);
    EXPECT_EQ(SoundDeviceRef::parse("-1").number, -1);
    EXPECT_EQ(SoundDeviceRef::parse("3").number, 3);
    EXPECT_TRUE(SoundDeviceRef::parse("3").name.empty());
    EXPECT_EQ(SoundDeviceRef::parse("mysink.monitor").name, "mysink.monitor");
    EXPECT_EQ(SoundDeviceRef::parse("3x").name, "3x");
    EXPECT_EQ(SoundDeviceRef::file("a.wav").describe(), "file:a.wav");
    EXPECT_EQ(SoundDeviceRef(-1).describe(), "default");

    SoundSystem empty;
    Collector c;
    SoundError err;
    EXPECT_FALSE(empty.openInput(-1, SoundFormat{}, c.thread, err));
    EXPECT_EQ(err.code, SoundErrorCode::BadDevice);

    ScratchDir dir;
    const auto path = dir.file("in.wav");
    ASSERT_TRUE(test::writeWav(path, 8000, 1, std::vector<float>(800, 0.5f)));
    SoundSystem sound;
    sound.addBackend(makeFileBackend());
    EXPECT_EQ(sound.defaultBackend(), sound.backend("file"));
    EXPECT_EQ(sound.backend("pulse"), nullptr);
    const int id = sound.alias(SoundDeviceRef::file(path));
    EXPECT_GE(id, SoundSystem::kAliasBase);
    EXPECT_EQ(sound.alias(SoundDeviceRef::file(path)), id);
    EXPECT_EQ(sound.resolve(id).name, path);
    EXPECT_EQ(sound.resolve(4).number, 4);
    auto in = sound.openInput(id, SoundFormat{}, c.thread, err);
    ASSERT_TRUE(in) << err.text;
    EXPECT_EQ(in->deviceName(), path);
    in->close();
    EXPECT_FALSE(sound.openInput(SoundDeviceRef::named("x", "nonesuch"), SoundFormat{}, c.thread, err));
    EXPECT_EQ(err.code, SoundErrorCode::BadDevice);
    EXPECT_NE(err.text.find("nonesuch"), std::string::npos);
    EXPECT_NE(formatDeviceList(sound).find("Recording devices:"), std::string::npos);
}

}  // namespace
}  // namespace ambrel
