// User data of a virtual modem over pseudo-terminals, with the real serial port and clock:
// backup, an erased file system, restore; and a modem that lies in its listings.
#include <gmock/gmock.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "engine/engine_core.h"
#include "link/link.h"
#include "platform/clock.h"
#include "platform/linux/serial_port_linux.h"
#include "platform/port_namespace.h"
#include "preservation/user_data.h"
#include "sim/device_state.h"
#include "sim/efs_responders.h"
#include "sim/virtual_modem.h"

namespace zovir {
namespace {

namespace fs = std::filesystem;
using ::testing::IsEmpty;
using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 37 + seed) ^ (i % 11 == 0 ? 0x7E : 0x7D));
  return b;
}

// Every path below `dir`, links not followed.
std::set<std::string> Tree(const std::string& dir) {
  std::set<std::string> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    out.insert(it->path().string());
  return out;
}

bool Below(const std::string& root, const std::string& path) { return path.rfind(root + "/", 0) == 0; }

class UserDataOverPty : public ::testing::Test {
 protected:
  explicit UserDataOverPty(sim::EfsSimOptions efsOptions = {}) : efs(std::make_shared<sim::EfsSimulation>(efsOptions)) {
    std::string pattern = (fs::temp_directory_path() / "zovir-efspty-XXXXXX").string();
    root = mkdtemp(pattern.data());
    modemDir = root + "/modem";
    fs::create_directories(modemDir);
    options.deviceMapPath = modemDir + "/ports.ini";
    options.stateDir = modemDir + "/state";
    options.comNumbers = {7, 8, 9};
    sim::AttachEfs(options, efs);
    modem = std::make_unique<sim::VirtualModem>(options);
    modem->Start();
    efs->Bind(modem->State());
    names = std::make_unique<PortNamespace>(options.deviceMapPath);
    factory = std::make_unique<LinuxSerialPortFactory>(*names);
    core = std::make_unique<EngineCore>(clock, *factory, nullptr);
    link = std::make_unique<Link>(*core);
    core->cfg.ComPort = 7;
    core->cfg.BackupFilePath = root + "/Backup";
    core->run.BackupFolder = root + "/Backup/SN[42]";
    mirror = core->run.BackupFolder + "/EFS";
    fs::create_directories(mirror);
    core->OnStatusText = [this](CommStatus, const std::string& t, int, MESSAGE_TYPE) { lines.push_back(t); };
    core->OnError = [this](const std::string& t, int) { errors.push_back(t); };
    link->OpenDiagPort();
    userData = std::make_unique<UserDataPreservation>(*core, *link);
  }
  ~UserDataOverPty() override {
    userData.reset();
    if (core->hDiagPort) link->CloseDiagPort("Warning-7");
    link.reset();
    core.reset();
    modem->Stop();
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  sim::DeviceState& State() { return modem->State(); }
  // The modem's user files with their bytes.
  std::map<std::string, Bytes> Files(const std::string& dir = "/") {
    std::map<std::string, Bytes> out;
    for (const auto& name : State().ListEfs(dir)) {
      const std::string p = (dir == "/" ? "" : dir) + "/" + name;
      if (State().EfsDirExists(p)) {
        auto sub = Files(p);
        out.insert(sub.begin(), sub.end());
      } else {
        out[p] = State().EfsFile(p).value_or(Bytes{});
      }
    }
    return out;
  }
  // What the flash programmer does to the file system when it writes the EFS image.
  void EraseLikeAnUpdate() { efs->OnModemEvent("partition efs written: 1024 bytes"); }

  std::shared_ptr<sim::EfsSimulation> efs;
  std::string root, modemDir, mirror;
  sim::VirtualModemOptions options;
  std::unique_ptr<sim::VirtualModem> modem;
  std::unique_ptr<PortNamespace> names;
  std::unique_ptr<LinuxSerialPortFactory> factory;
  SteadyClock clock;
  std::unique_ptr<EngineCore> core;
  std::unique_ptr<Link> link;
  std::unique_ptr<UserDataPreservation> userData;
  std::vector<std::string> lines, errors;
};

TEST_F(UserDataOverPty, UserFilesSurviveAnErasedFileSystemByteForByte) {
  ASSERT_TRUE(core->hDiagPort) << (errors.empty() ? "" : errors.front());
  State().SetEfsFile("/cfg/user.ini", Pattern(77, 1));
  State().SetEfsFile("/cfg/empty.txt", {});
  State().SetEfsFile("/data/large.bin", Pattern(6000, 2));
  State().SetEfsFile("/data/sub/deeper/c.txt", Pattern(513, 3));
  State().SetEfsFile("/data/sub/prefs.dat", Pattern(9, 4));
  State().MakeEfsDir("/data/sub/empty");
  core->cfg.UserDataFilesList = {"/cfg/user.ini", "/cfg/empty.txt", "/cfg/absent.ini"};
  core->cfg.UserDataDirList = {"/data"};
  auto expected = Files();
  expected.erase("/data/sub/prefs.dat");

  userData->PrepareUserData();
  userData->BackupUserData();
  ASSERT_THAT(errors, IsEmpty());
  EraseLikeAnUpdate();
  ASSERT_TRUE(Files().empty());
  userData->RestoreUserData();
  ASSERT_THAT(errors, IsEmpty());

  EXPECT_EQ(Files(), expected);
  EXPECT_TRUE(State().EfsDirExists("/data/sub/empty"));
  EXPECT_FALSE(State().EfsFile("/cfg/absent.ini"));
}

class HostileModemOverPty : public UserDataOverPty {
 protected:
  static sim::EfsSimOptions Hostile() {
    sim::EfsSimOptions o;
    o.hostile = true;
    o.hostileEntries = 300;
    o.hostileFiles = 2;
    o.hostileDepth = 2;
    return o;
  }
  HostileModemOverPty() : UserDataOverPty(Hostile()) {}
};

TEST_F(HostileModemOverPty, NothingIsWrittenOutsideTheMirrorAndTheBackupStopsTheRun) {
  ASSERT_TRUE(core->hDiagPort) << (errors.empty() ? "" : errors.front());
  core->cfg.UserDataDirList = {"/data", "/../../outside"};
  core->cfg.UserDataFilesList = {"/data/../../../escape.txt", "/x"};
  const std::set<std::string> before = Tree(root);

  // Configured entries the mirror cannot hold stop the run before the modem is asked anything.
  userData->PrepareUserData();
  EXPECT_THAT(errors, ElementsAre(::testing::HasSubstr("Could not keep the user data folder \"/../../outside\"")));
  EXPECT_EQ(efs->Count(0x000B) + efs->Count(0x000F), 0u);

  errors.clear();
  core->ErrorCode = 0;
  core->cfg.UserDataDirList = {"/data"};
  core->cfg.UserDataFilesList = {"/x"};
  userData->PrepareUserData();
  userData->BackupUserData();
  userData->RestoreUserData();

  // Names no local file can carry ("../../x", "a/b") leave the backup incomplete: the run
  // stops before anything is erased, and nothing was written outside the mirror.
  EXPECT_THAT(errors, ElementsAre(::testing::HasSubstr("Fail to list folder:/data")));
  for (const auto& path : Tree(root)) {
    if (before.count(path) || Below(modemDir, path)) continue;
    EXPECT_TRUE(path == mirror || Below(mirror, path)) << path;
  }
  EXPECT_FALSE(fs::exists(root + "/escape.txt"));
  EXPECT_FALSE(fs::exists(root + "/x"));
  EXPECT_EQ(efs->Count(0x0005), 0u) << "nothing was written to the modem";
  EXPECT_EQ(efs->Count(0x000B), efs->Count(0x000D));
}

}  // namespace
}  // namespace zovir
