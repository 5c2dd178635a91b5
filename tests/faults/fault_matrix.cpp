// zovir-fault-matrix: whole updates of the virtual modem over ptys, each with one injected fault
// taken from a table of exchange x fault x position. Every run is a child process of its own, so
// a crash or a hang of one run is seen and counted instead of ending the matrix.
//
//   zovir-fault-matrix [--seed S] [--jobs J] [--limit N]   the whole matrix
//   zovir-fault-matrix --list [--seed S]                   the runs it would make
//   zovir-fault-matrix --run N [--seed S]                  one run, replayed alone
//   zovir-fault-matrix --run 3,42-71 [--seed S]            some runs
//   zovir-fault-matrix --random-only [--seed S]            only the runs on drawn modem contents
//
// Part of the runs start from modem contents drawn at random (NV items anywhere in the spans the
// backup sweeps, RF items, an odd serial number, an EFS tree with odd names and empty folders
// below the preserved folders), so the checks below meet contents no test seeded by hand.
//
// After every run: no PASS unless every partition equals its image and the modem's NV items,
// identity values and user files equal those before the run; a run that did not pass and left
// the modem changed must have left a backup from which a restore (the serial number typed in)
// brings the modem back; a Stop ends the run within about a second; nothing hangs; no port
// stays open and no thread stays behind; the backup folder and its files are private; a backup
// an earlier update left is never lost; names a hostile modem lists never lead a file out of
// the backup's EFS folder.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/engine_handover.h"
#include "preservation/nv_item_tables.h"
#include "config/image_check.h"
#include "config/message_sink.h"
#include "config/preserved_paths.h"
#include "config/project_configuration.h"
#include "engine/engine_types.h"
#include "link/crc16.h"
#include "platform/processes.h"
#include "platform/system_paths.h"
#include "ui/cli/cli_output.h"
#include "ui/cli/cli_view.h"
#include "ui/session/update_session.h"
#include "ui/session/update_slot.h"
#include "ui/session/virtual_factory.h"
#include "ui/work_folders.h"
#include "kill_run.h"

#ifndef ZOVIR_TEST_PACKET_DIR
#error "ZOVIR_TEST_PACKET_DIR must name the generated test packet"
#endif

namespace fs = std::filesystem;
using Ms = std::chrono::milliseconds;
using SteadyTime = std::chrono::steady_clock;

namespace zovir::faults {
namespace {

constexpr uint64_t kDefaultSeed = 20261210;
// A project type without the pause before the programmer's hello: short runs.
constexpr int kQuickProject = 15;
// The longest a single update may take, faults and retries included, before it counts as hung.
// The longest wait the protocol allows one exchange is the programmer's hello (and likewise the
// security mode) on a port that vanished: 50 attempts of 100 ms, a write tried 6 times 200 ms
// apart, a 5 s receive and 100 ms, 320 s in all. The rest of the update and the margin of a
// shared, noisy machine come on top.
constexpr uint32_t kRunLimitMs = 600000;
// Runs that start from modem contents drawn at random.
constexpr int kRandomRuns = 8;
// A Stop must end the run within about a second; the margin covers a shared, noisy machine.
constexpr int64_t kStopLimitMs = 2500;

// One exchange of an update: the modem's command key and whether it needs the fast-speed path.
struct Phase {
  const char* name;
  const char* key;
  bool fast = false;
};

const Phase kPhases[] = {
    {"identity-sn", "at:+ZRVSN"},       {"identity-testinfo", "at:+TESTINF2"},
    {"identity-efs", "at:+EFSRW"},      {"start-at", "at:+CFUN"},
    {"nv-backup", "diag:26"},           {"rf-backup", "diag:4b:0b"},
    {"efs-backup", "diag:4b:13"},       {"switch", "diag:3a"},
    {"sahara-hello", "sahara:hello"},   {"sahara-read", "sahara:read"},
    {"sahara-end", "sahara:end"},       {"sahara-done", "sahara:done"},
    {"hello", "hello"},                 {"security", "security"},
    {"partition-table", "ptable"},      {"image-open", "open"},
    {"image-write", "write"},           {"image-close", "close"},
    {"fast-reset", "fast-reset", true}, {"fast-request", "fast-request", true},
    {"fast-block", "fast-block", true}, {"fast-flash", "fast-flash", true},
    {"reset", "reset"},                 {"nv-restore", "diag:27"},
    {"mode-change", "diag:29"},
};

// What goes wrong. `kind` is the fault plan's KIND[:ARG]; "stop" presses Stop while the modem
// holds back its reply at the position; "renumber" brings every restart back on new numbers.
struct Fault {
  const char* name;
  const char* kind;
};

const Fault kFaults[] = {
    {"no-reply", "silent"},   {"lost-command", "ignore"}, {"corrupt", "corrupt"},
    {"dropped-byte", "drop"}, {"nak", "nak"},             {"wrong-reply", "wrong"},
    {"long-delay", "delay:12000"}, {"vanish", "vanish:1500"}, {"unplug", "vanish"},
    {"stop", "stop"},
};

enum class Position { First, Middle, Last, Every };

struct RunCase {
  int index = 0;
  std::string phase, fault, key;
  bool fast = false;
  bool renumber = false;
  bool stop = false;
  uint32_t occurrence = 1;
  bool every = false;
  std::string spec;  // the fault plan, empty for none
  bool oldBackup = false;  // an earlier update's backup of this modem is in the backup folder
  bool hostile = false;    // the modem's EFS lists hostile names
  uint64_t contentSeed = 0;  // not 0: the modem starts with contents drawn from this seed
  std::string mustSay;     // a text the run must report (a mend that must show)
  // What happens between the failed run and its restore: "swap-unit" (another modem is attached
  // and the restore is tried on it as a re-update would), "changed-files" (the modem's user files
  // change before the restore is asked for).
  std::string between;
  std::string Describe() const {
    std::string s = phase + " x " + fault;
    if (!key.empty()) s += " @" + std::to_string(occurrence) + (every ? "+" : "");
    if (fast) s += " fast";
    if (!spec.empty()) s += " [" + spec + "]";
    if (oldBackup) s += " old-backup";
    if (hostile) s += " hostile-efs";
    if (contentSeed) s += " random-contents:" + std::to_string(contentSeed);
    if (!between.empty()) s += " then " + between;
    return s;
  }
};

// ---------------------------------------------------------------------------------------------
// One run, in this process.

class QuietSink final : public MessageSink {
 public:
  void Show(const std::string& text, const std::string& caption, MessageButtons, MessageIcon) override {
    std::fprintf(stdout, "message %s: %s\n", caption.c_str(), text.c_str());
  }
  void Log(const std::string&) override {}
};

uint16_t FileCrc(const fs::path& path, uint64_t& size) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size = bytes.size();
  return Crc16X25(bytes.data(), bytes.size());
}

// Every partition the packet writes holds exactly its image.
std::string PartitionMismatch(sim::VirtualModem& modem) {
  const auto held = modem.Partitions();
  for (const char* name : {"partition", "sbl1", "tz", "qdsp6sw", "mba", "rpm", "acdb", "apps", "efs", "efs2apps"}) {
    uint64_t size = 0;
    const uint16_t crc = FileCrc(fs::path(ZOVIR_TEST_PACKET_DIR) / (std::string(name) + ".mbn"), size);
    auto it = held.find(name);
    if (it == held.end()) return std::string("partition ") + name + " never written";
    if (it->second.size != size || it->second.crc != crc) return std::string("partition ") + name + " differs";
  }
  return {};
}

std::string DataMismatch(const session::ModemData& before, const session::ModemData& after) {
  const session::Verification v = session::Compare(before, after);
  if (v.ok) return {};
  std::string s;
  for (const auto& line : v.lines) s += (s.empty() ? "" : "; ") + line;
  return s.empty() ? "data differs" : s;
}

int CountThreads() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

// Descriptors of this process that still point at a terminal device (the modem's ptys).
int CountOpenPorts() {
  int n = 0;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = fs::read_symlink(e.path(), ec).string();
    if (!ec && (target.rfind("/dev/pts/", 0) == 0 || target == "/dev/ptmx")) ++n;
  }
  return n;
}

struct Prepared {
  std::unique_ptr<session::UpdateSession> session;
  ProjectConfiguration config;  // what START gets
  ImageFolderState images;
  std::string packet;
  EngineConfig base;
  std::vector<std::string> userFiles, userDirs;
  std::vector<std::string> efsPaths;  // every preserved file and folder, compared after a run
};

bool PrepareRun(Prepared& p, const RunCase& c, QuietSink& sink) {
  const std::string packet = ZOVIR_TEST_PACKET_DIR;
  p.session = std::make_unique<session::UpdateSession>();
  if (p.session->Open(session::SessionOptions{packet, false})) return false;
  p.packet = packet;
  if (!ReadProjectConfiguration(p.config, packet + "/Config.ini", sink)) return false;
  // Preserve user files too, so that the EFS backup and restore are part of every run.
  p.config.bBackupUserData = 1;
  if (p.config.UserDataFilesList.empty()) p.config.UserDataFilesList = {"/user/settings.cfg", "/user/apn.txt"};
  if (p.config.UserDataDirList.empty()) p.config.UserDataDirList = {"/user/profiles"};
  p.config.bFastSpeedDownload = c.fast ? 1 : 0;
  ImageCheckContext context{sink, p.config.Caption, p.session->folders().BackupFolder(), false, nullptr, nullptr};
  if (!CheckImageFolder(packet, p.config, p.images, context)) return false;
  p.config.ProjectType = kQuickProject;
  HandOverConfiguration(p.config, p.base);
  HandOverImages(p.images, p.base);
  p.base.BackupFilePath = p.session->folders().BackupFolder();
  p.userFiles = PreservedEfsPaths(p.config.UserDataFilesList);
  p.userDirs = PreservedEfsPaths(p.config.UserDataDirList);
  p.efsPaths = p.userFiles;
  p.efsPaths.insert(p.efsPaths.end(), p.userDirs.begin(), p.userDirs.end());
  return true;
}

sim::VirtualModemOptions ModemOptions(const fs::path& home, const RunCase& c, bool withFaults) {
  sim::VirtualModemOptions o;
  o.comNumbers.clear();
  for (int n = 0; n < 12; ++n) o.comNumbers.push_back(20 + n);
  o.stateDir = (home / "state").string();
  o.rebootDelayMs = 300;
  o.fastBlockSize = 4096;
  if (c.renumber) o.restartPorts = sim::RestartPorts::NewNumbers;
  if (withFaults && !c.spec.empty()) {
    const std::string error = o.faults.AddSpec(c.spec);
    if (!error.empty()) throw std::runtime_error("fault plan: " + error);
  }
  return o;
}

struct Outcome {
  std::string verdict = "pass";  // pass | fail | false_pass | lost_backup | hung | error
  bool passed = false;           // the tool said PASS
  int code = 0;
  int64_t stopMs = -1;
  bool operatorStop = false;  // the update outlasted the run limit and was ended by Stop
  std::string detail;
  std::map<std::string, uint32_t> counts;
};

// Updates the modem of `slot`; presses Stop when the case asks for it. Returns false on a hang.
bool RunUpdate(session::UpdateSlot& slot, const Prepared& p, const RunCase* stopCase, Outcome& out) {
  slot.Start(p.config, p.images, p.packet);
  const auto start = SteadyTime::now();
  bool stopped = false;
  while (!slot.Finished()) {
    if (SteadyTime::now() - start > Ms(kRunLimitMs)) {
      // Some waits have no limit of their own and end only on the reply or the user's Stop
      // (the partition table, a close or the reset the programmer never answers), and late
      // write acknowledgements may be retried for well over an hour. Press Stop as an operator
      // would: only a Stop that is not honoured makes the run hang.
      const auto pressed = SteadyTime::now();
      slot.Stop();
      if (!slot.Wait(30000)) return false;
      out.stopMs = std::chrono::duration_cast<Ms>(SteadyTime::now() - pressed).count();
      out.operatorStop = true;
      return true;
    }
    if (stopCase && !stopped && slot.modem()->CommandCount(stopCase->key) >= stopCase->occurrence) {
      // The modem holds back its reply now: the engine is waiting on the port.
      std::this_thread::sleep_for(Ms(200));
      const auto pressed = SteadyTime::now();
      slot.Stop();
      stopped = true;
      if (!slot.Wait(30000)) return false;
      out.stopMs = std::chrono::duration_cast<Ms>(SteadyTime::now() - pressed).count();
      break;
    }
    std::this_thread::sleep_for(Ms(20));
  }
  return slot.Wait(30000);
}

std::optional<std::string> SavedSerialNumber(const std::string& backupRoot) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(backupRoot, ec)) {
    const std::string name = e.path().filename().string();
    if (e.is_directory() && name.size() > 4 && name.rfind("SN[", 0) == 0 && name.back() == ']')
      return name.substr(3, name.size() - 4);
  }
  return std::nullopt;
}

// The backup root and the work folder are the user's alone, and so is every backup file.
std::string ExposedFolders(const fs::path& home) {
  std::string out;
  auto check = [&](const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0)
      out += (out.empty() ? "" : ", ") + path.lexically_relative(home).string();
  };
  const SystemPaths paths = SystemPathsFromEnvironment();
  check(paths.backupRoot);
  std::error_code ec;
  for (fs::recursive_directory_iterator it(paths.backupRoot, ec), end; !ec && it != end; it.increment(ec))
    if (it->path().extension() == ".bak") check(it->path());
  return out;
}

constexpr const char* kOldBackupMark = "an earlier update's backup\n";

// A backup an earlier update left behind; the update must keep it (renamed aside, perhaps).
void PlantOldBackup(const std::string& backupRoot, const std::string& sn) {
  const fs::path folder = fs::path(backupRoot) / ("SN[" + sn + "]");
  fs::create_directories(folder);
  const fs::path file = folder / "nv.bak";
  std::ofstream(file, std::ios::binary) << kOldBackupMark;
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
}

bool OldBackupKept(const std::string& backupRoot) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(backupRoot, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename() != "nv.bak") continue;
    std::ifstream in(it->path(), std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (content == kOldBackupMark) return true;
  }
  return false;
}

// Files a hostile modem's EFS supplied carry "hostile:" + their EFS path; each one on this
// machine must lie inside an EFS mirror of the backup folder.
std::string EscapedFiles(const fs::path& home) {
  std::string out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(home, fs::directory_options::none, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (!it->is_regular_file(ec) || it->file_size(ec) > 4096) continue;
    std::ifstream in(it->path(), std::ios::binary);
    char head[8] = {};
    in.read(head, sizeof head);
    if (in.gcount() != 8 || std::memcmp(head, "hostile:", 8) != 0) continue;
    const fs::path rel = it->path().lexically_relative(home);
    if (!rel.empty() && *rel.begin() == "state") continue;  // the modem's own flash
    bool inMirror = false;
    for (auto part = rel.begin(); part != rel.end(); ++part)
      if (*part == "EFS") inMirror = true;
    if (rel.empty() || *rel.begin() != "Backup" || !inMirror) out += (out.empty() ? "" : ", ") + rel.string();
  }
  return out;
}

// Gives the modem contents drawn from `seed` on top of what the factory seeded: NV items
// anywhere in the span the LTE calibration backup sweeps, RF items of the RF list, an odd
// serial number, and below each preserved folder a tree of files and empty folders whose names
// hold every character an EFS name may hold.
void SeedRandomContents(sim::VirtualModem& modem, sim::NVStore& nv, const Prepared& p, uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto bytes = [&](size_t n) {
    sim::Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng() % 5 == 0 ? 0x7E - rng() % 2 : rng());
    return b;
  };
  sim::DeviceState& state = modem.State();
  const NVItemTables& tables = NVItemTables::BuiltIn();
  int32_t first = INT32_MAX, last = 0;
  for (const auto& e : tables.lteCalibration) {
    first = std::min(first, e.Id);
    last = std::max(last, e.Id);
  }
  for (int i = 0; i < 40; ++i) {
    const int32_t id = first + static_cast<int32_t>(rng() % static_cast<uint64_t>(last - first + 1));
    if (id == 6503 || id == 6504) continue;  // the UIT results, never kept on LTE targets
    state.SetNv(static_cast<uint32_t>(id), bytes(128));
  }
  for (const auto& e : tables.rf)
    if (rng() % 2) nv.SetRFItem(static_cast<uint16_t>(e.Id), bytes(rng() % 120));
  static constexpr char kSnChars[] = "ABCXYZabcxyz0123456789-_.+#";
  std::string sn;
  for (int i = 0; i < 12; ++i) sn += kSnChars[rng() % (sizeof kSnChars - 1)];
  state.SetIdentity("SN", sn);
  static const std::string kNameChars = "abcXYZ019 .-_:%*?\"<>|\\~#\x01\x1b\x7f";
  auto name = [&] {
    std::string n;
    for (size_t len = 1 + rng() % 12; n.size() < len;) n += kNameChars[rng() % kNameChars.size()];
    return n == "." || n == ".." ? n + "x" : n;
  };
  for (const std::string& dir : p.userDirs) {
    std::vector<std::string> folders{dir};
    for (int i = 0; i < 12; ++i) {
      const std::string parent = folders[rng() % folders.size()];
      const std::string path = parent + "/" + name();
      if (rng() % 3 == 0 && folders.size() < 6) {
        state.MakeEfsDir(path);
        folders.push_back(path);
      } else if (!state.EfsDirExists(path)) {
        state.SetEfsFile(path, bytes(rng() % 3000));
      }
    }
  }
}

// The setup of a further update of the modem of this run (its state kept).
session::SlotSetup AgainSetup(const fs::path& home, const RunCase& c) {
  session::SlotSetup setup;
  setup.deviceMapPath = (home / "ports.ini").string();
  setup.virtualModem = true;
  setup.modem = ModemOptions(home, c, false);
  return setup;
}

// A further update to its end; one that does not end is a hang, and the child ends at once (the
// engine still runs: nothing can be torn down safely).
void RunToEndOrHang(session::UpdateSlot& slot, const Prepared& p, const char* what) {
  Outcome ignored;
  if (!RunUpdate(slot, p, nullptr, ignored)) {
    std::printf("RESULT verdict=hung said=- code=%d stop_ms=-1 detail=%s did not end within %u ms\n", slot.ErrorCode(),
                what, kRunLimitMs);
    std::fflush(stdout);
    _exit(3);
  }
  slot.modem()->WaitForMode(sim::ModemMode::Normal, Ms(5000));
}

// Gives the modem's preserved user files new contents, drops one and adds one: what a user of the
// modem may do between a failed update and the restore asked for afterwards.
void ChangeUserFiles(sim::VirtualModem& modem, const Prepared& p, uint64_t seed) {
  std::mt19937_64 rng(seed ^ 0x5eed);
  sim::DeviceState& state = modem.State();
  for (size_t i = 0; i < p.userFiles.size(); ++i) {
    if (i == 1) {
      state.RemoveEfs(p.userFiles[i]);
      continue;
    }
    sim::Bytes b(1 + rng() % 700);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    state.SetEfsFile(p.userFiles[i], b);
  }
  if (!p.userDirs.empty()) state.SetEfsFile(p.userDirs[0] + "/written-after-the-failure.txt", sim::Bytes{'n', 'e', 'w'});
}

// Backup folders of `sn` in the root ("SN[sn]" and those set aside as "SN[sn].<stamp>").
int BackupsOf(const std::string& root, const std::string& sn) {
  int n = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(root, ec))
    if (e.path().filename().string().rfind("SN[" + sn + "]", 0) == 0) ++n;
  return n;
}

Outcome ExecuteRun(const RunCase& c, const fs::path& home) {
  Outcome out;
  const int threadsBefore = CountThreads();
  QuietSink sink;
  Prepared p;
  if (!PrepareRun(p, c, sink)) {
    out.verdict = "error";
    out.detail = "packet or configuration rejected";
    return out;
  }
  cli::CliOutput print(cli::CliOutput::Style::Plain, stdout);
  SteadyClock clock;
  session::VirtualFactory factory;
  session::ModemData before;
  bool touched = false;
  {
    session::SlotSetup setup;
    setup.deviceMapPath = (home / "ports.ini").string();
    setup.virtualModem = true;
    setup.modem = ModemOptions(home, c, true);
    if (c.hostile) {
      sim::EfsSimOptions hostile;
      hostile.hostile = true;
      hostile.hostileEntries = 20;
      factory.efs = std::make_shared<sim::EfsSimulation>(hostile);
    }
    factory.Prepare(setup.modem, 0);
    cli::CliView view(print, 0, cli::AnswerPolicy::Safe, "");
    session::UpdateSlot slot(setup, *p.session, view, clock);
    factory.Seed(*slot.modem(), 0, p.userFiles, p.userDirs);
    if (c.contentSeed) SeedRandomContents(*slot.modem(), *factory.nv, p, c.contentSeed);
    if (!slot.Discover()) {
      out.verdict = "error";
      out.detail = "no diagnostic port";
      return out;
    }
    before = session::Snapshot(*slot.modem(), *factory.nv, p.efsPaths);
    if (c.oldBackup) {
      const auto sn = before.identity.find("SN");
      if (sn == before.identity.end()) throw std::runtime_error("the modem has no serial number");
      PlantOldBackup(p.base.BackupFilePath, sn->second);
    }
    if (!RunUpdate(slot, p, c.stop ? &c : nullptr, out)) {
      std::printf("RESULT verdict=hung said=- code=%d stop_ms=-1 detail=the update did not end within %u ms\n",
                  slot.ErrorCode(), kRunLimitMs);
      std::fflush(stdout);
      _exit(3);  // the engine still runs: nothing can be torn down safely
    }
    out.code = slot.ErrorCode();
    out.passed = slot.Passed() && out.code == 0;
    for (const Phase& ph : kPhases) out.counts[ph.key] = slot.modem()->CommandCount(ph.key);
    if (out.operatorStop) out.detail = "waited for Stop: no end within " + std::to_string(kRunLimitMs) + " ms";
    if ((c.stop || out.operatorStop) && out.stopMs > kStopLimitMs) {
      out.verdict = "hung";
      out.detail = "Stop took " + std::to_string(out.stopMs) + " ms";
    }
    slot.modem()->WaitForMode(sim::ModemMode::Normal, Ms(5000));
    session::ModemData after = session::Snapshot(*slot.modem(), *factory.nv, p.efsPaths);
    if (c.hostile) {
      // Files that existed only in the hostile listing come back as real ones; only what the
      // modem held before must be unchanged.
      for (auto it = after.files.begin(); it != after.files.end();)
        it = before.files.count(it->first) ? std::next(it) : after.files.erase(it);
    }
    const std::string dataDiff = DataMismatch(before, after);
    const std::string partDiff = PartitionMismatch(*slot.modem());
    touched = !dataDiff.empty() || slot.modem()->ModeEntries(sim::ModemMode::Normal) > 1 ||
              !slot.modem()->Partitions().empty();
    if (out.passed && (!dataDiff.empty() || !partDiff.empty())) {
      out.verdict = "false_pass";
      out.detail = partDiff.empty() ? dataDiff : partDiff;
    } else if (!out.passed && out.verdict == "pass") {
      out.verdict = "fail";
      if (out.detail.empty()) out.detail = "error " + std::to_string(out.code);
    }
  }
  // Another unit attached where the failed one was: a re-update from the failed run's backup
  // (its flags as a re-update leaves them) must refuse it and leave it as it was.
  if (!out.passed && c.between == "swap-unit" && out.verdict != "hung") {
    if (const auto sn = SavedSerialNumber(p.base.BackupFilePath)) {
      session::SlotSetup setup = AgainSetup(home, c);
      setup.modem.stateDir = (home / "other-unit").string();
      session::VirtualFactory other;
      other.Prepare(setup.modem, 1);
      cli::CliView view(print, 0, cli::AnswerPolicy::Safe, *sn);
      session::UpdateSlot slot(setup, *p.session, view, clock);
      other.Seed(*slot.modem(), 1, p.userFiles, p.userDirs);
      if (!slot.Discover()) throw std::runtime_error("no diagnostic port on the other unit");
      const session::ModemData theirs = session::Snapshot(*slot.modem(), *other.nv, p.efsPaths);
      const ProjectConfiguration kept = p.config;
      p.config.bBackup = 0;
      p.config.bBackupUserData = 0;
      RunToEndOrHang(slot, p, "the re-update on another unit");
      p.config = kept;
      const std::string diff = DataMismatch(theirs, session::Snapshot(*slot.modem(), *other.nv, p.efsPaths));
      if (slot.Passed() && slot.ErrorCode() == 0) {
        out.verdict = "false_pass";
        out.detail = "the backup of " + *sn + " was restored onto another unit";
      } else if (!diff.empty() || !slot.modem()->Partitions().empty()) {
        out.verdict = "lost_backup";
        out.detail = "a refused re-update changed the other unit: " + (diff.empty() ? "partitions written" : diff);
      }
    }
  }
  // The modem's files change after a run that failed before anything was written; the restore
  // asked for then must not bring back the older files, nor drop the backup that holds them.
  if (!out.passed && !touched && c.between == "changed-files" && out.verdict == "fail") {
    if (const auto sn = SavedSerialNumber(p.base.BackupFilePath)) {
      const int backupsBefore = BackupsOf(p.base.BackupFilePath, *sn);
      session::SlotSetup setup = AgainSetup(home, c);
      factory.Prepare(setup.modem, 0);
      cli::CliView view(print, 0, cli::AnswerPolicy::Safe, *sn);
      session::UpdateSlot slot(setup, *p.session, view, clock);
      ChangeUserFiles(*slot.modem(), p, c.contentSeed);
      if (!slot.Discover()) throw std::runtime_error("no diagnostic port after the change");
      const session::ModemData changed = session::Snapshot(*slot.modem(), *factory.nv, p.efsPaths);
      RunToEndOrHang(slot, p, "the run after the change");
      const std::string diff = DataMismatch(changed, session::Snapshot(*slot.modem(), *factory.nv, p.efsPaths));
      const bool passed = slot.Passed() && slot.ErrorCode() == 0;
      if (passed && !diff.empty()) {
        out.verdict = "false_pass";
        out.detail = "after the files changed: " + diff;
      } else if (BackupsOf(p.base.BackupFilePath, *sn) < backupsBefore) {
        out.verdict = "lost_backup";
        out.detail = "a backup of " + *sn + " was deleted by a run that did not restore from it";
      } else if (!passed && !diff.empty()) {
        out.verdict = "lost_backup";
        out.detail = "a failed run after the change lost: " + diff;
      }
    }
  }
  if (!out.passed && touched && out.verdict != "hung" && out.verdict != "false_pass") {
    // The modem may have lost its data: the saved backup must bring it back.
    const auto sn = SavedSerialNumber(p.base.BackupFilePath);
    std::string why;
    if (!sn) {
      why = "no backup folder";
    } else {
      for (const char* file : {"nv.bak", "EncryptAT.bak"})
        if (!fs::exists(fs::path(p.base.BackupFilePath) / ("SN[" + *sn + "]") / file))
          why += std::string(why.empty() ? "" : ", ") + file + " missing";
    }
    if (why.empty()) {
      session::SlotSetup setup = AgainSetup(home, c);
      factory.Prepare(setup.modem, 0);
      cli::CliView view(print, 0, cli::AnswerPolicy::Safe, *sn);
      session::UpdateSlot slot(setup, *p.session, view, clock);
      if (!slot.Discover()) {
        why = "no diagnostic port for the restore";
      } else {
        RunToEndOrHang(slot, p, "the restore");
        const session::ModemData restored = session::Snapshot(*slot.modem(), *factory.nv, p.efsPaths);
        if (!(slot.Passed() && slot.ErrorCode() == 0))
          why = "restore from the saved backup failed with error " + std::to_string(slot.ErrorCode());
        else if (const std::string d = DataMismatch(before, restored); !d.empty())
          why = "restore from the saved backup: " + d;
      }
    }
    if (!why.empty()) {
      out.verdict = "lost_backup";
      out.detail = why + (out.detail.empty() ? "" : " (" + out.detail + ")");
    }
  }
  if (out.verdict == "pass" || out.verdict == "fail") {
    std::string why;
    if (const std::string exposed = ExposedFolders(home); !exposed.empty()) why = "open to others: " + exposed;
    if (c.oldBackup && !OldBackupKept(p.base.BackupFilePath)) why = "the earlier backup is gone";
    if (c.hostile) {
      if (const std::string escaped = EscapedFiles(home); !escaped.empty()) why = "outside the EFS mirror: " + escaped;
    }
    if (!why.empty()) {
      out.verdict = "error";
      out.detail = why + (out.detail.empty() ? "" : " (" + out.detail + ")");
    }
  }
  // Everything is torn down: no port may stay open, no thread may run on.
  for (int i = 0; i < 50 && CountThreads() > threadsBefore; ++i) std::this_thread::sleep_for(Ms(100));
  const int threads = CountThreads() - threadsBefore;
  const int ports = CountOpenPorts();
  if ((threads > 0 || ports > 0) && out.verdict != "false_pass" && out.verdict != "lost_backup") {
    out.verdict = "hung";
    out.detail = std::to_string(threads) + " threads and " + std::to_string(ports) + " ports left open";
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// The table.

RunCase BaselineCase(bool fast) {
  RunCase c;
  c.phase = fast ? "baseline-fast" : "baseline";
  c.fault = "none";
  c.fast = fast;
  return c;
}

std::string Spec(const std::string& key, uint32_t occurrence, bool every, const std::string& kind) {
  return key + "@" + std::to_string(occurrence) + (every ? "+" : "") + "=" + kind;
}

// Generates every run from the table with `seed`. `counts` holds how often each key came in an
// update without faults (normal and fast-speed path); a key that never came is left out.
std::vector<RunCase> BuildTable(uint64_t seed, const std::map<std::string, uint32_t>& normal,
                                const std::map<std::string, uint32_t>& fast) {
  std::mt19937_64 rng(seed);
  std::vector<RunCase> runs;
  runs.push_back(BaselineCase(false));
  runs.push_back(BaselineCase(true));
  auto pick = [&](uint32_t n) { return n <= 1 ? 1u : static_cast<uint32_t>(1 + rng() % n); };
  for (const Phase& ph : kPhases) {
    const auto& counts = ph.fast ? fast : normal;
    auto it = counts.find(ph.key);
    const uint32_t n = it == counts.end() ? 0 : it->second;
    if (n == 0) continue;
    for (const Fault& f : kFaults) {
      // Each pair of the table once at a drawn position; the first occurrence is always among
      // them for faults that end a run, the last for those a retry may absorb.
      const Position choices[] = {Position::First, Position::Middle, Position::Last, Position::Every};
      const bool stop = std::strcmp(f.kind, "stop") == 0;
      Position pos = choices[rng() % (stop ? 3 : 4)];
      RunCase c;
      c.phase = ph.name;
      c.fault = f.name;
      c.key = ph.key;
      c.fast = ph.fast;
      c.stop = stop;
      c.occurrence = pos == Position::Last ? n : pos == Position::Middle ? pick(n) : 1;
      c.every = pos == Position::Every;
      c.spec = Spec(c.key, c.occurrence, c.every, stop ? "delay:8000" : f.kind);
      runs.push_back(c);
    }
  }
  // Ports that come back on new numbers after every restart, with and without the fast path.
  for (bool fastPath : {false, true}) {
    RunCase c;
    c.phase = "re-enumeration";
    c.fault = "renumbered";
    c.fast = fastPath;
    c.renumber = true;
    runs.push_back(c);
  }
  // Mends that must show. An oscillator file the modem never answers for ends the run before
  // anything is written, with its own message.
  {
    RunCase c;
    c.phase = "oscillator-file";
    c.fault = "no-reply";
    c.key = "at:+EFSRW";
    c.every = true;
    c.spec = Spec(c.key, 1, true, "silent");
    c.mustSay = "[Dload] Fail to Read ";
    runs.push_back(c);
  }
  // A backup an earlier update left is kept, by a passing update and by one whose own backup
  // fails halfway.
  for (bool fails : {false, true}) {
    RunCase c;
    c.phase = fails ? "nv-backup" : "baseline";
    c.fault = fails ? "unplug" : "none";
    c.oldBackup = true;
    if (fails) {
      c.key = "diag:26";
      c.occurrence = 5;
      c.spec = Spec(c.key, 5, false, "vanish");
    }
    runs.push_back(c);
  }
  // A modem whose EFS lists names that climb out of their folder, hold separators or control
  // characters.
  {
    RunCase c;
    c.phase = "efs-listing";
    c.fault = "hostile-names";
    c.hostile = true;
    runs.push_back(c);
  }
  // Runs on drawn modem contents: one without a fault, the others with a fault drawn from the
  // table.
  std::vector<const Phase*> phases;
  for (const Phase& ph : kPhases) {
    auto it = normal.find(ph.key);
    if (!ph.fast && it != normal.end() && it->second > 0) phases.push_back(&ph);
  }
  for (int i = 0; i < kRandomRuns; ++i) {
    RunCase c;
    c.contentSeed = rng() | 1;
    if (i == 0 || phases.empty()) {
      c.phase = "random-contents";
      c.fault = "none";
    } else {
      const Phase& ph = *phases[rng() % phases.size()];
      const Fault& f = kFaults[rng() % std::size(kFaults)];
      const uint32_t n = normal.at(ph.key);
      c.phase = ph.name;
      c.fault = f.name;
      c.key = ph.key;
      c.stop = std::strcmp(f.kind, "stop") == 0;
      c.occurrence = pick(n);
      c.spec = Spec(c.key, c.occurrence, false, c.stop ? "delay:8000" : f.kind);
    }
    runs.push_back(c);
  }
  // Attacks on the restore, on drawn contents: a unit swapped between a failed run and its
  // re-update, files changed on the modem between a run that failed before writing and its
  // restore, AT answers arriving late (after the channel gave up, inside the next command), and
  // NV reads that fail inside the spans the backup sweeps.
  auto drawn = [&](const char* phase, const char* fault, const std::string& spec) {
    RunCase c;
    c.contentSeed = rng() | 1;
    c.phase = phase;
    c.fault = fault;
    c.spec = spec;
    if (const auto eq = spec.find('='); eq != std::string::npos) c.key = spec.substr(0, std::min(spec.find('@'), eq));
    return c;
  };
  {
    RunCase c = drawn("image-write", "unplug", Spec("write", pick(normal.count("write") ? normal.at("write") : 1), false,
                                                   "vanish"));
    c.between = "swap-unit";
    runs.push_back(c);
    c = drawn("switch", "lost-command", Spec("diag:3a", 1, true, "ignore"));
    c.between = "changed-files";
    runs.push_back(c);
  }
  for (const char* key : {"at:+ZRVSN", "at:+TESTINF2", "at:AT"}) {
    const uint32_t n = normal.count(key) ? normal.at(key) : 0;
    if (n == 0) continue;
    runs.push_back(drawn("late-answer", "delay", std::string(key) + "@" + std::to_string(pick(n)) + "x2=delay:9000"));
  }
  if (const uint32_t n = normal.count("diag:26") ? normal.at("diag:26") : 0; n > 0) {
    const uint32_t first = pick(n);
    runs.push_back(drawn("nv-sweep", "read-failure",
                         "diag:26@" + std::to_string(first) + "=status:4,diag:26@" + std::to_string(pick(n)) + "=status:" +
                             std::to_string(rng() % 2 ? 1 : 3)));
  }
  // A programmer that refuses the partition table, and a boot loader that keeps asking for the
  // programmer's same piece.
  runs.push_back(drawn("partition-table", "refused", "ptable=status:" + std::to_string(2 + rng() % 6)));
  if (const uint32_t n = normal.count("sahara:read") ? normal.at("sahara:read") : 0; n > 0)
    runs.push_back(drawn("sahara-read", "repeat", Spec("sahara:read", pick(n), true, "repeat")));
  // Kill-at-a-phase runs: the update killed at a line of its output, then run again from the
  // saved backup (and, when that is refused, as a plain update).
  for (const KillPoint& point : KillPoints()) {
    RunCase c;
    c.phase = point.phase;
    c.fault = "kill";
    c.spec = "#kill=" + point.phase;
    runs.push_back(c);
  }
  for (size_t i = 0; i < runs.size(); ++i) runs[i].index = static_cast<int>(i);
  return runs;
}

// ---------------------------------------------------------------------------------------------
// The parent: runs children, collects one result line each.

struct ChildResult {
  std::string verdict = "error";
  std::string line;
  std::map<std::string, uint32_t> counts;
};

std::string SelfPath() { return fs::read_symlink("/proc/self/exe").string(); }

struct Child {
  pid_t pid = -1;
  int index = -1;
  fs::path log;
  SteadyTime::time_point started;
};

Child Spawn(const std::string& self, int index, uint64_t seed, const std::string& spec, const fs::path& logDir,
            const std::string& extra) {
  Child ch;
  ch.index = index;
  ch.log = logDir / ("run-" + std::to_string(index) + ".log");
  ch.started = SteadyTime::now();
  ch.pid = fork();
  if (ch.pid == 0) {
    const int fd = open(ch.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    setpgid(0, 0);
    const std::string run = std::to_string(index), s = std::to_string(seed);
    std::vector<const char*> argv = {self.c_str(), "--child", run.c_str(), "--seed", s.c_str(), "--case", spec.c_str()};
    if (!extra.empty()) argv.push_back(extra.c_str());
    argv.push_back(nullptr);
    execv(self.c_str(), const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  return ch;
}

ChildResult Collect(const Child& ch, int status, bool killed, const std::string& mustSay) {
  ChildResult r;
  std::ifstream in(ch.log);
  std::string line;
  bool said = mustSay.empty();
  while (std::getline(in, line)) {
    if (!said && line.find(mustSay) != std::string::npos && line.rfind("RESULT ", 0) != 0) said = true;
    if (line.rfind("RESULT ", 0) == 0) r.line = line;
    if (line.rfind("COUNT ", 0) == 0) {
      std::istringstream ss(line.substr(6));
      std::string key;
      uint32_t n = 0;
      ss >> key >> n;
      r.counts[key] = n;
    }
  }
  if (killed) {
    r.verdict = "hung";
    r.line = "killed after the time limit";
  } else if (const auto p = r.line.find("verdict="); p != std::string::npos) {
    r.verdict = r.line.substr(p + 8, r.line.find(' ', p) - p - 8);
  } else {
    r.verdict = WIFSIGNALED(status) ? "crash" : "error";
    r.line = "no result (status " + std::to_string(status) + ")";
  }
  if (!said && (r.verdict == "pass" || r.verdict == "fail")) {
    r.verdict = "error";
    r.line += " (never said \"" + mustSay + "\")";
  }
  return r;
}

// Runs the given cases, at most `jobs` at once; returns their results by index.
std::map<int, ChildResult> RunChildren(const std::vector<RunCase>& cases, uint64_t seed, int jobs,
                                       const fs::path& logDir, bool echo) {
  const std::string self = SelfPath();
  std::map<int, ChildResult> results;
  std::vector<Child> running;
  size_t next = 0;
  while (next < cases.size() || !running.empty()) {
    while (next < cases.size() && static_cast<int>(running.size()) < jobs) {
      const RunCase& c = cases[next++];
      // The child learns the kind of case from tags on its fault plan.
      const std::string spec = c.spec + (c.stop ? "#stop" : "") + (c.fast ? "#fast" : "") +
                               (c.oldBackup ? "#oldbackup" : "") + (c.hostile ? "#hostile" : "") +
                               (c.contentSeed ? "#random=" + std::to_string(c.contentSeed) + "#" : "") +
                               (c.between.empty() ? "" : "#between=" + c.between + "#");
      running.push_back(Spawn(self, c.index, seed, spec, logDir, c.renumber ? "--renumber" : ""));
    }
    std::this_thread::sleep_for(Ms(50));
    for (auto it = running.begin(); it != running.end();) {
      int status = 0;
      bool killed = false;
      pid_t done = waitpid(it->pid, &status, WNOHANG);
      if (done == 0 && SteadyTime::now() - it->started > Ms(kRunLimitMs * 2 + 60000)) {
        kill(-it->pid, SIGKILL);
        waitpid(it->pid, &status, 0);
        killed = true;
        done = it->pid;
      }
      if (done == it->pid) {
        const RunCase& c = *std::find_if(cases.begin(), cases.end(), [&](const RunCase& k) { return k.index == it->index; });
        ChildResult r = Collect(*it, status, killed, c.mustSay);
        if (echo) {
          std::printf("run %3d %-12s %s  %s\n", it->index, r.verdict.c_str(), c.Describe().c_str(), r.line.c_str());
          std::fflush(stdout);
        }
        results[it->index] = std::move(r);
        it = running.erase(it);
      } else {
        ++it;
      }
    }
  }
  return results;
}

fs::path MakeTempDir(const char* stem) {
  std::string pattern = (fs::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

std::vector<RunCase> Table(uint64_t seed, int jobs, const fs::path& logDir) {
  // The positions come from how often each exchange happens in an update without faults.
  const std::vector<RunCase> baselines = {[] { auto c = BaselineCase(false); c.index = 0; return c; }(),
                                          [] { auto c = BaselineCase(true); c.index = 1; return c; }()};
  auto results = RunChildren(baselines, seed, jobs, logDir, false);
  if (results[0].verdict != "pass" || results[1].verdict != "pass")
    throw std::runtime_error("an update without faults did not pass: " + results[0].line + " / " + results[1].line);
  return BuildTable(seed, results[0].counts, results[1].counts);
}

int Usage() {
  std::fprintf(stderr,
               "usage: zovir-fault-matrix [--seed S] [--jobs J] [--limit N] [--list] [--run N[-M][,...]] [--random-only] "
               "[--keep-logs]\n");
  return 2;
}

int ChildMain(int index, const std::string& spec, bool renumber, bool fast) {
  if (spec.rfind("#kill=", 0) == 0) return KillChildMain(spec.substr(6), ZOVIR_TEST_PACKET_DIR, kQuickProject);
  const fs::path home = MakeTempDir("zovir-faults-run");
  setenv("ZOVIR_HOME", home.c_str(), 1);
  RunCase c;
  c.index = index;
  c.spec = spec;
  c.renumber = renumber;
  c.fast = fast;
  if (const auto eq = spec.find('='); eq != std::string::npos) {
    const auto at = spec.find('@');
    c.key = spec.substr(0, std::min(at, eq));
    if (at != std::string::npos && at < eq) {
      c.occurrence = static_cast<uint32_t>(std::atoi(spec.c_str() + at + 1));
      c.every = spec[eq - 1] == '+';
    }
  }
  // Tags after the fault plan: a Stop case holds the reply back and presses Stop meanwhile.
  auto tag = [&](const char* name) {
    const auto p = c.spec.find(name);
    if (p == std::string::npos) return false;
    c.spec.erase(p, std::strlen(name));
    return true;
  };
  c.stop = tag("#stop");
  c.oldBackup = tag("#oldbackup");
  c.hostile = tag("#hostile");
  if (const auto b = c.spec.find("#between="); b != std::string::npos) {
    const auto end = c.spec.find('#', b + 1);
    c.between = c.spec.substr(b + 9, end == std::string::npos ? std::string::npos : end - b - 9);
    c.spec.erase(b, end == std::string::npos ? std::string::npos : end + 1 - b);
  }
  if (const auto r = c.spec.find("#random="); r != std::string::npos) {
    const auto end = c.spec.find('#', r + 1);
    c.contentSeed = std::strtoull(c.spec.c_str() + r + 8, nullptr, 10);
    c.spec.erase(r, end == std::string::npos ? std::string::npos : end + 1 - r);
  }
  Outcome o;
  try {
    o = ExecuteRun(c, home);
  } catch (const std::exception& e) {
    o.verdict = "error";
    o.detail = e.what();
  }
  for (const auto& [key, n] : o.counts) std::printf("COUNT %s %u\n", key.c_str(), n);
  std::printf("RESULT verdict=%s said=%s code=%d stop_ms=%lld detail=%s\n", o.verdict.c_str(),
              o.passed ? "PASS" : "-", o.code, static_cast<long long>(o.stopMs), o.detail.c_str());
  std::fflush(stdout);
  std::error_code ec;
  fs::remove_all(home, ec);
  return 0;
}

}  // namespace
}  // namespace zovir::faults

int main(int argc, char** argv) {
  using namespace zovir::faults;
  uint64_t seed = kDefaultSeed;
  int jobs = 3, limit = -1, child = -1;
  std::string only;  // run numbers and ranges: "3,42-71"
  bool list = false, keepLogs = false, renumber = false, randomOnly = false;
  std::string spec;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
    if (a == "--seed") seed = std::strtoull(value().c_str(), nullptr, 0);
    else if (a == "--jobs") jobs = std::max(1, std::atoi(value().c_str()));
    else if (a == "--limit") limit = std::atoi(value().c_str());
    else if (a == "--run") only = value();
    else if (a == "--list") list = true;
    else if (a == "--keep-logs") keepLogs = true;
    else if (a == "--child") child = std::atoi(value().c_str());
    else if (a == "--case") spec = value();
    else if (a == "--renumber") renumber = true;
    else if (a == "--random-only") randomOnly = true;
    else return Usage();
  }
  signal(SIGPIPE, SIG_IGN);
  if (child >= 0) {
    // The fast-speed path is part of the case's phase; the parent passes it through the fault text.
    bool fast = false;
    if (const auto p = spec.find("#fast"); p != std::string::npos) {
      fast = true;
      spec.erase(p, 5);
    }
    return ChildMain(child, spec, renumber, fast);
  }
  try {
    const fs::path logDir = MakeTempDir("zovir-faults-logs");
    std::printf("seed=%llu (replay one run: zovir-fault-matrix --seed %llu --run N)\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    std::vector<RunCase> table = Table(seed, jobs, logDir);
    if (list) {
      for (const auto& c : table) std::printf("run %3d %s\n", c.index, c.Describe().c_str());
      std::error_code ec;
      fs::remove_all(logDir, ec);
      return 0;
    }
    std::vector<std::pair<int, int>> ranges;
    for (std::stringstream list(only); list.good();) {
      std::string item;
      std::getline(list, item, ',');
      if (item.empty()) continue;
      const auto dash = item.find('-');
      const int from = std::atoi(item.c_str());
      ranges.emplace_back(from, dash == std::string::npos ? from : std::atoi(item.c_str() + dash + 1));
    }
    auto wanted = [&](int index) {
      if (ranges.empty()) return true;
      return std::any_of(ranges.begin(), ranges.end(), [&](const auto& r) { return index >= r.first && index <= r.second; });
    };
    std::vector<RunCase> chosen;
    for (const auto& c : table)
      if (wanted(c.index) && (!randomOnly || c.contentSeed) && (limit < 0 || static_cast<int>(chosen.size()) < limit))
        chosen.push_back(c);
    if (chosen.empty()) {
      std::fprintf(stderr, "no run %s in a table of %zu\n", only.c_str(), table.size());
      return 2;
    }
    const auto results = RunChildren(chosen, seed, jobs, logDir, true);
    std::map<std::string, int> tally;
    int pass = 0;
    for (const auto& [index, r] : results) {
      ++tally[r.verdict];
      if (r.verdict == "pass" || r.verdict == "fail") pass += r.verdict == "pass";
    }
    const int runs = static_cast<int>(results.size());
    const int fail = runs - pass;
    const int others = tally["error"] + tally["crash"];
    int waited = 0;
    for (const auto& [index, r] : results) waited += r.line.find("detail=waited for Stop") != std::string::npos;
    std::string extra = waited ? " waited_for_stop=" + std::to_string(waited) : "";
    if (others) extra += " errors=" + std::to_string(others);
    std::printf("runs=%d pass=%d fail=%d false_pass=%d lost_backup=%d hung=%d%s\n", runs, pass, fail,
                tally["false_pass"], tally["lost_backup"], tally["hung"], extra.c_str());
    if (!keepLogs) {
      std::error_code ec;
      fs::remove_all(logDir, ec);
    } else {
      std::printf("logs in %s\n", logDir.c_str());
    }
    const bool clean = tally["false_pass"] == 0 && tally["lost_backup"] == 0 && tally["hung"] == 0 && others == 0;
    return clean ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zovir-fault-matrix: %s\n", e.what());
    return 1;
  }
}
