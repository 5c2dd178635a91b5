// zovir-modem-sim: a virtual USB modem on pseudo-terminals.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <span>

#include "sim/at_identity.h"
#include "sim/checksum.h"
#include "sim/device_state.h"
#include "sim/modem_factory.h"
#include "sim/virtual_modem.h"

#include <zovir_build_info.h>

namespace {

constexpr const char* kFaultHelp = R"(Faults (--fault SPEC, repeatable; several rules may be joined by ','):
  KEY[@N[+|xC]]=KIND[:ARG]
    N     the occurrence of KEY that is hit, counted from 1 (default 1)
    N+    occurrence N and every later one; NxC: C occurrences from N on; * every one
  KIND:
    silent        no reply (the command took effect, its reply was lost)
    ignore        the command is lost before the modem sees it: no effect, no reply
                  (DIAG, AT and streaming commands; elsewhere the same as silent)
    corrupt[:i]   flip one byte of the reply (default: the reply code)
    nak | error   the protocol's negative answer (DIAG 13+echo, streaming 0D error packet,
                  Sahara end-of-image with an error status, AT ERROR)
    wrong         a well-formed reply with a different command code
    status:S      set the reply's status field to S (ptable, open, sahara:end, sahara:done)
    delay:MS      reply after MS milliseconds
    drop[:i]      leave out one byte of the reply (default the second)
    split[:n]     send the reply in pieces of n bytes (default 1)
    vanish[:MS]   the port disappears instead of replying (back after MS, default never)
  KEY:
    diag:XX diag:4b:SS           normal-mode DIAG command / subsystem (hex), e.g. diag:3a
    sahara:hello sahara:read sahara:end sahara:done
    dmss:nop dmss:version dmss:param
    hello security ptable open write close reset poweroff
    fast-reset fast-request fast-block fast-flash
    at:AT at:+CGMR at:I ...      AT commands by name
  Examples: --fault write@3=corrupt   --fault close@1=silent,ptable@1=status:1
)";

std::string Hex16(uint16_t v) {
  char b[8];
  std::snprintf(b, sizeof b, "%04X", v);
  return b;
}

// Identity keys a person may seed by hand: what the AT port answers from.
const std::vector<std::string>& SeedableIdentityKeys() {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> k = zovir::sim::AtIdentityStore::IdentityKeys();
    for (const char* more : {"SIMLOCK", "APN", "DISK", "MEIDMODE"}) k.push_back(more);
    return k;
  }();
  return keys;
}

// "KEY=VALUE" -> the pair; an error text for anything else.
std::string ParseIdentity(const std::string& arg, std::pair<std::string, std::string>& out) {
  const auto eq = arg.find('=');
  if (eq == std::string::npos) return "expected KEY=VALUE, got \"" + arg + "\"";
  out = {arg.substr(0, eq), arg.substr(eq + 1)};
  const auto& keys = SeedableIdentityKeys();
  if (std::find(keys.begin(), keys.end(), out.first) == keys.end()) {
    std::string known;
    for (const auto& k : keys) known += (known.empty() ? "" : " ") + k;
    return "unknown key \"" + out.first + "\" (known: " + known + ")";
  }
  for (unsigned char c : out.second) {
    if (c < 0x20 || c == 0x7F) return "the value of " + out.first + " holds a control character";
  }
  return {};
}

std::string HexCrc(std::span<const uint8_t> data) { return "0x" + Hex16(zovir::sim::Crc16(data)); }

// One line per value the modem holds beside its partitions: NV and RF NV items, identity
// values and the EFS tree, each with its size and CRC, so two listings compare line by line.
void ShowData(zovir::sim::DeviceState& state) {
  const auto nv = state.AllNv();
  const auto rf = state.AllRf();
  std::vector<std::string> files, dirs;
  std::vector<std::string> pending{"/"};
  while (!pending.empty()) {
    const std::string dir = pending.back();
    pending.pop_back();
    for (const auto& name : state.ListEfs(dir)) {
      const std::string path = (dir == "/" ? "" : dir) + "/" + name;
      if (state.EfsDirExists(path)) {
        dirs.push_back(path);
        pending.push_back(path);
      } else {
        files.push_back(path);
      }
    }
  }
  std::sort(files.begin(), files.end());
  std::sort(dirs.begin(), dirs.end());
  std::printf("NV items: %zu, RF NV items: %zu, EFS files: %zu, EFS folders: %zu\n", nv.size(), rf.size(), files.size(),
              dirs.size());
  for (const auto& [id, data] : nv) std::printf("nv %u %zu %s\n", id, data.size(), HexCrc(data).c_str());
  for (const auto& [id, data] : rf) std::printf("rf %u %zu %s\n", id, data.size(), HexCrc(data).c_str());
  for (const auto& [key, value] : state.AllIdentity())
    if (!value.empty()) std::printf("identity %s=%s\n", key.c_str(), value.c_str());
  for (const auto& dir : dirs) std::printf("efs-folder %s\n", dir.c_str());
  for (const auto& file : files) {
    const auto data = state.EfsFile(file).value_or(zovir::sim::Bytes{});
    std::printf("efs-file %s %zu %s\n", file.c_str(), data.size(), HexCrc(data).c_str());
  }
}

// Prints what a state folder holds; with an image folder also whether each partition matches
// the image of the same name (NAME.mbn). Returns the exit code.
int Show(const std::string& stateDir, const std::string& imageDir) {
  if (!std::filesystem::is_directory(stateDir)) {
    std::cerr << "no state folder " << stateDir << "\n";
    return 1;
  }
  zovir::sim::DeviceState state(stateDir);
  auto parts = state.Partitions();
  bool allMatch = true;
  if (parts.empty()) {
    std::cout << "no partitions in " << stateDir << "\n";
    allMatch = imageDir.empty();
  } else {
    std::printf("%-12s %12s  %-6s %s\n", "partition", "size", "CRC", imageDir.empty() ? "" : "match");
  }
  for (const auto& [name, s] : parts) {
    std::string match;
    if (!imageDir.empty()) {
      const auto image = zovir::sim::SummarizeFile((std::filesystem::path(imageDir) / (name + ".mbn")).string());
      if (!image) {
        match = "no image";
        allMatch = false;
      } else {
        const bool same = image->size == s.size && image->crc == s.crc;
        match = same ? "yes" : "NO";
        allMatch = allMatch && same;
      }
    }
    std::printf("%-12s %12llu  0x%s %s\n", name.c_str(), static_cast<unsigned long long>(s.size), Hex16(s.crc).c_str(),
                match.c_str());
  }
  std::fflush(stdout);
  ShowData(state);
  return allMatch ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zovir::sim;
  CLI::App app{"A virtual USB LTE modem on pseudo-terminals: normal firmware (DIAG + AT ports), "
               "boot loader (Sahara or DMSS) and flash programmer (streaming download)."};
  app.footer(kFaultHelp);
  app.set_version_flag("--version", std::string("zovir-modem-sim ") + ZOVIR_TOOL_VERSION + " (build " + ZOVIR_BUILD_VERSION + ")",
                       "print the tool's version and the build's, then exit");
  VirtualModemOptions opt;
  std::vector<std::string> faults, identity;
  std::string startMode = "normal", restart = "keep", showDir, compareDir;
  bool dmss = false, quiet = false;
  app.add_option("--device-map", opt.deviceMapPath, "device-map file to write the ports into (INI, shared)");
  app.add_option("--state", opt.stateDir, "folder of the modem's persistent state (partitions, manifest, NV, EFS)");
  app.add_option("--fault", faults, "inject a fault (see below)");
  app.add_option("--com", opt.comNumbers, "COM numbers this modem may use, in order (default 7,8,9)")->delimiter(',');
  app.add_flag("--terminal", opt.terminalPort, "normal mode also shows an application terminal port");
  app.add_option("--restart-ports", restart, "after a restart: keep (same numbers, diagnostic pty kept), same (same numbers, new ptys), new (next numbers)")
      ->check(CLI::IsMember({"keep", "same", "new"}));
  app.add_flag("--dmss", dmss, "the boot loader speaks DMSS first (project type 44)");
  app.add_option("--start-mode", startMode, "normal, sahara, dmss or programmer")
      ->check(CLI::IsMember({"normal", "sahara", "dmss", "programmer"}));
  app.add_option("--sahara-chunk", opt.saharaMaxChunk, "longest Sahara read-data request in bytes")->check(CLI::Range(1u, 1u << 24));
  app.add_option("--fast-block", opt.fastBlockSize, "block size of the fast-speed transfer (the tool's BlockSize)")->check(CLI::Range(1u, 1u << 20));
  app.add_option("--split", opt.replySplit, "send every reply in pieces of this many bytes");
  app.add_option("--reboot-delay", opt.rebootDelayMs, "ms between the download-mode echo and the restart");
  app.add_option("--reset-delay", opt.resetDelayMs, "ms between the reset reply and the restart");
  app.add_option("--reenumerate-delay", opt.reenumerateDelayMs, "ms without ports during a restart");
  app.add_option("--firmware-version", opt.firmwareVersion, "version the AT port reports (AT+CGMR, ATI)");
  app.add_option("--imei", opt.imei, "IMEI the AT port reports");
  app.add_option("--flash-info", opt.flashInfo, "body of the AT+FLASHINFO reply");
  app.add_option("--pmu", opt.pmu, "body of the AT+PMU reply");
  app.add_option("--platform-id", opt.platformId, "platform identifier of the build-ID reply");
  app.add_option("--identity", identity,
                 "an identity value the modem holds, KEY=VALUE (SN, IMEI, TESTINF, ...; repeatable; kept in the "
                 "state folder; an empty VALUE makes it absent)");
  app.add_option("--show", showDir, "print the partitions held in a state folder and exit");
  app.add_option("--compare", compareDir, "with --show: compare each partition with IMAGES/<name>.mbn (exit 1 on a mismatch)");
  app.add_flag("-q,--quiet", quiet, "print only the ports");
  bool blank = false;
  app.add_flag("--blank", blank,
               "a modem without contents: no serial number, IMEI, NV, RF NV or EFS files (by default a new "
               "state is filled as a factory fills a modem; a state that exists is always taken as it is)");
  CLI11_PARSE(app, argc, argv);

  if (!showDir.empty()) return Show(showDir, compareDir);
  if (opt.deviceMapPath.empty()) {
    std::cerr << "--device-map is required\n";
    return 2;
  }
  if (!opt.stateDir.empty() && std::filesystem::exists(opt.stateDir) && !std::filesystem::is_directory(opt.stateDir)) {
    std::cerr << "--state: " << opt.stateDir << " is not a folder\n";
    return 2;
  }
  for (const auto& f : faults) {
    std::string err = opt.faults.AddSpec(f);
    if (!err.empty()) {
      std::cerr << "--fault: " << err << "\n";
      return 2;
    }
  }
  std::vector<std::pair<std::string, std::string>> seeds;
  for (const auto& arg : identity) {
    std::pair<std::string, std::string> kv;
    std::string err = ParseIdentity(arg, kv);
    if (!err.empty()) {
      std::cerr << "--identity: " << err << "\n";
      return 2;
    }
    seeds.push_back(std::move(kv));
  }
  opt.bootProtocol = dmss ? BootProtocol::Dmss : BootProtocol::Sahara;
  opt.restartPorts = restart == "new" ? RestartPorts::NewNumbers : restart == "same" ? RestartPorts::SameNumbers : RestartPorts::KeepDiagPort;
  opt.startMode = startMode == "sahara" ? ModemMode::BootSahara
                  : startMode == "dmss" ? ModemMode::BootDmss
                  : startMode == "programmer" ? ModemMode::Programmer
                                              : ModemMode::Normal;
  std::mutex outMu;
  opt.onEvent = [&](const std::string& text) {
    if (quiet && text.rfind("port ", 0) != 0) return;
    std::lock_guard lock(outMu);
    std::cout << text << std::endl;
  };

  // Signals are taken by sigwait below, never by the modem's thread.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  // The stores the modem's firmware has (NV, RF NV, build ID, identity, EFS), as in the
  // command line's virtual modems.
  ModemFactory factory;
  const std::string imei = opt.imei;
  factory.Prepare(opt, 0);
  if (app.count("--imei")) opt.imei = imei;
  VirtualModem modem(opt);
  if (!blank) factory.Seed(modem, 0, ModemFactory::DefaultUserFiles(), ModemFactory::DefaultUserDirs());
  for (const auto& [key, value] : seeds) modem.State().SetIdentity(key, value);
  try {
    modem.Start();
  } catch (const std::exception& e) {
    std::cerr << "cannot start the modem: " << e.what() << "\n";
    return 1;
  }
  int sig = 0;
  sigwait(&set, &sig);
  modem.Stop();
  return 0;
}
