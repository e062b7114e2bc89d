#include "app/CommandLine.h"

#include <arpa/inet.h>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "base/Exception.h"
#include "base/Text.h"

namespace ambrel {

namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Whole decimal text of at most 10 digits, nothing else (no sign, no blanks).
std::optional<long long> parseDigits(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::optional<int> parsePort(std::string_view text) {
    auto v = parseDigits(text);
    if (!v || *v > 65535) return std::nullopt;
    return static_cast<int>(*v);
}

// "yes"/"no" exactly.
std::optional<bool> parseYesNo(std::string_view text) {
    if (text == "yes") return true;
    if (text == "no") return false;
    return std::nullopt;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

class Parser {
public:
    Parser(const AppSettings& base, const HostResolver& resolve) : resolve_(resolve) {
        line_.settings = base;
    }

    ParseResult run(const std::vector<std::string>& args) {
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string& arg = args[i];
            if (arg.rfind("--", 0) == 0) {
                if (!longOption(args, i)) return fail();
            } else if (arg.size() >= 3 && arg[0] == '-' && arg[2] == ':') {
                if (!shortOption(arg[1], std::string_view(arg).substr(3), arg)) return fail();
            } else {
                error_ = "unknown option " + quoted(arg);
                return fail();
            }
        }
        // The direction is applied once, so a repeated -d means the last one.
        if (direction_ == Direction::Send) line_.settings.playEnabled = false;
        if (direction_ == Direction::Receive) line_.settings.sendEnabled = false;
        ParseResult result;
        result.commandLine = std::move(line_);
        return result;
    }

private:
    enum class Direction { Both, Send, Receive };

    ParseResult fail() {
        ParseResult result;
        result.error = CommandLineError{error_};
        return result;
    }

    bool longOption(const std::vector<std::string>& args, size_t& i) {
        std::string_view arg = args[i];
        std::string_view name = arg;
        std::optional<std::string> value;
        if (size_t eq = arg.find('='); eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = std::string(arg.substr(eq + 1));
        }
        auto flag = [&](bool& target) {
            if (value) {
                error_ = "option " + std::string(name) + " takes no value: " + quoted(arg);
                return false;
            }
            target = true;
            return true;
        };
        // An option that turns parts of the voice processing off.
        auto without = [&](unsigned features) {
            bool given = false;
            if (!flag(given)) return false;
            line_.settings.voiceFeatures &= ~features;
            return true;
        };
        if (name == "--help") return flag(line_.showHelp);
        if (name == "--version") return flag(line_.showVersion);
        if (name == "--headless") return flag(line_.headless);
        if (name == "--list-devices") return flag(line_.listDevices);
        if (name == "--banner-server") {
            if (!value && i + 1 < args.size()) value = args[++i];
            if (!value || !validBannerServer(*value)) {
                error_ = "option --banner-server needs HOST[:PORT]" + (value ? ": " + quoted(*value) : std::string());
                return false;
            }
            line_.settings.bannerServer = *value;
            return true;
        }
        if (name == "--lock-peer") return flag(line_.settings.lockPeer);
        if (name == "--overwrite") return flag(line_.overwrite);
        if (name == "--no-echo-cancel") return without(kVoiceEchoCancel);
        if (name == "--no-noise-suppression") return without(kVoiceNoiseSuppression);
        if (name == "--no-gain-control") return without(kVoiceGainControl);
        if (name == "--no-voice-processing") return without(kVoiceAll);
        if (name == "--allow" || name == "--key-file" || name == "--gen-key") {
            if (!value && i + 1 < args.size()) value = args[++i];
            if (name == "--allow") return allowOption(value);
            if (!value || value->empty()) {
                error_ = "option " + std::string(name) + " needs a file path";
                return false;
            }
            (name == "--key-file" ? line_.settings.keyFile : line_.genKeyPath) = *value;
            return true;
        }
        if (name == "--stats") {
            if (!value && i + 1 < args.size()) value = args[++i];
            int seconds = 0;
            bool number = false;
            if (value) {
                auto [end, ec] = std::from_chars(value->data(), value->data() + value->size(), seconds);
                number = ec == std::errc() && end == value->data() + value->size();
            }
            if (!number || seconds < 1 || seconds > 86400) {
                error_ = "option --stats needs a number of seconds from 1 to 86400" +
                         (value ? ": " + quoted(*value) : std::string());
                return false;
            }
            line_.statsSeconds = seconds;
            return true;
        }
        if (name == "--record-file" || name == "--play-file") {
            if (!value) {
                if (i + 1 >= args.size()) {
                    error_ = "option " + std::string(name) + " needs a file path";
                    return false;
                }
                value = args[++i];
            }
            if (value->empty()) {
                error_ = "option " + std::string(name) + " needs a file path";
                return false;
            }
            auto ref = SoundDeviceRef::file(*value);
            (name == "--record-file" ? line_.settings.recordDevice : line_.settings.playDevice) = ref;
            return true;
        }
        error_ = "unknown option " + quoted(arg);
        return false;
    }

    // ADDR[/BITS][:PORT][,...]: a dotted quad (prefix 0..32), an IPv6
    // address (prefix 0..128; in brackets when a port follows,
    // "[fd00::2]:5007", "[fd00::/8]:5007") or a host name, whose addresses
    // each make a rule. Host names are resolved here.
    bool allowOption(const std::optional<std::string>& value) {
        if (!value || value->empty()) {
            error_ = "option --allow needs ADDR[/BITS][:PORT][,ADDR[/BITS][:PORT]...]";
            return false;
        }
        std::vector<AllowRule> rules;
        for (std::string_view item : split(*value, ',')) {
            std::string_view ruleText = item;
            std::string_view portText;
            if (!ruleText.empty() && ruleText.front() == '[') {
                const size_t close = ruleText.find(']');
                if (close == std::string_view::npos ||
                    (close + 1 < ruleText.size() && ruleText[close + 1] != ':')) {
                    error_ = "bad address in --allow " + quoted(item) + " (e.g. [fd00::2]:5007)";
                    return false;
                }
                if (close + 1 < ruleText.size()) {
                    portText = ruleText.substr(close + 2);
                    if (portText.empty()) portText = ":";  // a colon and no port
                }
                ruleText = ruleText.substr(1, close - 1);
            } else if (size_t colon = ruleText.find(':');
                       colon != std::string_view::npos && ruleText.find(':', colon + 1) == std::string_view::npos) {
                portText = ruleText.substr(colon + 1);  // one colon: HOST:PORT
                ruleText = ruleText.substr(0, colon);
                if (portText.empty()) portText = ":";  // a colon and no port
            }
            int port = 0;
            if (!portText.empty()) {
                auto p = parsePort(portText);
                if (!p || *p == 0) {
                    error_ = "bad port in --allow " + quoted(item) + " (1..65535)";
                    return false;
                }
                port = *p;
            }
            size_t slash = ruleText.find('/');
            std::string host(ruleText.substr(0, slash));
            std::optional<long long> bits;
            if (slash != std::string_view::npos) {
                bits = parseDigits(ruleText.substr(slash + 1));
                if (!bits || (ruleText.substr(slash + 1).size() > 1 && ruleText[slash + 1] == '0')) {
                    error_ = "bad prefix length in --allow " + quoted(item);
                    return false;
                }
            }
            if (host.empty()) {
                error_ = "missing address in --allow " + quoted(item);
                return false;
            }
            std::vector<SocketAddress> addresses;
            if (!literalOrName(host, "--allow " + quoted(item), addresses)) return false;
            // An IPv4-mapped address (::ffff:10.0.0.0/104) is its IPv4 rule,
            // with the prefix counted from the IPv4 part; a shorter prefix
            // would also take in addresses that are IPv6 proper.
            if (bits && host.find(':') != std::string::npos && !addresses.front().isIpv6()) {
                if (*bits < 96 || *bits > 128) {
                    error_ = "bad prefix length in --allow " + quoted(item) +
                             " (96..128 for an IPv4-mapped address, or write it as IPv4)";
                    return false;
                }
                *bits -= 96;
            }
            for (SocketAddress address : addresses) {
                const int width = address.isIpv6() ? 128 : 32;
                if (bits && *bits > width) {
                    error_ = "bad prefix length in --allow " + quoted(item) + (width == 32 ? " (0..32)" : " (0..128)");
                    return false;
                }
                address.port = SocketAddress::fromIpv4(0, port).port;
                rules.push_back(AllowRule::make(address, bits ? static_cast<int>(*bits) : width));
            }
        }
        line_.settings.allowList = std::move(rules);
        return true;
    }

    // A host as the command line takes it: an address literal read strictly
    // (a dotted quad of four decimal pieces 0..255 without leading zeros, or
    // an IPv6 address), else a name for the resolver. Text made like an
    // address that is no valid one is an error, never a name: the resolver
    // would read "10.1" or "0x0a.0.0.1" its own way. `where` names the
    // argument for the error line.
    bool literalOrName(const std::string& host, const std::string& where, std::vector<SocketAddress>& addresses) {
        SocketAddress literal;
        if (!strictLiteral(host, literal)) {
            error_ = "bad address " + quoted(host) + " in " + where;
            return false;
        }
        if (literal.family != 0) {
            addresses = {literal};
            return true;
        }
        try {
            addresses = resolve_(host);
        } catch (const Exception&) {
            addresses.clear();
        }
        if (addresses.empty()) {
            error_ = "cannot resolve host " + quoted(host) + " in " + where;
            return false;
        }
        return true;
    }

    // False for a bad literal; a name leaves `literal.family` 0.
    static bool strictLiteral(const std::string& host, SocketAddress& literal) {
        literal.family = 0;
        in_addr numeric{};
        const bool looks = looksLikeAddressLiteral(host) || ::inet_aton(host.c_str(), &numeric) != 0;
        if (!looks) return true;
        if (host.find(':') == std::string::npos) {
            // No octal look-alikes ("010"), no final dot, no empty pieces.
            for (std::string_view piece : split(host, '.'))
                if (piece.empty() || (piece.size() > 1 && piece[0] == '0')) return false;
        }
        return parseAddressLiteral(host, literal);
    }

    // HOST or HOST:PORT with a port of 1..65535; an IPv6 address in
    // brackets ("[::1]:8080"), as it stands in the banner's addresses.
    static bool validBannerServer(std::string_view text) {
        std::string host, port;
        if (!splitHostPort(text, host, port) || host.empty()) return false;
        if (host.find(':') != std::string::npos && text.front() != '[') return false;
        if (text.back() == ':') return false;
        if (port.empty()) return true;
        auto n = parsePort(port);
        return n && *n >= 1;
    }

    bool shortOption(char letter, std::string_view value, const std::string& arg) {
        AppSettings& s = line_.settings;
        switch (letter) {
        case 'a': {
            auto id = codecIdFromName(value);
            if (!id) {
                error_ = "unknown codec " + quoted(value) + " in " + quoted(arg);
                return false;
            }
            s.codecId = *id;
            s.codecLabel = codecLabel(*id);
            return true;
        }
        case 'l': {
            auto parts = split(value, ':');
            if (parts.size() != 2) {
                error_ = "expected -l:port:yes or -l:port:no, got " + quoted(arg);
                return false;
            }
            auto port = parsePort(parts[0]);
            if (!port) {
                error_ = "bad port " + quoted(parts[0]) + " in " + quoted(arg) + " (0..65535)";
                return false;
            }
            auto listen = parseYesNo(parts[1]);
            if (!listen) {
                error_ = "expected yes or no, got " + quoted(parts[1]) + " in " + quoted(arg);
                return false;
            }
            s.port = *port;
            s.autoListen = *listen;
            return true;
        }
        case 'c':
            return connectOption(value, arg);
        case 'i':
        case 'o': {
            auto ref = parseDevice(value, arg);
            if (!ref) return false;
            (letter == 'i' ? s.recordDevice : s.playDevice) = *ref;
            return true;
        }
        case 'd':
            if (value == "send") {
                direction_ = Direction::Send;
            } else if (value == "receive") {
                direction_ = Direction::Receive;
            } else {
                error_ = "expected send or receive, got " + quoted(value) + " in " + quoted(arg);
                return false;
            }
            return true;
        case 't': {
            // -1 (the default: the link's own limit for a silent peer) or a
            // whole number of seconds; a day-long bound keeps
            // the link's second arithmetic far from overflow.
            std::optional<long long> seconds = value == "-1" ? std::optional<long long>(-1) : parseDigits(value);
            if (!seconds || *seconds > 1000000000) {
                error_ = "bad time-out " + quoted(value) + " in " + quoted(arg) + " (seconds, or -1 for the default)";
                return false;
            }
            s.timeout = static_cast<int>(*seconds);
            return true;
        }
        default:
            error_ = "unknown option " + quoted(arg);
            return false;
        }
    }

    // "host:port:yes", or "host:port,host:port,...,yes" (a colon before the
    // keyword is accepted too). Two or more pairs make a destination list.
    bool connectOption(std::string_view value, const std::string& arg) {
        size_t cut = value.find_last_of(",:");
        if (cut == std::string_view::npos) {
            error_ = "expected -c:host:port:yes or -c:host:port:no, got " + quoted(arg);
            return false;
        }
        auto keyword = parseYesNo(value.substr(cut + 1));
        if (!keyword) {
            error_ = "expected yes or no, got " + quoted(value.substr(cut + 1)) + " in " + quoted(arg);
            return false;
        }
        std::vector<std::pair<std::string, int>> pairs;
        for (std::string_view pair : split(value.substr(0, cut), ',')) {
            std::string host, portText;
            if (!splitHostPort(pair, host, portText) || host.empty() || portText.empty()) {
                error_ = "expected host:port ([address]:port for IPv6), got " + quoted(pair) + " in " + quoted(arg);
                return false;
            }
            auto port = parsePort(portText);
            if (!port) {
                error_ = "bad port " + quoted(portText) + " in " + quoted(arg) + " (0..65535)";
                return false;
            }
            SocketAddress literal;
            // Brackets hold IPv6 text only; an IPv4-mapped one comes out as IPv4.
            if (!strictLiteral(host, literal) || (pair.front() == '[' && host.find(':') == std::string::npos)) {
                error_ = "bad address " + quoted(host) + " in " + quoted(arg);
                return false;
            }
            pairs.emplace_back(host, *port);
        }
        AppSettings& s = line_.settings;
        s.autoConnect = *keyword;
        if (pairs.size() == 1) {
            s.host = pairs[0].first;
            s.port = pairs[0].second;
            s.destinations.clear();
            return true;
        }
        std::vector<SocketAddress> destinations;
        for (const auto& [host, port] : pairs) {
            std::vector<SocketAddress> addresses;
            if (!literalOrName(host, quoted(arg), addresses)) return false;
            // A name goes to its preferred address.
            SocketAddress address = addresses.front();
            address.port = SocketAddress::fromIpv4(0, port).port;
            destinations.push_back(address);
        }
        s.destinations = std::move(destinations);
        return true;
    }

    // "0" (default), "n" (n-th device), a sound-server name, or "alsa:" and
    // an ALSA PCM name, colons and all ("alsa:plughw:CARD=Device,DEV=0").
    std::optional<SoundDeviceRef> parseDevice(std::string_view value, const std::string& arg) {
        if (value.empty()) {
            error_ = "missing device in " + quoted(arg);
            return std::nullopt;
        }
        constexpr std::string_view alsa = "alsa:";
        if (value.substr(0, alsa.size()) == alsa) {
            if (value.size() == alsa.size()) {
                error_ = "missing ALSA device name in " + quoted(arg) + " (e.g. alsa:default)";
                return std::nullopt;
            }
            return SoundDeviceRef::named(std::string(value.substr(alsa.size())), "alsa");
        }
        bool numeric = value.find_first_not_of("0123456789") == std::string_view::npos;
        bool negative = value[0] == '-' && value.size() > 1 &&
                        value.find_first_not_of("0123456789", 1) == std::string_view::npos;
        if (negative || (numeric && value.size() > 6)) {
            error_ = "device number out of range: " + quoted(arg);
            return std::nullopt;
        }
        if (numeric) {
            int n = static_cast<int>(*parseDigits(value));
            return SoundDeviceRef(n == 0 ? -1 : n);
        }
        return SoundDeviceRef::named(std::string(value));
    }

    const HostResolver& resolve_;
    CommandLine line_;
    Direction direction_ = Direction::Both;
    std::string error_;
};

// Files and ALSA PCMs are not in the sound server's lists (an ALSA PCM need
// not be listed to open).
bool isFile(const SoundDeviceRef& ref) { return ref.backend == "file" || ref.backend == "alsa"; }

std::optional<CommandLineError> checkOne(const SoundDeviceRef& ref, const char* option, const char* kind,
                                         const std::vector<SoundDeviceInfo>* list,
                                         const std::vector<SoundDeviceInfo>* sinks) {
    if (isFile(ref) || !list) return std::nullopt;
    if (ref.name.empty()) {
        if (ref.number <= 0 || static_cast<size_t>(ref.number) <= list->size()) return std::nullopt;
        return CommandLineError{std::string("device number out of range: '") + option + std::to_string(ref.number) +
                                "' (there " + (list->size() == 1 ? "is " : "are ") +
                                std::to_string(list->size()) + " " + kind + " device" +
                                (list->size() == 1 ? "" : "s") + "; see --list-devices)"};
    }
    for (const auto& d : *list)
        if (d.name == ref.name) return std::nullopt;
    if (sinks) {
        constexpr std::string_view suffix = ".monitor";
        std::string_view name = ref.name;
        if (name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix) {
            std::string_view sink = name.substr(0, name.size() - suffix.size());
            for (const auto& d : *sinks)
                if (d.name == sink) return std::nullopt;
        }
    }
    return CommandLineError{std::string("unknown ") + kind + " device '" + option + ref.name +
                            "' (see --list-devices)"};
}

}  // namespace

std::string makeBuildLabel(int year, int month, int day) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d%02d%02d", year - 2000, month, day);
    return text;
}

std::string buildLabelFromCompilerDate(const char* compilerDate) {
    // __DATE__ is "Mmm dd yyyy" with a blank before a one-digit day.
    std::string_view text = compilerDate ? compilerDate : "";
    if (text.size() != 11) return "000000";
    int month = 0;
    for (int m = 0; m < 12; ++m)
        if (text.substr(0, 3) == kMonths[m]) month = m + 1;
    int day = 0, year = 0;
    std::string_view dayText = text.substr(4, 2);
    if (dayText[0] == ' ') dayText.remove_prefix(1);
    auto d = std::from_chars(dayText.data(), dayText.data() + dayText.size(), day);
    auto y = std::from_chars(text.data() + 7, text.data() + 11, year);
    if (month == 0 || d.ec != std::errc() || y.ec != std::errc()) return "000000";
    return makeBuildLabel(year, month, day);
}

ParseResult parseCommandLine(const std::vector<std::string>& args, const AppSettings& base,
                             const HostResolver& resolve) {
    return Parser(base, resolve).run(args);
}

ParseResult parseCommandLine(const std::vector<std::string>& args, const AppSettings& base) {
    HostResolver resolver = [](const std::string& host) { return resolveAll(host.c_str()); };
    return parseCommandLine(args, base, resolver);
}

std::optional<CommandLineError> checkDevices(const AppSettings& settings,
                                             const std::vector<SoundDeviceInfo>* inputs,
                                             const std::vector<SoundDeviceInfo>* outputs) {
    if (auto e = checkOne(settings.recordDevice, "-i:", "recording", inputs, outputs)) return e;
    return checkOne(settings.playDevice, "-o:", "playing", outputs, nullptr);
}

}  // namespace ambrel
