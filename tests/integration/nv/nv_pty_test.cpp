// NV backup and restore of a virtual modem over pseudo-terminals, with the real serial port,
// the real clock and the modem's own NV store.
#include <gmock/gmock.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/engine_core.h"
#include "link/link.h"
#include "platform/clock.h"
#include "platform/linux/serial_port_linux.h"
#include "platform/port_namespace.h"
#include "preservation/nv_items.h"
#include "sim/nv_responders.h"
#include "sim/virtual_modem.h"

namespace zovir {
namespace {

using ::testing::StartsWith;

// A running virtual modem with the NV store, in a private folder.
struct ModemOnPty {
  explicit ModemOnPty(std::shared_ptr<sim::NVStore> store, const std::string& faults) {
    std::string pattern = (std::filesystem::temp_directory_path() / "zovir-nvpty-XXXXXX").string();
    dir = mkdtemp(pattern.data());
    options.deviceMapPath = dir + "/ports.ini";
    options.comNumbers = {7, 8, 9};
    if (!faults.empty()) options.faults.AddSpec(faults);
    sim::AttachNVStore(options, store);
    modem = std::make_unique<sim::VirtualModem>(options);
    modem->Start();
    store->Bind(modem->State());
  }
  ~ModemOnPty() {
    modem->Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string dir;
  sim::VirtualModemOptions options;
  std::unique_ptr<sim::VirtualModem> modem;
};

class NVOverPty : public ::testing::Test {
 protected:
  explicit NVOverPty(const std::string& faults = {}) : m(store, faults) {
    core.cfg.ComPort = 7;
    core.cfg.PlatformType = 3;
    core.cfg.strLTEType = "LTE";
    core.cfg.bakFile = m.dir + "/nv.bak";
    core.run.nv1bakFile = m.dir + "/nv1.bak";
    core.OnStatusText = [this](CommStatus, const std::string& t, int, MESSAGE_TYPE) { lines.push_back(t); };
    core.OnError = [this](const std::string& t, int) { errors.push_back(t); };
    link.OpenDiagPort();
  }
  ~NVOverPty() override {
    if (core.hDiagPort) link.CloseDiagPort("Warning-7");
  }

  sim::DeviceState& State() { return m.modem->State(); }

  // Every item of both lists gets a value; some bytes need escaping on the wire.
  void Seed(const NVItems& nv) {
    for (const auto& e : nv.BaseNVList()) {
      sim::Bytes v(128);
      for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(e.Id + i * 31 + (i % 9 == 0 ? 0x7E : 0));
      State().SetNv(static_cast<uint32_t>(e.Id), v);
    }
    for (const auto& e : nv.RFNVList()) {
      sim::Bytes d(static_cast<size_t>(e.Id % 211));
      for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(0x7D - i);
      store->SetRFItem(static_cast<uint16_t>(e.Id), d);
    }
  }
  static std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  bool Logged(const std::string& text) const { return std::find(lines.begin(), lines.end(), text) != lines.end(); }

  // Backs up, makes the modem lose every value as an erase can, and restores.
  void RoundTrip(NVItems& nv) {
    nv.BackupNV();
    nv.BackupRFNV();
    ASSERT_TRUE(errors.empty()) << errors.front();
    store->LoseAllValues(State());
    ASSERT_TRUE(State().AllNv().empty());
    nv.RestoreNV();
    nv.RestoreRFNV();
    ASSERT_TRUE(errors.empty()) << errors.front();
  }

  std::shared_ptr<sim::NVStore> store = std::make_shared<sim::NVStore>();
  ModemOnPty m;
  PortNamespace names{m.options.deviceMapPath};
  LinuxSerialPortFactory factory{names};
  SteadyClock clock;
  EngineCore core{clock, factory, nullptr};
  Link link{core};
  std::vector<std::string> lines, errors;
};

TEST_F(NVOverPty, BackupFilesAreByteExactAndTheRestorePutsEveryValueBack) {
  ASSERT_TRUE(core.hDiagPort) << (errors.empty() ? "" : errors.front());
  NVItems nv{core, link};
  nv.BuildNVLists();
  Seed(nv);
  store->SetStatus(1887, sim::NVStore::kInactive);  // this modem never had it
  const auto nvBefore = State().AllNv();
  const auto rfBefore = store->AllRFItems();

  nv.BackupNV();
  nv.BackupRFNV();
  ASSERT_TRUE(errors.empty()) << errors.front();

  std::vector<uint8_t> nvBak;
  for (const auto& e : nv.BaseNVList()) {
    if (e.Id == 1887) continue;
    nvBak.push_back(static_cast<uint8_t>(e.Id & 0xFF));
    nvBak.push_back(static_cast<uint8_t>(e.Id >> 8));
    const auto& v = nvBefore.at(static_cast<uint32_t>(e.Id));
    nvBak.insert(nvBak.end(), v.begin(), v.end());
  }
  EXPECT_EQ(ReadFile(core.cfg.bakFile), nvBak);
  std::vector<uint8_t> nv1Bak;
  for (const auto& e : nv.RFNVList()) {
    const auto& d = rfBefore.at(static_cast<uint16_t>(e.Id));
    nv1Bak.insert(nv1Bak.end(), {static_cast<uint8_t>(e.Id & 0xFF), static_cast<uint8_t>(e.Id >> 8),
                                 static_cast<uint8_t>(d.size() & 0xFF), static_cast<uint8_t>(d.size() >> 8)});
    nv1Bak.insert(nv1Bak.end(), d.begin(), d.end());
  }
  EXPECT_EQ(ReadFile(core.run.nv1bakFile), nv1Bak);

  // The new firmware knows none of the values: every item reads inactive.
  store->LoseAllValues(State());
  nv.RestoreNV();
  nv.RestoreRFNV();
  ASSERT_TRUE(errors.empty()) << errors.front();
  auto expected = nvBefore;
  expected.erase(1887);
  EXPECT_EQ(State().AllNv(), expected);
  EXPECT_EQ(store->AllRFItems(), rfBefore);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Restore NV......OK"), 2);
}

TEST_F(NVOverPty, PlatformComesFromTheBuildIdReply) {
  NVItems nv{core, link};
  EXPECT_EQ(nv.GetPlatformID(), m.options.platformId);
}

TEST_F(NVOverPty, BackupFolderThatCannotBeWrittenStopsBeforeAnyRead) {
  NVItems nv{core, link};
  nv.BuildNVLists();
  core.cfg.bakFile = m.dir + "/no-such-folder/nv.bak";
  nv.BackupNV();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], StartsWith("ERROR, Fail to create......, Error code: "));
  EXPECT_NE(core.ErrorCode.load(), 0);
  EXPECT_EQ(m.modem->CommandCount("diag:26"), 0u);
}

// Lost, corrupted and cut replies on the wire cost attempts, never a wrong value.
class NVOverNoisyPty : public NVOverPty {
 protected:
  NVOverNoisyPty() : NVOverPty("diag:26@2=corrupt,diag:26@5=drop,diag:27@3=silent,diag:4b:0b@4=corrupt:14") {}
};

TEST_F(NVOverNoisyPty, RoundTripStillRestoresEveryValue) {
  NVItems nv{core, link};
  nv.BuildNVLists();
  Seed(nv);
  const auto nvBefore = State().AllNv();
  const auto rfBefore = store->AllRFItems();
  RoundTrip(nv);
  EXPECT_EQ(State().AllNv(), nvBefore);
  EXPECT_EQ(store->AllRFItems(), rfBefore);
  EXPECT_EQ(m.modem->FiredFaults().size(), 4u);
}

}  // namespace
}  // namespace zovir
