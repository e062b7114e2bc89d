// A null sink of the test's own on the test run's sound server, so volume
// tests never touch devices that other tests play through.
#pragma once

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace ambrel::test {

// Standard output of a shell command, without the final line break.
inline std::string runCommand(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    std::array<char, 512> buffer;
    while (fgets(buffer.data(), buffer.size(), pipe)) out += buffer.data();
    pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// The raw volume of one channel in pactl's "front-left: 16384 /  25% / ..." text.
inline long channelVolume(const std::string& pactlText, const std::string& channel) {
    size_t at = pactlText.find(channel + ": ");
    if (at == std::string::npos) return -1;
    return std::strtol(pactlText.c_str() + at + channel.size() + 2, nullptr, 10);
}

class PrivateSink {
public:
    explicit PrivateSink(const std::string& tag) {
        static int counter = 0;
        name = "ambrel_" + tag + "_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
        module = runCommand("pactl load-module module-null-sink sink_name=" + name);
    }
    ~PrivateSink() {
        if (ok()) runCommand("pactl unload-module " + module);
    }
    PrivateSink(const PrivateSink&) = delete;
    PrivateSink& operator=(const PrivateSink&) = delete;

    bool ok() const { return !module.empty() && module.find_first_not_of("0123456789") == std::string::npos; }
    std::string monitor() const { return name + ".monitor"; }
    int set(const std::string& pactlArgs) const { return std::system(("pactl " + pactlArgs).c_str()); }

    std::string name;
    std::string module;
};

}  // namespace ambrel::test
