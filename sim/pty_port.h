#pragma once
#include <cstdint>
#include <span>
#include <string>

namespace zovir::sim {

// One modem port as a pseudo-terminal. The modem holds the master and keeps the slave open
// itself (in raw mode), so the tool can open and close the slave path as often as it likes
// without the line hanging up. Destroying the object makes the port vanish: every fd the
// tool still holds on the slave then reads EIO, as a surprise-removed USB port would.
class PtyPort {
 public:
  PtyPort();  // throws std::system_error when no pty is available
  ~PtyPort();
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  const std::string& Path() const { return path_; }
  int MasterFd() const { return master_; }

  // Lifts an exclusive-open flag a client left behind: the modem's own slave fd keeps the
  // tty open, so the flag would otherwise outlive the client that set it.
  void ClearExclusive();
  // Reads what the tool wrote (non-blocking); 0 when nothing is there.
  size_t Read(uint8_t* buf, size_t cap);
  // Writes all bytes unless `wakeFd` becomes readable (stop) or `timeoutMs` passes with the
  // tool not draining its side. Returns the bytes written.
  size_t Write(std::span<const uint8_t> data, int wakeFd, int timeoutMs);

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace zovir::sim
