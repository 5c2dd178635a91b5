#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine_core.h"
#include "engine/phases.h"
#include "link/link.h"
#include "platform/processes.h"
#include "preservation/at_channel.h"
#include "preservation/efs_files.h"

namespace zovir {

// The identity backup on disk (EncryptAT.bak) holds every byte of the plain one plus this,
// modulo 256.
constexpr int kIdentityScrambleShift = 1;
inline uint8_t UnscrambledIdentityByte(uint8_t b) { return static_cast<uint8_t>(b - kIdentityScrambleShift); }

// One crystal-oscillator calibration file the identity backup carries.
struct XOCalFile {
  const char* name;           // file name, also its at.bak key ("b" + name is the flag)
  const char* path;           // the file in the modem's EFS
  const char* readQuery;      // AT+EFSRW=0,0,"<path>" CR LF CR LF
  const char* restorePrefix;  // AT+EFSRW=1,0,"<path>",
};
const std::array<XOCalFile, 5>& XOCalFiles();

// What the reset helper needs from the machine.
struct ResetHelperSetup {
  Processes* processes = nullptr;  // null: the helper cannot be started
  // The work folder ("TempFiles" in the user's temporary folder) that holds the helper and the
  // Config.ini it answers in; empty when the temporary folder is unknown.
  std::string workFolder;
  std::string programName = "ResetHelper";
};

// The test information as the backup keeps it: upper case, without line ends and, unless
// `keepUIT` (UIT_NewWays), without the first UIT87/UIT89 result texts.
std::string CleanTestInfo(std::string_view reply, bool keepUIT);

// What the test information clean-up changed, as one log text ("Test information rewritten:
// ..."), or empty when the kept text is the modem's (line ends and outer blanks aside).
std::string TestInfoRewrite(std::string_view reply, bool keepUIT);

// Byte-wise copy with every byte +1 (scramble) or -1 (unscramble) modulo 256, then read back
// and compared, so that Ok means the destination holds exactly that.
FileCopyResult ShiftFileBytes(const std::string& source, const std::string& destination, int delta);

// Serial number, IMEI, test information and the other identity values of the modem: read over
// AT before the download, kept in at1.bak / EncryptAT.bak, written back after it.
class IdentityBackup final : public IdentityService {
 public:
  static constexpr int kProbeAttempts = 10;
  static constexpr int kHelperAttempts = 10;

  IdentityBackup(EngineCore& core, Link& link, ResetHelperSetup helper = {});

  // IdentityService
  int ReadIdentity() override;
  // Writes at1.bak, then names in the run log and in EngineRunState::NotPreserved what the
  // backup leaves out: values the modem answers for that this packet does not keep (asked
  // read-only) and the test information as its clean-up rewrote it.
  void WriteIdentityBackup() override;
  FileCopyResult ScrambleFile(const std::string& source, const std::string& destination) override;
  FileCopyResult UnscrambleFile(const std::string& source, const std::string& destination) override;
  int RestoreIdentity() override;
  int RunResetHelper() override;

  void SetResetHelper(ResetHelperSetup helper) { helper_ = std::move(helper); }
  ATCommands& at() { return at_; }

  // Read in this run (besides the three flags of the run state).
  struct ReadValues {
    bool bIMEI1Read = false, bESNRead = false;
    std::string StringIMEI1, StringESN;
    std::array<bool, 5> bXOCalRead{};
    std::array<std::string, 5> StringXOCal;
    bool bCLLENRead = false, bZRREQRead = false, bGMIRead = false;
    std::string StringCLLEN, StringZRREQ, StringGMI;
  };
  const ReadValues& values() const { return read_; }

 private:
  bool Query(const std::string& command, std::string& value);
  bool QueryWithRetries(const std::string& command, std::string& value, int attempts);
  void ReadTestInfo();
  void ReadProjectValues();
  void ReadXOCal();
  bool OscillatorFileAbsent(const XOCalFile& file);
  void NameWhatIsLeftOut();
  void LogLine(const std::string& text);
  std::string RestorePath() const;

  EngineCore& core_;
  ATCommands at_;
  EFSFiles efs_;
  ResetHelperSetup helper_;
  ReadValues read_;
  // As the modem answered in this run: the test information before its clean-up, and the ESN
  // of the project types that ask for it whatever the packet keeps.
  std::string testInfoReply_;
  std::optional<std::string> esnAnswer_;
};

}  // namespace zovir
