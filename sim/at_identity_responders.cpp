#include <cctype>

#include "sim/at_identity.h"
#include "sim/port_protocol.h"
#include "sim/responders.h"
#include "sim/virtual_modem.h"

namespace zovir::sim {

namespace {

constexpr uint8_t kDiagModeChange = 0x29;
constexpr const char* kXoFolder = "/nv/item_files/mcs/tcxomgr/";

const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";

std::string Answer(const std::string& name, const std::string& value) {
  return "\r\n" + name + ": " + value + "\r\n" + kOk;
}

// A written value: one pair of enclosing double quotes is not part of it.
std::string Unquote(std::string v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
  return v;
}

std::string Stored(const AtContext& ctx, const std::string& key) {
  std::optional<std::string> v = ctx.state.Identity(key);
  if (!v && key == "IMEI") return ctx.options.imei;
  return v ? *v : std::string();
}

// "<n>" of "AT+ZRVSN=<op>,<n>[,<value>]" to its identity key.
const char* ZrvsnKey(const std::string& n) {
  static const std::map<std::string, const char*> keys = {
      {"5", "SN"},   {"6", "IMEI_1"},         {"7", "IMEI"},        {"8", "ESN"},
      {"9", "MEID"}, {"10", "BLUETOOTHADDR"}, {"11", "SalesCount"}, {"12", "SalesInfo"}};
  auto it = keys.find(n);
  return it == keys.end() ? nullptr : it->second;
}

std::string Zrvsn(const AtCommand& cmd, AtContext& ctx) {
  // "=0,<n>" reads, "=1,<n>,<value>" writes.
  if (cmd.args.size() < 4 || cmd.args[0] != '=' || cmd.args[2] != ',') return kError;
  const char op = cmd.args[1];
  const std::string rest = cmd.args.substr(3);
  const size_t comma = rest.find(',');
  const char* key = ZrvsnKey(rest.substr(0, comma));
  if (!key) return kError;
  if (op == '0' && comma == std::string::npos) {
    const std::string v = Stored(ctx, key);
    return v.empty() ? kError : Answer("+ZRVSN", v);
  }
  if (op == '1' && comma != std::string::npos) {
    // The MEID is writable only while the MEID mode is open.
    if (std::string(key) == "MEID" && Stored(ctx, "MEIDMODE") != "1") return kError;
    ctx.state.SetIdentity(key, Unquote(rest.substr(comma + 1)));
    return kOk;
  }
  return kError;
}

// "?" (or nothing) reads the value, "=<value>" writes it.
AtResponder Value(const std::string& name, const std::string& key, bool bareRead) {
  return [name, key, bareRead](const AtCommand& cmd, AtContext& ctx) -> std::string {
    if (cmd.args == "?" || (bareRead && cmd.args.empty())) {
      const std::string v = Stored(ctx, key);
      return v.empty() ? kError : Answer(name, v);
    }
    if (cmd.args.size() > 1 && cmd.args[0] == '=') {
      ctx.state.SetIdentity(key, Unquote(cmd.args.substr(1)));
      return kOk;
    }
    return kError;
  };
}

// AT+EFSRW=0,0,"<path>" reads a file as hex; AT+EFSRW=1,0,"<path>","<hex>" writes it.
std::string Efsrw(const AtCommand& cmd, AtContext& ctx) {
  const std::string& a = cmd.args;
  if (a.size() < 7 || a.compare(0, 1, "=") != 0 || a.compare(2, 4, ",0,\"") != 0) return kError;
  const char op = a[1];
  const size_t close = a.find('"', 6);
  if (close == std::string::npos) return kError;
  const std::string path = a.substr(6, close - 6);
  if (path.empty() || path.front() != '/') return kError;
  const std::string tail = a.substr(close + 1);
  if (op == '0' && tail.empty()) {
    std::optional<Bytes> data = ctx.state.EfsFile(path);
    return data ? Answer("+EFSRW", HexText(*data)) : kError;
  }
  if (op == '1' && tail.size() > 1 && tail.front() == ',') {
    Bytes data;
    if (!ParseHexText(Unquote(tail.substr(1)), data)) return kError;
    const size_t slash = path.rfind('/');
    if (slash > 0) ctx.state.MakeEfsDir(path.substr(0, slash));
    ctx.state.SetEfsFile(path, std::move(data));
    return kOk;
  }
  return kError;
}

}  // namespace

std::string HexText(const Bytes& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

bool ParseHexText(const std::string& text, Bytes& out) {
  if (text.size() % 2 != 0) return false;
  const auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  out.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
}

const std::vector<std::string>& AtIdentityStore::IdentityKeys() {
  static const std::vector<std::string> keys = {"SN",      "IMEI",  "IMEI_1", "ESN", "MEID", "BLUETOOTHADDR",
                                                "SalesCount", "SalesInfo", "TESTINF", "CLLEN", "ZRREQ", "GMI",
                                                "WifiCal", "UIT87", "UIT89"};
  return keys;
}

const std::vector<std::string>& AtIdentityStore::OscillatorFiles() {
  static const std::vector<std::string> files = [] {
    std::vector<std::string> f;
    for (const char* n : {"field_cal_params", "ifc_c1_filter", "rgs_data", "xo_crystal_type", "xo_factory_cal_debug"})
      f.push_back(std::string(kXoFolder) + n);
    return f;
  }();
  return files;
}

void AtIdentityStore::SetUnsupported(std::set<std::string> commands) {
  std::lock_guard lock(mu_);
  unsupported_ = std::move(commands);
}

bool AtIdentityStore::Unsupported(const std::string& nameAndArgs) const {
  std::lock_guard lock(mu_);
  for (const std::string& u : unsupported_)
    if (nameAndArgs.compare(0, u.size(), u) == 0) return true;
  return false;
}

void AtIdentityStore::LoseOnDownload(std::vector<std::string> identityKeys, std::vector<std::string> efsFiles) {
  std::lock_guard lock(mu_);
  loseKeys_ = std::move(identityKeys);
  loseFiles_ = std::move(efsFiles);
}

void AtIdentityStore::LoseAllOnDownload() { LoseOnDownload(IdentityKeys(), OscillatorFiles()); }

void AtIdentityStore::LoseNow(DeviceState& state) {
  std::vector<std::string> keys, files;
  {
    std::lock_guard lock(mu_);
    keys = loseKeys_;
    files = loseFiles_;
    ++losses_;
  }
  for (const std::string& k : keys) state.SetIdentity(k, "");
  for (const std::string& f : files) state.RemoveEfs(f);
}

uint32_t AtIdentityStore::Losses() const {
  std::lock_guard lock(mu_);
  return losses_;
}

uint16_t AtIdentityStore::LastDiagMode() const {
  std::lock_guard lock(mu_);
  return lastDiagMode_;
}

uint32_t AtIdentityStore::DiagResets() const {
  std::lock_guard lock(mu_);
  return diagResets_;
}

void AtIdentityStore::NoteDiagMode(uint16_t mode) {
  std::lock_guard lock(mu_);
  lastDiagMode_ = mode;
  if (mode == 2) ++diagResets_;
}

void AtIdentityStore::OnModemEvent(DeviceState& state, const std::string& event) {
  if (event.rfind("partition ", 0) != 0) return;
  {
    std::lock_guard lock(mu_);
    if (loseKeys_.empty() && loseFiles_.empty()) return;
  }
  LoseNow(state);
}

void InstallAtIdentityResponders(DiagDispatcher& diag, AtDispatcher& at, std::shared_ptr<AtIdentityStore> store) {
  // Every command goes through the store first: it binds the state and answers "ERROR" for
  // what this firmware does not have.
  const auto guarded = [store](AtResponder inner) -> AtResponder {
    return [store, inner = std::move(inner)](const AtCommand& cmd, AtContext& ctx) -> std::string {
      store->BindIfUnbound(ctx.state);
      if (store->Unsupported(cmd.name + cmd.args)) return kError;
      return inner(cmd, ctx);
    };
  };
  at.Register("+ZRVSN", guarded(Zrvsn));
  at.Register("+TESTINF2", guarded([](const AtCommand& cmd, AtContext& ctx) -> std::string {
                if (cmd.args == "=?") {
                  const std::string v = Stored(ctx, "TESTINF");
                  return v.empty() ? kError : Answer("+TESTINF2", v);
                }
                if (cmd.args.size() > 1 && cmd.args[0] == '=') {
                  ctx.state.SetIdentity("TESTINF", Unquote(cmd.args.substr(1)));
                  return kOk;
                }
                return kError;
              }));
  at.Register("+EFSRW", guarded(Efsrw));
  at.Register("+CLLEN", guarded(Value("+CLLEN", "CLLEN", false)));
  at.Register("+ZRREQ", guarded(Value("+ZRREQ", "ZRREQ", false)));
  at.Register("+GMI", guarded(Value("+GMI", "GMI", true)));
  at.Register("+WIFICAL", guarded(Value("+WIFICAL", "WifiCal", false)));
  at.Register("+CUIT87", guarded(Value("+CUIT87", "UIT87", false)));
  at.Register("+CUIT89", guarded(Value("+CUIT89", "UIT89", false)));
  at.Register("+NWLSET", guarded(Value("+NWLSET", "SIMLOCK", false)));
  at.Register("+DISK", guarded(Value("+DISK", "DISK", false)));
  at.Register("^MEIDMODE", guarded([](const AtCommand& cmd, AtContext& ctx) -> std::string {
                if (cmd.args != "=0" && cmd.args != "=1") return kError;
                ctx.state.SetIdentity("MEIDMODE", cmd.args.substr(1));
                return kOk;
              }));
  at.Register("+ZRVINF", guarded([](const AtCommand& cmd, AtContext& ctx) -> std::string {
                if (cmd.args != "=0,2") return kError;
                return Answer("+ZRVINF", "\"" + ctx.options.model + "\"");
              }));
  at.Register("+CGDCONT", guarded([](const AtCommand& cmd, AtContext& ctx) -> std::string {
                if (cmd.args == "?") {
                  const std::string apn = Stored(ctx, "APN");
                  return "\r\n+CGDCONT: 1,\"IP\",\"" + (apn.empty() ? std::string("internet") : apn) +
                         "\",\"0.0.0.0\",0,0\r\n" + kOk;
                }
                if (cmd.args.size() > 1 && cmd.args[0] == '=') {
                  ctx.state.SetIdentity("APN", cmd.args.substr(1));
                  return kOk;
                }
                return kError;
              }));
  at.Register("+CFUN", guarded([](const AtCommand& cmd, AtContext& ctx) -> std::string {
                if (cmd.args == "?") {
                  const std::string v = Stored(ctx, "CFUN");
                  return Answer("+CFUN", v.empty() ? std::string("1") : v);
                }
                if (cmd.args == "=1,1") {
                  // Full functionality after a reset: the modem restarts.
                  ctx.state.SetIdentity("CFUN", "1");
                  ctx.port.Request(Transition::ToNormal, ctx.options.rebootDelayMs);
                  return kOk;
                }
                if (cmd.args.size() > 1 && cmd.args[0] == '=') {
                  ctx.state.SetIdentity("CFUN", cmd.args.substr(1));
                  return kOk;
                }
                return kError;
              }));

  diag.Register(kDiagModeChange, [store](std::span<const uint8_t> req, DiagContext& ctx) -> std::optional<Bytes> {
    store->BindIfUnbound(ctx.state);
    if (req.size() != 3) return DiagDispatcher::BadLengthReply(req);
    const uint16_t mode = static_cast<uint16_t>(req[1] | (req[2] << 8));
    store->NoteDiagMode(mode);
    if (mode == 2) {
      ctx.port.Event("DIAG reset requested");
      ctx.port.Request(Transition::ToNormal, ctx.options.rebootDelayMs);
    }
    return Bytes{kDiagModeChange, req[1], req[2]};
  });
}

void InstallAtIdentityResponders(DiagDispatcher& diag, AtDispatcher& at) {
  InstallAtIdentityResponders(diag, at, std::make_shared<AtIdentityStore>());
}

void AttachAtIdentityStore(VirtualModemOptions& options, std::shared_ptr<AtIdentityStore> store) {
  options.extraResponders.push_back(
      [store](DiagDispatcher& diag, AtDispatcher& at) { InstallAtIdentityResponders(diag, at, store); });
  options.AddStore(store);
}

}  // namespace zovir::sim
