// Recorder, player and engine behaviour at their edges, driven through a
// scripted device (FakeSound.h) or the WAV file device.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "audio/AudioEngine.h"
#include "audio/CodecTable.h"
#include "audio/SoundPlayer.h"
#include "audio/SoundRecorder.h"
#include "audio/engine/FakeSound.h"
#include "platform/FileBackend.h"

namespace ambrel {
namespace {

using test::CollectingReporter;
using test::FakeState;
using test::waitFor;

class CountingListener : public SoundListener {
public:
    void opened() override { ++opens; }
    void block(const std::uint8_t* data, std::size_t n) override {
        std::lock_guard<std::mutex> hold(mutex);
        blocks.emplace_back(data, data + n);
    }
    void closed() override { ++closes; }
    std::size_t blockCount() {
        std::lock_guard<std::mutex> hold(mutex);
        return blocks.size();
    }
    std::atomic<int> opens{0}, closes{0};
    std::mutex mutex;
    std::vector<std::vector<std::uint8_t>> blocks;
};

// Captured frames as the link would receive them.
class RecordingSink : public AudioSink {
public:
    void onFrameEncoded(const uint8_t* bytes, int length) override {
        std::lock_guard<std::mutex> hold(mutex);
        frames.emplace_back(bytes, bytes + length);
    }
    void onBlockPlayed(int index) override { played[index & 3].fetch_add(1); }
    std::size_t frameCount() {
        std::lock_guard<std::mutex> hold(mutex);
        return frames.size();
    }
    std::mutex mutex;
    std::vector<std::vector<std::uint8_t>> frames;
    std::atomic<int> played[4]{};
};

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        recorder.setListener(&listener);
        recorder.setSampleRate(8000);
        recorder.setBitsPerSample(16);
        recorder.setSamplesPerBlock(160);
    }
    FakeState state;
    std::unique_ptr<SoundSystem> sound = test::makeFakeSystem(state);
    CollectingReporter reporter;
    CountingListener listener;
    SoundRecorder recorder{*sound, &reporter};
};

TEST_F(RecorderTest, BuffersReturnedByAStopAreNeitherDeliveredNorQueuedAgain) {
    recorder.post(SoundRecorder::REC_START);
    ASSERT_TRUE(waitFor([&] { return listener.opens == 1; }));
    EXPECT_TRUE(recorder.isOpen());
    EXPECT_EQ(state.get(&FakeState::addBuffers), SoundBase::kBufferCount);
    EXPECT_EQ(state.inputFormat.blockSamples, 160u);

    // Two filled buffers are delivered and lent again.
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(state.fillInput([i](std::uint8_t* d, std::uint32_t n) { std::memset(d, 10 + i, n); }));
    ASSERT_TRUE(waitFor([&] { return listener.blockCount() == 2; }));
    ASSERT_TRUE(waitFor([&] { return state.get(&FakeState::addBuffers) == SoundBase::kBufferCount + 2; }));
    EXPECT_EQ(listener.blocks[0].size(), 320u);
    EXPECT_EQ(listener.blocks[1][0], 11);

    // The stop hands all 12 back with 0 bytes.
    recorder.post(SoundRecorder::REC_STOP);
    ASSERT_TRUE(waitFor([&] { return listener.closes == 1; }));
    recorder.quitAndWait();
    EXPECT_FALSE(recorder.isOpen());
    EXPECT_EQ(listener.blockCount(), 2u);
    EXPECT_EQ(state.get(&FakeState::addBuffers), SoundBase::kBufferCount + 2);
    EXPECT_EQ(state.get(&FakeState::closes), 1);
    EXPECT_EQ(listener.closes, 1);
    EXPECT_TRUE(reporter.lines().empty());
}

TEST_F(RecorderTest, StoppingAnIdleRecorderDoesNothing) {
    recorder.post(SoundRecorder::REC_STOP);
    recorder.post(SoundRecorder::REC_STOP);
    recorder.quitAndWait();
    EXPECT_EQ(listener.closes, 0);
    EXPECT_EQ(state.get(&FakeState::inputOpens), 0);
}

TEST_F(RecorderTest, ASecondStartWhileRecordingOpensNothing) {
    recorder.post(SoundRecorder::REC_START);
    recorder.post(SoundRecorder::REC_START);
    recorder.quitAndWait();  // runs both starts, then stops
    EXPECT_EQ(state.get(&FakeState::inputOpens), 1);
    EXPECT_EQ(listener.opens, 1);
    EXPECT_EQ(listener.closes, 1);
}

TEST_F(RecorderTest, AFailedOpenReportsOnceAndTheNextStartTriesAgain) {
    state.failOpens = 1;
    recorder.post(SoundRecorder::REC_START);
    ASSERT_TRUE(waitFor([&] { return reporter.lines().size() == 1; }));
    EXPECT_EQ(reporter.lines()[0], "RECORD: Open : 2 : No such device");
    EXPECT_FALSE(recorder.isOpen());
    EXPECT_EQ(listener.opens, 0);

    recorder.post(SoundRecorder::REC_START);
    ASSERT_TRUE(waitFor([&] { return listener.opens == 1; }));
    EXPECT_TRUE(recorder.isOpen());
    EXPECT_EQ(state.get(&FakeState::inputOpens), 2);
    EXPECT_EQ(reporter.lines().size(), 1u);
}

TEST(RecorderFileTest, AMissingFileGivesOneOpenErrorAndTheNextStartTriesAgain) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("ambrel-rec-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path wav = dir / "later.wav";
    fs::remove(wav);

    SoundSystem sound;
    sound.addBackend(makeFileBackend());
    CollectingReporter reporter;
    CountingListener listener;
    {
        SoundRecorder recorder(sound, &reporter);
        recorder.setListener(&listener);
        recorder.setSampleRate(8000);
        recorder.setSamplesPerBlock(160);
        recorder.setDeviceId(sound.alias(SoundDeviceRef::file(wav.string())));
        recorder.post(SoundRecorder::REC_START);
        ASSERT_TRUE(waitFor([&] { return reporter.lines().size() == 1; }));
        EXPECT_EQ(reporter.lines()[0].rfind("RECORD: Open : 100 : ", 0), 0u) << reporter.lines()[0];
        EXPECT_FALSE(recorder.isOpen());

        // A 16-bit mono WAV of 0.1 s (44-byte header, then silence).
        {
            const std::uint32_t rate = 8000, samples = 800, dataBytes = samples * 2;
            std::ofstream f(wav, std::ios::binary);
            auto u32 = [&](std::uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
            auto u16 = [&](std::uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
            f.write("RIFF", 4), u32(36 + dataBytes), f.write("WAVEfmt ", 8), u32(16), u16(1), u16(1), u32(rate),
                u32(rate * 2), u16(2), u16(16), f.write("data", 4), u32(dataBytes);
            std::vector<char> zeros(dataBytes, 0);
            f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
        }
        recorder.post(SoundRecorder::REC_START);
        ASSERT_TRUE(waitFor([&] { return listener.opens == 1; }));
        EXPECT_TRUE(recorder.isOpen());
        ASSERT_TRUE(waitFor([&] { return listener.blockCount() >= 2; }));
        EXPECT_EQ(reporter.lines().size(), 1u);
    }
    EXPECT_EQ(listener.closes, 1);
    fs::remove_all(dir);
}

class PlayerTest : public ::testing::Test {
protected:
    // 16-bit, 4 samples (8 bytes) per buffer.
    void SetUp() override {
        player.setListener(&listener);
        player.setSampleRate(8000);
        player.setBitsPerSample(16);
        player.setSamplesPerBlock(4);
    }
    void startAndWait() {
        player.start();
        ASSERT_TRUE(waitFor([&] { return listener.opens == 1; }));
    }
    std::size_t writtenCount() {
        std::lock_guard<std::mutex> hold(state.mutex);
        return state.written.size();
    }
    std::vector<std::uint8_t> written(std::size_t i) {
        std::lock_guard<std::mutex> hold(state.mutex);
        return state.written.at(i);
    }
    // Queues frames the way a call does, the device playing each one at
    // once, until `done` holds; false if it never does. A frame every 2 ms
    // outruns a player thread that a loaded machine holds up for a dozen
    // frames: queue() then drops the frame, and `refused` counts it.
    bool playUntil(const std::function<bool()>& done) {
        return waitFor([&] {
            static const std::uint8_t frame[8] = {1, 2, 3, 4, 5, 6, 7, 8};
            while (state.finishOutput()) {
            }
            if (!player.queue(frame, sizeof frame)) ++refused;
            return done();
        });
    }
    std::uint64_t refused = 0;
    FakeState state;
    std::unique_ptr<SoundSystem> sound = test::makeFakeSystem(state);
    CollectingReporter reporter;
    CountingListener listener;
    SoundPlayer player{*sound, &reporter};
};

TEST_F(PlayerTest, AStartOnAnOpenPlayerDoesNothingAndTheVolumeIsForcedToFull) {
    startAndWait();
    player.post(SoundPlayer::PLAY_START);
    player.quitAndWait();
    EXPECT_EQ(state.get(&FakeState::outputOpens), 1);
    EXPECT_EQ(listener.opens, 1);
    EXPECT_EQ(listener.closes, 1);
    ASSERT_EQ(state.volumes.size(), 1u);
    EXPECT_EQ(state.volumes[0], std::make_pair(std::uint16_t(0xFFFF), std::uint16_t(0xFFFF)));
}

TEST_F(PlayerTest, AFailedOpenIsReportedOnceAndLaterFramesReopenTheDevice) {
    state.failOpens = 3;
    player.start();
    ASSERT_TRUE(waitFor([&] { return reporter.lines().size() == 1; }));
    EXPECT_EQ(reporter.lines()[0], "PLAY : PlayStart :2:No such device");
    // Frames queued while closed are lost but their buffers come free again,
    // so the ring never jams; after the back-off a frame reopens the device.
    ASSERT_TRUE(playUntil([&] { return writtenCount() > 0; }));
    EXPECT_EQ(state.get(&FakeState::outputOpens), 4);
    EXPECT_EQ(listener.opens, 1);
    EXPECT_EQ(reporter.lines().size(), 1u);  // the retries that failed are not reported again
    player.quitAndWait();
    // Lost while closed is not dropped: only the frames that found the ring
    // full (the player thread behind) are counted.
    EXPECT_EQ(player.droppedFrames(), refused);
}

TEST_F(PlayerTest, ALostStreamIsReportedOnceAndReopened) {
    startAndWait();
    ASSERT_TRUE(playUntil([&] { return writtenCount() >= 1; }));
    // The server drops the stream, and the first reopens fail too: one line.
    {
        std::lock_guard<std::mutex> hold(state.mutex);
        state.failWrites = 1;
        state.failOpens = 2;
    }
    ASSERT_TRUE(playUntil([&] { return listener.opens == 2; }));
    ASSERT_TRUE(playUntil([&] { return writtenCount() > 1; }));
    EXPECT_EQ(reporter.lines(), std::vector<std::string>{"PLAY : PlayWrite :101:The sound server closed the stream"});
    EXPECT_EQ(state.get(&FakeState::outputOpens), 4);
    // A later loss is a new failure: reported again, and the device is back
    // at once for the very frame that found it gone.
    {
        std::lock_guard<std::mutex> hold(state.mutex);
        state.failWrites = 1;
    }
    const std::size_t before = writtenCount();
    ASSERT_TRUE(playUntil([&] { return reporter.lines().size() == 2; }));
    ASSERT_TRUE(waitFor([&] { return writtenCount() > before; }));
    EXPECT_EQ(state.get(&FakeState::outputOpens), 5);
    player.quitAndWait();
    EXPECT_EQ(state.get(&FakeState::closes), 3);
    EXPECT_EQ(listener.opens, 3);
    EXPECT_EQ(listener.closes, 3);
}

TEST_F(PlayerTest, ALongFrameIsCutAndAShortOneLeavesTheOldTail) {
    startAndWait();
    std::vector<std::uint8_t> longFrame(20);
    for (std::size_t i = 0; i < longFrame.size(); ++i) longFrame[i] = static_cast<std::uint8_t>(i + 1);
    ASSERT_TRUE(player.queue(longFrame.data(), longFrame.size()));
    ASSERT_TRUE(waitFor([&] { return writtenCount() == 1; }));
    EXPECT_EQ(written(0), std::vector<std::uint8_t>(longFrame.begin(), longFrame.begin() + 8));

    // Go once round the ring so buffer 0 comes up again.
    const std::uint8_t fill[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    for (int i = 1; i < SoundBase::kBufferCount; ++i) ASSERT_TRUE(player.queue(fill, sizeof fill));
    ASSERT_TRUE(waitFor([&] { return writtenCount() == 12; }));
    ASSERT_TRUE(state.finishOutput());  // buffer 0 played
    ASSERT_TRUE(waitFor([&] { return listener.blockCount() == 1; }));
    const std::uint8_t shortFrame[2] = {0xAA, 0xBB};
    ASSERT_TRUE(player.queue(shortFrame, sizeof shortFrame));
    ASSERT_TRUE(waitFor([&] { return writtenCount() == 13; }));
    EXPECT_EQ(written(12), (std::vector<std::uint8_t>{0xAA, 0xBB, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(player.droppedFrames(), 0u);
}

TEST_F(PlayerTest, AFrameThatFindsEveryBufferQueuedIsDroppedAndCounted) {
    startAndWait();
    std::uint8_t frame[8];
    for (int i = 0; i < SoundBase::kBufferCount; ++i) {
        std::memset(frame, i, sizeof frame);
        ASSERT_TRUE(player.queue(frame, sizeof frame));
    }
    ASSERT_TRUE(waitFor([&] { return state.outputQueued() == 12; }));
    std::memset(frame, 0xEE, sizeof frame);
    EXPECT_FALSE(player.queue(frame, sizeof frame));
    EXPECT_FALSE(player.queue(frame, sizeof frame));
    EXPECT_EQ(player.droppedFrames(), 2u);
    {
        // Nothing was written into a buffer the device holds.
        std::lock_guard<std::mutex> hold(state.mutex);
        for (std::size_t i = 0; i < state.outputQueue.size(); ++i)
            EXPECT_EQ(state.outputQueue[i]->data[0], i) << i;
    }
    // One buffer comes back: the next frame goes into it, in order.
    ASSERT_TRUE(state.finishOutput());
    ASSERT_TRUE(waitFor([&] { return listener.blockCount() == 1; }));
    ASSERT_TRUE(player.queue(frame, sizeof frame));
    ASSERT_TRUE(waitFor([&] { return writtenCount() == 13; }));
    EXPECT_EQ(written(12)[0], 0xEE);
    EXPECT_EQ(player.droppedFrames(), 2u);
    // Closing hands every buffer back.
    player.quitAndWait();
    EXPECT_EQ(listener.closes, 1);
    EXPECT_EQ(listener.blockCount(), 13u);
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { engine.setSink(&sink); }
    void TearDown() override { engine.shutdown(); }
    // Starts capture and hands the engine one recorded buffer.
    void capture(const std::function<void(std::uint8_t*, std::uint32_t)>& fill) {
        const std::size_t before = sink.frameCount();
        ASSERT_TRUE(waitFor([&] { return state.fillInput(fill); }));
        ASSERT_TRUE(waitFor([&] { return sink.frameCount() == before + 1; }));
    }
    FakeState state;
    std::unique_ptr<SoundSystem> sound = test::makeFakeSystem(state);
    CollectingReporter reporter;
    RecordingSink sink;
    AudioEngine engine{*sound, &reporter};
};

// Kinds 12-31 select no codec: raw PCM frames of 1000 samples.
constexpr CodecId kRaw8 = makeCodecId(12, 0, false);
constexpr CodecId kRaw16 = makeCodecId(12, 0, true);
constexpr CodecId kMulaw16 = makeCodecId(5, 0, true);

TEST_F(EngineTest, EightBitRawCaptureHandsTheBlockOnAndCanGiveNegativeLevels) {
    engine.setCodec(kRaw8);
    EXPECT_EQ(engine.frameSamples(), 1000u);
    EXPECT_EQ(engine.bitsPerSample(), 8u);
    engine.startCapture();
    capture([](std::uint8_t* d, std::uint32_t n) {
        for (std::uint32_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>(i % 101);
    });
    EXPECT_EQ(engine.captureLevel(), (100 - 128) * 100 / 127);  // -22
    ASSERT_EQ(sink.frames.back().size(), 1000u);
    EXPECT_EQ(sink.frames.back()[57], 57);
    capture([](std::uint8_t* d, std::uint32_t n) { std::memset(d, 255, n); });
    EXPECT_EQ(engine.captureLevel(), 100);
    capture([](std::uint8_t* d, std::uint32_t n) { std::memset(d, 0, n); });
    EXPECT_EQ(engine.captureLevel(), -100);
    engine.resetCaptureLevel();
    EXPECT_EQ(engine.captureLevel(), 0);
}

TEST_F(EngineTest, SixteenBitLevelIsThePositivePeak) {
    engine.setCodec(kRaw16);
    engine.startCapture();
    auto fillWith = [](std::int16_t a, std::int16_t b) {
        return [a, b](std::uint8_t* d, std::uint32_t n) {
            for (std::uint32_t i = 0; i + 1 < n; i += 2) {
                const std::int16_t s = (i / 2) % 2 ? a : b;
                std::memcpy(d + i, &s, 2);
            }
        };
    };
    capture(fillWith(-32768, -1));
    EXPECT_EQ(engine.captureLevel(), 0);
    EXPECT_EQ(sink.frames.back().size(), 2000u);
    capture(fillWith(-32768, 16384));
    EXPECT_EQ(engine.captureLevel(), 50);
    capture(fillWith(32767, 0));
    EXPECT_EQ(engine.captureLevel(), 100);
}

TEST_F(EngineTest, CapturedFramesAreEncodedWithTheChosenCodec) {
    engine.setCodec(kMulaw16);
    EXPECT_EQ(engine.frameSamples(), 800u);
    engine.startCapture();
    std::vector<std::int16_t> pcm(800);
    for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<std::int16_t>((i * 97) % 20000 - 10000);
    capture([&](std::uint8_t* d, std::uint32_t n) {
        ASSERT_EQ(n, 1600u);
        std::memcpy(d, pcm.data(), n);
    });
    CodecChoice reference = chooseCodec(kMulaw16, 1000);
    std::vector<std::uint8_t> expected;
    reference.codec->encode16(pcm.data(), pcm.size(), expected, false);
    EXPECT_EQ(sink.frames.back(), expected);
}

TEST_F(EngineTest, PlayFrameIgnoresIndicesWithoutAPlayer) {
    engine.setCodec(kMulaw16);
    const std::uint8_t frame[800] = {};
    engine.playFrame(0, frame, sizeof frame);  // no player yet
    const int index = engine.addPlayer(-1);
    EXPECT_EQ(index, 0);
    ASSERT_TRUE(waitFor([&] { return state.get(&FakeState::outputOpens) == 1; }));
    for (int bad : {-1, 1, 7, 1 << 30}) {
        engine.playFrame(bad, frame, sizeof frame);
        EXPECT_EQ(engine.playerLevel(bad), -1);
        EXPECT_EQ(engine.playerDrops(bad), 0u);
    }
    engine.playFrame(index, nullptr, 5);
    engine.playFrame(index, frame, -3);
    engine.shutdown();
    EXPECT_TRUE(state.written.empty());
    EXPECT_EQ(engine.playerLevel(index), -1);
    engine.playFrame(index, frame, sizeof frame);  // after shutdown: no player
}

TEST_F(EngineTest, PlayFrameDecodesQueuesAndSetsTheLevel) {
    engine.setCodec(kMulaw16);
    const int index = engine.addPlayer(-1);
    ASSERT_TRUE(waitFor([&] { return state.get(&FakeState::outputOpens) == 1; }));
    EXPECT_EQ(state.outputFormat.sampleRate, 8000u);
    // The player lends its device 10 ms blocks of the 100 ms frame.
    EXPECT_EQ(state.outputFormat.blockSamples, 80u);
    std::vector<std::uint8_t> frame(800, 0xFF);  // mu-law silence
    frame[10] = 0x80;                            // the largest positive code
    engine.playFrame(index, frame.data(), static_cast<int>(frame.size()));
    ASSERT_TRUE(waitFor([&] { return engine.playerLevel(index) == 32256 * 100 / 32767; }));
    // A short frame (here empty) is still decoded to one frame and played.
    engine.playFrame(index, frame.data(), 0);
    auto heard = [&] {
        std::lock_guard<std::mutex> hold(state.mutex);
        std::vector<std::uint8_t> all;
        for (const auto& w : state.written) all.insert(all.end(), w.begin(), w.end());
        return all;
    };
    ASSERT_TRUE(waitFor([&] {
        state.finishOutput();
        return heard().size() >= 3200;
    }));
    CodecChoice reference = chooseCodec(kMulaw16, 1000);
    std::vector<std::int16_t> pcm;
    reference.codec->decode16(frame.data(), frame.size(), pcm, false);
    const std::vector<std::uint8_t> played = heard();
    EXPECT_EQ(std::memcmp(played.data(), pcm.data(), 1600), 0);
    ASSERT_TRUE(waitFor([&] { return engine.playerLevel(index) == 0; }));
    EXPECT_EQ(engine.playerStats(index).played, 2u);
    // The finished buffers reach the sink as onBlockPlayed(index).
    ASSERT_TRUE(waitFor([&] { return sink.played[0] >= 1; }));
}

// A call's player pulls its sound: a stream the server drops is reported
// once, and the next frames that arrive open the device again.
TEST_F(EngineTest, APulledPlayerWhoseStreamIsLostReportsOnceAndReopens) {
    engine.setCodec(kMulaw16);
    const int index = engine.addPlayer(-1);
    ASSERT_TRUE(waitFor([&] { return state.get(&FakeState::outputOpens) == 1; }));
    {
        std::lock_guard<std::mutex> hold(state.mutex);
        state.failWrites = 1;
    }
    const std::vector<std::uint8_t> frame(800, 0xFF);
    auto playUntil = [&](const std::function<bool()>& done) {
        return waitFor([&] {
            engine.playFrame(index, frame.data(), static_cast<int>(frame.size()));
            while (state.finishOutput()) {
            }
            return done();
        });
    };
    ASSERT_TRUE(playUntil([&] { return state.get(&FakeState::outputOpens) == 2; }));
    auto writes = [&] {
        std::lock_guard<std::mutex> hold(state.mutex);
        return state.written.size();
    };
    const std::size_t before = writes();
    ASSERT_TRUE(playUntil([&] { return writes() > before; }));
    EXPECT_EQ(reporter.lines(), std::vector<std::string>{"PLAY : PlayWrite :101:The sound server closed the stream"});
}

TEST_F(EngineTest, EightBitPlaybackLevelCanBeNegative) {
    engine.setCodec(kRaw8);
    const int index = engine.addPlayer(-1);
    std::vector<std::uint8_t> frame(1000, 64);
    engine.playFrame(index, frame.data(), static_cast<int>(frame.size()));
    ASSERT_TRUE(waitFor([&] { return engine.playerLevel(index) == (64 - 128) * 100 / 127; }));
}

TEST_F(EngineTest, ShutdownEndsEverythingAndKeepsTheCodecId) {
    engine.setCodec(kMulaw16);
    engine.addPlayer(-1);
    engine.addPlayer(-1);
    engine.startCapture();
    ASSERT_TRUE(waitFor([&] {
        return state.get(&FakeState::outputOpens) == 2 && state.get(&FakeState::inputOpens) == 1;
    }));
    engine.shutdown();
    EXPECT_EQ(state.get(&FakeState::closes), 3);
    EXPECT_EQ(engine.playerLevel(1), -1);
    EXPECT_EQ(engine.codecId(), kMulaw16);
    engine.startCapture();  // the recorder thread has ended: nothing opens
    engine.shutdown();
    EXPECT_EQ(state.get(&FakeState::inputOpens), 1);
    // The same id again changes nothing, even though the adapter is gone.
    engine.setCodec(kMulaw16);
    EXPECT_EQ(engine.frameSamples(), 800u);
}

// A new codec between two calls, with the second call started before the
// recorder has even handled the first stop: the buffers are rebuilt only once
// the old device has handed them all back, and the new device gets the new
// frame length.
TEST_F(EngineTest, ACodecChangeBetweenCallsRebuildsTheBuffersSafely) {
    engine.setCodec(kMulaw16);
    engine.startCapture();
    capture([](std::uint8_t* d, std::uint32_t n) { std::memset(d, 1, n); });
    EXPECT_EQ(sink.frames.back().size(), 800u);
    engine.stopCapture();
    engine.setCodec(makeCodecId(2, 0, true));  // GSM: 160 samples, 33 bytes
    engine.startCapture();
    ASSERT_TRUE(waitFor([&] { return state.get(&FakeState::inputOpens) == 2; }));
    {
        std::lock_guard<std::mutex> hold(state.mutex);
        EXPECT_EQ(state.inputFormat.blockSamples, 160u);
        ASSERT_EQ(state.inputQueue.size(), 12u);
        for (SoundBuffer* b : state.inputQueue) EXPECT_EQ(b->capacity, 320u);
    }
    capture([](std::uint8_t* d, std::uint32_t n) { std::memset(d, 2, n); });
    EXPECT_EQ(sink.frames.back().size(), 33u);
    EXPECT_EQ(state.get(&FakeState::closes), 1);
}

// The codec changes again and again while a call records, encodes, decodes
// and plays: each frame is coded by an adapter that stays alive until the
// thread using it is done, and once the changes stop the recorder delivers
// frames of the last codec.
TEST_F(EngineTest, TheCodecCanChangeWhileACallEncodesAndDecodes) {
    const CodecId ids[] = {kMulaw16, makeCodecId(8, 0, true), makeCodecId(6, 0, true), kRaw8,
                           makeCodecId(3, 0, true), makeCodecId(2, 0, true)};  // GSM last
    engine.setCodec(ids[0]);
    const int index = engine.addPlayer(-1);
    engine.startCapture();
    ASSERT_TRUE(waitFor([&] { return state.get(&FakeState::inputOpens) == 1; }));

    std::atomic<bool> changing{true};
    std::thread soundCard([&] {  // records noise and plays whatever is queued
        std::mt19937 random(3);
        while (changing.load()) {
            state.fillInput([&](std::uint8_t* d, std::uint32_t n) {
                for (std::uint32_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>(random());
            });
            while (state.finishOutput()) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::thread owner([&] {
        for (int round = 0; round < 10; ++round)
            for (CodecId id : ids) {
                engine.setCodec(id);
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            }
        changing.store(false);
    });
    // This thread is the link's: it decodes and plays received frames.
    std::mt19937 random(5);
    std::vector<std::uint8_t> bytes(1200);
    while (changing.load()) {
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
        engine.playFrame(index, bytes.data(), static_cast<int>(random() % bytes.size()));
    }
    owner.join();
    soundCard.join();

    EXPECT_GT(sink.frameCount(), 0u);
    // Blocks recorded in an older format are dropped; then GSM frames come.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(waitFor([&] {
            state.fillInput([](std::uint8_t* d, std::uint32_t n) { std::memset(d, 7, n); });
            std::lock_guard<std::mutex> hold(sink.mutex);
            return !sink.frames.empty() && sink.frames.back().size() == 33u;
        }));
        std::lock_guard<std::mutex> hold(sink.mutex);
        sink.frames.clear();
    }
    EXPECT_TRUE(reporter.lines().empty());
}

// Whatever a datagram carries, every codec plays exactly one whole frame per
// received frame, and the level stays within its range.
TEST_F(EngineTest, AnyBytesFromTheNetworkPlayAsOneWholeFrame) {
    const CodecId ids[] = {
        kRaw8, kRaw16, kMulaw16, makeCodecId(5, 0, false), makeCodecId(1, 0, false),  // delta, 8-bit
        makeCodecId(2, 0, true), makeCodecId(3, 0, true), makeCodecId(4, 0, true),  // GSM, iLBC 20/30
        makeCodecId(6, 0, true), makeCodecId(8, 0, true), makeCodecId(8, 1, true), makeCodecId(9, 2, true),
        makeCodecId(7, 3, false),
    };
    std::mt19937 random(7);
    for (CodecId id : ids) {
        SCOPED_TRACE(static_cast<int>(id));
        FakeState fake;
        auto fakeSound = test::makeFakeSystem(fake);
        AudioEngine e(*fakeSound, &reporter);
        e.setCodec(id);
        const int index = e.addPlayer(-1);
        ASSERT_TRUE(waitFor([&] { return fake.get(&FakeState::outputOpens) == 1; }));
        const std::size_t frameBytes = e.frameSamples() * (e.bitsPerSample() / 8);
        std::vector<std::uint8_t> bytes(3000);
        for (int n = 0; n < 40; ++n) {
            for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
            if (n % 5 == 0) bytes[0] = static_cast<std::uint8_t>(0xD0 | (bytes[0] & 0x0F));  // passes GSM's check
            const int length = n < 3 ? n : static_cast<int>(random() % bytes.size());
            e.playFrame(index, bytes.data(), length);
            ASSERT_TRUE(waitFor([&] {
                fake.finishOutput();
                return e.playerStats(index).played == static_cast<std::uint64_t>(n + 1);
            }));
            const int level = e.playerLevel(index);
            EXPECT_GE(level, -100);
            EXPECT_LE(level, 100);
        }
        e.shutdown();
        EXPECT_EQ(e.playerDrops(index), 0u);
        // Frames were cut into whole blocks (frames made up in between
        // included; the last one may not have been lent whole).
        const std::size_t blockBytes = fake.outputFormat.blockSamples * (e.bitsPerSample() / 8);
        std::lock_guard<std::mutex> hold(fake.mutex);
        std::size_t total = 0;
        for (const auto& w : fake.written) {
            EXPECT_EQ(w.size(), blockBytes);
            total += w.size();
        }
        EXPECT_GE(total, 39 * frameBytes);
    }
    EXPECT_TRUE(reporter.lines().empty());
}

}  // namespace
}  // namespace ambrel
