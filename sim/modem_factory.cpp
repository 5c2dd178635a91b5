#include "sim/modem_factory.h"

#include "preservation/nv_item_tables.h"
#include "sim/nv_responders.h"

namespace zovir::sim {
namespace {

Bytes Pattern(uint32_t seed, size_t size) {
  Bytes out(size);
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return out;
}

}  // namespace

const std::vector<std::string>& ModemFactory::DefaultUserFiles() {
  static const std::vector<std::string> files{"/cfg/user.ini", "/cfg/profile.dat"};
  return files;
}

const std::vector<std::string>& ModemFactory::DefaultUserDirs() {
  static const std::vector<std::string> dirs{"/data"};
  return dirs;
}

void ModemFactory::Prepare(VirtualModemOptions& options, int slot) {
  nv->LoseAllOnDownload();
  identity->LoseAllOnDownload();
  AttachNVStore(options, nv);
  AttachAtIdentityStore(options, identity);
  AttachEfs(options, efs);
  options.imei = "35693803564" + std::to_string(3800 + slot);
}

bool ModemFactory::Seed(VirtualModem& modem, int slot, const std::vector<std::string>& userFiles,
                        const std::vector<std::string>& userDirs) {
  DeviceState& state = modem.State();
  if (decidedFor_ != &state) {
    decidedFor_ = &state;
    seeding_ = state.Fresh();
  }
  if (!seeding_) return false;
  auto setIdentity = [&](const std::string& key, const std::string& value) {
    if (!state.Identity(key) || state.Identity(key)->empty()) state.SetIdentity(key, value);
  };
  setIdentity("SN", "ZV9X06" + std::to_string(100000 + slot));
  setIdentity("IMEI", modem.Options().imei);
  setIdentity("TESTINF", "CALIBRATION PASS FINALTEST PASS SLOT" + std::to_string(slot));
  for (const auto& file : AtIdentityStore::OscillatorFiles())
    if (!state.EfsFile(file)) state.SetEfsFile(file, Pattern(static_cast<uint32_t>(file.size() + slot), 8));

  const NVItemTables& tables = NVItemTables::BuiltIn();
  for (const auto& entry : tables.base)
    if (entry.Id >= 0 && !state.Nv(static_cast<uint32_t>(entry.Id)))
      state.SetNv(static_cast<uint32_t>(entry.Id), Pattern(static_cast<uint32_t>(entry.Id + 1000 * slot), 128));
  for (const auto& entry : tables.rf)
    if (entry.Id >= 0 && !state.Rf(static_cast<uint16_t>(entry.Id)))
      state.SetRf(static_cast<uint16_t>(entry.Id), Pattern(static_cast<uint32_t>(entry.Id + 7 * slot), 16));

  for (const auto& file : userFiles)
    if (!state.EfsFile(file)) state.SetEfsFile(file, Pattern(static_cast<uint32_t>(file.size() * 31 + slot), 300 + file.size()));
  for (const auto& dir : userDirs) {
    if (state.EfsDirExists(dir)) continue;
    state.MakeEfsDir(dir);
    state.SetEfsFile(dir + "/settings.cfg", Pattern(static_cast<uint32_t>(dir.size() + slot), 1500));
    state.MakeEfsDir(dir + "/sub");
    state.SetEfsFile(dir + "/sub/empty.dat", {});
  }
  return true;
}

}  // namespace zovir::sim
