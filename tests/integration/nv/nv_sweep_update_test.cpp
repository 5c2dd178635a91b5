// The swept NV span through whole updates of the virtual modem: the production engine, the real
// serial code on ptys, a firmware that forgets every value it held. Reads the modem fails inside
// the span must neither drop an item nor let the update erase one that could not be read.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "preservation/nv_item_tables.h"
#include "ui/session/virtual_factory.h"
#include "virtual_update.h"

namespace zovir::test {
namespace {

// A project type with no pause before the programmer's hello and no final power-off.
constexpr int kQuickProject = 15;
constexpr int kLtePlatform = 3;

// The LTE calibration span of the built-in rows, the ids its listed rows take, and the UIT
// results an LTE target never reads.
struct Span {
  int32_t first = INT32_MAX, last = 0;
  std::set<int32_t> listed;
  Span() {
    for (const auto& e : NVItemTables::BuiltIn().lteCalibration) {
      first = std::min(first, e.Id);
      last = std::max(last, e.Id);
      listed.insert(e.Id);
    }
    listed.insert({6503, 6504});
  }
  // Which NV read of the run asks for `id` of the sweep: the listed items come first (base and
  // LTE calibration rows), then the span in ascending order without the listed ids.
  uint32_t Occurrence(int32_t id) const {
    uint32_t n = static_cast<uint32_t>(NVItemTables::BuiltIn().base.size() +
                                       NVItemTables::BuiltIn().lteCalibration.size());
    for (int32_t i = first; i <= id; ++i) n += listed.count(i) ? 0 : 1;
    return n;
  }
};

struct SweptUpdate {
  session::VirtualFactory factory;
  std::unique_ptr<VirtualUpdate> update;
  std::vector<std::string> userFiles{"/cfg/user.ini"};
  std::vector<std::string> userDirs{"/data"};

  explicit SweptUpdate(const std::string& faults, const std::map<int32_t, sim::Bytes>& drawn) {
    sim::VirtualModemOptions options;
    factory.Prepare(options, 0);
    EXPECT_EQ(options.faults.AddSpec(faults), "") << faults;
    update = std::make_unique<VirtualUpdate>(options);
    factory.Seed(update->modem(), 0, userFiles, userDirs);
    for (const auto& [id, value] : drawn) update->modem().State().SetNv(static_cast<uint32_t>(id), value);
    EngineConfig& cfg = update->cfg();
    cfg.ProjectType = kQuickProject;
    cfg.PlatformType = kLtePlatform;
    cfg.bBackup = 1;
    cfg.bRestore = 1;
    cfg.bBackupUserData = 1;
    cfg.strLTEType = "LTE";
    cfg.UserDataFilesList = userFiles;
    cfg.UserDataDirList = userDirs;
  }
  session::ModemData Snapshot() { return session::Snapshot(update->modem(), *factory.nv, userFiles); }
  std::vector<std::string> Errors() {
    std::vector<std::string> errors;
    for (const auto& r : update->Reports())
      if (r.kind == Report::Error) errors.push_back(r.text);
    return errors;
  }
};

// Values anywhere in the span, drawn, with bytes that need escaping on the wire.
std::map<int32_t, sim::Bytes> DrawContents(const Span& span, std::mt19937& rng) {
  std::map<int32_t, sim::Bytes> drawn;
  std::uniform_int_distribution<int32_t> anyId(span.first, span.last);
  while (drawn.size() < 40) {
    const int32_t id = anyId(rng);
    if (span.listed.count(id)) continue;
    sim::Bytes value(128);
    for (auto& b : value) b = static_cast<uint8_t>(rng() % 5 == 0 ? 0x7E - rng() % 2 : rng());
    drawn[id] = value;
  }
  return drawn;
}

// The NV ids whose values differ between two snapshots (missing on either side included).
std::string NVDifferences(const session::ModemData& before, const session::ModemData& after) {
  std::string out;
  std::set<uint32_t> ids;
  for (const auto& [id, _] : before.nv) ids.insert(id);
  for (const auto& [id, _] : after.nv) ids.insert(id);
  for (const uint32_t id : ids) {
    const auto b = before.nv.find(id), a = after.nv.find(id);
    if (b == before.nv.end() || a == after.nv.end() || b->second != a->second)
      out += (out.empty() ? "" : ", ") + std::to_string(id) + (a == after.nv.end() ? " lost" : " changed");
  }
  return out;
}

constexpr uint32_t kRunLimitMs = 600000;

TEST(NVSweepUpdate, ReadsTheModemFailsOnceAreAskedAgainAndEveryItemComesBack) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const Span span;
  const auto drawn = DrawContents(span, rng);
  // Some held items fail their first reads with statuses a modem gives for a read that failed.
  std::vector<int32_t> held;
  for (const auto& [id, _] : drawn) held.push_back(id);
  std::shuffle(held.begin(), held.end(), rng);
  std::vector<int32_t> failing(held.begin(), held.begin() + 4);
  std::sort(failing.begin(), failing.end());
  std::string faults;
  uint32_t extraReads = 0;
  for (const int32_t id : failing) {
    const uint32_t times = 1 + static_cast<uint32_t>(rng() % 3);
    const int status = std::array<int, 5>{1, 3, 4, 9, 10}[rng() % 5];
    faults += (faults.empty() ? "" : ",") + std::string("diag:26@") + std::to_string(span.Occurrence(id) + extraReads) +
              "x" + std::to_string(times) + "=status:" + std::to_string(status);
    extraReads += times;
  }
  SCOPED_TRACE(faults);
  SweptUpdate run(faults, drawn);
  const session::ModemData before = run.Snapshot();
  ASSERT_TRUE(run.update->Run(kRunLimitMs));
  const auto errors = run.Errors();
  ASSERT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(run.update->LastStatus(), "PASS");
  // The faults hit the items they were meant for.
  for (const int32_t id : failing) EXPECT_GT(run.factory.nv->Reads(static_cast<uint32_t>(id)), 1u) << id;
  EXPECT_GE(run.factory.nv->Losses(), 1u) << "the firmware did not forget the values";
  const session::ModemData after = run.Snapshot();
  EXPECT_EQ(NVDifferences(before, after), "");
  EXPECT_TRUE(after.rf == before.rf);
  EXPECT_EQ(after.identity, before.identity);
  EXPECT_TRUE(after.files == before.files);
}

TEST(NVSweepUpdate, AnItemThatNeverReadsStopsTheRunBeforeAnythingIsErased) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const Span span;
  const auto drawn = DrawContents(span, rng);
  auto it = drawn.begin();
  std::advance(it, rng() % drawn.size());
  const int32_t id = it->first;
  // From that item on, every read fails.
  const std::string faults = "diag:26@" + std::to_string(span.Occurrence(id)) + "+=status:4";
  SCOPED_TRACE(faults);
  SweptUpdate run(faults, drawn);
  const session::ModemData before = run.Snapshot();
  ASSERT_TRUE(run.update->Run(kRunLimitMs));
  EXPECT_FALSE(run.update->Saw("PASS"));
  const auto errors = run.Errors();
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors.front().find("[" + std::to_string(id) + "]"), std::string::npos) << errors.front();
  EXPECT_NE(errors.front().find(":Command failed"), std::string::npos) << errors.front();
  // Nothing was erased: the modem never left its firmware and holds what it held.
  EXPECT_EQ(run.update->modem().ModeEntries(sim::ModemMode::BootSahara), 0u);
  EXPECT_TRUE(run.update->modem().Partitions().empty());
  EXPECT_EQ(run.factory.nv->Losses(), 0u);
  const session::ModemData after = run.Snapshot();
  EXPECT_EQ(NVDifferences(before, after), "");
  EXPECT_TRUE(after.rf == before.rf);
  EXPECT_EQ(after.identity, before.identity);
  EXPECT_TRUE(after.files == before.files);
}

}  // namespace
}  // namespace zovir::test
