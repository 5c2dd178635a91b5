#include "config/option_summary.h"

#include <gtest/gtest.h>

#include <functional>

#include "temp_folder.h"

namespace zovir {
namespace {

TEST(OptionSummary, NamesTheSelectedItemsInOrderEndingWithAFullStop) {
  struct Case {
    const char* what;
    std::function<void(ProjectConfiguration&)> set;
    const char* summary;
  };
  const Case cases[] = {
      {"nothing selected", [](ProjectConfiguration&) {}, "."},
      {"only backup", [](ProjectConfiguration& c) { c.bBackup = 1; }, "Backup."},
      {"resource image", [](ProjectConfiguration& c) { c.PCSuiteImage = c.bResImage = 1; }, "bResImage."},
      {"PC-suite image", [](ProjectConfiguration& c) { c.PCSuiteImage = 1; }, "PC Suite."},
      {"resource flag alone names nothing", [](ProjectConfiguration& c) { c.bResImage = 1; }, "."},
      {"the demo selection",
       [](ProjectConfiguration& c) { c.bBackup = c.bBootloader = c.bEFS = c.bRestore = c.bAppsBootloader = 1; },
       "Backup, Bootloader, AppsBootloader, EFS, Restore."},
      {"every flag in table order",
       [](ProjectConfiguration& c) {
         for (int* f : {&c.bBackup, &c.bBootloader, &c.bAMSSFile, &c.bPhoneImage, &c.bAppsImageAndBootloader,
                        &c.bAppsBootloader, &c.PCSuiteImage, &c.bRawAppsEFS, &c.bEFS, &c.bCfgdata, &c.bDSP,
                        &c.bFastbootRamdisk_recoveryImage, &c.bFastbootBootImage, &c.bFastbootPrimary_gpt,
                        &c.bFastbootSecondary_gpt, &c.bFastbootzImage, &c.bFastbootRamdisk,
                        &c.bFastbootSystemImage, &c.bFastbootUserdataImage, &c.bFastbootzImage_recoveryImage,
                        &c.bRestore}) {
           *f = 1;
         }
       },
       "Backup, Bootloader, Multi-Image, PhoneImage, AppsImageAndBootloader, AppsBootloader, PC Suite, "
       "RawAppsEFS, EFS, Cfgdata, DSP, RecoveryImage, BootImage, primary_gpt, secondary_gpt, zImage, ramdisk, "
       "SystemImage, UserdataImage, SplashImage, Restore."},
      {"fastboot list: a full path and erase",
       [](ProjectConfiguration& c) {
         c.bFastbootConfiguration = 1;
         c.FastbootFileNameList = {"C:\\images\\boot.img", "erase"};
       },
       "boot, erase."},
      {"fastboot list after extraction, with a name without a dot",
       [](ProjectConfiguration& c) {
         c.bRestore = 1;
         c.bFastbootConfiguration = 1;
         c.FastbootFileNameList = {"/tmp/w/TempFiles/system.img.1", "primary_gpt"};
       },
       "Restore, system, primary_gpt."},
      {"a fastboot list is named only when configured",
       [](ProjectConfiguration& c) { c.FastbootFileNameList = {"boot.img"}; }, "."},
  };
  for (const Case& k : cases) {
    ProjectConfiguration c;
    k.set(c);
    EXPECT_EQ(BuildOptionSummary(c), k.summary) << k.what;
  }
}

TEST(OptionSummary, ShowingItRunsTheImageChecksAgain) {
  testing_support::TempFolder dir;
  ProjectConfiguration c;
  c.bBackup = 1;
  ImageFolderState state;
  state.lvFileList.push_back({"stale.mbn", "/old/"});
  RecordingMessageSink sink;
  ImageCheckContext context{sink, "Caption", dir.Path(), false, nullptr, nullptr};
  std::string label = "old";
  EXPECT_FALSE(ShowOptionSummary(c, label, dir.Path(), state, context));
  EXPECT_EQ(label, "Backup.");
  EXPECT_TRUE(state.lvFileList.empty());
  ASSERT_EQ(sink.messages.size(), 1u);
  EXPECT_EQ(sink.messages[0].text, "Error: BIN file " + (dir / "NPRG9x06.mbn") + " does not exist!\n");
}

}  // namespace
}  // namespace zovir
