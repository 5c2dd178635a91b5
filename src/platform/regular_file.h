#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "platform/private_files.h"

namespace zovir {

// Every file the tool reads that it did not just write itself (a packet's Config.ini and
// images, the device map, the backups and settings in its own folders) may have been replaced
// by something that is not a file: a FIFO blocks a reader for ever, /dev/zero or /dev/urandom
// never end. These open a path only when it is a regular file (links followed), never block
// while opening, and read at most a stated size; anything else is an error with a reason.

// Limits of the files read whole.
inline constexpr size_t kMaxProfileFileBytes = 16u << 20;  // Config.ini, backups, settings
inline constexpr size_t kMaxDeviceMapBytes = 1u << 20;     // the device map

// The regular file `path` open for reading, or a closed handle with errno set (EINVAL when
// the path names something other than a regular file). Looked at before opening, since
// opening some devices already does something; checked again once open.
FileHandle OpenRegularFile(const std::string& path);

// Reads the whole regular file `path` into `out`. False when it is missing, not a regular
// file, larger than `maxBytes` or unreadable; `why` (when given) then says which, in words.
bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& out, std::string* why = nullptr);

// The size of `path` when it is a regular file (links followed); nothing when it is missing
// or anything else.
std::optional<uint64_t> RegularFileSize(const std::string& path);

// For files read and written through stdio: an open that takes the path as the UTF-8 it is on
// every system (the C library of Windows would read it in the user's ANSI code page), the size
// of the open stream's file when it is a regular one, and a seek that reaches past 2 GiB.
std::FILE* OpenStdioFile(const std::string& path, const char* mode);
std::optional<uint64_t> RegularFileSize(std::FILE* file);
bool SeekFile(std::FILE* file, uint64_t offset);

}  // namespace zovir
