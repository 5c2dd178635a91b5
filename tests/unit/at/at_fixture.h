#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine_core.h"
#include "link/link.h"
#include "platform/fake_clock.h"
#include "preservation/at_channel.h"
#include "support/scripted_port.h"

namespace zovir::test {

// The AT side of a modem for protocol tests on a ScriptedPort: command lines end at CR; each
// line gets the reply of its exact text, else of the longest matching prefix, else
// `defaultReply`. A reply may come in pieces that arrive later on the FakeClock.
class FakeATModem {
 public:
  using Pieces = std::vector<std::pair<uint64_t, std::string>>;  // (delay after the command, text)

  std::map<std::string, std::string> replies;
  std::map<std::string, std::string> prefixReplies;
  std::map<std::string, Pieces> pieces;
  std::string defaultReply = "\r\nOK\r\n";
  bool echo = false;
  std::vector<std::string> lines;  // command lines received, in order

  void Attach(ScriptedPort& port) {
    port_ = &port;
    port.SetResponder([this](const std::vector<uint8_t>& w) { return Handle(w); });
  }

  // Lines received that start with `prefix`.
  std::vector<std::string> LinesStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& l : lines)
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
  }

 private:
  std::vector<uint8_t> Handle(const std::vector<uint8_t>& written) {
    std::string out;
    for (uint8_t b : written) {
      if (b == '\n') continue;
      if (b != '\r') {
        pending_.push_back(static_cast<char>(b));
        continue;
      }
      if (pending_.empty()) continue;
      const std::string line = std::move(pending_);
      pending_.clear();
      lines.push_back(line);
      if (echo) out += line + "\r";
      auto p = pieces.find(line);
      if (p != pieces.end()) {
        for (const auto& [delay, text] : p->second) {
          if (delay == 0)
            out += text;
          else
            port_->QueueBytesAfter(delay, std::vector<uint8_t>(text.begin(), text.end()));
        }
        continue;
      }
      out += ReplyFor(line);
    }
    return {out.begin(), out.end()};
  }

  std::string ReplyFor(const std::string& line) const {
    auto r = replies.find(line);
    if (r != replies.end()) return r->second;
    const std::string* best = nullptr;
    size_t bestLength = 0;
    for (const auto& [prefix, reply] : prefixReplies) {
      if (line.rfind(prefix, 0) == 0 && prefix.size() >= bestLength) {
        best = &reply;
        bestLength = prefix.size();
      }
    }
    return best ? *best : defaultReply;
  }

  ScriptedPort* port_ = nullptr;
  std::string pending_;
};

struct StatusLine {
  CommStatus status;
  std::string text;
  MESSAGE_TYPE kind;
};

// An engine core on a FakeClock whose modem port (COM8) is answered by a FakeATModem and whose
// diagnostic port is COM7; every report recorded; a private folder.
class ATFixture : public ::testing::Test {
 protected:
  ATFixture() {
    core.cfg.ComPort = 7;
    core.cfg.SerialComPort = 8;
    modem.Attach(ports.Port("COM8"));
    core.OnStatusText = [this](CommStatus s, const std::string& t, int, MESSAGE_TYPE k) {
      lines.push_back({s, t, k});
    };
    core.OnError = [this](const std::string& t, int) { errors.push_back(t); };
    EXPECT_TRUE(link.OpenModemPort());
    lines.clear();
    char tmpl[] = "/tmp/zovir-at-XXXXXX";
    dir = mkdtemp(tmpl);
  }
  ~ATFixture() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  ScriptedPort& modemPort() { return ports.Port("COM8"); }
  ScriptedPort& diagPort() { return ports.Port("COM7"); }

  bool Logged(const std::string& text) const {
    for (const auto& l : lines)
      if (l.text == text) return true;
    return false;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const auto& l : lines) out.push_back(l.text);
    return out;
  }
  std::string Error() const { return errors.empty() ? std::string() : errors.front(); }
  static std::string ErrorText(const std::string& text, int code = ERR_GENERIC_FAILURE) {
    return "ERROR, " + text + ", Error code: " + std::to_string(code);
  }
  static std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
  }

  FakeClock clock;
  ScriptedPortFactory ports{clock};
  EngineCore core{clock, ports, nullptr};
  Link link{core};
  FakeATModem modem;
  std::vector<StatusLine> lines;
  std::vector<std::string> errors;
  std::string dir;
};

}  // namespace zovir::test
