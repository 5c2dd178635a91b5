#include "config/option_summary.h"

namespace zovir {

std::string BuildOptionSummary(const ProjectConfiguration& c) {
  const struct {
    int flag;
    const char* text;
  } items[] = {
      {c.bBackup, "Backup, "},
      {c.bBootloader, "Bootloader, "},
      {c.bAMSSFile, "Multi-Image, "},
      {c.bPhoneImage, "PhoneImage, "},
      {c.bAppsImageAndBootloader, "AppsImageAndBootloader, "},
      {c.bAppsBootloader, "AppsBootloader, "},
      {c.PCSuiteImage, c.bResImage ? "bResImage, " : "PC Suite, "},
      {c.bRawAppsEFS, "RawAppsEFS, "},
      {c.bEFS, "EFS, "},
      {c.bCfgdata, "Cfgdata, "},
      {c.bDSP, "DSP, "},
      {c.bFastbootRamdisk_recoveryImage, "RecoveryImage, "},
      {c.bFastbootBootImage, "BootImage, "},
      {c.bFastbootPrimary_gpt, "primary_gpt, "},
      {c.bFastbootSecondary_gpt, "secondary_gpt, "},
      {c.bFastbootzImage, "zImage, "},
      {c.bFastbootRamdisk, "ramdisk, "},
      {c.bFastbootSystemImage, "SystemImage, "},
      {c.bFastbootUserdataImage, "UserdataImage, "},
      {c.bFastbootzImage_recoveryImage, "SplashImage, "},
      {c.bRestore, "Restore, "},
  };
  std::string text;
  for (const auto& i : items) {
    if (i.flag) text += i.text;
  }
  if (c.bFastbootConfiguration) {
    for (const std::string& entry : c.FastbootFileNameList) {
      // Names may come from either platform's paths.
      const size_t sep = entry.find_last_of("\\/");
      std::string base = sep == std::string::npos ? entry : entry.substr(sep + 1);
      base = base.substr(0, base.find('.'));
      text += base + ", ";
    }
  }
  const size_t comma = text.rfind(',');
  if (comma != std::string::npos) text.erase(comma, 2);
  return text + ".";
}

bool ShowOptionSummary(const ProjectConfiguration& config, std::string& lblSettings, const std::string& imageFolder,
                       ImageFolderState& state, const ImageCheckContext& context) {
  lblSettings = BuildOptionSummary(config);
  return CheckImageFolder(imageFolder, config, state, context);
}

}  // namespace zovir
