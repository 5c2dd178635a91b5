#include "preservation/identity_backup.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>

#include "common/text.h"
#include "platform/private_files.h"
#include "platform/profile_file.h"
#include "platform/regular_file.h"

namespace zovir {

namespace {

namespace fs = std::filesystem;

constexpr int kPlatformTypeEvdo = 2;
constexpr int kImeiAttempts = 3;
constexpr int kOptionalAttempts = 3;

// Values a modem may lack. A missing value is left out of the backup, and the update then
// wipes it for good, so one failed query is not enough to call it missing: the query is asked
// again. An ERROR on every attempt means the modem lacks the value; no answer at all (time-out,
// garbage, port lost) says nothing about it and ends the run before anything is written.
bool QueryOptional(ATCommands& at, EngineCore& core, const std::string& command, std::string& value,
                   const std::string& name) {
  bool answered = false;
  for (int attempt = 0; attempt < kOptionalAttempts && core.Healthy(); ++attempt) {
    std::string reply;
    if (at.SendATCommand(command, reply)) {
      value = reply;
      return true;
    }
    answered = at.LastQueryAnswered();
  }
  if (!answered && core.Healthy()) core.ReportError("[Dload] Fail to Read " + name);
  return false;
}
constexpr uint32_t kProbeRetryMs = 200;
constexpr uint32_t kHelperStartDelayMs = 500;
constexpr uint32_t kHelperWaitMs = 1000;
constexpr const char* kFifteenZeros = "000000000000000";
constexpr const char* kSection = "BACKUP";
constexpr const char* kData = "Data";

bool In(int value, std::initializer_list<int> set) {
  for (int v : set)
    if (v == value) return true;
  return false;
}


// A value as the backup stores it. The reply's blank after "+CMD:" is not part of the value
// (the profile file would drop it on reading anyway, but a folder name or a comparison would
// not).
std::string CleanValue(std::string_view value) { return std::string(TrimBlanks(StripQuotes(value))); }
std::string StoredValue(std::string_view value) { return std::string(TrimBlanks(StripLineBreaks(value))); }

std::string Quoted(const std::string& value) { return "\"" + value + "\""; }

bool ReadsProjectValues(int type) { return type == 8 || type == 10; }
bool ReadsGMI(int type) { return ReadsProjectValues(type) || type == 18; }

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool ReadWhole(FILE* f, std::vector<uint8_t>& out) {
  out.clear();
  uint8_t chunk[8192];
  for (;;) {
    const size_t n = std::fread(chunk, 1, sizeof chunk, f);
    out.insert(out.end(), chunk, chunk + n);
    if (n < sizeof chunk) return !std::ferror(f);
  }
}

}  // namespace

const std::array<XOCalFile, 5>& XOCalFiles() {
#define ZOVIR_XO(name)                                                                     \
  XOCalFile {                                                                              \
    name, "/nv/item_files/mcs/tcxomgr/" name, "AT+EFSRW=0,0,\"/nv/item_files/mcs/tcxomgr/" name "\"\r\n\r\n", \
        "AT+EFSRW=1,0,\"/nv/item_files/mcs/tcxomgr/" name "\","                            \
  }
  static const std::array<XOCalFile, 5> files = {ZOVIR_XO("field_cal_params"), ZOVIR_XO("ifc_c1_filter"),
                                                 ZOVIR_XO("rgs_data"), ZOVIR_XO("xo_crystal_type"),
                                                 ZOVIR_XO("xo_factory_cal_debug")};
#undef ZOVIR_XO
  return files;
}

std::string CleanTestInfo(std::string_view reply, bool keepUIT) {
  std::string text;
  text.reserve(reply.size());
  for (char c : reply) {
    if (c == '\r' || c == '\n') continue;
    text.push_back((c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c);
  }
  if (!keepUIT) {
    for (const char* uit : {",UIT89:PASS", ",UIT87:PASS", ",UIT89:FAIL", ",UIT87:FAIL", "UIT89:PASS", "UIT87:PASS",
                            "UIT89:FAIL", "UIT87:FAIL"}) {
      const size_t at = text.find(uit);
      if (at != std::string::npos) text.erase(at, std::char_traits<char>::length(uit));
    }
  }
  return std::string(TrimBlanks(text));
}

std::string TestInfoRewrite(std::string_view reply, bool keepUIT) {
  const std::string asAnswered(TrimBlanks(StripLineBreaks(reply)));
  const std::string kept = CleanTestInfo(reply, keepUIT);
  if (kept == asAnswered) return {};
  return "Test information rewritten: \"" + asAnswered + "\" kept as \"" + kept + "\"";
}

FileCopyResult ShiftFileBytes(const std::string& source, const std::string& destination, int delta) {
  std::vector<uint8_t> bytes;
  {
    File in(OpenStdioFile(source, "rb"));
    if (!in || !ReadWhole(in.get(), bytes)) return FileCopyResult::SourceOpenFailed;
  }
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(b + delta);
  // The identity values (IMEI, serial number) are the user's alone, like every backup file;
  // a file an earlier run left is narrowed to that too.
  FileHandle out = CreatePrivateFile(destination, CreateMode::Truncate);
  if (!out || !out.WriteAll(bytes.data(), bytes.size()) || !out.Sync() || !out.Close())
    return FileCopyResult::DestinationFailed;
  // Only a copy that reads back exactly as intended may replace the source.
  std::vector<uint8_t> check;
  File back(OpenStdioFile(destination, "rb"));
  if (!back || !ReadWhole(back.get(), check) || check != bytes) return FileCopyResult::DestinationFailed;
  return FileCopyResult::Ok;
}

IdentityBackup::IdentityBackup(EngineCore& core, Link& link, ResetHelperSetup helper)
    : core_(core), at_(core, link), efs_(core, link), helper_(std::move(helper)) {}

void IdentityBackup::LogLine(const std::string& text) { core_.ReportStatus(csInfo, text, mtInfo); }

bool IdentityBackup::Query(const std::string& command, std::string& value) {
  std::string reply;
  if (!at_.SendATCommand(command, reply)) return false;
  value = reply;
  return true;
}

bool IdentityBackup::QueryWithRetries(const std::string& command, std::string& value, int attempts) {
  for (int i = 0; i < attempts; ++i) {
    if (Query(command, value)) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// Reading

int IdentityBackup::ReadIdentity() {
  if (!core_.hModemPort) {
    core_.ReportError("Serial handle is failed");
    return 0;
  }
  EngineRunState& run = core_.run;
  const EngineConfig& cfg = core_.cfg;
  const int type = cfg.ProjectType;
  std::string value;

  LogLine("Read SN");
  run.bSNRead = false;
  if (Query("AT+ZRVSN=0,5\r\n\r\n", value)) {
    run.StringSN = CleanValue(value);
    run.bSNRead = !run.StringSN.empty();
  }
  LogLine(run.bSNRead ? "Read SN" : "SN ERROR");

  run.bIMEIRead = false;
  if (!(cfg.PlatformType == kPlatformTypeEvdo || In(type, {35, 36, 37, 38, 39, 41, 48}))) {
    if (QueryWithRetries("AT+ZRVSN=0,7\r\n\r\n", value, kImeiAttempts)) {
      LogLine("Read IMEI");
      run.StringIMEI = value;
      const std::string imei = CleanValue(value);
      run.bIMEIRead = !imei.empty() && imei != kFifteenZeros;
    } else {
      LogLine("IMEI ERROR");
    }
  }

  read_.bIMEI1Read = false;
  if (type == 47) {
    if (QueryWithRetries("AT+ZRVSN=0,6\r\n\r\n", value, kImeiAttempts)) {
      LogLine("Read IMEI_1");
      read_.StringIMEI1 = CleanValue(value);
      read_.bIMEI1Read = !read_.StringIMEI1.empty();
    } else {
      LogLine("IMEI_1 ERROR");
    }
  }

  read_.bESNRead = false;
  esnAnswer_.reset();
  if (type == 35 || type == 36) {
    const bool ok = Query("AT+ZRVSN=0,8\r\n", value);
    if (ok) read_.StringESN = CleanValue(value);
    if (ok) esnAnswer_ = read_.StringESN;
    LogLine(ok ? "Read ESN" : "ESN ERROR");
  }
  if (cfg.ESN) {
    if (Query("AT+ZRVSN=0,8\r\n", value)) {
      LogLine("Read ESN");
      read_.StringESN = CleanValue(value);
      read_.bESNRead = !read_.StringESN.empty();
    } else {
      LogLine("ESN ERROR");
    }
  }

  ReadTestInfo();
  ReadProjectValues();
  ReadXOCal();
  return 1;
}

void IdentityBackup::ReadTestInfo() {
  EngineRunState& run = core_.run;
  std::string value;
  run.bTestInfoRead = Query("AT+TESTINF2=?\r\n\r\n", value);
  testInfoReply_.clear();
  if (run.bTestInfoRead) {
    testInfoReply_ = value;
    run.StringTESTINFO = CleanTestInfo(value, core_.cfg.UIT_NewWays != 0);
    LogLine("Read TESTINFO");
  } else {
    LogLine("TESTINFO ERROR");
  }
}

void IdentityBackup::ReadProjectValues() {
  const int type = core_.cfg.ProjectType;
  read_.bCLLENRead = read_.bZRREQRead = read_.bGMIRead = false;
  const auto one = [this](const char* command, const char* name, std::string& value, bool& flag) {
    flag = QueryOptional(at_, core_, command, value, name);
    LogLine(flag ? std::string("Read ") + name : std::string("Not support command:") + name + "......");
  };
  if (ReadsProjectValues(type)) {
    one("AT+CLLEN?\r\n\r\n", "CLLEN", read_.StringCLLEN, read_.bCLLENRead);
    one("AT+ZRREQ?\r\n\r\n", "ZRREQ", read_.StringZRREQ, read_.bZRREQRead);
  }
  if (ReadsGMI(type)) one("AT+GMI\r\n\r\n", "GMI", read_.StringGMI, read_.bGMIRead);
}

void IdentityBackup::ReadXOCal() {
  const auto& files = XOCalFiles();
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string name = files[i].name;
    LogLine("Read " + name + (name == "rgs_data" ? " " : ""));
    read_.bXOCalRead[i] = QueryOptional(at_, core_, files[i].readQuery, read_.StringXOCal[i], name);
    LogLine(read_.bXOCalRead[i] ? "Read " + name : name + " ERROR");
    if (!read_.bXOCalRead[i] && core_.Healthy() && !OscillatorFileAbsent(files[i])) {
      core_.ReportError("[Dload] Fail to Read " + name);
      return;
    }
  }
}

// An ERROR to the read is what a modem without the file answers, and also what one answers
// whose file system is busy or that refuses the command: the calibration would then be left
// out of the backup and wiped by the update. The diagnostic port's file system says which it
// is; only a file it reports as not there is left out. Without a diagnostic port (an AT-only
// session) there is nobody else to ask.
bool IdentityBackup::OscillatorFileAbsent(const XOCalFile& file) {
  if (!core_.hDiagPort) return true;
  if (efs_.IsEFSFileAbsent(file.path)) return true;
  if (core_.Healthy())
    LogLine(std::string(file.name) + ": the modem refuses to read it over AT, but its file system does not say it is absent");
  return false;
}

// ---------------------------------------------------------------------------------------
// The backup file

void IdentityBackup::WriteIdentityBackup() {
  if (!core_.Healthy()) return;
  const EngineRunState& run = core_.run;
  const int type = core_.cfg.ProjectType;
  // A fresh file: nothing of an older at1.bak may pass for this run's values.
  ProfileFile ini = ProfileFile::FromText({}, run.at1bakFile);
  const auto item = [&ini](const char* flagKey, const char* dataKey, bool read, const std::string& value) {
    ini.SetString(kSection, flagKey, read ? "1" : "0");
    if (read) ini.SetString(kData, dataKey, StoredValue(value));
  };
  const std::string none;
  item("bSN", "SN", run.bSNRead, run.StringSN);
  item("ESN", "ESN", read_.bESNRead, read_.StringESN);
  item("bIMEI", "IMEI", run.bIMEIRead, run.StringIMEI);
  item("bIMEI_1", "IMEI_1", read_.bIMEI1Read, read_.StringIMEI1);
  item("bMEID", "MEID", false, none);
  item("bBLUETOOTH", "BLUETOOTHADDR", false, none);
  item("bSalesCount", "SalesCount", false, none);
  item("bWifiCal", "WifiCal", false, none);
  item("bSalesInfo", "SalesInfo", false, none);
  item("bAPN", "APN", false, none);
  item("bTESTINF", "TESTINF", run.bTestInfoRead, run.StringTESTINFO);
  item("bUIT87", "UIT87", false, none);
  item("bUIT89", "UIT89", false, none);
  const auto& files = XOCalFiles();
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string flag = std::string("b") + files[i].name;
    item(flag.c_str(), files[i].name, read_.bXOCalRead[i], read_.StringXOCal[i]);
  }
  // A line break inside a profile value would end it early and lose the rest, so these are
  // kept on one line like every other value.
  if (ReadsProjectValues(type) && read_.bCLLENRead) ini.SetString(kData, "CLLEN", StoredValue(read_.StringCLLEN));
  if (ReadsProjectValues(type) && read_.bZRREQRead) ini.SetString(kData, "ZRREQ", StoredValue(read_.StringZRREQ));
  if (ReadsGMI(type) && read_.bGMIRead) ini.SetString(kData, "GMI", StoredValue(read_.StringGMI));

  bool ok = ini.Save(FileAccess::OwnerOnly);
  if (ok) {
    ProfileFile back(run.at1bakFile);
    ok = back.Loaded() && back.Text() == ini.Text();
    if (!ok && errno == 0) errno = EIO;
  }
  if (!ok) {
    core_.SetSystemError(errno);
    core_.ReportError("[Encrypt] Fail to open ATfile.");
    return;
  }
  NameWhatIsLeftOut();
}

// The packet decides which identity values the backup keeps; what it drops is gone after the
// download. A technician sees here what that is on this modem, before anything is erased.
void IdentityBackup::NameWhatIsLeftOut() {
  EngineRunState& run = core_.run;
  const EngineConfig& cfg = core_.cfg;
  const int type = cfg.ProjectType;
  run.NotPreserved.clear();

  struct LeftOut {
    const char* name;
    const char* query;
  };
  std::vector<LeftOut> ask;
  std::vector<std::string> held;
  if (!cfg.ESN) {
    if (esnAnswer_) {
      if (!esnAnswer_->empty()) held.push_back("ESN");
    } else {
      ask.push_back({"ESN", "AT+ZRVSN=0,8\r\n"});
    }
  }
  if (cfg.PlatformType == kPlatformTypeEvdo || In(type, {35, 36, 37, 38, 39, 41, 48}))
    ask.push_back({"IMEI", "AT+ZRVSN=0,7\r\n\r\n"});
  if (type != 47) ask.push_back({"IMEI_1", "AT+ZRVSN=0,6\r\n\r\n"});
  // No packet keeps these; a backup only carries them when made by hand.
  ask.insert(ask.end(), {{"MEID", "AT+ZRVSN=0,9\r\n\r\n"},
                         {"BLUETOOTHADDR", "AT+ZRVSN=0,10\r\n\r\n"},
                         {"SalesCount", "AT+ZRVSN=0,11\r\n\r\n"},
                         {"WifiCal", "AT+WIFICAL?\r\n\r\n"},
                         {"SalesInfo", "AT+ZRVSN=0,12\r\n\r\n"},
                         {"UIT87", "AT+CUIT87?\r\n\r\n"},
                         {"UIT89", "AT+CUIT89?\r\n\r\n"}});
  if (!ReadsProjectValues(type))
    ask.insert(ask.end(), {{"CLLEN", "AT+CLLEN?\r\n\r\n"}, {"ZRREQ", "AT+ZRREQ?\r\n\r\n"}});
  if (!ReadsGMI(type)) ask.push_back({"GMI", "AT+GMI\r\n\r\n"});

  // A modem that stops answering is not asked on: what was not asked is named as such.
  bool silent = false;
  for (const LeftOut& item : ask) {
    if (silent || !core_.Healthy()) {
      held.push_back(std::string(item.name) + " (not asked)");
      continue;
    }
    std::string value;
    if (at_.LookUp(item.query, value)) {
      const std::string v = CleanValue(value);
      if (!v.empty() && v != kFifteenZeros) held.push_back(item.name);
    } else if (!at_.LastQueryAnswered()) {
      silent = true;
      held.push_back(std::string(item.name) + " (no answer)");
    }
  }
  // The restore sets the packet's SIMLOCK state in place of the modem's.
  if (type != 35 && cfg.SimLockSet && !silent && core_.Healthy()) {
    std::string value;
    const std::string packet = cfg.SimLockOn ? cfg.bSimLock : std::string("0");
    if (at_.LookUp("AT+NWLSET?\r\n\r\n", value) && !CleanValue(value).empty() && CleanValue(value) != packet)
      held.push_back("SIMLOCK");
  }
  if (!held.empty()) {
    std::string line = "Not preserved by this packet: ";
    for (size_t i = 0; i < held.size(); ++i) line += (i ? ", " : "") + held[i];
    LogLine(line);
  }
  run.NotPreserved = held;

  if (run.bTestInfoRead) {
    const std::string rewrite = TestInfoRewrite(testInfoReply_, cfg.UIT_NewWays != 0);
    if (!rewrite.empty()) {
      LogLine(rewrite);
      run.NotPreserved.push_back("TESTINF rewritten");
    }
  }
}

FileCopyResult IdentityBackup::ScrambleFile(const std::string& source, const std::string& destination) {
  return ShiftFileBytes(source, destination, kIdentityScrambleShift);
}

FileCopyResult IdentityBackup::UnscrambleFile(const std::string& source, const std::string& destination) {
  return ShiftFileBytes(source, destination, -kIdentityScrambleShift);
}

// ---------------------------------------------------------------------------------------
// Restore

std::string IdentityBackup::RestorePath() const {
  const EngineRunState& run = core_.run;
  if (run.bRestoreFromSaved) return (fs::path(run.SavedBackupFolder) / "at.bak").string();
  return run.atRestoreFile;
}

int IdentityBackup::RestoreIdentity() {
  EngineRunState& run = core_.run;
  const EngineConfig& cfg = core_.cfg;
  const int type = cfg.ProjectType;
  run.StringSN.clear();
  run.StringIMEI.clear();
  run.StringTESTINFO.clear();
  run.StringSIMLOCK.clear();

  const ProfileFile ini(RestorePath());
  struct Item {
    bool flag;
    std::string value;
  };
  const auto load = [&ini](const char* flagKey, const char* dataKey) {
    return Item{ini.GetInt(kSection, flagKey, 0) != 0, ini.GetString(kData, dataKey, "")};
  };
  // A backup without its flags is not a backup: restoring "nothing" from it would pass an
  // update that lost the modem's identity.
  bool anyFlag = false;
  for (const char* key : {"bSN", "ESN", "bIMEI", "bIMEI_1", "bMEID", "bBLUETOOTH", "bSalesCount", "bWifiCal",
                          "bSalesInfo", "bAPN", "bTESTINF", "bUIT87", "bUIT89"})
    anyFlag = anyFlag || ini.Find(kSection, key).has_value();
  if (!ini.Loaded() || !anyFlag) {
    core_.ReportError("[Decrypt] Fail to open ATfile.");
    return 0;
  }
  const Item sn = load("bSN", "SN"), esn = load("ESN", "ESN"), imei = load("bIMEI", "IMEI"),
             imei1 = load("bIMEI_1", "IMEI_1"), meid = load("bMEID", "MEID"),
             bluetooth = load("bBLUETOOTH", "BLUETOOTHADDR"), salesCount = load("bSalesCount", "SalesCount"),
             wifiCal = load("bWifiCal", "WifiCal"), salesInfo = load("bSalesInfo", "SalesInfo"),
             testinf = load("bTESTINF", "TESTINF"), uit87 = load("bUIT87", "UIT87"), uit89 = load("bUIT89", "UIT89");
  run.StringSN = sn.value;
  run.StringIMEI = imei.value;
  run.StringTESTINFO = testinf.value;

  if (!core_.hModemPort) {
    core_.ReportError("Serial handle is failed");
    return 0;
  }
  for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
    LogLine("Test Serial port (" + std::to_string(attempt) + ").");
    if (at_.WriteATValue("AT\r\n", ATValueSelector::Raw, {}, {})) {
      LogLine("Serial port ready");
      break;
    }
    if (!core_.Wait(kProbeRetryMs)) break;
  }

  // A write that stops the restore has raised its engine error; `extra` only shows when it
  // raised none (the first error of a run is the one that counts).
  const auto write = [this](const char* prefix, ATValueSelector selector, const std::string& value,
                            const char* failure, const char* success, const char* extra = nullptr) {
    if (at_.WriteATValue(prefix, selector, value, failure)) {
      LogLine(success);
      return true;
    }
    if (extra) core_.ReportError(extra);
    return false;
  };
  // Items written only when their value is there.
  const auto filled = [this, &write](const Item& item, const char* prefix, ATValueSelector selector,
                                     const char* failure, const char* success, const char* empty,
                                     const char* extra = nullptr) {
    if (!item.flag) return true;
    if (item.value.empty()) {
      LogLine(empty);
      return true;
    }
    return write(prefix, selector, Quoted(item.value), failure, success, extra);
  };

  if (sn.flag && !write("AT+ZRVSN=1,5,", ATValueSelector::SN, Quoted(sn.value), "Fail to write SN", "Restore SN",
                        "Fail to Send Wirte SN Command!"))
    return 0;
  if (!filled(esn, "AT+ZRVSN=1,8,", ATValueSelector::ESN, "Fail to write ESN", "Restore ESN", "ESN Empty."))
    return 0;
  if (!filled(imei, "AT+ZRVSN=1,7,", ATValueSelector::IMEI, "Fail to write IMEI", "Restore IMEI", "IMEI Empty.",
              "Fail to Send Wirte IMEI Command!"))
    return 0;
  if (!filled(imei1, "AT+ZRVSN=1,6,", ATValueSelector::IMEI_1, "Fail to write IMEI_1", "Restore IMEI_1",
              "IMEI_1 Empty."))
    return 0;
  if (meid.flag && meid.value.empty()) {
    LogLine("MEID Empty.");
  } else if (meid.flag) {
    std::string reply;
    // The probe needs its line end: without one the modem would take it as the start of the
    // next command and refuse both.
    if (at_.SendATCommand("AT\r\n", reply)) LogLine("Open MEID successfully");
    if (at_.SendATCommand("at^meidmode=1\r\n\r\n", reply)) LogLine("Open MEID successfully");
    if (!write("AT+ZRVSN=1,9,", ATValueSelector::MEID, Quoted(meid.value), "Fail to write MEID", "Restore MEID"))
      return 0;
    if (at_.SendATCommand("at^meidmode=0\r\n\r\n", reply)) LogLine("Close MEID successfully");
  }
  if (!filled(bluetooth, "AT+ZRVSN=1,10,", ATValueSelector::BLUETOOTHADDR, "Fail to Write BlueTooth Addr",
              "Restore BlueTooth Addr", "BLUETOOTHADDR Empty."))
    return 0;
  if (salesCount.flag && !write("AT+ZRVSN=1,11,", ATValueSelector::SalesCount, Quoted(salesCount.value),
                                "Fail to Write SalesCount/WIFIMAC", "Restore SalesCount/WIFIMAC"))
    LogLine("Not support write SalesCount/WIFIMAC.");
  if (wifiCal.flag &&
      !write("AT+WIFICAL=", ATValueSelector::WifiCal, Quoted(wifiCal.value), "Fail to wifi cal", "Restore wifi cal"))
    return 0;
  if (salesInfo.flag)
    write("AT+ZRVSN=1,12,", ATValueSelector::SalesInfo, Quoted(salesInfo.value), "Fail to Write sales information",
          "Restore sales information");

  // The firmware must answer its project query before anything is written into its files.
  LogLine("Read project");
  std::string project;
  if (!at_.SendATCommand("AT+ZRVINF=0,2\r\n\r\n", project) || StripProjectReply(project).empty()) {
    LogLine("project ERROR");
    core_.ReportError("project ERROR");
    return 0;
  }
  LogLine("Read project successfully");

  // The flags of the backup say which files were saved, also when this run did not read
  // them itself (a restore from a saved backup).
  const auto& files = XOCalFiles();
  for (const XOCalFile& file : files) {
    const std::string name = file.name;
    const Item xo = load(("b" + name).c_str(), file.name);
    if (!xo.flag) continue;
    if (!write(file.restorePrefix, ATValueSelector::XOCal, Quoted(xo.value), ("Fail to write " + name).c_str(),
               ("Restore " + name).c_str()))
      return 0;
  }

  if (testinf.flag && !write("AT+TESTINF2=", ATValueSelector::TESTINF, Quoted(testinf.value), "Fail to write TESTINFO",
                             "Restore TESTINFO", "Fail to Send Wirte Testinf Command!"))
    return 0;
  if (uit87.flag && !write("AT+CUIT87=", ATValueSelector::UIT87, uit87.value, "Fail to write UIT87", "Restore UIT87"))
    return 0;
  if (uit89.flag && !write("AT+CUIT89=", ATValueSelector::UIT89, uit89.value, "Fail to write UIT89", "Restore UIT89"))
    return 0;

  if (type != 35 && cfg.SimLockSet && core_.Healthy())
    write("AT+NWLSET=", ATValueSelector::SIMLOCK, {}, "Fail to write SIMLOCK to phone", "Write SIMLOCK successfully");

  // Kept only for the project types that read them; present in the backup exactly when read.
  const auto project_value = [&](bool applies, const char* key, const char* prefix, ATValueSelector selector,
                                 bool quote, const char* failure, const char* success) {
    if (!applies) return true;
    const std::optional<std::string> v = ini.Find(kData, key);
    if (!v) return true;
    return write(prefix, selector, quote ? Quoted(*v) : *v, failure, success);
  };
  if (!project_value(ReadsProjectValues(type), "CLLEN", "AT+CLLEN=", ATValueSelector::CLLEN, false,
                     "Fail to write CLLEN", "Restore CLLEN"))
    return 0;
  if (!project_value(ReadsProjectValues(type), "ZRREQ", "AT+ZRREQ=", ATValueSelector::ZRREQ, false,
                     "Fail to write PLMN", "Restore PLMN"))
    return 0;
  if (!project_value(ReadsGMI(type), "GMI", "AT+GMI=", ATValueSelector::GMI, true, "Fail to write GMI", "Restore GMI"))
    return 0;
  return 1;
}

// ---------------------------------------------------------------------------------------
// Reset helper

int IdentityBackup::RunResetHelper() {
  if (helper_.workFolder.empty()) {
    core_.ReportError("Could not get temp dir path");
    return 0;
  }
  const fs::path work(helper_.workFolder);
  const std::string program = (work / helper_.programName).string();
  ProfileFile config((work / "Config.ini").string());
  core_.Wait(kHelperStartDelayMs);
  // A "100" left by an earlier run must not pass a reset that does not happen now.
  if (!config.WriteString("Project", "ExecuteResetModem", "0")) {
    core_.SetSystemError(errno);
    core_.ReportError("Could not Execute reset Modem.");
    return 0;
  }
  std::string result = "0";
  std::vector<std::unique_ptr<ProcessHandle>> started;
  bool startFailureLogged = false;
  for (int attempt = 0; attempt < kHelperAttempts && core_.Healthy(); ++attempt) {
    int error = 0;
    ProcessSpec spec;
    spec.program = program;
    spec.workingDir = work.string();
    spec.hidden = true;
    std::unique_ptr<ProcessHandle> handle = helper_.processes ? helper_.processes->Start(spec, error) : nullptr;
    if (handle) {
      started.push_back(std::move(handle));
    } else if (!startFailureLogged) {
      startFailureLogged = true;
      LogLine("Could not start " + program + ": error " + std::to_string(error));
    }
    if (!core_.Wait(kHelperWaitMs)) break;
    config.Reload();
    result = config.GetString("Project", "ExecuteResetModem", "0");
    if (result == "100") break;
  }
  for (auto& h : started) h->Wait(0);  // collects the ones that have ended
  if (result == "100") return 1;
  if (result == "-1")
    core_.ReportError("Could not find modem port.");
  else if (result == "0")
    core_.ReportError("Could not Execute reset Modem.");
  else if (result == "-2")
    core_.ReportError("Fail to execute reset modem.");
  else
    core_.ReportError("Unknown error[ExecuteResetModem].");
  return 0;
}

}  // namespace zovir
