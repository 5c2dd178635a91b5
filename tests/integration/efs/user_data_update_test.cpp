// User files of the modem's EFS through a whole update of the virtual modem: the production
// engine, real ptys, a firmware download that erases the file system.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "preservation/backup_record.h"
#include "sim/device_state.h"
#include "sim/efs_responders.h"
#include "sim/nv_responders.h"
#include "virtual_update.h"

namespace zovir::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A project type with no pause before the programmer's hello and no final power-off.
constexpr int kQuickProject = 15;

Bytes Pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 29 + seed) ^ (i % 13 == 0 ? 0x7E : 0x7D));
  return b;
}

std::map<std::string, Bytes> UserFiles(sim::DeviceState& state, const std::string& dir = "/") {
  std::map<std::string, Bytes> out;
  for (const auto& name : state.ListEfs(dir)) {
    const std::string p = (dir == "/" ? "" : dir) + "/" + name;
    if (state.EfsDirExists(p)) {
      auto sub = UserFiles(state, p);
      out.insert(sub.begin(), sub.end());
    } else {
      out[p] = state.EfsFile(p).value_or(Bytes{});
    }
  }
  return out;
}

std::vector<std::string> Errors(VirtualUpdate& update) {
  std::vector<std::string> errors;
  for (const auto& r : update.Reports())
    if (r.kind == Report::Error) errors.push_back(r.text);
  return errors;
}

// A modem whose EFS image write erases its file system, with NV and identity values that the
// backup before the download can read.
sim::VirtualModemOptions ModemOptions(std::shared_ptr<sim::EfsSimulation> efs) {
  sim::VirtualModemOptions options;
  sim::AttachNVStore(options, std::make_shared<sim::NVStore>());
  sim::AttachEfs(options, std::move(efs));
  return options;
}

void GiveIdentity(sim::DeviceState& state) {
  state.SetIdentity("SN", "QV123456");
  state.SetIdentity("TESTINF", "PASS");
}

TEST(UserDataUpdate, ConfiguredFilesAndFoldersSurviveAnUpdateByteForByte) {
  auto efs = std::make_shared<sim::EfsSimulation>();
  VirtualUpdate update(ModemOptions(efs));
  sim::DeviceState& state = update.modem().State();
  efs->Bind(state);
  GiveIdentity(state);
  state.SetEfsFile("/cfg/user.ini", Pattern(77, 1));
  state.SetEfsFile("/cfg/empty.txt", {});
  state.SetEfsFile("/data/large.bin", Pattern(5000, 2));
  state.SetEfsFile("/data/sub/deeper/c.txt", Pattern(513, 3));
  state.SetEfsFile("/data/sub/prefs.dat", Pattern(9, 4));
  state.MakeEfsDir("/data/sub/empty");
  state.SetEfsFile("/firmware/own", Pattern(10, 5));
  auto expected = UserFiles(state);
  expected.erase("/data/sub/prefs.dat");
  expected.erase("/firmware/own");

  update.cfg().ProjectType = kQuickProject;
  update.cfg().bBackupUserData = 1;
  update.cfg().UserDataFilesList = {"/cfg/user.ini", "/cfg/empty.txt", "/cfg/absent.ini"};
  update.cfg().UserDataDirList = {"/data"};
  ASSERT_TRUE(update.Run());

  const auto errors = Errors(update);
  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(update.LastStatus(), "PASS");
  EXPECT_EQ(efs->Wipes(), 1u) << "the download did not erase the file system";
  EXPECT_EQ(UserFiles(state), expected);
  EXPECT_TRUE(state.EfsDirExists("/data/sub/empty"));
  // After the pass the backup is gone with its mirror.
  EXPECT_FALSE(fs::exists(update.cfg().BackupFilePath + "/SN[QV123456]"));
}

TEST(UserDataUpdate, ARestoreFromASavedBackupPutsBackTheSavedFiles) {
  auto efs = std::make_shared<sim::EfsSimulation>();
  VirtualUpdate update(ModemOptions(efs));
  sim::DeviceState& state = update.modem().State();
  efs->Bind(state);
  // An earlier run saved the files and failed; the modem lost them since.
  const fs::path saved = fs::path(update.cfg().BackupFilePath) / "SN[QV777]";
  const auto save = [&](const std::string& rel, const Bytes& bytes) {
    fs::create_directories((saved / "EFS" / rel).parent_path());
    std::ofstream out(saved / "EFS" / rel, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  };
  save("cfg/user.ini", Pattern(77, 1));
  save("data/sub/c.txt", Pattern(2000, 2));
  save("data/zero", {});
  fs::create_directories(saved / "EFS" / "data" / "empty");
  std::string why;
  ASSERT_TRUE(SealBackup(saved.string(), "QV777", "20261210-101010", why)) << why;  // it was complete
  state.SetEfsFile("/data/sub/c.txt", Pattern(10, 9));  // what the erased modem holds now
  {
    std::lock_guard lock(update.host().mutex);
    update.host().snEntry = "QV777";
  }

  update.cfg().ProjectType = kQuickProject;
  update.cfg().bBackupUserData = 1;
  update.cfg().UserDataDirList = {"/data"};
  ASSERT_TRUE(update.Run());

  const auto errors = Errors(update);
  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(update.LastStatus(), "PASS");
  const std::map<std::string, Bytes> expected{
      {"/cfg/user.ini", Pattern(77, 1)}, {"/data/sub/c.txt", Pattern(2000, 2)}, {"/data/zero", {}}};
  EXPECT_EQ(UserFiles(state), expected);
  EXPECT_TRUE(state.EfsDirExists("/data/empty"));
  EXPECT_EQ(efs->Count(0x0004), 0u) << "nothing is read from the modem in this mode";
  EXPECT_FALSE(fs::exists(saved)) << "the saved backup is removed after the pass";
  EXPECT_TRUE(update.host().snFinished);
}

TEST(UserDataUpdate, AHostileModemGetsNothingWrittenOutsideTheMirrorAndIsNeverErased) {
  sim::EfsSimOptions hostile;
  hostile.hostile = true;
  hostile.hostileEntries = 300;
  hostile.hostileFiles = 2;
  hostile.hostileDepth = 2;
  auto efs = std::make_shared<sim::EfsSimulation>(hostile);
  VirtualUpdate update(ModemOptions(efs));
  sim::DeviceState& state = update.modem().State();
  efs->Bind(state);
  GiveIdentity(state);
  // A file system that says every file is there: the oscillator files must then be read over
  // AT too, or the run stops at them before the listing this test is about.
  for (const char* name : {"field_cal_params", "ifc_c1_filter", "rgs_data", "xo_crystal_type", "xo_factory_cal_debug"})
    state.SetEfsFile(std::string("/nv/item_files/mcs/tcxomgr/") + name, Bytes{0x01, 0x02});
  const std::set<std::string> before = [&] {
    std::set<std::string> s;
    for (const auto& e : fs::recursive_directory_iterator(update.dir())) s.insert(e.path().string());
    return s;
  }();

  update.cfg().ProjectType = kQuickProject;
  update.cfg().bBackupUserData = 1;
  update.cfg().UserDataDirList = {"/data"};
  update.cfg().UserDataFilesList = {"/x"};
  ASSERT_TRUE(update.Run(300000)) << "the run did not end";

  // Its listing holds names no local file can carry: the backup would be incomplete, so the
  // run stops before the switch, and nothing lands outside the backup folder.
  EXPECT_FALSE(update.Saw("PASS"));
  const auto errors = Errors(update);
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors.front().find("Fail to list folder:/data"), std::string::npos) << errors.front();
  EXPECT_EQ(update.modem().ModeEntries(sim::ModemMode::BootSahara), 0u);
  EXPECT_TRUE(update.modem().Partitions().empty());
  const fs::path backups = fs::path(update.cfg().BackupFilePath);
  for (const auto& e : fs::recursive_directory_iterator(update.dir())) {
    const std::string p = e.path().string();
    const std::string name = e.path().filename().string();
    if (before.count(p) || name.rfind("ports.ini", 0) == 0) continue;
    if (p.rfind(backups.string(), 0) == 0) continue;
    ADD_FAILURE() << "left behind: " << p;
  }
}

// A configured entry the backup cannot hold would be erased and never come back: the run stops
// before the switch, naming it, and the modem keeps everything it held.
TEST(UserDataUpdate, AConfiguredEntryThatCannotBeKeptStopsTheRunBeforeTheErase) {
  auto efs = std::make_shared<sim::EfsSimulation>();
  VirtualUpdate update(ModemOptions(efs));
  sim::DeviceState& state = update.modem().State();
  efs->Bind(state);
  GiveIdentity(state);
  state.SetEfsFile("/cfg/user.ini", Pattern(77, 1));
  state.SetEfsFile("/data/a.bin", Pattern(700, 2));
  state.SetEfsFile("/keep/b.txt", Pattern(30, 3));
  const auto before = UserFiles(state);

  update.cfg().ProjectType = kQuickProject;
  update.cfg().bBackupUserData = 1;
  update.cfg().UserDataFilesList = {"/cfg/user.ini"};
  update.cfg().UserDataDirList = {"/data", "/cfg/../keep"};
  ASSERT_TRUE(update.Run(300000)) << "the run did not end";

  EXPECT_FALSE(update.Saw("PASS"));
  const auto errors = Errors(update);
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors.front().find("\"/cfg/../keep\""), std::string::npos) << errors.front();
  EXPECT_EQ(update.modem().ModeEntries(sim::ModemMode::BootSahara), 0u);
  EXPECT_TRUE(update.modem().Partitions().empty());
  EXPECT_EQ(efs->Wipes(), 0u);
  EXPECT_EQ(UserFiles(state), before);
}

}  // namespace
}  // namespace zovir::test
