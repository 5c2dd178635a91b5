#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/engine_core.h"
#include "link/link.h"
#include "platform/fake_clock.h"
#include "preservation/nv_items.h"
#include "support/scripted_port.h"
#include "unit/nv/fake_nv_modem.h"

namespace zovir::test {

struct StatusLine {
  CommStatus status;
  std::string text;
  MESSAGE_TYPE kind;
};

// An engine core on a FakeClock whose diagnostic port is answered by a FakeNVModem, a
// private backup folder, and every report recorded.
class NVFixture : public ::testing::Test {
 protected:
  NVFixture() {
    int error = 0;
    ports.Port("COM7");
    core.hDiagPort = ports.Open("COM7", error);
    port().SetResponder([this](const std::vector<uint8_t>& w) { return modem.Handle(w); });
    core.OnStatusText = [this](CommStatus s, const std::string& t, int, MESSAGE_TYPE k) {
      lines.push_back({s, t, k});
    };
    core.OnError = [this](const std::string& t, int) { errors.push_back(t); };
    char tmpl[] = "/tmp/zovir-nv-XXXXXX";
    dir = mkdtemp(tmpl);
    core.cfg.bakFile = dir + "/nv.bak";
    core.run.BackupFolder = dir;
    core.run.nv1bakFile = dir + "/nv1.bak";
  }
  ~NVFixture() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  ScriptedPort& port() { return ports.Port("COM7"); }

  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const auto& l : lines) out.push_back(l.text);
    return out;
  }
  bool Logged(const std::string& text) const {
    for (const auto& l : lines)
      if (l.text == text) return true;
    return false;
  }
  // The single engine error of the run, as the window shows it.
  std::string Error() const { return errors.empty() ? std::string() : errors.front(); }
  static std::string ErrorText(const std::string& text, int code = ERR_GENERIC_FAILURE) {
    return "ERROR, " + text + ", Error code: " + std::to_string(code);
  }

  static std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  // A 128-byte value whose bytes tell the item apart (and include bytes that need escaping).
  static std::array<uint8_t, 128> ValueOf(uint16_t id) {
    std::array<uint8_t, 128> v{};
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(id * 7 + i * 13 + (i % 5 == 0 ? 0x7D : 0));
    return v;
  }
  // Gives every item of `list` a distinct value on the modem.
  void Populate(const NVItemTable& list) {
    for (const auto& e : list) modem.items[static_cast<uint16_t>(e.Id)].data = ValueOf(static_cast<uint16_t>(e.Id));
  }
  static std::vector<uint8_t> Record(uint16_t id, const std::array<uint8_t, 128>& value) {
    std::vector<uint8_t> r{static_cast<uint8_t>(id & 0xFF), static_cast<uint8_t>(id >> 8)};
    r.insert(r.end(), value.begin(), value.end());
    return r;
  }

  FakeClock clock;
  ScriptedPortFactory ports{clock};
  EngineCore core{clock, ports, nullptr};
  Link link{core};
  FakeNVModem modem;
  std::vector<StatusLine> lines;
  std::vector<std::string> errors;
  std::string dir;
};

}  // namespace zovir::test
