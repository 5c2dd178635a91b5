// The tool's own files on POSIX: descriptors opened O_CLOEXEC, O_NOFOLLOW at the last
// component, permissions set on the descriptor so no other user ever sees a readable file.
#include "platform/private_files.h"
#include "platform/regular_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace zovir {
namespace {

int Fd(FileHandle::Native n) { return static_cast<int>(n); }

// O_NONBLOCK only guards the open against a FIFO; reads and writes of a file block as usual.
void ClearNonBlock(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

mode_t ModeOf(FileAccess access) { return access == FileAccess::OwnerProgram ? 0700 : 0600; }

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = other.Release();
  }
  return *this;
}

bool FileHandle::WriteAll(const void* data, size_t n) {
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::write(Fd(native_), p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return false;
    if (w == 0) {
      errno = EIO;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

long long FileHandle::ReadSome(void* data, size_t n) {
  for (;;) {
    const ssize_t r = ::read(Fd(native_), data, n);
    if (r < 0 && errno == EINTR) continue;
    return r;
  }
}

size_t FileHandle::ReadFull(void* data, size_t n) {
  auto* p = static_cast<char*>(data);
  size_t got = 0;
  errno = 0;
  while (got < n) {
    const long long r = ReadSome(p + got, n - got);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

std::optional<uint64_t> FileHandle::Size() const {
  struct stat st {};
  if (::fstat(Fd(native_), &st) != 0) return std::nullopt;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return std::nullopt;
  }
  return static_cast<uint64_t>(st.st_size);
}

bool FileHandle::IsRegular() const {
  struct stat st {};
  return ::fstat(Fd(native_), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<FileIdentity> FileHandle::Identity() const {
  struct stat st {};
  if (::fstat(Fd(native_), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

bool FileHandle::Sync() { return ::fsync(Fd(native_)) == 0; }

bool FileHandle::Lock(bool wait) {
  int rc;
  while ((rc = ::flock(Fd(native_), LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
  }
  return rc == 0;
}

bool FileHandle::Close() {
  if (native_ == kNone) return true;
  // Linux releases the descriptor even when close reports an error: never retried.
  return ::close(Fd(Release())) == 0;
}

FolderLock::FolderLock(const std::string& filePath)
    : held_(::open(FolderOf(filePath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (held_) held_.Lock(true);
}

FolderLock::~FolderLock() = default;

FileHandle CreatePrivateFile(const std::string& path, CreateMode mode, FileAccess access) {
  int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  if (mode == CreateMode::New) flags |= O_EXCL;
  if (mode == CreateMode::Truncate) flags |= O_TRUNC;
  if (mode == CreateMode::Append) flags |= O_APPEND;
  const mode_t wanted = ModeOf(access);
  FileHandle file(::open(path.c_str(), flags, wanted));
  if (!file) return file;
  struct stat st {};
  if (::fstat(Fd(file.native()), &st) != 0) return {};
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return {};
  }
  // A new file had the umask applied, an old one keeps its mode through the open: both end
  // with exactly the wanted bits.
  if ((st.st_mode & 07777) != wanted && ::fchmod(Fd(file.native()), wanted) != 0) return {};
  ClearNonBlock(Fd(file.native()));
  return file;
}

FileHandle OpenNoFollow(const std::string& path) {
  FileHandle file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (file) ClearNonBlock(Fd(file.native()));
  return file;
}

std::optional<FileIdentity> IdentityAt(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

FileHandle OpenRegularFile(const std::string& path) {
  struct stat st {};
  if (path.empty()) {
    errno = ENOENT;
    return {};
  }
  // Looked at before opening: opening some devices already does something.
  if (::stat(path.c_str(), &st) != 0) return {};
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return {};
  }
  // O_NONBLOCK: should the path have been swapped for a FIFO meanwhile, the open still returns.
  FileHandle file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file) return file;
  if (!file.IsRegular()) {
    errno = EINVAL;
    return {};
  }
  ClearNonBlock(Fd(file.native()));
  // Every reader goes through such a file from its start to its end.
  ::posix_fadvise(Fd(file.native()), 0, 0, POSIX_FADV_SEQUENTIAL);
  return file;
}

std::FILE* OpenStdioFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::optional<uint64_t> RegularFileSize(std::FILE* file) {
  struct stat st {};
  if (file == nullptr || ::fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

bool SeekFile(std::FILE* file, uint64_t offset) {
  return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool WriteFileAtomically(const std::string& path, std::string_view data, FileAccess access) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  // The sibling is created with O_EXCL rather than mkstemp so that the kernel applies the
  // umask to a new file; reading the umask would mean changing it, for every thread at once.
  const mode_t createMode = access == FileAccess::Inherit ? 0666 : ModeOf(access);
  std::string name;
  FileHandle file;
  for (int attempt = 0; !file; ++attempt) {
    uint64_t random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random))
      random = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) +
               static_cast<uint64_t>(attempt);
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(random));
    name = path + suffix;
    file = FileHandle(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, createMode));
    if (!file && (errno != EEXIST || attempt >= 100)) return false;
  }
  bool ok = true;
  struct stat st {};
  if (access != FileAccess::Inherit) {
    ok = ::fchmod(Fd(file.native()), createMode) == 0;  // the umask may have taken the owner's own bits
  } else if (::stat(path.c_str(), &st) == 0) {
    ok = ::fchmod(Fd(file.native()), st.st_mode & 07777) == 0;
  }
  ok = ok && file.WriteAll(data) && file.Sync();
  int err = errno;
  if (!file.Close() && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(name.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(name.c_str());
    errno = err;
    return false;
  }
  // The new name is in place either way; flushing the folder only makes it outlast a crash.
  SyncFolder(FolderOf(path));
  return true;
}

bool AppendToFile(const std::string& path, std::string_view text) {
  FileHandle file = CreatePrivateFile(path, CreateMode::Append);
  if (!file || !file.Lock(true)) return false;
  // One write: with O_APPEND the line lands whole at the end, after any other writer's.
  for (;;) {
    const ssize_t n = ::write(Fd(file.native()), text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n == static_cast<ssize_t>(text.size())) return file.Close();
    if (n >= 0) errno = EIO;
    return false;
  }
}

bool SyncFolder(const std::string& path) {
  FileHandle folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
  return folder && folder.Sync();
}

FolderState InspectFolder(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? FolderState::Missing : FolderState::NotAFolder;
  if (!S_ISDIR(st.st_mode)) return FolderState::NotAFolder;
  if (st.st_uid != ::geteuid()) return FolderState::Foreign;
  if ((st.st_mode & 022) != 0) return FolderState::OthersMayWrite;
  if ((st.st_mode & 077) != 0) return FolderState::OthersMayRead;
  return FolderState::Private;
}

bool CreatePrivateFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  switch (InspectFolder(path)) {
    case FolderState::Private:
      return true;
    case FolderState::OthersMayRead:
    case FolderState::OthersMayWrite:
      return ::chmod(path.c_str(), 0700) == 0;
    case FolderState::Foreign:
      errno = EACCES;
      return false;
    case FolderState::Missing:
      errno = ENOENT;
      return false;
    case FolderState::NotAFolder:
      break;
  }
  errno = ENOTDIR;
  return false;
}

bool CreatePrivateFolders(const std::string& path, std::string* failedAt) {
  const auto fail = [failedAt](const std::string& partial, int error) {
    if (failedAt) *failedAt = partial;
    errno = error;
    return false;
  };
  if (path.empty()) return fail(path, ENOENT);
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    const std::string partial = path.substr(0, pos);
    if (partial.empty() || partial.back() == '/') continue;
    struct stat st {};
    if (::stat(partial.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return fail(partial, ENOTDIR);
    } else if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      return fail(partial, errno);
    }
  }
  return true;
}

std::string MakePrivateTempFolder(const std::string& prefix) {
  std::string name = prefix + "XXXXXX";
  // mkdtemp makes the folder 0700 and never reuses a name.
  return ::mkdtemp(name.data()) != nullptr ? name : std::string();
}

}  // namespace zovir
