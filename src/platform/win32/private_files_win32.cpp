// The tool's own files on Windows: handles that children do not inherit, shared the way a
// POSIX descriptor is (others may read, write, rename and delete beside us), reparse points
// (links, junctions) never followed at the last component, and an access list that names the
// user alone wherever POSIX would use mode 0600 or 0700.
#include "platform/private_files.h"
#include "platform/regular_file.h"
#include "platform/win32/private_files_win32.h"
#include "platform/win32/win32_text.h"
// After windows.h, which they need and do not include.
#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <fcntl.h>
#include <io.h>
#include <vector>

namespace zovir {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE Os(FileHandle::Native n) { return reinterpret_cast<HANDLE>(n); }
FileHandle Adopt(HANDLE h) { return FileHandle(reinterpret_cast<FileHandle::Native>(h)); }

// The errno value callers test for, from the system's own error code.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
      return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_INVALID_OWNER:
      return EACCES;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_LOCK_VIOLATION:
      return EWOULDBLOCK;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
      return EINVAL;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_CANT_RESOLVE_FILENAME:
    case ERROR_CANT_ACCESS_FILE:
      return ELOOP;
    default:
      return EIO;
  }
}

bool FailWithLastError() {
  errno = ErrnoOf(GetLastError());
  return false;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// "COM3", "NUL" or "LPT1.txt" name a device in any folder (and "\\.\..." anything of the
// system's): opening one already does something, a modem port raises DTR.
bool NamesADevice(const std::string& path) {
  if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0) return true;
  const size_t last = path.find_last_of("\\/:");
  std::string stem = path.substr(last == std::string::npos ? 0 : last + 1);
  stem = stem.substr(0, stem.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" || stem == "CONOUT$")
    return true;
  return stem.size() == 4 && (stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0) && stem[3] >= '0' &&
         stem[3] <= '9';
}

struct LocalFreer {
  void operator()(void* p) const { LocalFree(p); }
};

// The user this process runs as, and the owner the system gives the objects it creates (the
// same user, or the Administrators group for an elevated administrator).
struct ProcessSids {
  std::vector<BYTE> user, owner;
};

const ProcessSids& OurSids() {
  static const ProcessSids sids = [] {
    ProcessSids s;
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return s;
    const win32::UniqueHandle token(raw);
    auto read = [&](TOKEN_INFORMATION_CLASS what, std::vector<BYTE>& into) {
      DWORD bytes = 0;
      GetTokenInformation(token.get(), what, nullptr, 0, &bytes);
      std::vector<BYTE> info(bytes);
      if (bytes == 0 || !GetTokenInformation(token.get(), what, info.data(), bytes, &bytes)) return;
      // TOKEN_USER and TOKEN_OWNER both start with the SID's address.
      PSID sid = what == TokenUser ? reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid
                                   : reinterpret_cast<TOKEN_OWNER*>(info.data())->Owner;
      const auto* bytesOf = static_cast<const BYTE*>(sid);
      into.assign(bytesOf, bytesOf + GetLengthSid(sid));
    };
    read(TokenUser, s.user);
    read(TokenOwner, s.owner);
    return s;
  }();
  return sids;
}

bool IsOurs(PSID sid) {
  const ProcessSids& s = OurSids();
  return (!s.user.empty() && EqualSid(sid, const_cast<BYTE*>(s.user.data()))) ||
         (!s.owner.empty() && EqualSid(sid, const_cast<BYTE*>(s.owner.data())));
}

bool IsOurUser(PSID sid) {
  const ProcessSids& s = OurSids();
  return !s.user.empty() && EqualSid(sid, const_cast<BYTE*>(s.user.data()));
}

// The system itself and the machine's administrators reach every file anyway, as root does.
bool IsSystem(PSID sid) {
  return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         IsWellKnownSid(sid, WinCreatorOwnerSid);
}

// A security descriptor whose access list gives the user alone full access and takes nothing
// from the folder above; a folder's entry passes on to what is made inside it.
class OwnerOnlySecurity {
 public:
  explicit OwnerOnlySecurity(bool folder) {
    const ProcessSids& s = OurSids();
    if (s.user.empty()) return;
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(const_cast<BYTE*>(s.user.data()), &text)) return;
    const std::unique_ptr<void, LocalFreer> sidText(text);
    const std::wstring sddl = std::wstring(L"D:P(A;") + (folder ? L"OICI" : L"") + L";FA;;;" + text + L")";
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr)) return;
    descriptor_.reset(sd);
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = sd;
    attributes_.bInheritHandle = FALSE;
  }
  // Null when the descriptor could not be made (the caller then fails rather than create a
  // file others may read).
  SECURITY_ATTRIBUTES* Attributes() { return descriptor_ ? &attributes_ : nullptr; }
  // Narrows an existing file or folder, open with WRITE_DAC, to the user alone.
  bool ApplyTo(HANDLE h) const {
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    if (!descriptor_ || !GetSecurityDescriptorDacl(descriptor_.get(), &present, &acl, &defaulted)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    const DWORD r = SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, acl, nullptr);
    SetLastError(r);
    return r == ERROR_SUCCESS;
  }

 private:
  std::unique_ptr<void, LocalFreer> descriptor_;
  SECURITY_ATTRIBUTES attributes_{};
};

// Copies the access list of `from` (the file about to be replaced) to `to`, inherited
// entries and protection as they were.
bool CopyAccess(HANDLE from, HANDLE to) {
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(from, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl, nullptr, &sd) !=
      ERROR_SUCCESS)
    return false;
  const std::unique_ptr<void, LocalFreer> owned(sd);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(sd, &control, &revision);
  const SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED)
                                                                     ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                     : UNPROTECTED_DACL_SECURITY_INFORMATION);
  return SetSecurityInfo(to, SE_FILE_OBJECT, info, nullptr, nullptr, acl, nullptr) == ERROR_SUCCESS;
}

bool Information(HANDLE h, BY_HANDLE_FILE_INFORMATION& info) { return GetFileInformationByHandle(h, &info) != 0; }

bool IsLink(const BY_HANDLE_FILE_INFORMATION& info) { return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsFolder(const BY_HANDLE_FILE_INFORMATION& info) { return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Opens what `path` names itself, a link or a folder included, for looking at it.
win32::UniqueHandle OpenItself(const std::string& path, DWORD access) {
  return win32::UniqueHandle(CreateFileW(win32::Wide(path).c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Whether `acl` gives this process's user full access of its own (not through a group).
bool ListGrantsOurUser(const ACL* acl) {
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(const_cast<ACL*>(acl), i, &ace)) continue;
    const auto* header = static_cast<ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    const ACCESS_MASK mask = allowed->Mask;
    if (IsOurUser(const_cast<DWORD*>(&allowed->SidStart)) &&
        ((mask & GENERIC_ALL) != 0 || (mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS))
      return true;
  }
  return false;
}

// Makes this process's user the owner of the folder open as `h`: an administrators' folder
// whose list is ours becomes ours outright, so the next check needs no exception. Where the
// system refuses, the folder is used as it is.
void TakeOwnership(HANDLE h) {
  const ProcessSids& s = OurSids();
  if (s.user.empty()) return;
  SetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, const_cast<BYTE*>(s.user.data()), nullptr, nullptr,
                  nullptr);
}

// Who besides the user may use a folder, from its owner and access list.
FolderState StateOfFolder(HANDLE h) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, nullptr, &sd) != ERROR_SUCCESS)
    return FolderState::Foreign;
  const std::unique_ptr<void, LocalFreer> owned(sd);
  return win32::FolderStateOfSecurity(sd);
}

}  // namespace

namespace win32 {

FolderState FolderStateOfSecurity(PSECURITY_DESCRIPTOR sd) {
  PSID owner = nullptr;
  PACL acl = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  if (sd == nullptr || !GetSecurityDescriptorOwner(sd, &owner, &defaulted) ||
      !GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted))
    return FolderState::Foreign;
  if (!present) acl = nullptr;
  if (owner == nullptr) return FolderState::Foreign;
  if (acl == nullptr) return IsOurs(owner) ? FolderState::OthersMayWrite : FolderState::Foreign;
  // An elevated run of ours makes its folders for the Administrators group, which the same
  // user's normal run is not: such a folder is still ours when its list names this user.
  if (!IsOurs(owner) && !(IsWellKnownSid(owner, WinBuiltinAdministratorsSid) && ListGrantsOurUser(acl)))
    return FolderState::Foreign;
  constexpr ACCESS_MASK kChange = GENERIC_ALL | GENERIC_WRITE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY |
                                  FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;
  constexpr ACCESS_MASK kLook = GENERIC_READ | GENERIC_EXECUTE | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_DATA;
  FolderState state = FolderState::Private;
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(acl, i, &ace)) continue;
    const auto* header = static_cast<ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if (IsOurs(sid) || IsSystem(sid)) continue;
    if ((allowed->Mask & kChange) != 0) return FolderState::OthersMayWrite;
    if ((allowed->Mask & kLook) != 0) state = FolderState::OthersMayRead;
  }
  return state;
}

}  // namespace win32

namespace {

bool MakeOwnFolder(const std::string& path) {
  OwnerOnlySecurity security(true);
  if (security.Attributes() == nullptr) {
    errno = EACCES;
    return false;
  }
  return CreateDirectoryW(win32::Wide(path).c_str(), security.Attributes()) != 0 || FailWithLastError();
}

bool RandomBytes(void* into, ULONG n) {
  return BCryptGenRandom(nullptr, static_cast<PUCHAR>(into), n, BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

// Renames the open file `h` to `to`, replacing what is there, with POSIX semantics: a reader
// that holds the old file open (and lets it be deleted) keeps reading it while the name
// already means the new one. ERROR_SUCCESS or the system's error.
DWORD RenameByHandle(HANDLE h, const std::wstring& to) {
  // FILE_RENAME_INFO with its flags word, and the class that takes it (FileRenameInfoEx):
  // the cross headers offer neither at this target version.
  struct RenameInfoEx {
    DWORD Flags;
    HANDLE RootDirectory;
    DWORD FileNameLength;
    WCHAR FileName[1];
  };
  constexpr auto kRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
  constexpr DWORD kReplaceIfExists = 0x1;  // FILE_RENAME_FLAG_REPLACE_IF_EXISTS
  constexpr DWORD kPosixSemantics = 0x2;   // FILE_RENAME_FLAG_POSIX_SEMANTICS
  const size_t nameBytes = to.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(offsetof(RenameInfoEx, FileName) + nameBytes + sizeof(wchar_t), 0);
  auto* info = reinterpret_cast<RenameInfoEx*>(buffer.data());
  info->Flags = kReplaceIfExists | kPosixSemantics;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(nameBytes);
  std::memcpy(info->FileName, to.data(), nameBytes);
  if (SetFileInformationByHandle(h, kRenameInfoEx, info, static_cast<DWORD>(buffer.size()))) return ERROR_SUCCESS;
  return GetLastError();
}

// Systems and volumes without the POSIX rename (before Windows 10 1709, FAT, some network
// shares) say so with one of these; the classic replacing move is used there.
bool PosixRenameUnsupported(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
         error == ERROR_CALL_NOT_IMPLEMENTED;
}

// Another program holds the file being replaced open without letting it be deleted (a virus
// scanner, an indexer, a backup program, an editor): they let go within moments, so the
// replacement is tried again for a while. A folder in the place of the file is no such case.
bool WorthRetrying(DWORD error, const std::wstring& target) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
  if (error != ERROR_ACCESS_DENIED) return false;
  const DWORD attributes = GetFileAttributesW(target.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
}

// Puts the written sibling `file` (named `from`) in the place of `to`, and flushes the renamed
// file so that the new name is on the disk too: a rename lost in a power cut would leave the
// old contents, a complete backup looking incomplete. `file` stays open when the rename went
// through the handle and is closed when the classic move was needed. ERROR_SUCCESS or the
// system's error of the last attempt.
DWORD ReplaceWithRetries(FileHandle& file, const std::string& from, const std::string& to) {
  const std::wstring source = win32::Wide(from), target = win32::Wide(to);
  // About three seconds in all, the first attempts close together.
  constexpr DWORD kPausesMs[] = {10, 20, 40, 80, 160, 250, 250, 250, 250, 250, 250, 250, 250, 250, 250, 250};
  bool posix = true;
  DWORD error = ERROR_SUCCESS;
  for (size_t attempt = 0;; ++attempt) {
    if (posix) {
      error = RenameByHandle(Os(file.native()), target);
      if (error == ERROR_SUCCESS) {
        FlushFileBuffers(Os(file.native()));
        return ERROR_SUCCESS;
      }
      if (PosixRenameUnsupported(error)) {
        posix = false;
        // The move below opens the sibling by its name, which this handle does not share.
        file.Close();
        continue;
      }
    } else {
      if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const win32::UniqueHandle moved(CreateFileW(target.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (moved.valid()) FlushFileBuffers(moved.get());
        return ERROR_SUCCESS;
      }
      error = GetLastError();
    }
    if (attempt >= std::size(kPausesMs) || !WorthRetrying(error, target)) return error;
    Sleep(kPausesMs[attempt]);
  }
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
    const DWORD chunk = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
    DWORD written = 0;
    if (!WriteFile(Os(native_), p, chunk, &written, nullptr)) return FailWithLastError();
    if (written == 0) {
      errno = EIO;
      return false;
    }
    p += written;
    n -= written;
  }
  return true;
}

long long FileHandle::ReadSome(void* data, size_t n) {
  const DWORD chunk = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
  DWORD got = 0;
  if (ReadFile(Os(native_), data, chunk, &got, nullptr)) return got;
  // The far end of a pipe went away: the end of what it sent.
  if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) return 0;
  FailWithLastError();
  return -1;
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
  LARGE_INTEGER size{};
  if (!IsRegular()) {
    errno = EINVAL;
    return std::nullopt;
  }
  if (!GetFileSizeEx(Os(native_), &size)) {
    FailWithLastError();
    return std::nullopt;
  }
  return static_cast<uint64_t>(size.QuadPart);
}

bool FileHandle::IsRegular() const {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileType(Os(native_)) == FILE_TYPE_DISK && Information(Os(native_), info) && !IsFolder(info) &&
         !IsLink(info);
}

std::optional<FileIdentity> FileHandle::Identity() const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!Information(Os(native_), info)) {
    FailWithLastError();
    return std::nullopt;
  }
  return FileIdentity{info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

bool FileHandle::Sync() {
  if (FlushFileBuffers(Os(native_))) return true;
  if (GetLastError() != ERROR_ACCESS_DENIED) return FailWithLastError();
  // A handle opened for reading may not flush; a second one of the same file for writing may.
  win32::UniqueHandle writer(
      ReOpenFile(Os(native_), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
  if (!writer.valid()) return FailWithLastError();
  return FlushFileBuffers(writer.get()) != 0 || FailWithLastError();
}

bool FileHandle::Lock(bool wait) {
  // Windows locks are mandatory: a lock over the contents would stop every other handle from
  // reading them. One byte far past any end the file will have is locked instead, which only
  // other lockers notice, as with an advisory lock.
  OVERLAPPED at{};
  at.Offset = 0xFFFFFFF0u;
  at.OffsetHigh = 0x7FFFFFFFu;
  const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  if (LockFileEx(Os(native_), flags, 0, 1, 0, &at)) return true;
  errno = GetLastError() == ERROR_LOCK_VIOLATION || GetLastError() == ERROR_IO_PENDING ? EWOULDBLOCK
                                                                                        : ErrnoOf(GetLastError());
  return false;
}

bool FileHandle::Close() {
  if (native_ == kNone) return true;
  return CloseHandle(Os(Release())) != 0 || FailWithLastError();
}

// A folder cannot be locked like a file, so its lock is a named mutex of the user's session
// named after the folder's identity (links and other spellings of its path meet the same one).
// A mutex belongs to the thread that took it, as a FolderLock's scope does.
FolderLock::FolderLock(const std::string& filePath) {
  const size_t slash = filePath.find_last_of("\\/");
  const auto folder = IdentityAt(slash == std::string::npos ? "." : filePath.substr(0, slash == 2 && filePath[1] == ':' ? 3 : slash));
  if (!folder) return;
  const std::wstring name = L"Local\\Quorvel_ZOVIR.folder." + std::to_wstring(folder->device) + L"." + std::to_wstring(folder->file);
  const HANDLE raw = CreateMutexW(nullptr, FALSE, name.c_str());
  if (raw == nullptr) return;
  FileHandle mutex = Adopt(raw);
  const DWORD waited = WaitForSingleObject(Os(mutex.native()), INFINITE);
  // Abandoned: its holder ended without letting go; the files are as it left them.
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) held_ = std::move(mutex);
}

FolderLock::~FolderLock() {
  if (held_) ReleaseMutex(Os(held_.native()));
}

FileHandle CreatePrivateFile(const std::string& path, CreateMode mode, FileAccess /*access*/) {
  // Owner-only and owner-and-run are the same list here: running needs no right of its own
  // beyond reading.
  OwnerOnlySecurity security(false);
  if (security.Attributes() == nullptr) {
    errno = EACCES;
    return {};
  }
  // Appending asks for the right to add data only: every write then goes to the end.
  const DWORD data = mode == CreateMode::Append ? FILE_APPEND_DATA : FILE_WRITE_DATA;
  const DWORD access = FILE_READ_DATA | data | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | READ_CONTROL |
                       WRITE_DAC | SYNCHRONIZE;
  FileHandle file = Adopt(CreateFileW(win32::Wide(path).c_str(), access, kShareAll, security.Attributes(),
                                      mode == CreateMode::New ? CREATE_NEW : OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    FailWithLastError();
    return {};
  }
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!Information(Os(file.native()), info)) {
    FailWithLastError();
    return {};
  }
  if (IsLink(info)) {
    errno = ELOOP;
    return {};
  }
  if (!file.IsRegular()) {
    errno = EINVAL;
    return {};
  }
  if (existed && !security.ApplyTo(Os(file.native()))) {
    FailWithLastError();
    return {};
  }
  if (mode == CreateMode::Truncate && !SetEndOfFile(Os(file.native()))) {
    FailWithLastError();
    return {};
  }
  return file;
}

FileHandle OpenNoFollow(const std::string& path) {
  FileHandle file = Adopt(CreateFileW(win32::Wide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    FailWithLastError();
    return {};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (Information(Os(file.native()), info) && IsLink(info)) {
    errno = ELOOP;
    return {};
  }
  return file;
}

std::optional<FileIdentity> IdentityAt(const std::string& path) {
  const win32::UniqueHandle h = OpenItself(path, FILE_READ_ATTRIBUTES);
  if (!h.valid()) {
    FailWithLastError();
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!Information(h.get(), info)) {
    FailWithLastError();
    return std::nullopt;
  }
  return FileIdentity{info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

FileHandle OpenRegularFile(const std::string& path) {
  if (path.empty()) {
    errno = ENOENT;
    return {};
  }
  // Looked at before opening: opening a device (a COM port, a pipe) already does something.
  if (NamesADevice(path)) {
    errno = EINVAL;
    return {};
  }
  const DWORD attributes = GetFileAttributesW(win32::Wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    FailWithLastError();
    return {};
  }
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    errno = EINVAL;
    return {};
  }
  FileHandle file = Adopt(CreateFileW(win32::Wide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    FailWithLastError();
    return {};
  }
  if (!file.IsRegular()) {
    errno = EINVAL;
    return {};
  }
  return file;
}

std::FILE* OpenStdioFile(const std::string& path, const char* mode) {
  if (NamesADevice(path)) {
    errno = EINVAL;
    return nullptr;
  }
  const std::string m(mode);
  if (m.find_first_of("wa+") == std::string::npos) {
    // A reader shares the file the way every other handle of the tool's does: the C library's
    // own open would refuse others the right to delete it, and a backup being replaced beside
    // the read would fail.
    FileHandle file = Adopt(CreateFileW(win32::Wide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      FailWithLastError();
      return nullptr;
    }
    const int fd = _open_osfhandle(file.native(), _O_RDONLY | (m.find('t') == std::string::npos ? _O_BINARY : _O_TEXT));
    if (fd < 0) return nullptr;
    file.Release();
    std::FILE* stream = _fdopen(fd, m.c_str());
    if (stream == nullptr) _close(fd);
    return stream;
  }
  // "N": not inherited by child processes, as every other handle of the tool's.
  return _wfopen(win32::Wide(path).c_str(), win32::Wide(m + "N").c_str());
}

std::optional<uint64_t> RegularFileSize(std::FILE* file) {
  if (file == nullptr) return std::nullopt;
  const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  LARGE_INTEGER size{};
  BY_HANDLE_FILE_INFORMATION info{};
  if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK || !Information(h, info) || IsFolder(info) ||
      !GetFileSizeEx(h, &size))
    return std::nullopt;
  return static_cast<uint64_t>(size.QuadPart);
}

bool SeekFile(std::FILE* file, uint64_t offset) { return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0; }

bool WriteFileAtomically(const std::string& path, std::string_view data, FileAccess access) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  OwnerOnlySecurity security(false);
  SECURITY_ATTRIBUTES* attributes = nullptr;
  if (access != FileAccess::Inherit) {
    attributes = security.Attributes();
    if (attributes == nullptr) {
      errno = EACCES;
      return false;
    }
  }
  std::string name;
  FileHandle file;
  for (int attempt = 0; !file; ++attempt) {
    uint64_t random = 0;
    if (!RandomBytes(&random, sizeof random)) random = GetTickCount64() + static_cast<uint64_t>(attempt);
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(random));
    name = path + suffix;
    // DELETE: the sibling is renamed through this handle.
    file = Adopt(CreateFileW(win32::Wide(name).c_str(), GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC, 0, attributes,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file && (GetLastError() != ERROR_FILE_EXISTS || attempt >= 100)) return FailWithLastError();
  }
  bool ok = true;
  if (access == FileAccess::Inherit) {
    // Replacing a file keeps who may read it: its list goes to the new one.
    const win32::UniqueHandle old = OpenItself(path, READ_CONTROL);
    if (old.valid()) ok = CopyAccess(old.get(), Os(file.native())) || FailWithLastError();
  }
  ok = ok && file.WriteAll(data) && file.Sync();
  int err = errno;
  if (ok) {
    const DWORD renamed = ReplaceWithRetries(file, name, path);
    if (renamed != ERROR_SUCCESS) {
      ok = false;
      err = ErrnoOf(renamed);
    }
  }
  if (!file.Close() && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    DeleteFileW(win32::Wide(name).c_str());
    errno = err;
  }
  return ok;
}

bool AppendToFile(const std::string& path, std::string_view text) {
  FileHandle file = CreatePrivateFile(path, CreateMode::Append);
  if (!file || !file.Lock(true)) return false;
  // One write: with append-only access the line lands whole at the end, after any other's.
  DWORD written = 0;
  if (!WriteFile(Os(file.native()), text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
    return FailWithLastError();
  if (written != text.size()) {
    errno = EIO;
    return false;
  }
  return file.Close();
}

// Renames made with write-through are durable when they return; a folder has nothing more
// to flush.
bool SyncFolder(const std::string& path) {
  const win32::UniqueHandle h = OpenItself(path, FILE_READ_ATTRIBUTES);
  return h.valid() || FailWithLastError();
}

FolderState InspectFolder(const std::string& path) {
  const win32::UniqueHandle h = OpenItself(path, READ_CONTROL | FILE_READ_ATTRIBUTES);
  if (!h.valid()) {
    const DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? FolderState::Missing : FolderState::NotAFolder;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!Information(h.get(), info) || IsLink(info) || !IsFolder(info)) return FolderState::NotAFolder;
  return StateOfFolder(h.get());
}

bool CreatePrivateFolder(const std::string& path) {
  if (!MakeOwnFolder(path) && errno != EEXIST) return false;
  if (const win32::UniqueHandle h = OpenItself(path, READ_CONTROL | WRITE_OWNER | FILE_READ_ATTRIBUTES); h.valid()) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    BY_HANDLE_FILE_INFORMATION info{};
    if (Information(h.get(), info) && IsFolder(info) && !IsLink(info) &&
        GetSecurityInfo(h.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd) ==
            ERROR_SUCCESS) {
      const std::unique_ptr<void, LocalFreer> owned(sd);
      if (owner != nullptr && !IsOurUser(owner) && StateOfFolder(h.get()) != FolderState::Foreign) TakeOwnership(h.get());
    }
  }
  switch (InspectFolder(path)) {
    case FolderState::Private:
      return true;
    case FolderState::OthersMayRead:
    case FolderState::OthersMayWrite: {
      const win32::UniqueHandle h = OpenItself(path, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES);
      return (h.valid() && OwnerOnlySecurity(true).ApplyTo(h.get())) || FailWithLastError();
    }
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
  // The root is never made: a drive ("C:\"), or the share of a network path ("\\host\share\").
  size_t start = 0;
  if (path.size() >= 2 && path[1] == ':') {
    start = 2;
  } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    start = path.find_first_of("\\/", 2);
    start = start == std::string::npos ? path.size() : path.find_first_of("\\/", start + 1);
    if (start == std::string::npos) start = path.size();
  }
  size_t pos = start;
  while (pos < path.size()) {
    pos = path.find_first_of("\\/", pos + 1);
    const std::string partial = path.substr(0, pos);
    if (partial.size() <= start || IsSeparator(partial.back())) continue;
    const DWORD attributes = GetFileAttributesW(win32::Wide(partial).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return fail(partial, ENOTDIR);
    } else if (!MakeOwnFolder(partial) && errno != EEXIST) {
      return fail(partial, errno);
    }
  }
  return true;
}

std::string MakePrivateTempFolder(const std::string& prefix) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[6] = {};
    if (!RandomBytes(random, sizeof random)) {
      errno = EIO;
      return {};
    }
    std::string name = prefix;
    for (unsigned char r : random) name.push_back(kLetters[r % (sizeof kLetters - 1)]);
    if (MakeOwnFolder(name)) return name;
    if (errno != EEXIST) return {};
  }
  errno = EEXIST;
  return {};
}

}  // namespace zovir
