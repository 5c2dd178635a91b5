// A whole update whose programmer refuses the partition table: the run fails before any image
// reaches the flash, and the modem and the backup of its data stay as they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "ui/session/virtual_factory.h"
#include "virtual_update.h"

namespace zovir::test {
namespace {

namespace fs = std::filesystem;

constexpr int kQuickProject = 15;

TEST(RefusedPartitionTable, TheRunFailsBeforeAnyImageAndKeepsTheModemAndItsBackup) {
  std::random_device device;
  const uint64_t seed = (static_cast<uint64_t>(device()) << 32) | device();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  auto bytes = [&](size_t n) {
    sim::Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
  };
  // Not recognised, erase failed, or a status no programmer we know answers.
  const uint32_t kinds[] = {2, 3, 4 + static_cast<uint32_t>(rng() % 252)};
  const uint32_t status = kinds[rng() % 3];
  SCOPED_TRACE("status " + std::to_string(status));

  session::VirtualFactory factory;
  sim::VirtualModemOptions options;
  factory.Prepare(options, 0);
  ASSERT_EQ(options.faults.AddSpec("ptable@1+=status:" + std::to_string(status)), "");
  VirtualUpdate update(options);
  const std::vector<std::string> userFiles{"/cfg/user.ini"}, userDirs{"/data"};
  factory.Seed(update.modem(), 0, userFiles, userDirs);
  // The modem runs an older firmware of its own and holds values of its own.
  sim::DeviceState& state = update.modem().State();
  for (const char* name : {"partition", "sbl1", "tz", "qdsp6sw", "mba", "rpm", "acdb", "apps", "efs", "efs2apps"})
    state.StorePartition(name, bytes(1 + rng() % 5000));
  for (const auto& [id, value] : state.AllNv())
    if (rng() % 4 == 0) state.SetNv(id, bytes(value.size()));
  state.SetEfsFile("/data/drawn.bin", bytes(rng() % 3000));

  EngineConfig& cfg = update.cfg();
  cfg.ProjectType = kQuickProject;
  cfg.bBackup = 1;
  cfg.bRestore = 1;
  cfg.bBackupUserData = 1;
  cfg.strLTEType = "LTE";
  cfg.UserDataFilesList = userFiles;
  cfg.UserDataDirList = userDirs;
  std::vector<std::string> efsPaths = userFiles;
  efsPaths.insert(efsPaths.end(), userDirs.begin(), userDirs.end());

  const session::ModemData before = session::Snapshot(update.modem(), *factory.nv, efsPaths);
  const auto partitionsBefore = update.modem().Partitions();
  ASSERT_TRUE(update.Run());

  std::vector<std::string> errors;
  for (const auto& r : update.Reports())
    if (r.kind == Report::Error) errors.push_back(r.text);
  EXPECT_EQ(errors, std::vector<std::string>{"ERROR, [Dload] Fail to download partition table, Error code: 31"});
  EXPECT_FALSE(update.Saw("PASS"));
  bool named = false;
  for (const auto& text : update.StatusTexts())
    named = named || text.rfind("Partition table refused by the programmer: status " + std::to_string(status) + " (", 0) == 0;
  EXPECT_TRUE(named);

  // Nothing reached the flash: no image was opened, every partition holds what it held.
  EXPECT_EQ(update.modem().CommandCount("open"), 0u);
  EXPECT_EQ(update.modem().CommandCount("write"), 0u);
  const auto partitionsAfter = update.modem().Partitions();
  ASSERT_EQ(partitionsAfter.size(), partitionsBefore.size());
  for (const auto& [name, held] : partitionsBefore) {
    const auto it = partitionsAfter.find(name);
    ASSERT_NE(it, partitionsAfter.end()) << name;
    EXPECT_EQ(it->second.size, held.size) << name;
    EXPECT_EQ(it->second.crc, held.crc) << name;
  }
  EXPECT_EQ(factory.nv->Losses(), 0u);
  const session::Verification same = session::Compare(before, session::Snapshot(update.modem(), *factory.nv, efsPaths));
  std::string differences;
  for (const auto& line : same.lines) differences += line + "; ";
  EXPECT_TRUE(same.ok) << differences;

  // The backup of the modem's data is still there for a later run.
  std::vector<fs::path> kept;
  for (const auto& entry : fs::directory_iterator(cfg.BackupFilePath))
    if (entry.is_directory() && entry.path().filename().string().rfind("SN[", 0) == 0) kept.push_back(entry.path());
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_GT(fs::file_size(kept.front() / "nv.bak"), 0u);
  EXPECT_TRUE(fs::exists(kept.front() / "EncryptAT.bak"));
  EXPECT_TRUE(fs::exists(kept.front() / "EFS"));
}

}  // namespace
}  // namespace zovir::test
