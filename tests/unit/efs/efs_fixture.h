#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine_core.h"
#include "link/link.h"
#include "platform/fake_clock.h"
#include "preservation/efs_files.h"
#include "sim/device_state.h"
#include "sim/efs_responders.h"
#include "sim/hdlc.h"
#include "sim/port_protocol.h"
#include "sim/virtual_modem.h"
#include "support/scripted_port.h"

namespace zovir::test {

class QuietEfsHost final : public sim::PortHost {
 public:
  QuietEfsHost(sim::DeviceState& s, const sim::VirtualModemOptions& o) : state_(s), options_(o) {}
  void Transmit(std::span<const uint8_t>) override {}
  sim::FaultPlan& Faults() override { return faults_; }
  sim::DeviceState& State() override { return state_; }
  const sim::VirtualModemOptions& Options() const override { return options_; }
  void Request(sim::Transition, int) override {}
  void Vanish(int) override {}
  bool Pause(int) override { return true; }
  void Event(const std::string&) override {}
  void ProgrammerReceived(sim::Bytes) override {}

 private:
  sim::DeviceState& state_;
  const sim::VirtualModemOptions& options_;
  sim::FaultPlan faults_;
};

// An engine core on a FakeClock whose diagnostic port is answered by the virtual modem's
// EFS responder (in memory), with a hook that may answer a request in its place, every
// request and report recorded, and a private backup root.
class EfsFixture : public ::testing::Test {
 protected:
  // A reply the hook wants sent instead of the modem's (nullopt: let the modem answer).
  using Intercept = std::function<std::optional<sim::Bytes>(const sim::Bytes& request)>;

  explicit EfsFixture(sim::EfsSimOptions efsOptions = {}) : efsSim(efsOptions) {
    int error = 0;
    ports.Port("COM7");
    core.hDiagPort = ports.Open("COM7", error);
    port().SetResponder([this](const std::vector<uint8_t>& w) { return Answer(w); });
    core.OnStatusText = [this](CommStatus, const std::string& t, int, MESSAGE_TYPE) { lines.push_back(t); };
    core.OnError = [this](const std::string& t, int) { errors.push_back(t); };
    std::string pattern = (std::filesystem::temp_directory_path() / "zovir-efs-XXXXXX").string();
    root = mkdtemp(pattern.data());
    core.cfg.BackupFilePath = root + "/Backup";
    core.run.BackupFolder = root + "/Backup/SN[123]";
    mirror = core.run.BackupFolder + "/EFS";
    std::filesystem::create_directories(mirror);
  }
  ~EfsFixture() override {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }

  ScriptedPort& port() { return ports.Port("COM7"); }

  std::vector<uint8_t> Answer(const std::vector<uint8_t>& written) {
    std::vector<uint8_t> wire;
    for (uint8_t b : written) {
      auto frame = deframer.Push(b);
      if (!frame || !frame->checkOk) continue;
      requests.push_back(frame->payload);
      std::optional<sim::Bytes> reply;
      if (intercept) reply = intercept(frame->payload);
      if (!reply) {
        sim::DiagContext ctx{state, options, host};
        reply = efsSim.Handle(frame->payload, ctx);
      }
      if (!reply || reply->empty()) continue;
      const sim::Bytes w = sim::EncodeFrame(*reply, false);
      wire.insert(wire.end(), w.begin(), w.end());
    }
    return wire;
  }

  static uint16_t CommandOf(const sim::Bytes& r) { return r.size() >= 4 ? static_cast<uint16_t>(r[2] | (r[3] << 8)) : 0; }
  static uint32_t U32(const sim::Bytes& r, size_t at) {
    return r.size() < at + 4 ? 0
                              : static_cast<uint32_t>(r[at] | (r[at + 1] << 8) | (r[at + 2] << 16) |
                                                      (static_cast<uint32_t>(r[at + 3]) << 24));
  }
  std::vector<sim::Bytes> RequestsOf(EfsCommand c) const {
    std::vector<sim::Bytes> out;
    for (const auto& r : requests)
      if (CommandOf(r) == static_cast<uint16_t>(c)) out.push_back(r);
    return out;
  }
  // A 32-bit field of every request of one command.
  std::vector<uint32_t> FieldOf(EfsCommand c, size_t at) const {
    std::vector<uint32_t> out;
    for (const auto& r : RequestsOf(c)) out.push_back(U32(r, at));
    return out;
  }

  bool Logged(const std::string& text) const { return std::find(lines.begin(), lines.end(), text) != lines.end(); }
  bool LoggedContaining(const std::string& part) const {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
  }
  std::string Error() const { return errors.empty() ? std::string() : errors.front(); }
  static std::string ErrorText(const std::string& text, int code = ERR_GENERIC_FAILURE) {
    return "ERROR, " + text + ", Error code: " + std::to_string(code);
  }

  static sim::Bytes Pattern(size_t n, uint32_t seed = 1) {
    sim::Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 131 + seed * 7) ^ (i % 17 == 0 ? 0x7E : 0x00));
    for (size_t i = 5; i < n; i += 23) b[i] = 0x7D;
    return b;
  }
  static sim::Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static void WriteFile(const std::string& path, const sim::Bytes& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  FakeClock clock;
  ScriptedPortFactory ports{clock};
  EngineCore core{clock, ports, nullptr};
  Link link{core};
  sim::DeviceState state;
  sim::VirtualModemOptions options;
  QuietEfsHost host{state, options};
  sim::EfsSimulation efsSim;
  sim::Deframer deframer;
  Intercept intercept;
  std::vector<sim::Bytes> requests;
  std::vector<std::string> lines, errors;
  std::string root, mirror;
};

}  // namespace zovir::test
