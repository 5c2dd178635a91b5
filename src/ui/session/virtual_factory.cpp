#include "ui/session/virtual_factory.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace zovir::session {
namespace {

void Collect(sim::DeviceState& state, const std::string& path, ModemData& data, int depth) {
  if (depth > 64) return;
  if (auto bytes = state.EfsFile(path)) {
    data.files[path] = *bytes;
    return;
  }
  if (!state.EfsDirExists(path)) return;
  data.dirs.insert(path);
  for (const auto& name : state.ListEfs(path)) Collect(state, path + (path.ends_with('/') ? "" : "/") + name, data, depth + 1);
}

std::string Hex(const sim::Bytes& data) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : data) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::optional<sim::Bytes> Unhex(const std::string& text) {
  if (text.size() % 2) return std::nullopt;
  sim::Bytes out;
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned v = 0;
    if (std::sscanf(text.substr(i, 2).c_str(), "%2x", &v) != 1) return std::nullopt;
    out.push_back(static_cast<uint8_t>(v));
  }
  return out;
}

std::string HeldBeforePath(const std::string& stateDir) { return stateDir + "/held-before.txt"; }

}  // namespace

void SaveHeldBefore(const std::string& stateDir, const ModemData& data) {
  // One value a line, fields split by tabs (identity values and EFS paths hold none).
  std::ostringstream os;
  for (const auto& [id, value] : data.nv) os << "nv\t" << id << '\t' << Hex(value) << '\n';
  for (const auto& [id, value] : data.rf) os << "rf\t" << id << '\t' << Hex(value) << '\n';
  for (const auto& [key, value] : data.identity) os << "identity\t" << key << '\t' << value << '\n';
  for (const auto& [path, value] : data.files) os << "file\t" << path << '\t' << Hex(value) << '\n';
  for (const auto& path : data.dirs) os << "dir\t" << path << '\n';
  const std::string text = os.str();
  sim::WriteFileAtomic(HeldBeforePath(stateDir), text.data(), text.size());
}

std::optional<ModemData> LoadHeldBefore(const std::string& stateDir) {
  std::ifstream in(HeldBeforePath(stateDir));
  if (!in) return std::nullopt;
  ModemData data;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;  // an empty last field (an empty file) counts too
    for (size_t at = 0;;) {
      const size_t tab = line.find('\t', at);
      f.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
      if (tab == std::string::npos) break;
      at = tab + 1;
    }
    if (f.size() == 2 && f[0] == "dir") {
      data.dirs.insert(f[1]);
      continue;
    }
    if (f.size() != 3) return std::nullopt;
    if (f[0] == "identity") {
      data.identity[f[1]] = f[2];
      continue;
    }
    const auto value = Unhex(f[2]);
    if (!value) return std::nullopt;
    if (f[0] == "nv")
      data.nv[static_cast<uint32_t>(std::stoul(f[1]))] = *value;
    else if (f[0] == "rf")
      data.rf[static_cast<uint16_t>(std::stoul(f[1]))] = *value;
    else if (f[0] == "file")
      data.files[f[1]] = *value;
    else
      return std::nullopt;
  }
  return data;
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
  for (const auto& path : efsPaths) Collect(state, path, data, 0);
  for (const auto& file : sim::AtIdentityStore::OscillatorFiles()) Collect(state, file, data, 0);
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
  size_t dirs = 0;
  for (const auto& dir : before.dirs) dirs += after.dirs.count(dir);
  line("EFS folders", dirs, before.dirs.size());
  return v;
}

}  // namespace zovir::session
