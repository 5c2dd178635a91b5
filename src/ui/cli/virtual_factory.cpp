#include "ui/cli/virtual_factory.h"

#include "preservation/nv_item_tables.h"

namespace zovir::cli {
namespace {

sim::Bytes Pattern(uint32_t seed, size_t size) {
  sim::Bytes out(size);
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return out;
}

void Collect(sim::DeviceState& state, const std::string& path, std::map<std::string, sim::Bytes>& files, int depth) {
  if (depth > 16) return;
  if (auto data = state.EfsFile(path)) {
    files[path] = *data;
    return;
  }
  if (!state.EfsDirExists(path)) return;
  for (const auto& name : state.ListEfs(path)) Collect(state, path + (path.ends_with('/') ? "" : "/") + name, files, depth + 1);
}

}  // namespace

void VirtualFactory::Prepare(sim::VirtualModemOptions& options, int slot) {
  nv->LoseAllOnDownload();
  identity->LoseAllOnDownload();
  sim::AttachNVStore(options, nv);
  sim::AttachAtIdentityStore(options, identity);
  sim::AttachEfs(options, efs);
  options.imei = "35693803564" + std::to_string(3800 + slot);
}

void VirtualFactory::Seed(sim::VirtualModem& modem, int slot, const std::vector<std::string>& userFiles,
                          const std::vector<std::string>& userDirs) {
  sim::DeviceState& state = modem.State();
  auto setIdentity = [&](const std::string& key, const std::string& value) {
    if (!state.Identity(key) || state.Identity(key)->empty()) state.SetIdentity(key, value);
  };
  setIdentity("SN", "ZV9X06" + std::to_string(100000 + slot));
  setIdentity("IMEI", modem.Options().imei);
  setIdentity("TESTINF", "CALIBRATION PASS FINALTEST PASS SLOT" + std::to_string(slot));
  for (const auto& file : sim::AtIdentityStore::OscillatorFiles())
    if (!state.EfsFile(file)) state.SetEfsFile(file, Pattern(static_cast<uint32_t>(file.size() + slot), 8));

  const NVItemTables& tables = NVItemTables::BuiltIn();
  for (const auto& entry : tables.base)
    if (entry.Id >= 0 && !state.Nv(static_cast<uint32_t>(entry.Id)))
      state.SetNv(static_cast<uint32_t>(entry.Id), Pattern(static_cast<uint32_t>(entry.Id + 1000 * slot), 128));
  for (const auto& entry : tables.rf)
    if (entry.Id >= 0 && !nv->RFItem(static_cast<uint16_t>(entry.Id)))
      nv->SetRFItem(static_cast<uint16_t>(entry.Id), Pattern(static_cast<uint32_t>(entry.Id + 7 * slot), 16));

  for (const auto& file : userFiles)
    if (!state.EfsFile(file)) state.SetEfsFile(file, Pattern(static_cast<uint32_t>(file.size() * 31 + slot), 300 + file.size()));
  for (const auto& dir : userDirs) {
    if (state.EfsDirExists(dir)) continue;
    state.MakeEfsDir(dir);
    state.SetEfsFile(dir + "/settings.cfg", Pattern(static_cast<uint32_t>(dir.size() + slot), 1500));
    state.MakeEfsDir(dir + "/sub");
    state.SetEfsFile(dir + "/sub/empty.dat", {});
  }
}

ModemData Snapshot(sim::VirtualModem& modem, const sim::NVStore& nv, const std::vector<std::string>& efsPaths) {
  ModemData data;
  sim::DeviceState& state = modem.State();
  data.nv = state.AllNv();
  data.rf = nv.AllRFItems();
  // Identity values the modem holds (an empty value counts as absent); the radio state is not
  // one of them.
  for (const auto& [key, value] : state.AllIdentity())
    if (!value.empty() && key != "CFUN") data.identity[key] = value;
  for (const auto& path : efsPaths) Collect(state, path, data.files, 0);
  for (const auto& file : sim::AtIdentityStore::OscillatorFiles()) Collect(state, file, data.files, 0);
  return data;
}

Verification Compare(const ModemData& before, const ModemData& after) {
  Verification v;
  auto line = [&](const std::string& what, size_t same, size_t total) {
    v.lines.push_back(what + " " + std::to_string(same) + "/" + std::to_string(total) + " as before");
    if (same != total) v.ok = false;
  };
  auto count = [](const auto& a, const auto& b) {
    size_t same = 0;
    for (const auto& [key, value] : a) {
      auto it = b.find(key);
      if (it != b.end() && it->second == value) ++same;
    }
    return same;
  };
  line("NV items", count(before.nv, after.nv), before.nv.size());
  line("RF NV items", count(before.rf, after.rf), before.rf.size());
  line("identity values", count(before.identity, after.identity), before.identity.size());
  line("EFS files", count(before.files, after.files), before.files.size());
  return v;
}

}  // namespace zovir::cli
