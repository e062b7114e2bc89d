// The command line: defaults, every help example, the list form, malformed
// input, device checks and the build label.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "app/CommandLine.h"
#include "app/HelpText.h"
#include "base/Exception.h"

namespace ambrel {
namespace {

// 10.0.0.x for "hostx", 10.0.0.7 and fd00::7 for "dual", unknown for
// anything else.
std::vector<SocketAddress> fakeResolve(const std::string& host) {
    if (host.rfind("host", 0) == 0 && host.size() == 5)
        return {SocketAddress::fromIpv4(htonl(0x0A000000u + (host[4] - '0')), 0)};
    if (host == "dual") return {resolveHost("10.0.0.7"), resolveHost("fd00::7")};
    throw UnknownHostException();
}

ParseResult parse(std::vector<std::string> args) { return parseCommandLine(args, AppSettings{}, fakeResolve); }

AppSettings ok(std::vector<std::string> args) {
    auto r = parse(args);
    EXPECT_FALSE(r.error) << (r.error ? r.error->message : "");
    return r.commandLine ? r.commandLine->settings : AppSettings{};
}

std::string error(std::vector<std::string> args) {
    auto r = parse(args);
    EXPECT_FALSE(r.commandLine);
    return r.error ? r.error->message : "";
}

TEST(CommandLine, NoArgumentsGiveTheDefaults) {
    auto s = ok({});
    EXPECT_EQ(s.host, "127.0.0.1");
    EXPECT_EQ(s.port, 5007);
    EXPECT_EQ(s.codecId, 0xA8);
    EXPECT_EQ(s.codecLabel, "speex 16 KHz");
    EXPECT_TRUE(s.sendEnabled);
    EXPECT_TRUE(s.playEnabled);
    EXPECT_EQ(s.timeout, -1);
    EXPECT_FALSE(s.autoConnect);
    EXPECT_FALSE(s.autoListen);
    EXPECT_TRUE(s.destinations.empty());
    EXPECT_EQ(s.recordDevice.number, -1);
    EXPECT_EQ(s.playDevice.number, -1);
    EXPECT_EQ(s.versionText, "2.8");
}

TEST(CommandLine, HelpExamplesParseToWhatTheyMean) {
    auto a = ok({"-l:5005:yes", "-a:ilbc_11khz", "-t:5"});
    EXPECT_EQ(a.port, 5005);
    EXPECT_TRUE(a.autoListen);
    EXPECT_FALSE(a.autoConnect);
    EXPECT_EQ(a.codecId, *codecIdFromName("ilbc_11khz"));
    EXPECT_EQ(a.codecLabel, codecLabel(a.codecId));
    EXPECT_EQ(a.timeout, 5);

    auto b = ok({"-c:192.168.0.1:5005:yes", "-a:ilbc_11khz"});
    EXPECT_EQ(b.host, "192.168.0.1");
    EXPECT_EQ(b.port, 5005);
    EXPECT_TRUE(b.autoConnect);
    EXPECT_TRUE(b.destinations.empty());

    auto c = ok({"-l:5005:yes", "-a:ilbc_8khz", "-o:2", "-d:receive"});
    EXPECT_EQ(c.codecId, *codecIdFromName("ilbc_8khz"));
    EXPECT_EQ(c.playDevice.number, 2);
    EXPECT_TRUE(c.playDevice.name.empty());
    EXPECT_FALSE(c.sendEnabled);
    EXPECT_TRUE(c.playEnabled);

    auto d = ok({"-c:192.168.0.1:5005:yes", "-a:ilbc_8khz", "-i:1", "-d:send"});
    EXPECT_EQ(d.recordDevice.number, 1);
    EXPECT_TRUE(d.sendEnabled);
    EXPECT_FALSE(d.playEnabled);

    auto e = ok({"-c:192.168.0.1:5005,192.168.0.2:5005,yes"});
    ASSERT_EQ(e.destinations.size(), 2u);
    EXPECT_EQ(addressText(e.destinations[1]), "192.168.0.2");

    // Every example in the help text is one of these.
    std::string_view help = helpText();
    for (const char* example : {"-l:5005:yes -a:ilbc_11khz -t:5", "-c:192.168.0.1:5005:yes -a:ilbc_11khz",
                                "-l:5005:yes -a:ilbc_8khz -o:2 -d:receive",
                                "-c:192.168.0.1:5005:yes -a:ilbc_8khz -i:1 -d:send"})
        EXPECT_NE(help.find(example), std::string_view::npos) << example;
}

TEST(CommandLine, EveryCodecNameIsAcceptedAndListedInTheHelp) {
    for (const CodecName& codec : codecNames()) {
        auto s = ok({"-a:" + std::string(codec.name)});
        EXPECT_EQ(s.codecId, codec.id);
        EXPECT_NE(helpText().find(std::string(codec.name) + "\t"), std::string_view::npos) << codec.name;
    }
    EXPECT_NE(helpText().find("If no codec is specified 'speex_16khz' will be used."), std::string_view::npos);
    for (const char* option : {"--help", "--version", "--headless", "--list-devices", "--record-file", "--play-file",
                               "-a:codec", "-l:port:listen", "-c:host:port:connect", "-i:device", "-o:device",
                               "-d:direction", "-t:timeout"})
        EXPECT_NE(helpText().find(option), std::string_view::npos) << option;
}

TEST(CommandLine, DestinationListKeepsOrderAndAcceptsCommaOrColon) {
    for (const char* arg : {"-c:host1:6001,host2:6002,host3:6003,yes", "-c:host1:6001,host2:6002,host3:6003:yes"}) {
        auto s = ok({arg});
        ASSERT_EQ(s.destinations.size(), 3u) << arg;
        EXPECT_EQ(s.destinations[0].ipv4(), htonl(0x0A000001u));
        EXPECT_EQ(s.destinations[0].hostPort(), 6001);
        EXPECT_EQ(s.destinations[2].ipv4(), htonl(0x0A000003u));
        EXPECT_EQ(s.destinations[2].hostPort(), 6003);
        EXPECT_TRUE(s.autoConnect);
        EXPECT_EQ(s.host, "127.0.0.1");  // the fields keep their defaults
    }
    // A single pair in list form is the plain connect form.
    auto single = ok({"-c:host1:6001,no"});
    EXPECT_TRUE(single.destinations.empty());
    EXPECT_EQ(single.host, "host1");
    EXPECT_EQ(single.port, 6001);
    EXPECT_FALSE(single.autoConnect);
}

TEST(CommandLine, RepeatedOptionsLastWins) {
    auto s = ok({"-a:gsm_8khz", "-a:lpc10", "-d:send", "-d:receive", "-t:3", "-t:-1", "-c:host1:1,host2:2,yes",
                 "-c:10.1.1.1:99:no", "-i:3", "-i:0"});
    EXPECT_EQ(s.codecId, *codecIdFromName("lpc10"));
    EXPECT_TRUE(s.playEnabled);
    EXPECT_FALSE(s.sendEnabled);
    EXPECT_EQ(s.timeout, -1);
    EXPECT_TRUE(s.destinations.empty());
    EXPECT_EQ(s.host, "10.1.1.1");
    EXPECT_EQ(s.port, 99);
    EXPECT_FALSE(s.autoConnect);
    EXPECT_EQ(s.recordDevice.number, -1);  // 0 is the default device
}

TEST(CommandLine, DevicesByNameAndFiles) {
    auto s = ok({"-i:mysink.monitor", "-o:d_spk"});
    EXPECT_EQ(s.recordDevice.name, "mysink.monitor");
    EXPECT_EQ(s.playDevice.name, "d_spk");
    auto f = ok({"--record-file", "in put.wav", "--play-file=out.wav"});
    EXPECT_EQ(f.recordDevice.backend, "file");
    EXPECT_EQ(f.recordDevice.name, "in put.wav");
    EXPECT_EQ(f.playDevice.backend, "file");
    EXPECT_EQ(f.playDevice.name, "out.wav");
    // The last of -i and --record-file wins.
    EXPECT_EQ(ok({"--record-file", "a.wav", "-i:2"}).recordDevice.number, 2);
    // ALSA names keep every colon and comma after "alsa:".
    auto a = ok({"-i:alsa:plughw:CARD=Device,DEV=0", "-o:alsa:default"});
    EXPECT_EQ(a.recordDevice.backend, "alsa");
    EXPECT_EQ(a.recordDevice.name, "plughw:CARD=Device,DEV=0");
    EXPECT_EQ(a.playDevice.backend, "alsa");
    EXPECT_EQ(a.playDevice.name, "default");
    EXPECT_EQ(ok({"-o:alsa:hw:1,0"}).playDevice.name, "hw:1,0");
    EXPECT_NE(error({"-i:alsa:"}).find("missing ALSA device name in '-i:alsa:'"), std::string::npos);
}

TEST(CommandLine, BannerServer) {
    EXPECT_EQ(ok({}).bannerServer, "");
    EXPECT_EQ(ok({"--banner-server", "banners.example"}).bannerServer, "banners.example");
    EXPECT_EQ(ok({"--banner-server=127.0.0.1:8080"}).bannerServer, "127.0.0.1:8080");
    EXPECT_EQ(ok({"--banner-server=[::1]:8080"}).bannerServer, "[::1]:8080");
    EXPECT_NE(error({"--banner-server=::1:8080"}).find("--banner-server"), std::string::npos);
}

TEST(CommandLine, AccessOptions) {
    auto s = ok({"--allow", "host3,10.1.2.3/8", "--lock-peer", "--key-file=k.key"});
    ASSERT_EQ(s.allowList.size(), 2u);
    EXPECT_EQ(s.allowList[0].network.ipv4(), htonl(0x0A000003));
    EXPECT_EQ(s.allowList[0].bits, 32);
    EXPECT_EQ(s.allowList[1].network.ipv4(), htonl(0x0A000000));
    EXPECT_EQ(s.allowList[1].bits, 8);
    EXPECT_TRUE(s.allowList[1].matches(htonl(0x0AFFFFFF)));
    EXPECT_FALSE(s.allowList[1].matches(htonl(0x0B000001)));
    EXPECT_FALSE(s.allowList[0].matches(htonl(0x0A000004)));
    EXPECT_TRUE(s.lockPeer);
    EXPECT_EQ(s.keyFile, "k.key");
    EXPECT_EQ(parse({"--gen-key", "new.key"}).commandLine->genKeyPath, "new.key");
    EXPECT_NE(error({"--allow=10.0.0.1/33"}).find("bad prefix length in --allow '10.0.0.1/33'"), std::string::npos);
    EXPECT_NE(error({"--allow=host1,,host2"}).find("missing address in --allow ''"), std::string::npos);
    EXPECT_NE(error({"--allow=nowhere.invalid/16"}).find("cannot resolve host 'nowhere.invalid'"), std::string::npos);
    EXPECT_NE(error({"--key-file"}).find("--key-file needs a file path"), std::string::npos);
}

TEST(CommandLine, Ipv6InBracketsStrictQuadsAndAllowRulesOfBothFamilies) {
    auto one = ok({"-c:[2001:db8::5]:5007:yes"});
    EXPECT_EQ(one.host, "2001:db8::5");
    EXPECT_EQ(one.port, 5007);
    EXPECT_EQ(ok({"-c:[::ffff:10.0.0.2]:5007:yes"}).host, "::ffff:10.0.0.2");
    auto list = ok({"-c:[fd00::2]:5007,10.0.0.3:5008,dual:5009,yes"});
    ASSERT_EQ(list.destinations.size(), 3u);
    EXPECT_EQ(list.destinations[0].text(), "[fd00::2]:5007");
    EXPECT_EQ(list.destinations[1].text(), "10.0.0.3:5008");
    EXPECT_EQ(list.destinations[2].text(), "10.0.0.7:5009");  // a name: its preferred address
    for (const char* bad : {"-c:256.1.1.1:5007:yes", "-c:1.2.3:5007:yes", "-c:010.0.0.1:5007:yes",
                            "-c:[10.0.0.1]:5007:yes", "-c:[fd00::zz]:5007:yes", "-c:fd00::2:5007:yes",
                            "-c:[fd00::2:5007:yes", "-c:10.0.0.1:5007,300.0.0.1:5007,yes"})
        EXPECT_NE(error({bad}).find(bad), std::string::npos) << bad;

    auto a = ok({"--allow=fd00::/8,[fd00::2]:5007,10.0.0.2:5007,dual/24,[2001:db8::/32]:1"});
    ASSERT_EQ(a.allowList.size(), 6u);  // the name gives a rule for each address
    const SocketAddress mappedPeer = resolveHost("::ffff:10.0.0.2");
    SocketAddress peer = mappedPeer;
    peer.port = htons(5007);
    EXPECT_TRUE(a.allowList[2].matches(peer));  // ::ffff:10.0.0.2 is 10.0.0.2
    peer.port = htons(5008);
    EXPECT_FALSE(a.allowList[2].matches(peer));
    SocketAddress v6 = resolveHost("fd12::1");
    EXPECT_TRUE(a.allowList[0].matches(v6));
    EXPECT_FALSE(a.allowList[1].matches(v6));
    EXPECT_EQ(a.allowList[3].bits, 24);
    EXPECT_EQ(a.allowList[4].bits, 24);
    EXPECT_TRUE(a.allowList[4].network.isIpv6());
    EXPECT_EQ(a.allowList[5].bits, 32);
    auto mapped = ok({"--allow=::ffff:10.0.0.0/104"});
    ASSERT_EQ(mapped.allowList.size(), 1u);
    EXPECT_EQ(mapped.allowList[0].bits, 8);
    EXPECT_TRUE(mapped.allowList[0].matches(mappedPeer));
    EXPECT_NE(error({"--allow=::ffff:10.0.0.0/64"}).find("IPv4-mapped"), std::string::npos);
    for (const char* bad : {"--allow=256.0.0.1", "--allow=10.1", "--allow=0x0a.0.0.1", "--allow=010.0.0.1",
                            "--allow=10.0.0.1.", "--allow=fd00::/129", "--allow=10.0.0.0/08", "--allow=10.0.0.2:0",
                            "--allow=10.0.0.2:", "--allow=[fd00::2]5007", "--allow=167772161"})
        EXPECT_NE(error({bad}).find("--allow"), std::string::npos) << bad;
}

TEST(CommandLine, LongFlags) {
    auto r = parse({"--headless", "--list-devices", "--version", "--help"});
    ASSERT_TRUE(r.commandLine);
    EXPECT_EQ(r.commandLine->statsSeconds, 0);
    EXPECT_EQ(parse({"--stats", "5"}).commandLine->statsSeconds, 5);
    EXPECT_EQ(parse({"--stats=86400"}).commandLine->statsSeconds, 86400);
    EXPECT_TRUE(r.commandLine->headless);
    EXPECT_TRUE(r.commandLine->listDevices);
    EXPECT_TRUE(r.commandLine->showVersion);
    EXPECT_TRUE(r.commandLine->showHelp);
}

// Voice processing: all of it by default; each option takes away its part,
// in any order, and the help text names every option.
TEST(CommandLine, VoiceProcessingOptions) {
    EXPECT_EQ(parse({}).commandLine->settings.voiceFeatures, unsigned(kVoiceAll));
    EXPECT_EQ(parse({"--no-echo-cancel", "--no-gain-control"}).commandLine->settings.voiceFeatures,
              unsigned(kVoiceNoiseSuppression | kVoiceHighPass));
    EXPECT_EQ(parse({"--no-noise-suppression"}).commandLine->settings.voiceFeatures,
              unsigned(kVoiceAll & ~kVoiceNoiseSuppression));
    EXPECT_EQ(parse({"--no-gain-control", "--no-voice-processing"}).commandLine->settings.voiceFeatures, 0u);
    EXPECT_NE(error({"--no-echo-cancel=yes"}).find("takes no value"), std::string::npos);
    for (const char* option :
         {"--no-echo-cancel", "--no-noise-suppression", "--no-gain-control", "--no-voice-processing"}) {
        EXPECT_NE(helpText().find(std::string("  ") + option), std::string::npos) << option;
        EXPECT_NE(usageLine().find(std::string("[") + option + "]"), std::string::npos) << option;
    }
}

TEST(CommandLine, MalformedArgumentsAreNamed) {
    struct Case {
        std::vector<std::string> args;
        const char* mustContain;
    };
    const Case cases[] = {
        {{"-x:1"}, "unknown option '-x:1'"},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"hello"}, "unknown option 'hello'"},
        {{"-l"}, "unknown option '-l'"},
        {{"-L:5005:yes"}, "unknown option '-L:5005:yes'"},
        {{"-l:abc:yes"}, "bad port 'abc'"},
        {{"-l:65536:yes"}, "bad port '65536'"},
        {{"-l:-1:yes"}, "bad port '-1'"},
        {{"-l:5005"}, "-l:port:yes"},
        {{"-l:5005:YES"}, "expected yes or no, got 'YES'"},
        {{"-l:5005:maybe"}, "got 'maybe'"},
        {{"-c:host1:99999:yes"}, "bad port '99999'"},
        {{"-c:host1:12:ja"}, "got 'ja'"},
        {{"-c:host1"}, "-c:host:port:yes"},
        {{"-c::5007:yes"}, "expected host:port"},
        {{"-c:host1:1,nowhere.invalid:2,yes"}, "cannot resolve host 'nowhere.invalid'"},
        {{"-a:speex"}, "unknown codec 'speex'"},
        {{"-a:SPEEX_16KHZ"}, "unknown codec 'SPEEX_16KHZ'"},
        {{"-d:both"}, "expected send or receive, got 'both'"},
        {{"-d:Send"}, "got 'Send'"},
        {{"-t:abc"}, "bad time-out 'abc'"},
        {{"-t:-5"}, "bad time-out '-5'"},
        {{"-i:-3"}, "device number out of range: '-i:-3'"},
        {{"-o:99999999"}, "device number out of range"},
        {{"-i:"}, "missing device"},
        {{"--record-file"}, "--record-file needs a file path"},
        {{"--play-file="}, "--play-file needs a file path"},
        {{"--headless=1"}, "takes no value"},
        {{"--banner-server"}, "--banner-server needs HOST[:PORT]"},
        {{"--banner-server=:80"}, "needs HOST[:PORT]"},
        {{"--banner-server=host:0"}, "needs HOST[:PORT]"},
        {{"--banner-server=host:http"}, "needs HOST[:PORT]"},
        {{"--stats"}, "--stats needs a number of seconds"},
        {{"--stats=0"}, "from 1 to 86400: '0'"},
        {{"--stats=2s"}, "from 1 to 86400: '2s'"},
        {{"--stats=86401"}, "from 1 to 86400"},
    };
    for (const Case& c : cases) {
        std::string message = error(c.args);
        EXPECT_NE(message.find(c.mustContain), std::string::npos) << "args " << c.args[0] << " gave: " << message;
    }
}

TEST(CommandLine, ValuesInErrorLinesAreBoundedAndEscaped) {
    // Control bytes and bytes that are not UTF-8 are shown as \xHH; letters
    // of other scripts stay readable.
    EXPECT_EQ(error({"-a:\x1b]0;owned\x07\x9b" "2J"}), "unknown codec '\\x1b]0;owned\\x07\\x9b2J' in '-a:\\x1b]0;owned\\x07\\x9b2J'");
    EXPECT_EQ(error({"-d:h\xc3\xa9\xc2\x9b"}), "expected send or receive, got 'h\xc3\xa9\\xc2\\x9b' in '-d:h\xc3\xa9\\xc2\\x9b'");
    const std::string huge = "-t:" + std::string(100000, '9');
    const std::string message = error({huge});
    EXPECT_LT(message.size(), 300u) << message.size();
    EXPECT_NE(message.find("'... (100003 bytes)"), std::string::npos) << message;
}

TEST(CommandLine, DeviceNumbersAndNamesAreCheckedAgainstTheLists) {
    std::vector<SoundDeviceInfo> inputs{{1, "mic", "Microphone", true}};
    std::vector<SoundDeviceInfo> outputs{{1, "spk", "Speakers", true}, {2, "hdmi", "HDMI", false}};
    auto check = [&](std::vector<std::string> args) {
        return checkDevices(ok(args), &inputs, &outputs);
    };
    EXPECT_FALSE(check({"-i:1", "-o:2"}));
    EXPECT_FALSE(check({"-i:0", "-o:0"}));
    EXPECT_FALSE(check({"-i:hdmi.monitor", "-o:spk"}));
    EXPECT_FALSE(check({"--record-file", "x.wav", "--play-file", "y.wav"}));
    auto e = check({"-i:2"});
    ASSERT_TRUE(e);
    EXPECT_NE(e->message.find("device number out of range: '-i:2'"), std::string::npos) << e->message;
    e = check({"-o:3"});
    ASSERT_TRUE(e);
    EXPECT_NE(e->message.find("'-o:3'"), std::string::npos) << e->message;
    e = check({"-o:nosuch"});
    ASSERT_TRUE(e);
    EXPECT_NE(e->message.find("unknown playing device '-o:nosuch'"), std::string::npos) << e->message;
    EXPECT_TRUE(check({"-i:nosuch.monitor"}));
    // ALSA PCMs are not the server's devices (and need not be listed to open).
    EXPECT_FALSE(check({"-i:alsa:mic", "-o:alsa:hw:0,0"}));
    // Without the lists (no sound server) nothing is refused here.
    EXPECT_FALSE(checkDevices(ok({"-i:7", "-o:x"}), nullptr, nullptr));
}

TEST(CommandLine, BuildLabel) {
    EXPECT_EQ(makeBuildLabel(2007, 9, 12), "070912");
    EXPECT_EQ(buildLabelFromCompilerDate("Sep 12 2007"), "070912");
    EXPECT_EQ(buildLabelFromCompilerDate("Jan  3 2026"), "260103");
    EXPECT_EQ(buildLabelFromCompilerDate("garbage"), "000000");
    EXPECT_EQ(buildLabelFromCompilerDate(nullptr), "000000");
}

}  // namespace
}  // namespace ambrel
