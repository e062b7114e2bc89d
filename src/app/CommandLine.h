// The command line. Short options are one argument each: a dash, the option
// letter, a colon and the value(s) separated by colons ("-l:5005:yes").
// Letters and keywords are case-sensitive; a repeated option: the last wins.
// An IPv6 address goes in brackets where a port follows ("[fd00::2]:5007").
// Long options: --help, --version, --headless, --list-devices,
// --record-file PATH, --play-file PATH, --allow ADDR[/BITS][:PORT][,...],
// --lock-peer, --key-file PATH, --gen-key PATH, --stats SECONDS (also written
// --opt=VALUE), --no-echo-cancel, --no-noise-suppression, --no-gain-control,
// --no-voice-processing.
//
// Plain C++; runs on the start-up thread before anything else.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/AppSettings.h"

namespace ambrel {

// What the program is asked to do.
struct CommandLine {
    AppSettings settings;
    bool showHelp = false;      // --help
    bool showVersion = false;   // --version
    bool listDevices = false;   // --list-devices
    bool headless = false;      // --headless
    std::string genKeyPath;     // --gen-key: write a new key there and exit
    int statsSeconds = 0;       // --stats: headless playback counters every so many seconds; 0 = never
    bool overwrite = false;     // --overwrite: --play-file may replace a file that is not a WAV file
};

// A malformed command line: `message` is one line naming the bad argument
// (without the program name). The program prints it, then the usage, and
// exits with code 2.
struct CommandLineError {
    std::string message;
};

// Resolves a host name of a destination list or an allow-list to its
// addresses (either family, the system's preferred first); throws
// UnknownHostException. Address literals never reach it. Tests may pass their
// own.
using HostResolver = std::function<std::vector<SocketAddress>(const std::string& host)>;

// Parses args (without the program name) over the defaults of `base`.
// Destination hosts are resolved here, at start-up. Either the result or the
// error is set.
struct ParseResult {
    std::optional<CommandLine> commandLine;
    std::optional<CommandLineError> error;
};
ParseResult parseCommandLine(const std::vector<std::string>& args, const AppSettings& base,
                             const HostResolver& resolve);
// With the socket layer's resolver.
ParseResult parseCommandLine(const std::vector<std::string>& args, const AppSettings& base);

// Checks numbered devices against the sound server's lists (-i:n needs n
// recording devices, -o:n needs n playing devices) and names against the
// names there (a recording name may also be a playing device's ".monitor").
// Returns an error line, or nothing when the devices are fine or the lists
// cannot be read (the device then fails when it is opened).
std::optional<CommandLineError> checkDevices(const AppSettings& settings,
                                             const std::vector<SoundDeviceInfo>* inputs,
                                             const std::vector<SoundDeviceInfo>* outputs);

}  // namespace ambrel
