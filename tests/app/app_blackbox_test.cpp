// The program as a user runs it: headless copies holding calls over loopback
// with WAV files as sound card, the idle time-out with unattended reconnect,
// one-to-many sending, and the command line's exit codes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/app_udp_peer.h"

namespace ambrel {
namespace {

namespace fs = std::filesystem;
using test::UdpPeer;

// A scratch directory, removed at the end.
struct Scratch {
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "ambrel-blackbox-XXXXXX").string();
        dir = ::mkdtemp(pattern.data());
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    fs::path operator/(const std::string& name) const { return dir / name; }
    fs::path dir;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// One ambrel process with its output in files. Killed if still running at
// the end of the test.
class Program {
public:
    Program(const Scratch& scratch, const std::string& name, std::vector<std::string> args,
            std::vector<std::string> extraEnv = {})
        : out_(scratch / (name + ".out")), err_(scratch / (name + ".err")) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            std::string v = *e;
            // No display: the program must choose headless mode itself.
            if (v.rfind("DISPLAY=", 0) == 0 || v.rfind("WAYLAND_DISPLAY=", 0) == 0 ||
                v.rfind("QT_QPA_PLATFORM=", 0) == 0)
                continue;
            bool replaced = false;
            for (auto& e : extraEnv)
                if (v.rfind(e.substr(0, e.find('=') + 1), 0) == 0) replaced = true;
            if (replaced) continue;
            env.push_back(v);
        }
        for (auto& e : extraEnv) env.push_back(e);
        args.insert(args.begin(), AMBREL_PROGRAM);
        pid_ = ::fork();
        if (pid_ == 0) {
            int o = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int r = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(o, 1);
            ::dup2(r, 2);
            ::chdir(scratch.dir.c_str());
            std::vector<char*> argv, envp;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            for (auto& e : env) envp.push_back(e.data());
            envp.push_back(nullptr);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
    }
    ~Program() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    std::string out() const { return readFile(out_); }
    std::string err() const { return readFile(err_); }

    // Waits until standard output holds `lines` in this order (each a whole line).
    bool waitForLines(const std::vector<std::string>& lines, int ms = 15000) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (hasLines(lines)) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    bool hasLines(const std::vector<std::string>& lines) const {
        std::istringstream in(out());
        std::string line;
        size_t next = 0;
        while (next < lines.size() && std::getline(in, line))
            if (line == lines[next]) ++next;
        return next == lines.size();
    }

    void signal(int sig) const { ::kill(pid_, sig); }
    // The exit code, or -1 (killed by a signal or still running after ms).
    int wait(int ms = 15000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    fs::path out_, err_;
    pid_t pid_ = -1;
    bool exited_ = false;
};

void writeTone(const fs::path& path, double hz, double seconds, int rate = 16000) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    std::vector<short> samples(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<short>(12000 * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate));
    sf_write_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
}

// Power of one frequency in a WAV file (Goertzel over the whole file).
double tonePower(const fs::path& path, double hz) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return -1;
    std::vector<double> samples(static_cast<size_t>(info.frames));
    sf_read_double(f, samples.data(), info.frames);
    sf_close(f);
    double coeff = 2 * std::cos(2 * M_PI * hz / info.samplerate), s1 = 0, s2 = 0;
    for (double x : samples) {
        double s0 = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return (s1 * s1 + s2 * s2 - coeff * s1 * s2) / std::max<double>(1, samples.size());
}

std::string port(int p) { return std::to_string(p); }

TEST(Blackbox, TwoHeadlessCopiesHoldACallAndWriteEachOthersSound) {
    Scratch dir;
    writeTone(dir / "a.wav", 440, 6);
    writeTone(dir / "b.wav", 660, 6);
    int p = test::freeUdpPort();
    Program listener(dir, "l", {"--headless", "-l:" + port(p) + ":yes", "--record-file", "a.wav", "--play-file",
                                "b_heard.wav"});
    ASSERT_TRUE(listener.waitForLines({"Listening..."})) << listener.out() << listener.err();
    Program caller(dir, "c", {"--headless", "-c:127.0.0.1:" + port(p) + ":yes", "--record-file", "b.wav",
                              "--play-file", "a_heard.wav", "--stats", "1"});
    ASSERT_TRUE(caller.waitForLines({"Connected."})) << caller.out() << caller.err();
    ASSERT_TRUE(listener.waitForLines({"Listening...", "Connected."})) << listener.out();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    caller.signal(SIGINT);
    listener.signal(SIGTERM);
    EXPECT_EQ(caller.wait(), 0) << caller.err();
    EXPECT_EQ(listener.wait(), 0) << listener.err();

    // --stats: a line of playback counters every second; by the last one the
    // caller has played the listener's frames.
    const std::string out = caller.out();
    const std::size_t last = out.rfind("stats: played ");
    ASSERT_NE(last, std::string::npos) << out;
    EXPECT_GT(std::atoi(out.c_str() + last + 14), 50) << out;
    EXPECT_NE(out.find(" concealed ", last), std::string::npos);
    EXPECT_NE(out.find(" ms target ", last), std::string::npos);
    EXPECT_EQ(listener.out().find("stats:"), std::string::npos) << "only with --stats";

    // Each side wrote what the other recorded: its tone dominates.
    double heard660 = tonePower(dir / "b_heard.wav", 660), heard440 = tonePower(dir / "b_heard.wav", 440);
    EXPECT_GT(heard660, 20 * heard440) << heard660 << " vs " << heard440;
    double other440 = tonePower(dir / "a_heard.wav", 440), other660 = tonePower(dir / "a_heard.wav", 660);
    EXPECT_GT(other440, 20 * other660) << other440 << " vs " << other660;
}

TEST(Blackbox, IdleTimeOutEndsASilentCallAndTheUnattendedCopyConnectsAgain) {
    Scratch dir;
    writeTone(dir / "a.wav", 440, 30);
    UdpPeer silent;  // receives, never answers
    Program caller(dir, "c", {"--headless", "-c:127.0.0.1:" + port(silent.port()) + ":yes", "-t:2",
                              "--record-file", "a.wav", "--play-file", "out.wav"});
    ASSERT_TRUE(caller.waitForLines({"Connected.", "Disconnected.", "Connected."}, 20000))
        << caller.out() << caller.err();
    EXPECT_FALSE(silent.receive(2000).empty());
    caller.signal(SIGTERM);
    EXPECT_EQ(caller.wait(), 0);
}

TEST(Blackbox, UnattendedListenerListensAgainAfterASilentCall) {
    Scratch dir;
    writeTone(dir / "a.wav", 440, 30);
    int p = test::freeUdpPort();
    Program listener(dir, "l", {"--headless", "-l:" + port(p) + ":yes", "-t:2", "--record-file", "a.wav",
                                "--play-file", "out.wav"});
    ASSERT_TRUE(listener.waitForLines({"Listening..."})) << listener.out() << listener.err();
    UdpPeer peer;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(p));
    peer.sendTo(to, {1});  // "no sound": connects the call, then silence
    ASSERT_TRUE(listener.waitForLines({"Listening...", "Connected.", "Disconnected.", "Listening..."}, 20000))
        << listener.out();
    // While connected the listener talked back to the peer.
    EXPECT_FALSE(peer.receive(1000).empty());
    listener.signal(SIGINT);
    EXPECT_EQ(listener.wait(), 0);
}

// One-to-many plays nothing, so it needs no playing device: a box without
// a sound server pages from a file.
TEST(Blackbox, OneToManySendsTheSameDatagramsToEveryDestination) {
    Scratch dir;
    writeTone(dir / "a.wav", 440, 30);
    for (const char* keywordSeparator : {",", ":"}) {
        UdpPeer first, second;
        Program sender(dir, "s", {"--headless",
                                  "-c:127.0.0.1:" + port(first.port()) + ",127.0.0.1:" + port(second.port()) +
                                      keywordSeparator + "yes",
                                  "--record-file", "a.wav"},
                       {"PULSE_SERVER=unix:" + (dir / "no-server").string()});
        ASSERT_TRUE(sender.waitForLines({"One-to-many mode.", "Connected."})) << sender.out() << sender.err();
        std::vector<std::vector<uint8_t>> a, b;
        for (int i = 0; i < 8; ++i) {
            a.push_back(first.receive(5000));
            b.push_back(second.receive(5000));
        }
        EXPECT_EQ(a, b);
        ASSERT_GT(a[0].size(), 1u) << sender.err();
        EXPECT_EQ(a[0][0], 0);
        sender.signal(SIGTERM);
        EXPECT_EQ(sender.wait(), 0);
    }
}

TEST(Blackbox, MalformedCommandLinesExitWithCodeTwo) {
    Scratch dir;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"-x:1", "unknown option '-x:1'"},
        {"-l:99999:yes", "bad port '99999'"},
        {"-l:5007:maybe", "expected yes or no, got 'maybe'"},
        {"-a:opus", "unknown codec 'opus'"},
        {"-d:both", "expected send or receive, got 'both'"},
        {"-c:no.such.host.invalid:1,127.0.0.1:2,yes", "cannot resolve host 'no.such.host.invalid'"},
        {"-t:soon", "bad time-out 'soon'"},
        {"-i:-2", "device number out of range"},
        {"--frobnicate", "unknown option '--frobnicate'"},
        {"-l:5007:no", "without a window, give -l:port:yes or -c:host:port:yes"},
        {"--record-file=missing.wav", "cannot read the recording file 'missing.wav'"},
    };
    for (const auto& [arg, message] : cases) {
        Program p(dir, "bad", {arg});
        EXPECT_EQ(p.wait(), 2) << arg;
        std::string err = p.err();
        EXPECT_NE(err.find(message), std::string::npos) << arg << ": " << err;
        EXPECT_NE(err.find("Usage: ambrel"), std::string::npos) << err;
        EXPECT_EQ(err.find("Usage:"), err.find('\n') + 1) << "one line, then the usage: " << err;
    }
}

// What a headless copy cannot get past ends it at once with one clear line
// and exit code 1, instead of "Listening..." for ever.
TEST(Blackbox, UnusableDevicesPortsAndHostsEndAHeadlessCopyWithCodeOne) {
    Scratch dir;
    writeTone(dir / "a.wav", 440, 2);
    std::ofstream(dir / "text.wav") << "not sound\n";
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    UdpPeer holder;
    const int busy = holder.port();
    const std::string listen = "-l:" + port(test::freeUdpPort()) + ":yes";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{listen, "--record-file", "text.wav", "--play-file", "o.wav"},
         "ambrel: the recording file 'text.wav' is not a WAV file ("},
        {{listen, "--record-file", "fifo", "--play-file", "o.wav"}, "ambrel: the recording file 'fifo' is not a regular file"},
        {{listen, "--record-file", "a.wav", "--play-file", "no/such/dir/o.wav"},
         "ambrel: cannot write the playing file 'no/such/dir/o.wav' (No such file or directory)"},
        {{listen, "-i:alsa:no_such_pcm", "--play-file", "o.wav"}, "ambrel: stopping: the sound device cannot be used"},
        {{"-l:" + port(busy) + ":yes", "--record-file", "a.wav", "--play-file", "o.wav"},
         "ambrel: cannot listen on UDP port " + port(busy) + " (Address already in use)"},
        {{"-c:no.such.host.invalid:5007:yes", "--record-file", "a.wav", "--play-file", "o.wav"},
         "ambrel: cannot find the host 'no.such.host.invalid'"},
        // A name that is found, but the call would reach this copy itself.
        {{"-l:" + port(busy) + ":yes", "-c:localhost:" + port(busy) + ":yes", "--record-file", "a.wav",
          "--play-file", "o.wav"},
         "ambrel: cannot connect to localhost:" + port(busy)},
    };
    for (const auto& [args, message] : cases) {
        std::vector<std::string> all = {"--headless"};
        all.insert(all.end(), args.begin(), args.end());
        Program p(dir, "unusable", all);
        EXPECT_EQ(p.wait(10000), 1) << message;
        EXPECT_NE(p.err().find(message), std::string::npos) << p.err();
    }
}

// --play-file never destroys what it must not: the recording, a file that is
// not sound; an old recording is replaced only once the new one is complete.
TEST(Blackbox, ThePlayingFileReplacesOnlyWhatItMayAndOnlyWhenComplete) {
    Scratch dir;
    writeTone(dir / "a.wav", 440, 10);
    std::ofstream(dir / "notes.txt") << "my notes\n";
    const std::string listen = "-l:" + port(test::freeUdpPort()) + ":yes";
    for (const auto& [file, message] :
         std::vector<std::pair<std::string, std::string>>{{"a.wav", "is the recording file"},
                                                          {"notes.txt", "give --overwrite to replace it"}}) {
        const auto before = fs::file_size(dir / file);
        Program p(dir, "refused", {"--headless", listen, "--record-file", "a.wav", "--play-file", file});
        EXPECT_EQ(p.wait(), 2) << file;
        EXPECT_NE(p.err().find(message), std::string::npos) << p.err();
        EXPECT_EQ(fs::file_size(dir / file), before) << file;
    }
    writeTone(dir / "old.wav", 660, 1);
    const std::string old = readFile(dir / "old.wav");
    Program p(dir, "replace", {"--headless", listen, "--record-file", "a.wav", "--play-file", "old.wav"});
    ASSERT_TRUE(p.waitForLines({"Listening..."})) << p.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(readFile(dir / "old.wav"), old) << "the old file stays until the new one is complete";
    EXPECT_TRUE(fs::exists(dir / "old.wav.part"));
    // SIGHUP ends the copy as SIGTERM does, and says so.
    p.signal(SIGHUP);
    EXPECT_EQ(p.wait(), 0) << p.err();
    EXPECT_TRUE(p.hasLines({"Listening...", "Disconnected."})) << p.out();
    EXPECT_FALSE(fs::exists(dir / "old.wav.part"));
    EXPECT_NE(readFile(dir / "old.wav"), old);
    EXPECT_GE(tonePower(dir / "old.wav", 660), 0);

    // Through a symbolic link the file it names is replaced and the link
    // stays; a file made read-only is left alone.
    fs::create_symlink("old.wav", dir / "link.wav");
    Program linked(dir, "link", {"--headless", listen, "--record-file", "a.wav", "--play-file", "link.wav"});
    ASSERT_TRUE(linked.waitForLines({"Listening..."})) << linked.err();
    linked.signal(SIGTERM);
    EXPECT_EQ(linked.wait(), 0) << linked.err();
    EXPECT_TRUE(fs::is_symlink(dir / "link.wav"));
    EXPECT_GE(tonePower(dir / "old.wav", 660), 0);
    fs::permissions(dir / "old.wav", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string kept = readFile(dir / "old.wav");
    Program readOnly(dir, "read-only", {"--headless", listen, "--record-file", "a.wav", "--play-file", "old.wav"});
    EXPECT_EQ(readOnly.wait(), 1);
    EXPECT_NE(readOnly.err().find("'old.wav' is read-only"), std::string::npos) << readOnly.err();
    EXPECT_EQ(readFile(dir / "old.wav"), kept);

    Program forced(dir, "overwrite", {"--headless", listen, "--record-file", "a.wav", "--play-file", "notes.txt",
                                      "--overwrite"});
    ASSERT_TRUE(forced.waitForLines({"Listening..."})) << forced.err();
    forced.signal(SIGTERM);
    EXPECT_EQ(forced.wait(), 0) << forced.err();
    EXPECT_EQ(readFile(dir / "notes.txt").substr(0, 4), "RIFF");

    // A FIFO is written directly, as a WAV stream, for the program reading it.
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    const int reader = ::open((dir / "pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    Program piped(dir, "piped", {"--headless", listen, "--record-file", "a.wav", "--play-file", "pipe"});
    ASSERT_TRUE(piped.waitForLines({"Listening..."})) << piped.err();
    std::string stream;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         stream.size() < 8000 && std::chrono::steady_clock::now() < until;) {
        char buffer[4096];
        const ssize_t n = ::read(reader, buffer, sizeof buffer);
        if (n > 0) stream.append(buffer, static_cast<std::size_t>(n));
        else std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    piped.signal(SIGTERM);
    EXPECT_EQ(piped.wait(), 0) << piped.err();
    ::close(reader);
    ASSERT_GE(stream.size(), 8000u);
    EXPECT_EQ(stream.substr(0, 4), "RIFF");
    EXPECT_EQ(stream.substr(8, 4), "WAVE");
    EXPECT_TRUE(fs::is_fifo(dir / "pipe"));

    // Port 0: the system's choice is named.
    Program any(dir, "any", {"--headless", "-l:0:yes", "--record-file", "a.wav", "--play-file", "/dev/null"});
    ASSERT_TRUE(any.waitForLines({"Listening..."})) << any.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string out = any.out();
    const std::size_t at = out.find("Listening on UDP port ");
    ASSERT_NE(at, std::string::npos) << out;
    const int chosen = std::atoi(out.c_str() + at + 22);
    ASSERT_GT(chosen, 0) << out;
    // After a call the copy listens on the same port again.
    UdpPeer caller;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(chosen));
    caller.sendTo(to, {1});
    ASSERT_TRUE(any.waitForLines({"Listening...", "Connected.", "Disconnected.", "Listening..."})) << any.out();
    caller.sendTo(to, {1});
    EXPECT_TRUE(any.waitForLines({"Listening...", "Connected.", "Disconnected.", "Listening...", "Connected."}))
        << any.out();
    any.signal(SIGTERM);
    EXPECT_EQ(any.wait(), 0);
}

TEST(Blackbox, KeyFileProblemsAreOneLineAndExitCodeTwo) {
    Scratch dir;
    Program gen(dir, "gen", {"--gen-key", "a.key"});
    EXPECT_EQ(gen.wait(), 0) << gen.err();
    EXPECT_EQ(fs::file_size(dir / "a.key"), 32u);
    EXPECT_EQ(fs::status(dir / "a.key").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    std::ofstream(dir / "short.key") << "short";
    fs::permissions(dir / "short.key", fs::perms::owner_read | fs::perms::owner_write);
    std::ofstream(dir / "open.key") << std::string(32, 'k');
    fs::permissions(dir / "open.key", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    const std::string listen = "-l:" + port(test::freeUdpPort()) + ":yes";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--gen-key", "a.key"}, "the key file 'a.key' exists already; it is not overwritten"},
        {{"--headless", listen, "--key-file", "missing.key"}, "cannot read the key file 'missing.key'"},
        {{"--headless", listen, "--key-file", "short.key"}, "the key file 'short.key' does not hold a key"},
        {{"--headless", listen, "--key-file", "open.key"}, "the key file 'open.key' is readable by group or others"},
    };
    for (const auto& [args, message] : cases) {
        Program p(dir, "bad", args);
        EXPECT_EQ(p.wait(), 2) << args.back();
        std::string err = p.err();
        EXPECT_EQ(err.rfind("ambrel: " + message, 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line: " << err;
    }
}

TEST(Blackbox, SealedCallIgnoresAStrangerAndSaysSo) {
    Scratch dir;
    writeTone(dir / "a.wav", 440, 30);
    writeTone(dir / "b.wav", 660, 30);
    Program gen(dir, "gen", {"--gen-key", "k"});
    ASSERT_EQ(gen.wait(), 0) << gen.err();
    int p = test::freeUdpPort();
    Program listener(dir, "l", {"--headless", "-l:" + port(p) + ":yes", "--key-file", "k", "--allow", "127.0.0.1",
                                "--lock-peer", "--record-file", "a.wav", "--play-file", "b_heard.wav"});
    ASSERT_TRUE(listener.waitForLines({"Listening..."})) << listener.out() << listener.err();
    UdpPeer stranger(0x7f000002);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(p));
    for (int i = 0; i < 3; ++i) stranger.sendTo(to, {1});
    Program caller(dir, "c", {"--headless", "-c:127.0.0.1:" + port(p) + ":yes", "--key-file", "k",
                              "--record-file", "b.wav", "--play-file", "a_heard.wav"});
    ASSERT_TRUE(listener.waitForLines({"Listening...", "Connected."})) << listener.out();
    // The drops are reported within about 5 s (maybe split over two lines).
    const std::string from = " datagrams from 127.0.0.2:" + port(stranger.port());
    auto ignored = [&] {
        std::istringstream in(listener.out());
        int total = 0;
        for (std::string line; std::getline(in, line);)
            if (line.rfind("Ignored ", 0) == 0 && line.size() > from.size() &&
                line.compare(line.size() - from.size(), from.size(), from) == 0)
                total += std::stoi(line.substr(8));
        return total;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ignored() < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ignored(), 3) << listener.out();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    caller.signal(SIGTERM);
    listener.signal(SIGTERM);
    EXPECT_EQ(caller.wait(), 0) << caller.err();
    EXPECT_EQ(listener.wait(), 0) << listener.err();
    EXPECT_TRUE(stranger.receive(0).empty()) << "nothing was sent to the stranger";
    double heard660 = tonePower(dir / "b_heard.wav", 660), heard440 = tonePower(dir / "b_heard.wav", 440);
    EXPECT_GT(heard660, 20 * heard440) << heard660 << " vs " << heard440;
}

TEST(Blackbox, HelpAndVersion) {
    Scratch dir;
    Program help(dir, "help", {"--help"});
    EXPECT_EQ(help.wait(), 0);
    std::string text = help.out();
    EXPECT_NE(text.find("lpc10\tLPC10 at 8 KHz (2.4 Kbps)"), std::string::npos);
    EXPECT_NE(text.find("-c:192.168.0.1:5005:yes -a:ilbc_8khz -i:1 -d:send"), std::string::npos);
    Program version(dir, "version", {"--version"});
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(version.out().rfind("Ambrel 2.8 (build ", 0), 0u) << version.out();
}

TEST(Blackbox, WithoutASoundServerItSaysSoAndPointsToFiles) {
    Scratch dir;
    Program p(dir, "nosound", {"--headless", "-l:" + port(test::freeUdpPort()) + ":yes"},
              {"PULSE_SERVER=unix:" + (dir / "no-server").string()});
    EXPECT_EQ(p.wait(), 1);
    EXPECT_NE(p.err().find("--record-file"), std::string::npos) << p.err();
    EXPECT_NE(p.out().find("Failed to initialize Sound Card!"), std::string::npos) << p.out();
}

// A display that no X server answers: headless mode with one line saying
// so, or one line and exit code 2 where headless mode has nothing to do.
TEST(Blackbox, ADeadDisplayMeansHeadlessModeNotACrash) {
    Scratch dir;
    writeTone(dir / "a.wav", 440, 30);
    const std::string dead = "DISPLAY=:64999";
    Program listener(dir, "l", {"-l:" + port(test::freeUdpPort()) + ":yes", "--record-file", "a.wav", "--play-file",
                                "out.wav"},
                     {dead});
    ASSERT_TRUE(listener.waitForLines({"Listening..."})) << listener.out() << listener.err();
    EXPECT_EQ(listener.err(), "ambrel: cannot open the display ':64999'; running without a window\n");
    listener.signal(SIGTERM);
    EXPECT_EQ(listener.wait(), 0);

    Program idle(dir, "idle", {}, {dead});
    EXPECT_EQ(idle.wait(), 2);
    EXPECT_EQ(idle.err(),
              "ambrel: cannot open the display ':64999'; without a window, give -l:port:yes or -c:host:port:yes\n");
}

// A HOME whose ~/.asoundrc holds `rc` (ALSA reads it at start-up).
std::string alsaHome(const Scratch& dir, const std::string& rc) {
    fs::create_directories(dir / "home");
    std::ofstream(dir / "home" / ".asoundrc") << rc;
    return "HOME=" + (dir / "home").string();
}

// No sound server for the program's own client, but ALSA's default device
// reaches the test daemon through the pulse plugin: the program runs on it.
TEST(Blackbox, WithoutASoundServerTheAlsaDefaultDeviceIsUsed) {
    const char* server = std::getenv("PULSE_SERVER");
    if (!server) GTEST_SKIP() << "needs a sound server: run under tests/support/with-pulse.sh";
    Scratch dir;
    const std::string rc = std::string("pcm.!default { type pulse server \"") + server + "\" }\n";
    Program p(dir, "alsa", {"--headless", "-l:" + port(test::freeUdpPort()) + ":yes"},
              {"PULSE_SERVER=unix:" + (dir / "no-server").string(), alsaHome(dir, rc)});
    const bool listening = p.waitForLines({"Listening..."});
    if (p.err().find("No such device or address") != std::string::npos)
        GTEST_SKIP() << "ALSA's pulse plugin is not installed (libasound2-plugins): " << p.err();
    ASSERT_TRUE(listening) << p.out() << p.err();
    EXPECT_NE(p.err().find("no sound server is reachable (Connection refused); using ALSA's default device"),
              std::string::npos) << p.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0) << p.err();
    // The player opened ALSA's default without an error line.
    EXPECT_EQ(p.err().find("PLAY :"), std::string::npos) << p.err();
    EXPECT_EQ(p.out().find("Failed to initialize Sound Card!"), std::string::npos) << p.out();
}

TEST(Blackbox, ListDevicesNamesTheServersDevices) {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "needs a sound server: run under tests/support/with-pulse.sh";
    Scratch dir;
    Program p(dir, "list", {"--list-devices"},
              {alsaHome(dir, "pcm.ambrel_line { type null hint { show on description \"Test line\" } }\n")});
    EXPECT_EQ(p.wait(), 0);
    EXPECT_NE(p.out().find("Playing devices:"), std::string::npos) << p.out();
    EXPECT_NE(p.out().find("b_spk"), std::string::npos) << p.out();
    EXPECT_NE(p.out().find("\n  b_spk.monitor - Monitor of Null Output (monitor)\n"), std::string::npos) << p.out();
    EXPECT_NE(p.out().find("\n  alsa:ambrel_line - Test line\n"), std::string::npos) << p.out();
    // A playing device number beyond the list is refused before anything starts.
    Program bad(dir, "bad", {"--headless", "-o:99"});
    EXPECT_EQ(bad.wait(), 2);
    EXPECT_NE(bad.err().find("device number out of range: '-o:99'"), std::string::npos) << bad.err();
}

}  // namespace
}  // namespace ambrel
