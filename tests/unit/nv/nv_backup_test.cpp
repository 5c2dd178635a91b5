#include <gmock/gmock.h>
#include <sys/resource.h>

#include <csignal>
#include <map>
#include <random>
#include <set>

#include "unit/nv/nv_fixture.h"

namespace zovir::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

const NVItemTables& T() { return NVItemTables::BuiltIn(); }

std::vector<int32_t> Ids(const NVItemTable& t) {
  std::vector<int32_t> ids;
  for (const auto& e : t) ids.push_back(e.Id);
  return ids;
}

NVItemTable Concat(std::initializer_list<const NVItemTable*> parts) {
  NVItemTable out;
  for (const NVItemTable* p : parts) out.insert(out.end(), p->begin(), p->end());
  return out;
}

// ---- list building ----

struct ListCase {
  const char* name;
  int platformType, projectType, rtrecfg, isOmbrix;
  const char* lteType;
  NVItemTable base;
  NVItemTable rf;
};

class NVListBuilding : public NVFixture, public ::testing::WithParamInterface<ListCase> {};

TEST_P(NVListBuilding, FollowsPlatformAndProjectType) {
  const ListCase& c = GetParam();
  core.cfg.PlatformType = c.platformType;
  core.cfg.ProjectType = c.projectType;
  core.cfg.RTRECFG = c.rtrecfg;
  core.cfg.IsOmbrix = c.isOmbrix;
  core.cfg.strLTEType = c.lteType;
  NVItems nv{core, link};
  nv.BuildNVLists();
  EXPECT_EQ(nv.BaseNVList(), c.base);
  EXPECT_EQ(nv.RFNVList(), c.rf);
  EXPECT_EQ(nv.FullNVList(), T().full);
  EXPECT_TRUE(nv.NVWrittenItems().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, NVListBuilding,
    ::testing::Values(
        ListCase{"Lte", 3, -1, 0, 0, "LTE", Concat({&T().base, &T().lteCalibration}), T().rf},
        ListCase{"LteWithoutRf", 3, -1, 0, 0, "WCDMA", Concat({&T().base, &T().lteCalibration}), {}},
        ListCase{"Evdo", 2, -1, 1, 0, "", Concat({&T().base, &T().cdmaCalibration}), {}},
        ListCase{"Cdma2000", 1, -1, 0, 0, "", T().base, {}},
        ListCase{"Unknown", 0, -1, 0, 0, "", T().base, {}},
        ListCase{"Project41OnLte", 3, 41, 0, 0, "LTE", Concat({&T().base, &T().cdmaCalibration}), T().rf},
        ListCase{"Project36Identity", 0, 36, 1, 0, "", Concat({&T().base, &T().cdmaCalibration, &T().cdmaIdentity}),
                 {}},
        ListCase{"Project37NoRtrecfg", 0, 37, 0, 0, "", Concat({&T().base, &T().cdmaCalibration}), {}},
        ListCase{"Project38Rtrecfg", 0, 38, 1, 0, "", Concat({&T().base, &T().cdmaCalibration}), {}},
        ListCase{"Project12Ombrix", 3, 12, 0, 1, "LTE", T().base, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- backups ----

class NVBackup : public NVFixture {
 protected:
  void Configure(int platformType, int projectType, const char* lteType = "LTE") {
    core.cfg.PlatformType = platformType;
    core.cfg.ProjectType = projectType;
    core.cfg.strLTEType = lteType;
  }
  std::vector<uint8_t> ExpectedNVBak(const NVItemTable& list, std::initializer_list<int32_t> without = {}) {
    std::vector<uint8_t> out;
    for (const auto& e : list) {
      if (std::find(without.begin(), without.end(), e.Id) != without.end()) continue;
      const auto r = Record(static_cast<uint16_t>(e.Id), ValueOf(static_cast<uint16_t>(e.Id)));
      out.insert(out.end(), r.begin(), r.end());
    }
    return out;
  }
};

TEST_F(NVBackup, BaseListIsWrittenRecordByRecordInListOrder) {
  Configure(3, -1);
  NVItems nv{core, link};
  nv.BuildNVLists();
  Populate(nv.BaseNVList());
  nv.BackupNV();
  ASSERT_TRUE(errors.empty()) << Error();
  EXPECT_EQ(ReadFile(core.cfg.bakFile), ExpectedNVBak(nv.BaseNVList()));
  EXPECT_EQ(nv.NVWrittenItems(), nv.BaseNVList());
  EXPECT_EQ(Texts().front(), "Backup NV Start.");
  EXPECT_EQ(Texts().back(), "Backup NV......OK");
}

TEST_F(NVBackup, InactiveItemIsLeftOutOfTheBaseBackupButNotOfTheFullOne) {
  Configure(3, -1);
  NVItems nv{core, link};
  nv.BuildNVLists();
  Populate(nv.BaseNVList());
  modem.items[1883].status = 5;
  nv.BackupNV();
  EXPECT_TRUE(errors.empty()) << Error();
  EXPECT_EQ(ReadFile(core.cfg.bakFile), ExpectedNVBak(nv.BaseNVList(), {1883}));
  EXPECT_TRUE(Logged("[1883]NV_VCO_SLOPE_I:NV status Error Received:Item inactive"));
  EXPECT_THAT(Ids(nv.NVWrittenItems()), Not(Contains(1883)));
  EXPECT_EQ(Texts().back(), "Backup NV......OK");

  lines.clear();
  modem.items.clear();
  Populate(nv.FullNVList());
  modem.items[3649].status = 5;
  nv.BackupFullNV();
  EXPECT_TRUE(errors.empty()) << Error();
  const auto bak = ReadFile(core.cfg.bakFile);
  ASSERT_EQ(bak.size(), 130u * nv.FullNVList().size());
  EXPECT_EQ(bak[130], 3649 & 0xFF);  // the inactive item keeps its place
  EXPECT_TRUE(Logged("[3649]NV_DPA_OR_UPA_I:NV status Error Received:Item inactive"));
  EXPECT_EQ(Texts().back(), "Backup NV......OK");
}

// The vendor's complete LTE calibration and full lists are not known: every id their rows
// span is read, whatever the modem holds there is kept and put back, and nothing else is
// written. Contents are drawn at random across the whole span.
TEST_F(NVBackup, EveryItemHeldAnywhereInTheSweptSpanIsKeptAndPutBack) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (const bool full : {false, true}) {
    SCOPED_TRACE(full ? "full list" : "LTE calibration");
    Configure(3, full ? 12 : -1);
    core.cfg.IsOmbrix = full ? 1 : 0;
    modem.items.clear();
    lines.clear();
    NVItems nv{core, link};
    nv.BuildNVLists();
    const NVItemTable& list = full ? nv.FullNVList() : nv.BaseNVList();
    const auto span = full ? nv.FullSweep() : nv.BaseSweep();
    ASSERT_TRUE(span);
    EXPECT_EQ(*span, full ? std::make_pair(74, 4994) : std::make_pair(5609, 20216));
    Populate(list);
    std::set<int32_t> listed;
    for (const auto& e : list) listed.insert(e.Id);
    std::uniform_int_distribution<int32_t> anyId(span->first, span->second);
    std::map<uint16_t, std::array<uint8_t, 128>> held;
    std::set<uint16_t> refused;
    for (int i = 0; i < 60; ++i) {
      const int32_t id = anyId(rng);
      if (listed.count(id) || id == 6503 || id == 6504 || refused.count(id)) continue;
      if (i % 3 == 0) {
        // Inactive or not defined on this target: nothing to keep.
        modem.items[static_cast<uint16_t>(id)].status = std::array<uint8_t, 2>{5, 8}[rng() % 2];
        refused.insert(static_cast<uint16_t>(id));
        held.erase(static_cast<uint16_t>(id));
        continue;
      }
      std::array<uint8_t, 128> value{};
      for (auto& b : value) b = static_cast<uint8_t>(rng());
      modem.items[static_cast<uint16_t>(id)].data = held[static_cast<uint16_t>(id)] = value;
    }
    full ? nv.BackupFullNV() : nv.BackupNV();
    ASSERT_TRUE(errors.empty()) << Error();
    EXPECT_EQ(ReadFile(core.cfg.bakFile).size(), 130u * (list.size() + held.size()));
    const uint32_t swept = static_cast<uint32_t>(span->second - span->first + 1) -
                           static_cast<uint32_t>(std::count_if(listed.begin(), listed.end(), [&](int32_t id) {
                             return id >= span->first && id <= span->second;
                           })) -
                           (full ? 0u : 2u);  // the UIT results are never read for LTE targets
    const std::string summary = "NV items " + std::to_string(span->first) + "-" + std::to_string(span->second) +
                                ": " + std::to_string(swept) + " read, " + std::to_string(held.size()) + " kept, " +
                                std::to_string(swept - held.size()) + " inactive";
    EXPECT_TRUE(Logged(summary)) << summary;
    // Not a line per item that is not there.
    EXPECT_LT(lines.size(), 10u);

    const FakeNVModem before = modem;
    modem.items.clear();
    full ? nv.RestoreFullNV() : nv.RestoreNV();
    ASSERT_TRUE(errors.empty()) << Error();
    for (const auto& [id, value] : held) EXPECT_EQ(modem.items[id].data, value) << id;
    for (const auto& e : list) EXPECT_EQ(modem.items[static_cast<uint16_t>(e.Id)].data, before.items.at(static_cast<uint16_t>(e.Id)).data);
    for (uint16_t id : refused) EXPECT_EQ(modem.items.count(id), 0u) << id;
  }
}

// Only "inactive" and "not defined" say that an id holds nothing. Any other status is a read
// that failed: the item is asked for again, kept when it reads, and an item that never reads
// fails the backup, since the update would erase it.
TEST_F(NVBackup, AFailedReadInTheSweptSpanIsAskedAgainAndNeverTakenForAnEmptyId) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  struct Case {
    bool full;
    uint8_t status;
    bool persists;
  };
  for (const Case c : {Case{false, 4, false}, Case{false, 1, false}, Case{false, 3, false}, Case{true, 9, false},
                       Case{true, 10, false}, Case{false, 6, false}, Case{false, 4, true}, Case{true, 1, true},
                       Case{false, 10, true}, Case{true, 6, true}}) {
    SCOPED_TRACE(std::string(c.full ? "full" : "base") + " status " + std::to_string(c.status) +
                 (c.persists ? " always" : " for a while"));
    Configure(3, c.full ? 12 : -1);
    core.cfg.IsOmbrix = c.full ? 1 : 0;
    modem.items.clear();
    modem.requests.clear();
    lines.clear();
    errors.clear();
    core.ErrorCode = 0;
    NVItems nv{core, link};
    nv.BuildNVLists();
    const auto span = c.full ? nv.FullSweep() : nv.BaseSweep();
    ASSERT_TRUE(span);
    const NVItemTable& list = c.full ? nv.FullNVList() : nv.BaseNVList();
    Populate(list);
    // A held item somewhere inside the span that no listed row names, and another after it.
    std::set<int32_t> listed{6503, 6504};
    for (const auto& e : list) listed.insert(e.Id);
    const auto unlisted = [&](int32_t from) {
      int32_t id = from;
      while (listed.count(id)) ++id;
      return static_cast<uint16_t>(id);
    };
    const uint16_t id = unlisted(span->first + 1 + static_cast<int32_t>(rng() % 2000));
    const uint16_t later = unlisted(id + 1 + static_cast<int32_t>(rng() % 50));
    modem.items[id].data = ValueOf(id);
    modem.items[later].data = ValueOf(later);
    const size_t failures = c.persists ? 1000 : 1 + rng() % 3;
    modem.items[id].failedReads.assign(failures, c.status);
    c.full ? nv.BackupFullNV() : nv.BackupNV();

    const auto readsOf = [&](uint16_t item) {
      return std::count_if(modem.requests.begin(), modem.requests.end(), [&](const std::vector<uint8_t>& r) {
        return r[0] == 0x26 && r[1] == (item & 0xFF) && r[2] == (item >> 8);
      });
    };
    if (c.persists) {
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_THAT(errors[0], ::testing::StartsWith("ERROR, [" + std::to_string(id) + "]"));
      EXPECT_THAT(errors[0], ::testing::HasSubstr(std::string(NVStatusSuffix(c.status)) + ", Error code: "));
      EXPECT_GT(readsOf(id), 1);
      EXPECT_EQ(readsOf(later), 0) << "the backup went on past an item it could not read";
      EXPECT_FALSE(Logged("Backup NV......OK"));
      continue;
    }
    ASSERT_TRUE(errors.empty()) << Error();
    EXPECT_EQ(readsOf(id), static_cast<long>(failures) + 1);
    EXPECT_TRUE(Logged("Backup NV......OK"));
    const FakeNVModem before = modem;
    modem.items.clear();  // the new firmware holds nothing
    c.full ? nv.RestoreFullNV() : nv.RestoreNV();
    ASSERT_TRUE(errors.empty()) << Error();
    EXPECT_EQ(modem.items[id].data, before.items.at(id).data);
    EXPECT_EQ(modem.items[later].data, before.items.at(later).data);
  }
}

// A packet that lists the items is the authority: exactly its items are backed up and put
// back, and nothing beyond them is read. Without a list the span of the built-in rows is swept.
// The run log says which list decided.
TEST_F(NVBackup, APacketsListIsBackedUpAndRestoredExactlyAndABrokenOneStopsTheRun) {
  core.cfg.PacketFolder = dir + "/packet";
  std::filesystem::create_directories(core.cfg.PacketFolder);
  const std::string tables = core.cfg.PacketFolder + "/nv_tables.txt";
  for (const bool full : {false, true}) {
    SCOPED_TRACE(full ? "full list" : "LTE calibration");
    Configure(3, full ? 12 : -1);
    core.cfg.IsOmbrix = full ? 1 : 0;
    modem.items.clear();
    modem.requests.clear();
    lines.clear();
    std::ofstream(tables) << (full ? "[full]\n90 NV_A_I\n94 NV_B_I\n" : "[lte_calibration]\n6000 NV_A_I\n6003 NV_B_I\n");
    NVItems nv{core, link};
    nv.BuildNVLists();
    ASSERT_TRUE(errors.empty()) << Error();
    EXPECT_EQ(full ? nv.FullSweep() : nv.BaseSweep(), std::nullopt);
    const NVItemTable& list = full ? nv.FullNVList() : nv.BaseNVList();
    Populate(list);
    const uint16_t between = full ? 92 : 6001;  // held, but not in the packet's list
    const uint16_t outside = full ? 74 : 5611;  // inside the built-in rows' span
    modem.items[between].data = ValueOf(between);
    modem.items[outside].data = ValueOf(outside);
    full ? nv.BackupFullNV() : nv.BackupNV();
    ASSERT_TRUE(errors.empty()) << Error();
    EXPECT_EQ(ReadFile(core.cfg.bakFile), ExpectedNVBak(list));
    std::set<uint16_t> read;
    for (const auto& r : modem.requests) read.insert(static_cast<uint16_t>(r[1] | (r[2] << 8)));
    std::set<uint16_t> listed;
    for (const auto& e : list) listed.insert(static_cast<uint16_t>(e.Id));
    EXPECT_EQ(read, listed);
    EXPECT_TRUE(Logged("NV item list: " + std::to_string(list.size()) + " items from the packet's nv_tables.txt"));

    // Over the new firmware: the listed items come back, the new firmware's own values of the
    // others stay.
    const FakeNVModem before = modem;
    modem.items.clear();
    modem.items[between].data = ValueOf(1);
    modem.requests.clear();
    full ? nv.RestoreFullNV() : nv.RestoreNV();
    ASSERT_TRUE(errors.empty()) << Error();
    for (const uint16_t id : listed) EXPECT_EQ(modem.items[id].data, before.items.at(id).data) << id;
    EXPECT_EQ(modem.items[between].data, ValueOf(1));
    EXPECT_EQ(modem.items.count(outside), 0u);
    EXPECT_EQ(modem.requests.size(), listed.size());

    // A packet without a list: the built-in rows and the sweep of their span.
    std::filesystem::remove(tables);
    lines.clear();
    NVItems builtIn{core, link};
    builtIn.BuildNVLists();
    const auto span = full ? builtIn.FullSweep() : builtIn.BaseSweep();
    ASSERT_TRUE(span);
    full ? builtIn.BackupFullNV() : builtIn.BackupNV();
    ASSERT_TRUE(errors.empty()) << Error();
    const size_t builtInCount = full ? builtIn.FullNVList().size() : builtIn.BaseNVList().size();
    EXPECT_TRUE(Logged("NV item list: " + std::to_string(builtInCount) + " items from the built-in tables, and every id of " +
                       std::to_string(span->first) + "-" + std::to_string(span->second)));
  }

  std::ofstream(tables) << "[lte_calibration]\n6000\n";
  NVItems broken{core, link};
  broken.BuildNVLists();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], ::testing::HasSubstr("NV item tables of the packet cannot be used: "));
  EXPECT_THAT(errors[0], ::testing::HasSubstr("nv_tables.txt: line 2: "));
}

TEST_F(NVBackup, UITResultsAreKeptOnlyByTheOldWaysOfProjects38To48) {
  struct Case {
    int project, uitNewWays;
    bool kept;
  };
  for (const Case c : {Case{38, 0, true}, Case{39, 0, true}, Case{48, 0, true}, Case{38, 1, false},
                       Case{36, 0, false}, Case{41, 0, false}}) {
    errors.clear();
    Configure(0, c.project);
    core.cfg.UIT_NewWays = c.uitNewWays;
    NVItems nv{core, link};
    nv.BuildNVLists();
    Populate(nv.BaseNVList());
    nv.BackupNV();
    ASSERT_TRUE(errors.empty()) << Error();
    const auto bak = ReadFile(core.cfg.bakFile);
    const auto expected = c.kept ? ExpectedNVBak(nv.BaseNVList()) : ExpectedNVBak(nv.BaseNVList(), {6503, 6504});
    EXPECT_EQ(bak, expected) << "project " << c.project << " UIT_NewWays " << c.uitNewWays;
  }
}

TEST_F(NVBackup, StatusOtherThanInactiveStopsTheBackupWithAnEngineError) {
  Configure(3, -1);
  NVItems nv{core, link};
  nv.BuildNVLists();
  Populate(nv.BaseNVList());
  modem.items[1885].status = 8;
  nv.BackupNV();
  EXPECT_THAT(errors, ElementsAre(ErrorText("[1885]NV_RGS_TYPE_I:Item not defined for this target")));
  EXPECT_FALSE(Logged("Backup NV......OK"));
  EXPECT_EQ(ReadFile(core.cfg.bakFile).size(), 130u * 5);  // the items before it
}

TEST_F(NVBackup, ItemNeverAnsweredInKindFailsTheBackupAfter99Attempts) {
  Configure(3, -1);
  NVItems nv{core, link};
  nv.BuildNVLists();
  port().SetResponder([](const std::vector<uint8_t>&) { return FakeNVModem::Frame({0x13, 0x26}); });
  nv.BackupNV();
  EXPECT_THAT(errors, ElementsAre(ErrorText("[141]NV_THERM_I:Fail to backup NV")));
  EXPECT_EQ(port().Writes().size(), 99u);
}

TEST_F(NVBackup, BackupFileThatCannotBeCreatedOrWrittenIsAnEngineError) {
  Configure(3, -1);
  NVItems nv{core, link};
  nv.BuildNVLists();
  Populate(nv.BaseNVList());
  core.cfg.bakFile = dir + "/missing/nv.bak";
  nv.BackupNV();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], ::testing::StartsWith("ERROR, Fail to create......, Error code: "));
  EXPECT_NE(core.ErrorCode.load(), 0);
  EXPECT_TRUE(modem.requests.empty());

  // A device in place of the file is never written to; a file that stops growing half-way
  // (a full disk, here a file-size limit) fails on the write.
  struct Case {
    const char* path;
    rlim_t sizeLimit;
    const char* error;
  } cases[] = {
      {"/dev/full", RLIM_INFINITY, "ERROR, Fail to create......, Error code: "},
      {"limited/nv.bak", 100, "ERROR, Fail to write NV......, Error code: "},
  };
  std::filesystem::create_directories(dir + "/limited");
  for (const Case& c : cases) {
    EngineCore other{clock, ports, nullptr};
    std::vector<std::string> otherErrors;
    other.OnError = [&](const std::string& t, int) { otherErrors.push_back(t); };
    other.cfg = core.cfg;
    other.cfg.bakFile = c.path[0] == '/' ? c.path : dir + "/" + c.path;
    other.run.nv1bakFile = other.cfg.bakFile;
    other.hDiagPort = std::move(core.hDiagPort);
    Link otherLink{other};
    NVItems full{other, otherLink};
    full.BuildNVLists();
    // The test's own process limit, lifted again before anything else writes a file.
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = before;
    limited.rlim_cur = c.sizeLimit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    full.BackupNV();
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    core.hDiagPort = std::move(other.hDiagPort);
    ASSERT_EQ(otherErrors.size(), 1u) << c.path;
    EXPECT_THAT(otherErrors[0], ::testing::StartsWith(c.error)) << c.path;
  }
}

// ---- RF backup ----

class NVRFBackup : public NVBackup {
 protected:
  void PopulateRF(const NVItemTable& list) {
    for (const auto& e : list) {
      const auto id = static_cast<uint16_t>(e.Id);
      std::vector<uint8_t> data(static_cast<size_t>(id % 300));  // variable length, some empty
      for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(id + i * 3);
      modem.rf[id].data = data;
    }
  }
  std::vector<uint8_t> ExpectedNV1Bak(const NVItemTable& list, std::initializer_list<int32_t> without = {}) {
    std::vector<uint8_t> out;
    for (const auto& e : list) {
      if (std::find(without.begin(), without.end(), e.Id) != without.end()) continue;
      const auto& d = modem.rf[static_cast<uint16_t>(e.Id)].data;
      out.insert(out.end(), {static_cast<uint8_t>(e.Id & 0xFF), static_cast<uint8_t>(e.Id >> 8),
                             static_cast<uint8_t>(d.size() & 0xFF), static_cast<uint8_t>(d.size() >> 8)});
      out.insert(out.end(), d.begin(), d.end());
    }
    return out;
  }
};

TEST_F(NVRFBackup, WritesVariableRecordsOfEveryReadableItem) {
  Configure(3, -1);
  NVItems nv{core, link};
  nv.BuildNVLists();
  PopulateRF(nv.RFNVList());
  modem.rf[571].status = 4;    // inactive: skipped silently
  modem.rf[20309].status = 5;  // logged, skipped, the backup goes on
  nv.BackupRFNV();
  ASSERT_TRUE(errors.empty()) << Error();
  EXPECT_EQ(ReadFile(core.run.nv1bakFile), ExpectedNV1Bak(nv.RFNVList(), {571, 20309}));
  EXPECT_TRUE(Logged("[20309]:status Error Received:Item inactive"));
  EXPECT_EQ(Texts().back(), "Backup NV......OK");
  EXPECT_TRUE(nv.RFBackupWritten());
  // The duplicated B20 pair is read twice.
  size_t reads20179 = 0;
  for (const auto& r : modem.requests) reads20179 += r[0] == 0x4B && r[10] == (20179 & 0xFF) && r[11] == (20179 >> 8);
  EXPECT_EQ(reads20179, 2u);
  // The request of the first item, byte for byte.
  EXPECT_EQ(modem.requests.front(),
            (std::vector<uint8_t>{0x4B, 0x0B, 0x24, 0x00, 0x5C, 0x02, 0x00, 0x00, 0x90, 0x00, 0x55, 0x4F}));
}

TEST_F(NVRFBackup, WithoutLTETheFileIsEmptyAndTheBackupOK) {
  Configure(3, -1, "WCDMA");
  NVItems nv{core, link};
  nv.BuildNVLists();
  nv.BackupRFNV();
  EXPECT_TRUE(errors.empty());
  EXPECT_TRUE(std::filesystem::exists(core.run.nv1bakFile));
  EXPECT_TRUE(ReadFile(core.run.nv1bakFile).empty());
  EXPECT_TRUE(Logged("Backup NV......OK"));
}

TEST_F(NVRFBackup, UntoleratedStatusIsAnEngineError) {
  Configure(3, -1);
  NVItems nv{core, link};
  nv.BuildNVLists();
  PopulateRF(nv.RFNVList());
  modem.rf[23112].status = 3;
  nv.BackupRFNV();
  EXPECT_THAT(errors, ElementsAre(ErrorText("[23112]:Memory is full")));
  EXPECT_FALSE(Logged("Backup NV......OK"));
}

// A read the modem says failed (1) may have failed only this time: it is asked again like a
// reply that did not come, and an item that never reads fails the backup by its name, since
// the item is there and the update would erase it.
TEST_F(NVRFBackup, AReadThatFailsIsRetriedAndThenFailsTheBackup) {
  Configure(3, -1);
  NVItems nv{core, link};
  nv.BuildNVLists();
  ASSERT_FALSE(nv.RFNVList().empty());
  PopulateRF(nv.RFNVList());
  modem.rf[22982].status = 1;
  int failedReads = 0;
  port().SetResponder([&](const std::vector<uint8_t>& w) {
    auto reply = modem.Handle(w);
    // The third read of the item succeeds.
    const auto& r = modem.requests.back();
    if (r.size() == 12 && r[10] == (22982 & 0xFF) && r[11] == (22982 >> 8) && ++failedReads == 2)
      modem.rf[22982].status = 0;
    return reply;
  });
  nv.BackupRFNV();
  ASSERT_TRUE(errors.empty()) << Error();
  EXPECT_EQ(ReadFile(core.run.nv1bakFile), ExpectedNV1Bak(nv.RFNVList(), {}));

  errors.clear();
  lines.clear();
  port().SetResponder([&](const std::vector<uint8_t>& w) { return modem.Handle(w); });
  modem.rf[22982].status = 1;
  NVItems again{core, link};
  again.BuildNVLists();
  again.BackupRFNV();
  EXPECT_THAT(errors, ElementsAre(ErrorText("[22982]RFNV_MSM_SELF_CAL_I:Fail to backup NV")));
  EXPECT_FALSE(Logged("Backup NV......OK"));
}

TEST_F(NVRFBackup, KeepsAnEarlierFailureOrStop) {
  Configure(3, -1);
  NVItems nv{core, link};
  nv.BuildNVLists();
  PopulateRF(nv.RFNVList());
  modem.items.clear();
  modem.items[141].status = 9;  // the base-list backup fails at its first item
  nv.BackupNV();
  ASSERT_EQ(errors.size(), 1u);
  const int failure = core.ErrorCode.load();
  nv.BackupRFNV();
  EXPECT_EQ(core.ErrorCode.load(), failure);
  EXPECT_FALSE(Logged("Backup NV......OK"));
}

TEST_F(NVRFBackup, StopDuringTheRFBackupSurvivesItsEnd) {
  Configure(3, -1);
  NVItems nv{core, link};
  nv.BuildNVLists();
  PopulateRF(nv.RFNVList());
  modem.rf[20825].status = 5;  // the 11th item
  const auto log = core.OnStatusText;
  core.OnStatusText = [&](CommStatus st, const std::string& t, int i, MESSAGE_TYPE k) {
    log(st, t, i, k);
    if (t.find(":Item inactive") != std::string::npos) core.RequestStop();
  };
  nv.BackupRFNV();
  EXPECT_EQ(core.ErrorCode.load(), ERR_USER_STOP);
  EXPECT_TRUE(Logged("Fail to backup NV......"));
  EXPECT_FALSE(Logged("Backup NV......OK"));
  NVItemTable firstTen(nv.RFNVList().begin(), nv.RFNVList().begin() + 10);
  EXPECT_EQ(ReadFile(core.run.nv1bakFile), ExpectedNV1Bak(firstTen));
  // Later steps of the run see the stop too: nothing more is read.
  const size_t requests = modem.requests.size();
  nv.BackupRFNV();
  EXPECT_EQ(modem.requests.size(), requests);
}

}  // namespace
}  // namespace zovir::test
