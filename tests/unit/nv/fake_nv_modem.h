#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "link/crc16.h"

namespace zovir::test {

// The DIAG side of NV access, just enough for protocol tests on a ScriptedPort: NV read and
// write, the extended build ID and the factory-test RF NV commands. Replies carry no
// opening flag, like a modem's.
class FakeNVModem {
 public:
  enum class Fault { Silence, BadCheck, Truncate, WrongItem, WrongCode, Extend };

  struct Item {
    std::array<uint8_t, 128> data{};
    uint8_t status = 0;                 // status of a read
    std::optional<uint8_t> writeStatus;  // status of a write (stored only when 0)
    std::deque<uint8_t> failedReads;     // statuses of the next reads, one each, before `status`
  };
  struct RFItem {
    std::vector<uint8_t> data;
    uint8_t status = 0;  // 0 read ok, 1 read failed, 4 inactive
    uint8_t writeStatus = 2;  // 2 write ok, 3 write failed
  };

  std::map<uint16_t, Item> items;  // absent items read as inactive (5)
  std::map<uint16_t, RFItem> rf;   // absent RF items read as inactive (4)
  uint8_t buildVersion = 2;
  uint32_t modelId = 0x00010507;  // platform code 7 in the low byte
  std::deque<Fault> faults;       // applied to the next replies, one each
  std::vector<std::vector<uint8_t>> requests;  // deframed payloads received

  std::vector<uint8_t> Handle(const std::vector<uint8_t>& written) {
    std::vector<uint8_t> payload;
    if (!Deframe(written, payload)) return {};
    requests.push_back(payload);
    std::vector<uint8_t> reply = Dispatch(payload);
    if (reply.empty()) return {};
    std::optional<Fault> fault;
    if (!faults.empty()) {
      fault = faults.front();
      faults.pop_front();
    }
    if (fault == Fault::Silence) return {};
    if (fault == Fault::WrongItem && reply.size() > 2) reply[1] ^= 1;
    if (fault == Fault::WrongItem && reply.size() > 13 && reply[0] == 0x4B) reply[12] ^= 1;
    if (fault == Fault::WrongCode) reply[0] ^= 0x40;
    if (fault == Fault::Truncate) reply.pop_back();
    if (fault == Fault::Extend) reply.push_back(0);
    return Frame(reply, fault == Fault::BadCheck);
  }

  static std::vector<uint8_t> Frame(const std::vector<uint8_t>& payload, bool corruptCheck = false) {
    std::vector<uint8_t> raw = payload;
    uint16_t crc = Crc16X25(payload.data(), payload.size());
    if (corruptCheck) crc ^= 0x0101;
    raw.push_back(static_cast<uint8_t>(crc & 0xFF));
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

 private:
  static bool Deframe(const std::vector<uint8_t>& w, std::vector<uint8_t>& payload) {
    std::vector<uint8_t> raw;
    for (size_t i = 0; i < w.size(); ++i) {
      if (w[i] == 0x7E) continue;
      if (w[i] == 0x7D && i + 1 < w.size()) {
        raw.push_back(w[++i] ^ 0x20);
      } else {
        raw.push_back(w[i]);
      }
    }
    if (raw.size() < 3 || Crc16Update(kCrc16Init, raw.data(), raw.size()) != kCrc16Residue) return false;
    payload.assign(raw.begin(), raw.end() - 2);
    return true;
  }

  static uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

  std::vector<uint8_t> Dispatch(const std::vector<uint8_t>& p) {
    if (p[0] == 0x7C && p.size() == 1) {
      std::vector<uint8_t> r{0x7C, buildVersion, 0, 0, 0, 0, 0, 0};
      for (int i = 0; i < 4; ++i) r.push_back(static_cast<uint8_t>(modelId >> (8 * i)));
      for (char c : std::string("BUILD.1")) r.push_back(static_cast<uint8_t>(c));
      r.push_back(0);
      return r;
    }
    if ((p[0] == 0x26 || p[0] == 0x27) && p.size() == 133) {
      std::vector<uint8_t> r = p;
      const uint16_t id = Le16(&p[1]);
      uint8_t status = 0;
      auto it = items.find(id);
      if (p[0] == 0x26 && it != items.end() && !it->second.failedReads.empty()) {
        // A read the modem failed: the request comes back with the status, no data.
        status = it->second.failedReads.front();
        it->second.failedReads.pop_front();
      } else if (p[0] == 0x26) {
        status = it == items.end() ? 5 : it->second.status;
        if (it != items.end() && status == 0) std::copy(it->second.data.begin(), it->second.data.end(), r.begin() + 3);
      } else {
        Item& item = items[id];
        status = item.writeStatus.value_or(item.status == 7 ? 7 : 0);
        if (status == 0) {
          std::copy(p.begin() + 3, p.begin() + 131, item.data.begin());
          item.status = 0;
        }
      }
      r[131] = status;
      r[132] = 0;
      return r;
    }
    if (p[0] == 0x4B && p.size() >= 12 && p[1] == 0x0B) {
      std::vector<uint8_t> r(p.begin(), p.begin() + 10);
      const uint16_t cmd = Le16(&p[4]);
      const uint16_t id = Le16(&p[10]);
      if (cmd == 0x025C) {
        auto it = rf.find(id);
        const uint8_t status = it == rf.end() ? 4 : it->second.status;
        const std::vector<uint8_t> data = (it != rf.end() && status == 0) ? it->second.data : std::vector<uint8_t>{};
        r.insert(r.end(), {status, 0, static_cast<uint8_t>(id & 0xFF), static_cast<uint8_t>(id >> 8),
                           static_cast<uint8_t>(data.size() & 0xFF), static_cast<uint8_t>(data.size() >> 8)});
        r.insert(r.end(), data.begin(), data.end());
        return r;
      }
      if (cmd == 0x025D && p.size() >= 14) {
        const uint16_t n = Le16(&p[12]);
        RFItem& item = rf[id];
        const uint8_t status = item.writeStatus;
        if (status == 2 && p.size() == 14u + n) {
          item.data.assign(p.begin() + 14, p.end());
          item.status = 0;
        }
        r.insert(r.end(), {status, 0, static_cast<uint8_t>(id & 0xFF), static_cast<uint8_t>(id >> 8), 0, 0});
        return r;
      }
    }
    return {0x13};  // bad command
  }
};

}  // namespace zovir::test
