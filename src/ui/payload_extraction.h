#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/message_sink.h"
#include "config/project_configuration.h"
#include "ui/payload.h"

namespace zovir {

class Processes;

// File names of the helper programs in the work folder.
inline constexpr const char* kModeSwitchHelperName = "ModeSwitchHelper";
inline constexpr const char* kNetSwitchHelperName = "NetSwitchHelper";
inline constexpr const char* kDriverInstallerName = "DriverInstaller";
inline constexpr const char* kResetHelperName = "ResetHelper";
inline constexpr const char* kEnvCleaner32Name = "EnvCleaner32";
inline constexpr const char* kEnvCleaner64Name = "EnvCleaner64";
inline constexpr const char* kHexConverterName = "libHexConverter.so";

// One step of writing the payload into a folder.
struct PayloadAction {
  enum class Kind {
    TerminateAdb,  // end an adb that this tool started from the folder (it may be overwritten)
    Extract,       // write resource `key`/`type` to `target`
    Copy,          // copy `source` over `target`; on failure show `failMessage` and ask to end
    Refuse,        // a list name that cannot become a file in the folder: `failMessage`, ask to end
  };
  Kind kind = Kind::Extract;
  std::string key, type;
  std::string source;
  std::string target;
  std::string failMessage;
  int fastbootIndex = -1;  // the fastboot list entry that becomes `target` once written
  bool executable = false;
};

// The steps of ExtractPayload for `config`, in order, with targets in `workFolder`. Entries
// that exist only for the other platform's tools (its adb and fastboot programs, their USB
// libraries, the system-folder copy, the copy beside the program, the batch file) are not
// part of this platform's table: adb and fastboot come from the system.
std::vector<PayloadAction> PlanPayload(const ProjectConfiguration& config, const std::string& workFolder);
// The steps of ExtractPacketPayload for packet number `packet` into `folder`.
std::vector<PayloadAction> PlanPacketPayload(const ProjectConfiguration& config, const std::string& folder,
                                             int packet);

struct PayloadContext {
  const Payload& payload;
  MessageSink& sink;
  Processes* processes = nullptr;  // nullptr: nothing is terminated
};

// Writes one resource over `target` (mode 0700 for programs, else 0600). Throws StartupError
// "Resource <key> not found" or "Cannot create file <target>".
void WriteResource(const Payload& payload, const std::string& key, const std::string& type, const std::string& target,
                   bool executable = false);

// Writes the payload into the work folder. Rewrites the fastboot list entries that become
// files there. Returns true when the program must end (a copy failed; its message has been
// shown). Throws StartupError for a missing resource or an unwritable file.
bool ExtractPayload(ProjectConfiguration& config, const std::string& workFolder, const PayloadContext& context);
// Creates `folder` and writes the second packet's resources into it (keys suffixed with the
// packet number).
bool ExtractPacketPayload(ProjectConfiguration& config, const std::string& folder, int packet,
                          const PayloadContext& context);

// The start address chosen by the upper address digits of a hex file's first record;
// 0 for digits that are not in the table.
uint32_t HexStartAddressOf(std::string_view digits);

// Converts the Intel-HEX file `hexPath` into `binPath` with the conversion library of
// `workFolder`, and sets `startAddress` from the file's first record. 1 on success; 0 after
// a message (caption "ERROR").
int ConvertHexImage(const std::string& hexPath, const std::string& binPath, const std::string& workFolder,
                    MessageSink& sink, uint32_t& startAddress);

}  // namespace zovir
