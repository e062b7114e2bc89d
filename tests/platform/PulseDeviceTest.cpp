// The PulseAudio devices against the private test daemon (PULSE_SERVER):
// recording a null sink's monitor that paplay feeds, playing into a null sink
// whose monitor parecord captures. Each test makes its own null sinks, so
// tests running side by side do not hear each other; listing and a dying
// server use a daemon of the test's own, whose devices are known exactly.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "SoundTestSupport.h"
#include "platform/PulseBackend.h"

extern char** environ;

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using test::Buffers;
using test::Collector;
using test::Posted;
using test::ScratchDir;
using test::format;

std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        ::pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// A module loaded into the daemon for one test, unloaded at the end.
class Module {
public:
    explicit Module(const std::string& args) { index_ = run("pactl load-module " + args + " 2>/dev/null"); }
    ~Module() {
        if (!index_.empty()) run("pactl unload-module " + index_ + " 2>/dev/null");
    }
    bool loaded() const { return !index_.empty() && std::isdigit(static_cast<unsigned char>(index_[0])); }

private:
    std::string index_;
};

// A child process started without a shell, stopped with SIGINT.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    }
    ~Child() { stop(); }
    bool started() const { return pid_ > 0; }
    int wait() {
        int status = -1;
        if (pid_ > 0) ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    void stop() {
        if (pid_ > 0) ::kill(pid_, SIGINT);
        wait();
    }

private:
    pid_t pid_ = -1;
};

std::string uniqueName(const std::string& what) {
    static std::atomic<int> n{0};
    return "ambrel_t" + std::to_string(::getpid()) + "_" + std::to_string(n++) + "_" + what;
}

std::vector<double> toDouble(const std::vector<std::int16_t>& s) {
    std::vector<double> x;
    for (auto v : s) x.push_back(v / 32768.0);
    return x;
}

// How many 20 ms windows of x (8 kHz) carry the 1 kHz test tone at half
// scale. Counted window by window, so a dropout on a loaded machine costs a
// window or two instead of spoiling the whole measurement.
std::size_t toneWindows(const std::vector<double>& x) {
    std::size_t n = 0;
    for (std::size_t at = 0; at + 160 <= x.size(); at += 160) {
        std::vector<double> w(x.begin() + static_cast<std::ptrdiff_t>(at),
                              x.begin() + static_cast<std::ptrdiff_t>(at + 160));
        double a = test::toneAmplitude(w, 1000, 8000);
        n += a > 0.4 && a < 0.6;
    }
    return n;
}

class PulseDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("PULSE_SERVER"))
            GTEST_SKIP() << "PULSE_SERVER is not set: run under tests/support/with-pulse.sh for a private daemon";
    }
    std::unique_ptr<SoundBackend> backend = makePulseBackend();
    ScratchDir dir;
};

TEST(PulseNoServerTest, OpenAndListFailCleanlyWithTheServersReason) {
    ScratchDir dir;
    PulseOptions options;
    options.server = "unix:" + dir.file("no-such-socket");
    auto backend = makePulseBackend(options);
    Collector c;
    SoundError err;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(backend->openInput(-1, format(8000, 16, 160), c.thread, err));
    EXPECT_EQ(err.code, SoundErrorCode::NoServer);
    EXPECT_EQ(err.text, "Connection refused");
    EXPECT_FALSE(backend->openOutput(SoundDeviceRef::named("b_spk"), format(8000, 16, 160), c.thread, err));
    EXPECT_EQ(err.code, SoundErrorCode::NoServer);
    EXPECT_TRUE(backend->listInputs(err).empty());
    EXPECT_EQ(err.code, SoundErrorCode::NoServer);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    EXPECT_EQ(c.count(), 0u);
}

// A sound server of the test's own: its devices are exactly the ones the
// test loads, and it can be killed under the streams without disturbing the
// other tests.
class OwnDaemon {
public:
    OwnDaemon(const ScratchDir& dir, const std::vector<std::string>& modules) : socket_(dir.file("native")) {
        for (const char* d : {"run", "state", "home"}) std::filesystem::create_directory(dir.file(d));
        std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + dir.file("run"), "PULSE_RUNTIME_PATH=" + dir.file("run"),
                                        "PULSE_STATE_PATH=" + dir.file("state"), "HOME=" + dir.file("home")};
        if (const char* path = std::getenv("PATH")) env.push_back(std::string("PATH=") + path);
        std::vector<std::string> args = {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                         "--use-pid-file=false", "--enable-memfd=no", "--log-target=stderr",
                                         "--log-level=0",
                                         "--load=module-native-protocol-unix socket=" + socket_ + " auth-anonymous=1"};
        for (const auto& m : modules) args.push_back("--load=" + m);
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (::posix_spawnp(&pid_, "pulseaudio", nullptr, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        for (int i = 0; i < 100 && pid_ > 0 && !std::filesystem::exists(socket_); ++i)
            std::this_thread::sleep_for(50ms);
    }
    ~OwnDaemon() { kill(); }
    bool ready() const { return pid_ > 0 && std::filesystem::exists(socket_); }
    std::string server() const { return "unix:" + socket_; }
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    std::string socket_;
    pid_t pid_ = -1;
};

TEST_F(PulseDeviceTest, ListsSourcesWithoutMonitorsAndResolvesNumbersAndNames) {
    const std::string sink = "own_spk", source = "own_src";
    OwnDaemon daemon(dir, {"module-null-sink sink_name=own_first", "module-null-source source_name=" + source,
                           "module-null-sink sink_name=" + sink});
    ASSERT_TRUE(daemon.ready()) << "cannot start a second pulseaudio daemon";
    PulseOptions options;
    options.server = daemon.server();
    auto own = makePulseBackend(options);

    SoundError err;
    auto inputs = own->listInputs(err);
    ASSERT_TRUE(err.ok()) << err.text;
    auto outputs = own->listOutputs(err);
    ASSERT_TRUE(err.ok()) << err.text;
    // The two sinks' monitors are sources too, but not recording devices.
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_EQ(inputs[0].name, source);
    EXPECT_EQ(inputs[0].number, 1);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0].name, "own_first");
    EXPECT_EQ(outputs[1].name, sink);
    EXPECT_EQ(outputs[1].number, 2);
    EXPECT_EQ(outputs[0].isDefault + outputs[1].isDefault, 1);

    Collector c;
    auto in = own->openInput(1, format(8000, 16, 160), c.thread, err);
    ASSERT_TRUE(in) << err.text;
    EXPECT_EQ(in->deviceName(), source);
    in->close();
    auto out = own->openOutput(2, format(8000, 16, 160), c.thread, err);
    ASSERT_TRUE(out) << err.text;
    EXPECT_EQ(out->deviceName(), sink);
    out->close();
    auto mon = own->openInput(SoundDeviceRef::named(sink + ".monitor"), format(16000, 8, 320), c.thread, err);
    ASSERT_TRUE(mon) << err.text;
    EXPECT_EQ(mon->deviceName(), sink + ".monitor");
    mon->close();
    auto def = own->openOutput(-1, format(8000, 16, 160), c.thread, err);
    ASSERT_TRUE(def) << err.text;
    def->close();

    EXPECT_FALSE(own->openInput(SoundDeviceRef::named("no_such_source"), format(8000, 16, 160), c.thread, err));
    EXPECT_EQ(err.code, SoundErrorCode::BadDevice);
    EXPECT_NE(err.text.find("no_such_source"), std::string::npos) << err.text;
    EXPECT_FALSE(own->openOutput(3, format(8000, 16, 160), c.thread, err));
    EXPECT_EQ(err.code, SoundErrorCode::BadDevice);
    EXPECT_FALSE(own->openInput(2, format(8000, 16, 160), c.thread, err)) << "monitors are not numbered";
    EXPECT_EQ(err.code, SoundErrorCode::BadDevice);
    EXPECT_FALSE(own->openOutput(SoundDeviceRef::named(sink), format(8000, 24, 160), c.thread, err));
    EXPECT_EQ(err.code, SoundErrorCode::BadFormat);

    SoundSystem sound;
    sound.addBackend(makePulseBackend(options));
    const std::string text = formatDeviceList(sound);
    EXPECT_NE(text.find("  1: " + source), std::string::npos) << text;
    EXPECT_NE(text.find("  2: " + sink), std::string::npos) << text;
    // Monitors are listed, marked, and never numbered.
    EXPECT_NE(text.find("  " + sink + ".monitor - Monitor of "), std::string::npos) << text;
    EXPECT_EQ(text.find(": " + sink + ".monitor"), std::string::npos) << text;
}

TEST_F(PulseDeviceTest, RecordsWhatIsPlayedIntoASinkThroughItsMonitor) {
    const std::string mic = uniqueName("mic");
    Module sinkModule("module-null-sink sink_name=" + mic);
    ASSERT_TRUE(sinkModule.loaded());
    const auto wav = dir.file("tone.wav");
    std::vector<float> tone(8000);
    for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = 0.5f * std::sin(2 * M_PI * 1000 * i / 8000.0);
    ASSERT_TRUE(test::writeWav(wav, 8000, 1, tone));

    Collector c;
    std::atomic<SoundInput*> live{nullptr};
    c.onMessage = [&live](const Posted& p) {
        SoundInput* d = live.load();
        if (p.bytes > 0 && d) d->addBuffer(p.buffer);
    };
    SoundError err;
    auto in = backend->openInput(SoundDeviceRef::named(mic + ".monitor"), format(8000, 16, 160), c.thread, err);
    ASSERT_TRUE(in) << err.text;
    Buffers bufs(12, 320);
    for (std::size_t i = 0; i < 12; ++i) ASSERT_TRUE(in->addBuffer(bufs[i]).ok());
    live = in.get();
    ASSERT_TRUE(in->start().ok());
    {
        Child paplay({"paplay", "-d", mic, "--latency-msec=20", wav});
        ASSERT_TRUE(paplay.started());
        EXPECT_EQ(paplay.wait(), 0);
    }
    std::this_thread::sleep_for(300ms);
    live = nullptr;
    ASSERT_TRUE(in->stop().ok());
    ASSERT_TRUE(in->reset().ok());
    std::this_thread::sleep_for(100ms);
    const std::size_t total = c.count();
    ASSERT_TRUE(in->close().ok());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(c.count(), total) << "nothing after close";
    c.stop();

    std::vector<std::uint8_t> bytes;
    std::size_t filled = 0, empty = 0;
    bool emptySeen = false;
    for (const auto& p : c.posted()) {
        EXPECT_EQ(p.message.id, kMsgInputData);
        if (p.bytes == 0) {
            emptySeen = true;
            ++empty;
            continue;
        }
        EXPECT_FALSE(emptySeen) << "filled buffers after the reset";
        EXPECT_EQ(p.bytes, 320u);
        EXPECT_EQ(p.buffer->user, filled % 12) << "buffers are filled in queue order";
        bytes.insert(bytes.end(), p.data.begin(), p.data.end());
        ++filled;
    }
    EXPECT_GE(empty, 1u);
    for (std::size_t i = 0; i < 12; ++i) EXPECT_FALSE(bufs[i]->inDevice.load());
    EXPECT_GE(filled, 40u) << "one second of tone at least mostly recorded";
    // One second of tone is 50 windows; the server resamples, so a few
    // around the edges and any dropout do not count.
    EXPECT_GE(toneWindows(toDouble(test::asSamples16(bytes))), 30u);
}

TEST_F(PulseDeviceTest, PlaysIntoASinkAndHandsBuffersBackAsTheyArePlayed) {
    const std::string spk = uniqueName("spk");
    Module sinkModule("module-null-sink sink_name=" + spk);
    ASSERT_TRUE(sinkModule.loaded());
    const auto raw = dir.file("captured.raw");
    Child parecord({"parecord", "-d", spk + ".monitor", "--latency-msec=20", "--raw", "--format=s16le",
                    "--rate=8000", "--channels=1", raw});
    ASSERT_TRUE(parecord.started());
    std::this_thread::sleep_for(300ms);  // let the capture begin

    constexpr int kFrames = 50;  // one second
    Buffers bufs(12, 320);
    int nextFrame = 0;  // message thread only
    auto fill = [&](SoundBuffer* b) {
        auto* s = reinterpret_cast<std::int16_t*>(b->data);
        for (int i = 0; i < 160; ++i)
            s[i] = static_cast<std::int16_t>(16384 * std::sin(2 * M_PI * 1000 * (nextFrame * 160 + i) / 8000.0));
        ++nextFrame;
    };
    Collector c;
    std::atomic<SoundOutput*> live{nullptr};
    constexpr std::uint32_t kKick = 1;  // posted by the test: write the first twelve
    c.onMessage = [&](const Posted& p) {
        SoundOutput* d = live.load();
        if (!d) return;
        if (p.message.id == kKick) {
            for (std::size_t i = 0; i < 12; ++i) {
                fill(bufs[i]);
                EXPECT_TRUE(d->write(bufs[i]).ok());
            }
        } else if (nextFrame < kFrames) {
            fill(p.buffer);
            d->write(p.buffer);
        }
    };
    SoundError err;
    auto out = backend->openOutput(SoundDeviceRef::named(spk), format(8000, 16, 160), c.thread, err);
    ASSERT_TRUE(out) << err.text;
    ASSERT_TRUE(out->setVolume(0xFFFF, 0xFFFF).ok());
    std::uint16_t l = 0, r = 0;
    ASSERT_TRUE(out->volume(l, r).ok());
    EXPECT_EQ(l, 0xFFFF);
    EXPECT_EQ(r, 0xFFFF);

    const auto t0 = std::chrono::steady_clock::now();
    live = out.get();
    c.thread.post(kKick);
    ASSERT_TRUE(c.waitFor(kFrames + 1, 15s));
    auto posted = c.posted();
    posted.erase(posted.begin());  // the kick
    const double ms = std::chrono::duration<double, std::milli>(posted[kFrames - 1].when - t0).count();
    // Handed back at the pace of playing, not at the pace of writing: the
    // last frame cannot be done before about 50 - 12 frame times have passed.
    EXPECT_GE(ms, (kFrames - 12) * 20 * 0.8);
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_EQ(posted[i].message.id, kMsgOutputDone);
        EXPECT_EQ(posted[i].buffer->user, static_cast<std::uintptr_t>(i % 12));
    }
    std::this_thread::sleep_for(300ms);
    live = nullptr;
    ASSERT_TRUE(out->setVolume(0x8000, 0).ok());
    ASSERT_TRUE(out->volume(l, r).ok());
    EXPECT_NEAR(l, 0x8000, 0x100);
    ASSERT_TRUE(out->close().ok());
    parecord.stop();
    c.stop();

    std::ifstream f(raw, std::ios::binary);
    std::vector<char> data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> s(data.size() / 2);
    std::memcpy(s.data(), data.data(), s.size() * 2);
    EXPECT_GE(toneWindows(toDouble(s)), 30u) << "most of the second of tone reached the sink";
}

TEST_F(PulseDeviceTest, WhenTheServerDiesEveryBufferComesBackAndTheNextOpenFailsCleanly) {
    OwnDaemon daemon(dir, {"module-null-sink sink_name=own_spk"});
    ASSERT_TRUE(daemon.ready()) << "cannot start a second pulseaudio daemon";
    PulseOptions options;
    options.server = daemon.server();
    auto own = makePulseBackend(options);

    Collector c;
    SoundError err;
    auto out = own->openOutput(SoundDeviceRef::named("own_spk"), format(8000, 16, 160), c.thread, err);
    ASSERT_TRUE(out) << err.text;
    auto in = own->openInput(SoundDeviceRef::named("own_spk.monitor"), format(8000, 16, 160), c.thread, err);
    ASSERT_TRUE(in) << err.text;
    Buffers played(12, 320), recorded(12, 320);
    for (std::size_t i = 0; i < 12; ++i) {
        ASSERT_TRUE(out->write(played[i]).ok());
        ASSERT_TRUE(in->addBuffer(recorded[i]).ok());
    }
    daemon.kill();
    ASSERT_TRUE(c.waitFor(24, 10s)) << "every lent buffer comes back; got " << c.count();
    std::size_t outputs = 0;
    for (const auto& p : c.posted()) {
        if (p.message.id == kMsgOutputDone) {
            ++outputs;
        } else {
            EXPECT_EQ(p.bytes, 0u) << "the recording never started";
        }
    }
    EXPECT_EQ(outputs, 12u);
    for (std::size_t i = 0; i < 12; ++i) {
        EXPECT_FALSE(played[i]->inDevice.load());
        EXPECT_FALSE(recorded[i]->inDevice.load());
    }
    EXPECT_EQ(out->write(played[0]).code, SoundErrorCode::StreamFailed);
    EXPECT_EQ(in->addBuffer(recorded[0]).code, SoundErrorCode::StreamFailed);
    EXPECT_EQ(in->start().code, SoundErrorCode::StreamFailed);
    EXPECT_TRUE(out->close().ok());
    EXPECT_TRUE(in->close().ok());
    EXPECT_EQ(c.count(), 24u);

    EXPECT_FALSE(own->openOutput(-1, format(8000, 16, 160), c.thread, err));
    EXPECT_EQ(err.code, SoundErrorCode::NoServer);
    EXPECT_FALSE(err.text.empty());
}

}  // namespace
}  // namespace ambrel
