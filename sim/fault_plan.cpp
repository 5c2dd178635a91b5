#include "sim/fault_plan.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace zovir::sim {
namespace {

struct KindName {
  const char* name;
  FaultKind kind;
};
constexpr KindName kKinds[] = {
    {"silent", FaultKind::Silent}, {"ignore", FaultKind::Ignore}, {"corrupt", FaultKind::Corrupt}, {"nak", FaultKind::Nak},
    {"error", FaultKind::Nak},     {"wrong", FaultKind::Wrong},     {"status", FaultKind::Status},
    {"delay", FaultKind::Delay},   {"drop", FaultKind::Drop},       {"split", FaultKind::Split},
    {"vanish", FaultKind::Vanish}, {"repeat", FaultKind::Repeat},
};

bool ParseUint(const std::string& s, uint32_t& out) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  out = static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 10));
  return true;
}

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string ParseOne(const std::string& text, FaultRule& rule) {
  auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return "missing '=' in fault \"" + text + "\"";
  std::string lhs = text.substr(0, eq), rhs = text.substr(eq + 1);
  auto at = lhs.find('@');
  rule.key = lhs.substr(0, at);
  if (rule.key.rfind("at:", 0) != 0) rule.key = Lower(rule.key);
  if (at != std::string::npos) {
    std::string occ = lhs.substr(at + 1);
    if (occ == "*") {
      rule.first = 1;
      rule.count = 0;
    } else if (!occ.empty() && occ.back() == '+') {
      if (!ParseUint(occ.substr(0, occ.size() - 1), rule.first)) return "bad occurrence in \"" + text + "\"";
      rule.count = 0;
    } else if (auto x = occ.find('x'); x != std::string::npos) {
      if (!ParseUint(occ.substr(0, x), rule.first) || !ParseUint(occ.substr(x + 1), rule.count) || rule.count == 0) {
        return "bad occurrence in \"" + text + "\"";
      }
    } else if (!ParseUint(occ, rule.first)) {
      return "bad occurrence in \"" + text + "\"";
    }
    if (rule.first == 0) return "occurrences count from 1 in \"" + text + "\"";
  }
  auto colon = rhs.find(':');
  std::string kind = Lower(rhs.substr(0, colon));
  bool known = false;
  for (const auto& k : kKinds) {
    if (kind == k.name) {
      rule.kind = k.kind;
      known = true;
    }
  }
  if (!known) return "unknown fault kind \"" + kind + "\"";
  if (colon != std::string::npos) {
    uint32_t v = 0;
    if (!ParseUint(rhs.substr(colon + 1), v)) return "bad argument in \"" + text + "\"";
    rule.arg = static_cast<int>(v);
  }
  if ((rule.kind == FaultKind::Status || rule.kind == FaultKind::Delay) && rule.arg < 0) {
    return "fault \"" + kind + "\" needs an argument in \"" + text + "\"";
  }
  return {};
}

}  // namespace

const char* FaultKindName(FaultKind kind) {
  for (const auto& k : kKinds) {
    if (k.kind == kind) return k.name;
  }
  return "?";
}

FaultPlan::FaultPlan(const FaultPlan& other) {
  std::lock_guard lock(other.mu_);
  rules_ = other.rules_;
  counts_ = other.counts_;
  fired_ = other.fired_;
}

FaultPlan& FaultPlan::operator=(const FaultPlan& other) {
  if (this == &other) return *this;
  std::scoped_lock lock(mu_, other.mu_);
  rules_ = other.rules_;
  counts_ = other.counts_;
  fired_ = other.fired_;
  return *this;
}

void FaultPlan::Add(FaultRule rule) {
  std::lock_guard lock(mu_);
  rules_.push_back(std::move(rule));
}

std::string FaultPlan::AddSpec(const std::string& spec) {
  std::stringstream ss(spec);
  std::string one;
  std::vector<FaultRule> parsed;
  while (std::getline(ss, one, ',')) {
    if (one.empty()) continue;
    FaultRule rule;
    std::string err = ParseOne(one, rule);
    if (!err.empty()) return err;
    parsed.push_back(rule);
  }
  if (parsed.empty()) return "empty fault \"" + spec + "\"";
  for (auto& r : parsed) Add(std::move(r));
  return {};
}

std::optional<FaultRule> FaultPlan::Hit(const std::string& key) {
  std::lock_guard lock(mu_);
  uint32_t n = ++counts_[key];
  for (const auto& r : rules_) {
    if (r.key != key || n < r.first) continue;
    if (r.count != 0 && n >= r.first + r.count) continue;
    fired_.push_back(r);
    return r;
  }
  return std::nullopt;
}

std::optional<FaultRule> FaultPlan::Peek(const std::string& key) const {
  std::lock_guard lock(mu_);
  auto it = counts_.find(key);
  const uint32_t n = (it == counts_.end() ? 0 : it->second) + 1;
  for (const auto& r : rules_) {
    if (r.key != key || n < r.first) continue;
    if (r.count != 0 && n >= r.first + r.count) continue;
    return r;
  }
  return std::nullopt;
}

uint32_t FaultPlan::Count(const std::string& key) const {
  std::lock_guard lock(mu_);
  auto it = counts_.find(key);
  return it == counts_.end() ? 0 : it->second;
}

std::vector<FaultRule> FaultPlan::Fired() const {
  std::lock_guard lock(mu_);
  return fired_;
}

}  // namespace zovir::sim
