#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine_core.h"
#include "link/crc16.h"
#include "link/link.h"
#include "platform/fake_clock.h"
#include "support/scripted_port.h"

namespace zovir::test {

struct Report {
  std::string text;
  int status;
  int kind;
};

// One engine core with a scripted diagnostic port COM7 and modem port COM8, a Link on it,
// and every report recorded.
class LinkFixture : public ::testing::Test {
 protected:
  LinkFixture() : ports(clock), core(clock, ports, nullptr), link(core) {
    core.cfg.ComPort = 7;
    core.cfg.SerialComPort = 8;
    core.cfg.ProjectType = 3;
    ports.Port("COM7");
    ports.Port("COM8");
    core.OnStatusText = [this](CommStatus s, const std::string& t, int, MESSAGE_TYPE k) {
      reports.push_back({t, s, k});
    };
    core.OnError = [this](const std::string& t, int) { errors.push_back(t); };
  }

  ScriptedPort& diag() { return ports.Port("COM7"); }
  ScriptedPort& modem() { return ports.Port("COM8"); }

  void OpenDiag() {
    link.OpenDiagPort();
    ASSERT_TRUE(core.hDiagPort);
    reports.clear();
  }

  int CountReports(const std::string& text) const {
    int n = 0;
    for (const auto& r : reports) n += r.text == text;
    return n;
  }

  // Payload + CRC, escaped, closing flag; no opening flag.
  static std::vector<uint8_t> Encode(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> raw = payload;
    const uint16_t crc = Crc16X25(payload.data(), payload.size());
    raw.push_back(static_cast<uint8_t>(crc));
    raw.push_back(static_cast<uint8_t>(crc >> 8));
    std::vector<uint8_t> out;
    for (uint8_t b : raw) {
      if (b == 0x7E || b == 0x7D) {
        out.push_back(0x7D);
        out.push_back(b ^ 0x20);
      } else {
        out.push_back(b);
      }
    }
    out.push_back(0x7E);
    return out;
  }
  static std::vector<uint8_t> Flagged(const std::vector<uint8_t>& payload) {
    auto out = Encode(payload);
    out.insert(out.begin(), 0x7E);
    return out;
  }
  static std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  FakeClock clock;
  ScriptedPortFactory ports;
  EngineCore core;
  Link link;
  std::vector<Report> reports;
  std::vector<std::string> errors;
};

}  // namespace zovir::test
