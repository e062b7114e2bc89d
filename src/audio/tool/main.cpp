// ambrel-codec: runs a codec of the table on files the way the audio engine
// does, one frame at a time.
//
//   ambrel-codec encode CODEC IN OUT   audio file to concatenated frames
//   ambrel-codec decode CODEC IN OUT   concatenated frames to audio file
//   ambrel-codec info CODEC            what the codec id selects
//
// Audio files are raw signed 16-bit little-endian mono at the codec's rate,
// or WAV when the name ends in ".wav". Exit codes: 0 done, 1 internal
// failure, 2 bad arguments or a file that cannot be read or written.
#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "audio/CodecId.h"
#include "audio/CodecTable.h"
#include "audio/codecs/DeltaBitCodec.h"
#include "audio/codecs/FrameBuffer.h"
#include "audio/codecs/SpeexCodec.h"
#include "base/Exception.h"

namespace {

using namespace ambrel;

constexpr int kUsageError = 2;

// A failure reported to the user with exit code 2.
struct UsageError {
    std::string message;
    bool showHelp = false;  // the command line itself was wrong
};

void printUsage(std::FILE* to) {
    std::fputs(
        "usage: ambrel-codec encode CODEC IN OUT\n"
        "       ambrel-codec decode CODEC IN OUT\n"
        "       ambrel-codec info CODEC\n"
        "CODEC is a codec name or a numeric codec id (0-255, e.g. 0x84).\n"
        "Audio files are raw signed 16-bit little-endian mono at the codec's\n"
        "sample rate, or WAV when the name ends in .wav; encoded files are the\n"
        "codec frames one after another.\n"
        "Codec names:\n",
        to);
    for (const CodecName& name : codecNames()) {
        std::fprintf(to, "  %-12.*s 0x%02X  %.*s\n", static_cast<int>(name.name.size()), name.name.data(), name.id,
                     static_cast<int>(name.description.size()), name.description.data());
    }
}

std::optional<CodecId> parseCodec(const std::string& text) {
    if (auto id = codecIdFromName(text)) return id;
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value > 255) return std::nullopt;
    return static_cast<CodecId>(value);
}

bool isWav(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
    return tail == ".wav";
}

std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError{"cannot read " + path + ": " + std::strerror(errno)};
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw UsageError{"cannot read " + path};
    return bytes;
}

void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw UsageError{"cannot write " + path + ": " + std::strerror(errno)};
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw UsageError{"cannot write " + path};
}

std::vector<std::int16_t> readAudio(const std::string& path, std::uint32_t rate) {
    if (!isWav(path)) {
        const std::vector<std::uint8_t> bytes = readBytes(path);
        if (bytes.size() % 2 != 0) throw UsageError{path + ": raw audio must be whole 16-bit samples"};
        std::vector<std::int16_t> samples(bytes.size() / 2);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        }
        return samples;
    }
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) throw UsageError{"cannot read " + path + ": " + sf_strerror(nullptr)};
    if (info.channels != 1 || info.samplerate != static_cast<int>(rate)) {
        sf_close(file);
        throw UsageError{path + ": has " + std::to_string(info.channels) + " channel(s) at " +
                         std::to_string(info.samplerate) + " Hz; the codec needs mono at " + std::to_string(rate) +
                         " Hz"};
    }
    std::vector<std::int16_t> samples(static_cast<std::size_t>(std::max<sf_count_t>(info.frames, 0)));
    const sf_count_t got = sf_read_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    samples.resize(static_cast<std::size_t>(std::max<sf_count_t>(got, 0)));
    return samples;
}

void writeAudio(const std::string& path, const std::vector<std::int16_t>& samples, std::uint32_t rate) {
    if (!isWav(path)) {
        std::vector<std::uint8_t> bytes(samples.size() * 2);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const auto v = static_cast<std::uint16_t>(samples[i]);
            bytes[2 * i] = static_cast<std::uint8_t>(v & 0xFF);
            bytes[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
        }
        writeBytes(path, bytes);
        return;
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) throw UsageError{"cannot write " + path + ": " + sf_strerror(nullptr)};
    const sf_count_t put = sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    const int closed = sf_close(file);
    if (put != static_cast<sf_count_t>(samples.size()) || closed != 0) throw UsageError{"cannot write " + path};
}

// Encodes one frame of 16-bit samples as the capture path does: at the id's
// width, through the adapter, or raw when there is none.
void encodeFrame(const CodecSelection& selection, const std::int16_t* frame, std::size_t count,
                 std::vector<std::uint8_t>& narrowed, std::vector<std::uint8_t>& encoded) {
    VoiceCodec* codec = selection.codec();
    if (selection.bitsPerSample() == 8) {
        narrowed.resize(count);
        codec::narrow(frame, count, narrowed.data());
        if (codec != nullptr) codec->encode8(narrowed.data(), count, encoded, false);
        else encoded = narrowed;
        return;
    }
    if (codec != nullptr) {
        codec->encode16(frame, count, encoded, false);
        return;
    }
    encoded.resize(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        const auto v = static_cast<std::uint16_t>(frame[i]);
        encoded[2 * i] = static_cast<std::uint8_t>(v & 0xFF);
        encoded[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
    }
}

int encodeFile(CodecId id, const std::string& inPath, const std::string& outPath) {
    CodecSelection selection;
    selection.select(id);
    std::vector<std::int16_t> samples = readAudio(inPath, selection.sampleRate());
    const std::size_t frame = selection.frameSamples();
    const std::size_t frames = (samples.size() + frame - 1) / frame;
    samples.resize(frames * frame, 0);  // the last partial frame is padded with silence

    std::vector<std::uint8_t> output;
    std::vector<std::uint8_t> narrowed;
    std::vector<std::uint8_t> encoded;
    for (std::size_t f = 0; f < frames; ++f) {
        encodeFrame(selection, samples.data() + f * frame, frame, narrowed, encoded);
        output.insert(output.end(), encoded.begin(), encoded.end());
    }
    writeBytes(outPath, output);
    return 0;
}

// The length of the frame starting at `bytes`. Frames carry no length, so
// variable-size ones are measured by parsing them.
std::size_t frameLength(const CodecSelection& selection, const std::uint8_t* bytes, std::size_t remaining) {
    VoiceCodec* codec = selection.codec();
    const std::size_t samples = selection.frameSamples();
    std::size_t length = samples * (selection.bitsPerSample() / 8);
    if (dynamic_cast<DeltaBitCodec*>(codec) != nullptr) {
        length = DeltaBitCodec::frameLength(bytes, remaining, samples);
    } else if (dynamic_cast<SpeexCodec*>(codec) != nullptr) {
        length = remaining;  // the decoder reads what it needs; see consumedBytes()
    } else if (codec != nullptr) {
        const CodecRow* row = codecRow(codecKind(selection.id()));
        if (row != nullptr && row->frameBytes != 0) length = row->frameBytes;
    }
    return std::clamp<std::size_t>(length, 1, remaining);
}

int decodeFile(CodecId id, const std::string& inPath, const std::string& outPath) {
    CodecSelection selection;
    selection.select(id);
    const std::vector<std::uint8_t> input = readBytes(inPath);
    VoiceCodec* codec = selection.codec();
    auto* speex = dynamic_cast<SpeexCodec*>(codec);

    std::vector<std::int16_t> output;
    std::vector<std::int16_t> wide;
    std::vector<std::uint8_t> narrow;
    std::size_t failed = 0;
    for (std::size_t offset = 0; offset < input.size();) {
        const std::uint8_t* frame = input.data() + offset;
        const std::size_t length = frameLength(selection, frame, input.size() - offset);
        if (selection.bitsPerSample() == 8) {
            if (codec != nullptr) {
                if (codec->decode8(frame, length, narrow, false) == 0) ++failed;
            } else {
                narrow.assign(frame, frame + length);
            }
            wide.resize(narrow.size());
            codec::widen(narrow.data(), narrow.size(), wide.data());
        } else if (codec != nullptr) {
            if (codec->decode16(frame, length, wide, false) == 0) ++failed;
        } else {
            wide.resize(length / 2);
            for (std::size_t i = 0; i < wide.size(); ++i) {
                wide[i] = static_cast<std::int16_t>(frame[2 * i] | (frame[2 * i + 1] << 8));
            }
        }
        if (speex != nullptr) offset += std::clamp<std::size_t>(speex->consumedBytes(), 1, length);
        else offset += length;
        // As the player does: whatever the decoder left in the frame is played.
        output.insert(output.end(), wide.begin(), wide.end());
    }
    if (failed > 0) std::fprintf(stderr, "ambrel-codec: %zu frame(s) did not decode\n", failed);
    writeAudio(outPath, output, selection.sampleRate());
    return 0;
}

int printInfo(CodecId id) {
    CodecSelection selection;
    selection.select(id);
    const unsigned kind = codecKind(id);
    const CodecRow* row = codecRow(kind);
    const std::string_view name = codecNameOf(id);

    std::printf("codec: %s", codecLabel(id).c_str());
    if (!name.empty()) std::printf(" (%.*s)", static_cast<int>(name.size()), name.data());
    std::printf("\nid: 0x%02X\n", id);
    std::printf("kind: %u (%s)\n", kind, row != nullptr ? row->word : "none, raw pcm");
    std::printf("sample rate: %u Hz\n", selection.sampleRate());
    std::printf("sample width: %u bits\n", selection.bitsPerSample());
    std::printf("samples per frame: %u\n", selection.frameSamples());

    const bool variable = kind == static_cast<unsigned>(CodecKind::Delta) ||
                          kind == static_cast<unsigned>(CodecKind::SpeexVbr);
    if (variable) {
        std::printf("bytes per frame: variable\n");
        return 0;
    }
    // Fixed-size frames: measure one frame of silence through the capture path.
    std::vector<std::int16_t> silence(selection.frameSamples(), 0);
    std::vector<std::uint8_t> narrowed;
    std::vector<std::uint8_t> encoded;
    encodeFrame(selection, silence.data(), silence.size(), narrowed, encoded);
    std::printf("bytes per frame: %zu\n", encoded.size());
    return 0;
}

int run(int argc, char** argv) {
    if (argc < 2) throw UsageError{"missing command", true};
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        printUsage(stdout);
        return 0;
    }
    const bool info = command == "info";
    if (!info && command != "encode" && command != "decode") throw UsageError{"unknown command '" + command + "'", true};
    const int wanted = info ? 3 : 5;
    if (argc != wanted) throw UsageError{"'" + command + "' takes " + (info ? "CODEC" : "CODEC IN OUT"), true};
    const std::optional<CodecId> id = parseCodec(argv[2]);
    if (!id) throw UsageError{"unknown codec '" + std::string(argv[2]) + "'", true};
    if (info) return printInfo(*id);
    if (command == "encode") return encodeFile(*id, argv[3], argv[4]);
    return decodeFile(*id, argv[3], argv[4]);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "ambrel-codec: %s\n", e.message.c_str());
        if (e.showHelp) std::fputs("Try 'ambrel-codec --help' for the usage and the codec names.\n", stderr);
        return kUsageError;
    } catch (const ambrel::MemoryException&) {
        std::fputs("ambrel-codec: out of memory\n", stderr);
        return 1;
    } catch (const std::bad_alloc&) {
        std::fputs("ambrel-codec: out of memory\n", stderr);
        return 1;
    }
}
