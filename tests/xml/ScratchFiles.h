// Test helpers for file tests: a scratch directory per test and whole-file
// reading and writing with the standard library (independent of the code
// under test).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <unistd.h>

namespace ambrel::testing {

// The address book example: root "contacts", one contact Bob, 127.0.0.1,
// 5007, written indented from level 0 with empty elements self-closed.
inline constexpr const char kContactsExample[] =
    "<contacts>\r\n"
    "\t<contact>\r\n"
    "\t\t<name>Bob</name>\r\n"
    "\t\t<host>127.0.0.1</host>\r\n"
    "\t\t<port>5007</port>\r\n"
    "\t</contact>\r\n"
    "</contacts>\r\n";

// An empty directory under the system's temporary directory, named after the
// process and the running test, removed again with everything in it.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix) {
        path_ = std::filesystem::temp_directory_path() /
                (prefix + "-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void put(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

}  // namespace ambrel::testing
