// Whole-file helpers of the XML document library and their exceptions.
//
// Both functions report only through their boolean result: the file
// exceptions below are raised and caught inside them and never reach the
// caller. Files are handled as raw bytes (no newline conversion).
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/Exception.h"

namespace ambrel {

// Common base; never raised itself.
class FileException : public Exception {};
// Opening a file for reading failed.
class FileCantOpenException : public FileException {};
// Opening a file in create-and-truncate mode failed.
class FileCantCreateException : public FileException {};
// A read returned an error.
class FileCantReadException : public FileException {};
// A write returned an error.
class FileCantWriteException : public FileException {};
// Closing a file returned an error.
class FileCantCloseException : public FileException {};

// The largest file readWholeFile reads (64 MiB), far above any file this
// program keeps; a larger one (a mistake, or a huge sparse file) is refused
// rather than loaded.
inline constexpr std::size_t kMaxWholeFileSize = 64u * 1024u * 1024u;

// Reads the whole file at `path` (relative paths resolve against the current
// directory) into `out`. False, with `out` untouched, for a null path, a
// missing file, an empty file, a file over kMaxWholeFileSize, a lack of
// memory or any read error.
bool readWholeFile(const char* path, std::string& out);
bool readWholeFile(const std::filesystem::path& path, std::string& out);

// Creates or truncates `path` (permissions rw for everyone, less the umask)
// and writes `length` bytes from `data` into it. True when the file was
// created, written and closed; false for a null path or any failure, in which
// case the file may be left truncated or partly written.
bool writeWholeFile(const char* path, const void* data, std::size_t length);
bool writeWholeFile(const std::filesystem::path& path, const void* data, std::size_t length);
bool writeWholeFile(const std::filesystem::path& path, std::string_view data);

}  // namespace ambrel
