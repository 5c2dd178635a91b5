#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zovir::test {

// A pseudo-terminal for tests that need a real tty: the test plays the device on the master
// side, the code under test opens SlavePath() like any serial device node. The slave starts
// in raw mode so nothing is echoed or translated before the code under test sets it up.
class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0; }
  int Master() const { return master_; }
  const std::string& SlavePath() const { return slavePath_; }

  // Writes everything (blocking briefly if the tty is full); false on failure.
  bool Write(const std::vector<uint8_t>& bytes);
  // Reads until `n` bytes came or `timeoutMs` passed; returns what came.
  std::vector<uint8_t> Read(size_t n, int timeoutMs);
  // Hangs up: the slave side sees the device go away.
  void CloseMaster();

 private:
  int master_ = -1;
  std::string slavePath_;
};

}  // namespace zovir::test
