// Replacing a file whole: what to replace, and whether the user allows it.
#pragma once

#include <filesystem>

namespace ambrel {

// The file that writing `file` through a temporary file and a rename must
// replace: the target of a symbolic link (so the link stays a link), else
// `file` itself.
std::filesystem::path replaceTarget(const std::filesystem::path& file);

// An existing file the user keeps read-only: no write bit at all, or not
// writable by this process. Kept also where the system would let this
// process write (as the superuser). False for a file that does not exist.
bool isReadOnly(const std::filesystem::path& file);

}  // namespace ambrel
