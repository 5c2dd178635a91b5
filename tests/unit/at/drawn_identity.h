#pragma once
#include <cstdint>
#include <random>
#include <string>

#include "sim/at_identity.h"
#include "sim/device_state.h"

namespace zovir::test {

// Identity values and oscillator files drawn from `seed`, as a factory might have left them in
// a modem: serial number, IMEI, test information without UIT results (which the backup does
// not carry) and the five oscillator files.
inline void DrawIdentity(sim::DeviceState& state, uint32_t seed) {
  std::mt19937 rng(seed);
  const auto text = [&rng](const std::string& alphabet, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += alphabet[rng() % alphabet.size()];
    return out;
  };
  state.SetIdentity("SN", text("ABCDEFGHJKLMNPQRSTUVWXYZ0123456789", 8 + rng() % 10));
  state.SetIdentity("IMEI", text("123456789", 1) + text("0123456789", 14));
  std::string testInfo;
  for (uint32_t i = 0, n = 1 + rng() % 5; i < n; ++i)
    testInfo += (i ? "," : "") + text("ABCDEFGHIJKLMNOPQRSTUVWXYZ", 2 + rng() % 4) + (rng() % 4 ? ":PASS" : ":FAIL");
  state.SetIdentity("TESTINF", testInfo);
  for (const std::string& file : sim::AtIdentityStore::OscillatorFiles()) {
    sim::Bytes data(4 + rng() % 60);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    state.SetEfsFile(file, data);
  }
}

}  // namespace zovir::test
