#include "base/Files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

namespace ambrel {

std::filesystem::path replaceTarget(const std::filesystem::path& file) {
    std::error_code ec;
    if (std::filesystem::is_symlink(file, ec)) {
        const std::filesystem::path resolved = std::filesystem::canonical(file, ec);
        if (!ec) return resolved;
    }
    return file;
}

bool isReadOnly(const std::filesystem::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return false;
    return (st.st_mode & 0222) == 0 || ::access(file.c_str(), W_OK) != 0;
}

}  // namespace ambrel
