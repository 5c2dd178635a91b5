#include "config/device_check.h"

#include <algorithm>
#include <cctype>

#include "config/device_check_variants.h"

namespace zovir {

namespace {

std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n,");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t\r\n,");
  return s.substr(first, last - first + 1);
}

// A piece of a text as far as it reaches: a start beyond the end gives an empty text.
std::string Copy(const std::string& s, size_t pos, size_t count) {
  if (pos >= s.size()) return {};
  return s.substr(pos, count);
}

std::string Tail(const std::string& s, size_t count) {
  return s.size() <= count ? s : s.substr(s.size() - count);
}

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

DeviceCheckResult Refuse(std::string message) {
  DeviceCheckResult r;
  r.returnValue = 0;
  r.ready = false;
  r.message = std::move(message);
  r.stopWatcher = true;
  return r;
}

bool InstallerTypes(int type) { return type == 6 || type == 19 || type == 20 || type == 42; }

// Step 3: the configured version and the modem's agree up to the configured first dot.
std::string CheckProjectCode(const ProjectConfiguration& config, const DeviceFacts& facts) {
  const std::string version = Upper(config.Version);
  const auto dot = version.find('.');
  if (dot == std::string::npos) return "Can't get project code from config verison!";
  if (facts.ModemVersion.find('.') == std::string::npos) return "Can't get project code from model verison!";
  if (facts.ModemVersion.compare(0, dot, version, 0, dot) != 0 || facts.ModemVersion.size() < dot)
    return "Could not update other irrelevant model device!";
  return {};
}

// Step 4: the main board is named by the three characters from the 8th and the last four.
std::string CheckMainboard(const ProjectConfiguration& config, const DeviceFacts& facts) {
  const std::string version = Upper(config.Version);
  const std::string modem = Upper(facts.ModemVersion);
  const std::string tail = Tail(version, 4), modemTail = Tail(modem, 4);
  const std::string board = Copy(version, 7, 3), modemBoard = Copy(modem, 7, 3);
  // A matching ".3." marker still has its tail compared below.
  if (board == ".3." && modemBoard != board) return "Can't update other irrelevant mobile devices!";
  if (config.Name == "Saltrin" || config.Name == "Saltor") {
    const std::string second = Upper(config.SecondPacketVersion);
    const std::string alternative = second.empty() ? std::string("NONE") : Tail(second, 4);
    if (modemTail != tail && modemTail != alternative) return "Could not update other irrelevant mobile devices.";
    return {};
  }
  if (modemTail != tail) return "Can't update other irrelevant mobile devices.";
  return {};
}

int CodeOf(const std::string& text) {
  const std::string t = Trim(text);
  if (t.empty() || t.size() > 3 || !std::all_of(t.begin(), t.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
    return -1;
  return std::stoi(t);
}

// Steps 5 and 6: flash and RAM sizes against the flash information of the modem.
std::string CheckMemory(const ProjectConfiguration& config, const DeviceFacts& facts) {
  constexpr const char* kMismatch = "Memory size is not matched!";
  const bool dataCard = config.bCheckDataCardMemory != 0, router = config.bCheckRouterMemory != 0;
  const std::string info = Upper(facts.ModemFlashInfo);
  const std::string& flash = config.FlashSize;
  const std::string& ram = config.RAMSize;
  if (info == "ERROR") {
    if (dataCard && !flash.empty() && flash != "512M") return kMismatch;
    if (router && ((!flash.empty() && flash != "1024M") || (!ram.empty() && ram != "1024M"))) return kMismatch;
    return {};
  }
  std::string id;
  if (const auto at = info.find("ID:"); at != std::string::npos) {
    const auto end = info.find("PAGESIZE", at + 3);
    id = Trim(info.substr(at + 3, end == std::string::npos ? std::string::npos : end - at - 3));
  }
  if (const auto mcp = info.find("MCP:"); mcp != std::string::npos) {
    const auto end = info.find("DEVICEWIDTH:", mcp + 4);
    const std::string field = info.substr(mcp + 4, end == std::string::npos ? std::string::npos : end - mcp - 4);
    const auto comma = field.find(',');
    const std::string flashText = MemorySizeText(CodeOf(field.substr(0, comma)));
    const std::string ramText =
        MemorySizeText(comma == std::string::npos ? -1 : CodeOf(field.substr(comma + 1)));
    if (!flash.empty() && flash != flashText) return kMismatch;
    if (!ram.empty() && ram != ramText) return kMismatch;
    const std::string support = Upper(config.SupportFlashID);
    if (!support.empty() && !Contains(support, id)) return kMismatch;
    return {};
  }
  if (dataCard) {
    const bool larger = Tail(id, 2) == "A1" && id.size() >= 2;
    if (larger && flash != "1024M") return kMismatch;
    if (!larger && flash != "512M") return kMismatch;
  }
  if (router) {
    if (id == "0X2CB1") {
      if ((!flash.empty() && flash != "1024M") || (!ram.empty() && ram != "1024M")) return kMismatch;
    } else if (id == "0XADA1" || id == "0XECA1") {
      if ((!flash.empty() && flash != "1024M") || (!ram.empty() && ram != "512M")) return kMismatch;
    } else {
      return "Can not check memory size!";
    }
  }
  return {};
}

bool IsDigitAt(const std::string& s, size_t pos) {
  return pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]));
}

}  // namespace

std::string MemorySizeText(int code) {
  switch (code) {
    case 0: return "256M";
    case 1: return "512M";
    case 2: return "1024M";
    case 3: return "2048M";
    default: return "Unknown";
  }
}

DeviceCheckResult CheckDevice(const ProjectConfiguration& config, const DeviceFacts& facts,
                              const DriverInstallerStep& installer) {
  const int type = config.ProjectType;
  if (facts.diagPort.empty() || facts.atPort.empty()) {
    DeviceCheckResult r;
    r.resetInstallerFlag = InstallerTypes(type);
    if (type == 2 || type == 6) {
      r.setVersionLabel = true;
      r.versionLabel = "Versinon:";
    }
    return r;
  }
  if (config.bCheckProjectCode) {
    if (auto m = CheckProjectCode(config, facts); !m.empty()) return Refuse(m);
  }
  if (config.bCheckMainboardType) {
    if (auto m = CheckMainboard(config, facts); !m.empty()) return Refuse(m);
  }
  if (config.bCheckDataCardMemory || config.bCheckRouterMemory) {
    if (auto m = CheckMemory(config, facts); !m.empty()) return Refuse(m);
  }
  if (InstallerTypes(type) && (!installer || installer() != 1)) {
    DeviceCheckResult r;
    r.returnValue = 0;
    r.changeWindow = false;
    return r;
  }

  DeviceCheckResult r;
  r.ready = true;
  r.setVersionLabel = true;
  if (type == 2 || type == 6) {
    auto refuse = [&](const char* message) {
      auto x = Refuse(message);
      x.setVersionLabel = true;
      x.versionLabel = "Version:";
      return x;
    };
    if (facts.ModemVersion == config.Version) return refuse("Can't update the software because it is the latest");
    if (type == 2 && !Contains(facts.ModemVersion, "BTM0027")) return refuse("Can't update other irrelevant Data Cards");
    if (type == 6 && !Contains(facts.ModemVersion, "BTM0029"))
      return refuse("Can't update other irrelevant mobile devices");
    if (facts.diagPortCount >= 2) return refuse("Two or more devices were found");
    r.versionLabel = "Version:" + facts.ModemVersion;
    return r;
  }
  if (type == 27 || type == 28 || type == 41 || type == 3 || type == 29) r.stopWatcher = true;
  if (type == 42 || (type == 3 && IsTitleVariant(config))) r.disableTimer1 = true;
  if (type == 1013) {
    r.versionLabel = "Version:";
    r.setRestartMark = true;
  }
  return r;
}

bool IsPairProduct(const std::string& name) {
  return name == "Saltor" || name == "Saltrin" || name == "KeplanA" || name == "KeplanB";
}

PacketDecision SelectPacketByHardware(const ProjectConfiguration& config, const std::string& hardware) {
  constexpr const char* kNotMatched = "Device and software version is not matched!";
  PacketDecision d;
  auto refuse = [&](const char* message) {
    d.choice = PacketChoice::Refuse;
    d.message = message;
    return d;
  };
  const std::string& name = config.Name;
  const std::string& second = config.SecondPacketName;
  if (config.Packet == 2) {
    if (hardware == "Saltor" || hardware == "KeplanA") {
      // The first packet is preferred for these.
      if (name == hardware) return d;
      if (second == hardware) {
        d.choice = PacketChoice::SwitchReread;
        return d;
      }
      return refuse(kNotMatched);
    }
    if (hardware == "Saltrin" || hardware == "KeplanB") {
      if (second == hardware) {
        d.choice = PacketChoice::SwitchReread;
        return d;
      }
      if (name == hardware) return d;
      return refuse(kNotMatched);
    }
    return refuse(kNotMatched);
  }
  if (config.Packet > 2) return refuse(kNotMatched);
  if (hardware == "Saltrin" || hardware == "KeplanB") return name == hardware ? d : refuse(kNotMatched);
  if (hardware == "Saltor") return name == "Saltrin" ? refuse("Device and software version is not matched.") : d;
  if (hardware == "KeplanA") return name == "KeplanB" ? refuse("Device and software version is not matched.") : d;
  return refuse(kNotMatched);
}

PacketDecision SelectPacketByFlash(const ProjectConfiguration& config, const DeviceFacts& facts) {
  PacketDecision d;
  const int type = config.ProjectType;
  const VariantTexts& texts = TextsOf(VariantOf(config));
  auto refuse = [&](std::string message, std::string caption = "Warning") {
    d.choice = PacketChoice::Refuse;
    d.message = std::move(message);
    d.caption = std::move(caption);
    return d;
  };
  if (type == 25 || type == 28) {
    const bool logs = type == 28;
    if (type == 28) {
      if (facts.ModemVersion != "1.2.0") {
        d.requestEnd = true;
        return refuse("アップデート済みです。\nアップデートは不要です。", texts.title);
      }
      d.logLines.push_back("Flash type: " + Upper(facts.ModemFlashId));
    }
    const bool larger = Upper(facts.ModemFlashId) == "A1";
    const bool one = config.FlashType == 1;
    if (config.Packet == 2) {
      if (larger && one) {
        if (logs) d.logLines.push_back("Load 1G Flash software.");
      } else if (larger) {
        d.choice = PacketChoice::SwitchKeepConfig;
        if (logs) d.logLines.push_back("Load 1G Flash software OK");
      } else if (one) {
        d.choice = PacketChoice::SwitchReread;
        if (logs) d.logLines.push_back("Load 512M Flash software.");
      } else if (logs) {
        d.logLines.push_back("Load 512M Flash software OK");
      }
      return d;
    }
    if (config.Packet > 2) return refuse("Unkonwn the flash size.");
    if (larger && !one) return refuse("Flash size is not matched!");
    if (!larger && one) return refuse("Flash size is not matched.");
    return d;
  }

  const bool anyVariant = config.VersionVariant[0] || config.VersionVariant[1] || config.VersionVariant[2];
  if (type != 42 && !anyVariant) return d;

  static constexpr ProductVariant kOrder[] = {ProductVariant::Title1, ProductVariant::Title2, ProductVariant::Title3};
  for (int i = 0; i < 4; ++i) {
    const bool set = i < 3 ? config.VersionVariant[i] != 0 : type == 42;
    if (!set) continue;
    const VariantTexts& v = TextsOf(i < 3 ? kOrder[i] : ProductVariant::Title42);
    if (facts.ModemVersion.empty()) return refuse("Could not find SWVerison from phone");
    if (!Contains(facts.ModemVersion, v.versionPrefix)) return refuse(v.deviceNotConnected, v.title);
  }
  constexpr const char* kLatest = "最新のファームウェアが実装されているため、アップデートは不要です。";
  const std::string& modem = facts.ModemVersion;
  const std::string& version = config.Version;
  if (modem == version) return refuse(kLatest, texts.title);
  // Positions 9 and 11 carry the release numbers; a text without digits there cannot be
  // compared and is refused like a short one.
  if (modem.size() <= 10 || !IsDigitAt(modem, 8) || !IsDigitAt(modem, 10))
    return refuse("The phone's software version was wrong!");
  if (version.size() <= 10 || !IsDigitAt(version, 8) || !IsDigitAt(version, 10))
    return refuse("Configration version was wrong!");
  const int cfgMajor = version[8] - '0', modemMajor = modem[8] - '0';
  if (cfgMajor < modemMajor) return refuse(kLatest, texts.title);
  if (cfgMajor == modemMajor && modem[10] - '0' >= version[10] - '0') return refuse(kLatest, texts.title);
  return d;
}

}  // namespace zovir
