#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zovir {

// The files and folders the tool writes for itself (backups, the work folder, locks, logs)
// hold a modem's identity and a user's data. Everything here keeps them the user's alone and
// never lets a link planted in one of those folders redirect a write.
//
// Failures return false (or an empty result) and leave errno set; where the system reports
// its own error codes, the nearest errno value stands for them (ENOENT, EEXIST, EACCES,
// ENOTDIR, ELOOP, EWOULDBLOCK, EINVAL, ENOSPC, EIO).

// Who may use a file the tool writes.
enum class FileAccess {
  Inherit,       // replacing a file keeps its permissions; a new one gets the system's defaults
  OwnerOnly,     // the user alone may read and write it (0600)
  OwnerProgram,  // the user alone may read, write and run it (0700)
};

// How CreatePrivateFile treats a file already at the path.
enum class CreateMode {
  New,       // refuse it (EEXIST): the caller must be the one that made the file
  Truncate,  // empty it
  Keep,      // keep its contents
  Append,    // keep its contents; every write goes to its end
};

// Two opens of one file have equal identities (device and file number); different files
// that exist at the same time never do.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t file = 0;
  bool operator==(const FileIdentity&) const = default;
};

// An open file, closed when the handle leaves scope. Holds a descriptor on POSIX and a
// HANDLE on Windows, as an integer: -1 is "not open" on both.
class FileHandle {
 public:
  using Native = std::intptr_t;
  static constexpr Native kNone = -1;

  FileHandle() = default;
  explicit FileHandle(Native native) : native_(native) {}
  ~FileHandle() { Close(); }
  FileHandle(FileHandle&& other) noexcept : native_(other.Release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  bool IsOpen() const { return native_ != kNone; }
  explicit operator bool() const { return IsOpen(); }
  Native native() const { return native_; }
  // Gives up ownership without closing.
  Native Release() {
    const Native n = native_;
    native_ = kNone;
    return n;
  }

  // Writes all `n` bytes, continuing after short or interrupted writes.
  bool WriteAll(const void* data, size_t n);
  bool WriteAll(std::string_view text) { return WriteAll(text.data(), text.size()); }
  // Reads up to `n` bytes: the count, 0 at the end of the file, -1 on failure.
  long long ReadSome(void* data, size_t n);
  // Reads until `n` bytes or the end of the file; the count read (errno set when it stopped
  // short because of a failure rather than the end).
  size_t ReadFull(void* data, size_t n);
  // The size of a regular file; nothing (EINVAL) for anything else.
  std::optional<uint64_t> Size() const;
  // True for a regular file (not a folder, device, pipe or socket).
  bool IsRegular() const;
  std::optional<FileIdentity> Identity() const;
  // Flushes the file's data to the disk itself: what a restore relies on after the flash is
  // rewritten must not sit in a cache. Works on a handle opened for reading too.
  bool Sync();
  // Exclusive advisory lock on the whole file, held until the handle is closed. Without
  // `wait`, false with EWOULDBLOCK at once when another handle (of any process) holds it;
  // two handles of one process exclude each other too.
  bool Lock(bool wait);
  // Closes now; false when the system reports that the close failed (data may be lost).
  bool Close();

 private:
  Native native_ = kNone;
};

// Serialises read-modify-write cycles of the files of one folder across processes (the tool
// and a helper program may change the same Config.ini at once): waits for, then holds for the
// object's life, the lock of the folder that holds `filePath`. The lock belongs to the folder,
// so no lock file is left beside the files. When the folder cannot be locked, the object holds
// nothing and the cycle runs unserialised.
class FolderLock {
 public:
  explicit FolderLock(const std::string& filePath);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  FileHandle held_;  // the system object that carries the lock
};

// Creates or opens `path` for reading and writing as a file of the user's alone: a new file
// gets `access` (Inherit counts as OwnerOnly); an existing regular file with more permissions
// is narrowed to it. Never follows a link at the last component (ELOOP), never blocks on a
// pipe, and refuses anything but a regular file (EINVAL). Not inherited by child processes.
// While open, the file may still be read, written, renamed and removed through its name by
// others (a lock holder removes its own lock file before closing it).
FileHandle CreatePrivateFile(const std::string& path, CreateMode mode, FileAccess access = FileAccess::OwnerOnly);

// Opens the existing file `path` for reading, never through a link at the last component
// (ELOOP) and never blocking on a pipe. The caller checks IsRegular() where it matters. Not
// inherited by child processes; others may still rename or remove the file meanwhile.
FileHandle OpenNoFollow(const std::string& path);

// The identity of what `path` names, without following a link at the last component.
std::optional<FileIdentity> IdentityAt(const std::string& path);

// Writes `data` to `path` so that a reader sees the old contents or the new, never a part:
// a new sibling file (exclusive create, `access` applied) is written and flushed to disk,
// renamed over `path`, and the folder is flushed so the rename survives a power cut. When
// it cannot complete, `path` is left as it was and the sibling is removed.
bool WriteFileAtomically(const std::string& path, std::string_view data, FileAccess access = FileAccess::Inherit);

// Appends `text` to the log `path` in one write under the file's exclusive lock, so lines of
// processes writing at once never mix. A new file is the user's alone; a link at the last
// component or anything but a regular file is refused.
bool AppendToFile(const std::string& path, std::string_view text);

// Flushes the folder `path` itself (its entries: new names, renames) to the disk. Where the
// system makes renames durable on its own, this succeeds without doing anything.
bool SyncFolder(const std::string& path);

// What a folder is, seen without following a link at its last component.
enum class FolderState {
  Missing,
  NotAFolder,      // a file, a link (also one to a folder), a device...
  Foreign,         // a real folder owned by another user
  OthersMayWrite,  // the user's own, but someone else may add, remove or rename in it
  OthersMayRead,   // the user's own, others may list or read but not change it
  Private,         // the user's own and nobody else's (0700)
};
FolderState InspectFolder(const std::string& path);

// Makes the folder `path` (its parent must exist) for the user alone. An existing one is
// accepted only when it is a real folder of the user's (ENOTDIR for a link or a file, EACCES
// for another user's); one that others may use is narrowed to owner-only.
bool CreatePrivateFolder(const std::string& path);

// Makes every missing folder along `path` for the user alone. Existing folders (links among
// them followed: a home folder may be a link) are left exactly as they are, a shared /tmp
// included; one that is not a folder fails (ENOTDIR). On failure `failedAt` (when given) is
// the partial path that could not be made.
bool CreatePrivateFolders(const std::string& path, std::string* failedAt = nullptr);

// Makes a new folder of the user's alone named `prefix` followed by six random characters,
// never one that existed before. Its path, or empty on failure.
std::string MakePrivateTempFolder(const std::string& prefix);

}  // namespace zovir
