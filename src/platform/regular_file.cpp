#include "platform/regular_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace zovir {

std::optional<uint64_t> RegularFileSize(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) return std::nullopt;
  return static_cast<uint64_t>(size);
}

bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& out, std::string* why) {
  auto fail = [why](std::string reason) {
    if (why) *why = std::move(reason);
    return false;
  };
  FileHandle file = OpenRegularFile(path);
  if (!file) {
    if (errno == EINVAL) return fail("it is not a regular file");
    if (errno == ENOENT) return fail("it does not exist");
    return fail(std::strerror(errno));
  }
  const std::optional<uint64_t> size = file.Size();
  if (!size || *size > maxBytes) return fail("it is larger than " + std::to_string(maxBytes) + " bytes");
  std::string text;
  text.resize(static_cast<size_t>(*size));
  size_t done = 0;
  // One byte past the limit tells a file that grew while it was read.
  char extra = 0;
  for (;;) {
    char* at = done < text.size() ? text.data() + done : &extra;
    const size_t want = done < text.size() ? text.size() - done : 1;
    const long long n = file.ReadSome(at, want);
    if (n < 0) return fail(std::strerror(errno));
    if (n == 0) break;
    if (done >= text.size()) {
      if (text.size() >= maxBytes) return fail("it is larger than " + std::to_string(maxBytes) + " bytes");
      text.push_back(extra);
      ++done;
      continue;
    }
    done += static_cast<size_t>(n);
  }
  text.resize(done);
  out = std::move(text);
  return true;
}

}  // namespace zovir
