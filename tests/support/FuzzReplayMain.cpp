// Driver for fuzz targets in the ordinary (non-libFuzzer) build.
// With arguments, every file (or every file in every directory) is fed to the
// target once; without, a fixed set of pseudo-random inputs is, so every
// target runs on each test run even where no seed corpus exists.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void runFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(p)) {
                if (e.is_regular_file()) { runFile(e.path()); ++inputs; }
            }
        } else {
            runFile(p);
            ++inputs;
        }
    }
    if (argc == 1) {
        std::mt19937 rng(12345);
        LLVMFuzzerTestOneInput(nullptr, 0);
        for (int n = 0; n < 3000; ++n) {
            std::vector<uint8_t> bytes(rng() % 1200);
            for (auto& b : bytes) b = static_cast<uint8_t>(rng());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++inputs;
        }
    }
    std::printf("%d inputs replayed\n", inputs);
    return 0;
}
