#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zovir {

int OpenRegularFile(const std::string& path) {
  struct stat st {};
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  // Looked at before opening: opening some devices already does something.
  if (::stat(path.c_str(), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  // O_NONBLOCK: should the path have been swapped for a FIFO meanwhile, the open still returns.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& out, std::string* why) {
  auto fail = [why](std::string reason) {
    if (why) *why = std::move(reason);
    return false;
  };
  const int fd = OpenRegularFile(path);
  if (fd < 0) {
    if (errno == EINVAL) return fail("it is not a regular file");
    if (errno == ENOENT) return fail("it does not exist");
    return fail(std::strerror(errno));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || static_cast<unsigned long long>(st.st_size) > maxBytes) {
    ::close(fd);
    return fail("it is larger than " + std::to_string(maxBytes) + " bytes");
  }
  std::string text;
  text.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  // One byte past the limit tells a file that grew while it was read.
  char extra = 0;
  for (;;) {
    char* at = done < text.size() ? text.data() + done : &extra;
    const size_t want = done < text.size() ? text.size() - done : 1;
    const ssize_t n = ::read(fd, at, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      return fail(std::strerror(err));
    }
    if (n == 0) break;
    if (done >= text.size()) {
      if (text.size() >= maxBytes) {
        ::close(fd);
        return fail("it is larger than " + std::to_string(maxBytes) + " bytes");
      }
      text.push_back(extra);
      ++done;
      continue;
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  text.resize(done);
  out = std::move(text);
  return true;
}

}  // namespace zovir
