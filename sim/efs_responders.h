#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/device_state.h"
#include "sim/diag_dispatcher.h"

namespace zovir::sim {

struct VirtualModemOptions;

struct EfsSimOptions {
  // The EFS image the flash programmer writes replaces the file tree: user files are gone
  // after an update unless the tool writes them back.
  bool wipeOnEfsImage = true;
  // A modem that lies in its listings: "..", ".", "../../x", "a/b", "c:d", names with
  // control characters, more than 255 entries, and files that exist only in the listing.
  bool hostile = false;
  uint32_t hostileEntries = 300;  // entries with refused names ("x:NNN") in every hostile listing
  uint32_t hostileFiles = 3;      // plain files ("nNNN") in a hostile listing of a top folder
  int hostileDepth = 3;           // a hostile listing holds a sub-folder "deep" this far down
};

// The EFS2 file system of the normal firmware (DIAG 4B 13): hello, open, read, write, close,
// unlink, mkdir, rmdir, opendir, readdir, closedir, rename, stat, lstat, fstat, chmod and the
// file-system query over the modem's EFS tree. Replies have the lengths the firmware uses;
// errors are the file system's error numbers (2 ENOENT, 9 EBADF, 16 EBUSY, 17 EEXIST,
// 20 ENOTDIR, 21 EISDIR, 22 EINVAL, 24 EMFILE, 39 ENOTEMPTY).
class EfsSimulation final : public StateBoundStore {
 public:
  explicit EfsSimulation(EfsSimOptions options = {}) : options_(options) {}

  std::optional<Bytes> Handle(std::span<const uint8_t> request, DiagContext& ctx);
  // Reacts to the modem's events: a written EFS image wipes the tree of `state`, a restart
  // closes what was open.
  using StateBoundStore::OnModemEvent;
  void OnModemEvent(DeviceState& state, const std::string& event) override;

  // How often each command (by code) came.
  uint32_t Count(uint16_t command) const;
  uint32_t Wipes() const;

 private:
  struct OpenFile {
    std::string path;
    bool write = false;
    std::string synthetic;  // hostile modem: content of a file that exists only in a listing
    bool isSynthetic = false;
  };
  struct Entry {
    std::string name;
    bool dir = false;
    uint32_t size = 0;
  };

  Bytes Hello(std::span<const uint8_t> req);
  Bytes Unlink(std::span<const uint8_t> req, DeviceState& state);
  Bytes Rmdir(std::span<const uint8_t> req, DeviceState& state);
  Bytes Rename(std::span<const uint8_t> req, DeviceState& state);
  Bytes Lstat(std::span<const uint8_t> req, DeviceState& state);
  Bytes Fstat(std::span<const uint8_t> req, DeviceState& state);
  Bytes Chmod(std::span<const uint8_t> req, DeviceState& state);
  static Bytes ErrnoReply(uint16_t command, uint32_t err);
  uint32_t MissingError(const std::string& path, DeviceState& state) const;
  // The mode bits given by chmod (the type bits from `fallback`), or `fallback`.
  uint32_t ModeOf(const std::string& path, uint32_t fallback) const;
  Bytes Stat(std::span<const uint8_t> req, DeviceState& state);
  Bytes Open(std::span<const uint8_t> req, DeviceState& state);
  Bytes Read(std::span<const uint8_t> req, DeviceState& state);
  Bytes Write(std::span<const uint8_t> req, DeviceState& state);
  Bytes Close(std::span<const uint8_t> req);
  Bytes Mkdir(std::span<const uint8_t> req, DeviceState& state);
  Bytes Opendir(std::span<const uint8_t> req, DeviceState& state);
  Bytes Readdir(std::span<const uint8_t> req);
  Bytes Closedir(std::span<const uint8_t> req);
  Bytes Statfs(std::span<const uint8_t> req);
  std::vector<Entry> Listing(const std::string& path, DeviceState& state) const;
  std::vector<Entry> HostileListing(const std::string& path) const;
  bool HostileFile(const std::string& path, std::string& content) const;
  void WipeLocked(DeviceState& state);

  EfsSimOptions options_;
  mutable std::mutex mu_;
  std::map<uint32_t, OpenFile> files_;
  std::map<uint32_t, std::vector<Entry>> dirs_;
  std::map<std::string, uint32_t> modes_;  // permission bits set by chmod
  std::map<uint16_t, uint32_t> counts_;
  uint32_t wipes_ = 0;
};

// Installs an EFS responder with an EfsSimulation of its own.
void InstallEfsResponders(DiagDispatcher& diag, AtDispatcher& at);
void InstallEfsResponders(DiagDispatcher& diag, AtDispatcher& at, std::shared_ptr<EfsSimulation> efs);

// Gives a modem the EFS responder on `efs` and feeds it the modem's events (EFS image
// written, restarts). Call before constructing the VirtualModem.
void AttachEfs(VirtualModemOptions& options, std::shared_ptr<EfsSimulation> efs);

}  // namespace zovir::sim
