#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine_core.h"
#include "platform/fake_clock.h"
#include "support/scripted_port.h"

namespace zovir::test {
namespace {

// The error text of a run's first failure names the very code the run ends with.
TEST(EngineCoreError, TextAndResultCarryTheSameCode) {
  struct Case {
    const char* name;
    int systemError;
    int code;
    const char* text;
  };
  const Case cases[] = {
      {"no system error", 0, ERR_GENERIC_FAILURE, "ERROR, Could not open COMM port, Error code: 31"},
      {"system error 87", 87, 87, "ERROR, Could not open COMM port, Error code: 87"},
      {"system error 5", 5, 5, "ERROR, Could not open COMM port, Error code: 5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClock clock;
    ScriptedPortFactory ports(clock);
    EngineCore core(clock, ports, nullptr);
    std::vector<std::string> errors;
    core.OnError = [&](const std::string& t, int) { errors.push_back(t); };
    core.SetSystemError(c.systemError);
    core.ReportError("Could not open COMM port");
    // A later failure changes neither the code nor the text.
    core.SetSystemError(2);
    core.ReportError("Could not set COMM timeouts");
    EXPECT_EQ(core.ErrorCode.load(), c.code);
    EXPECT_EQ(core.StatusText, c.text);
    EXPECT_EQ(errors, std::vector<std::string>{c.text});
    EXPECT_EQ(core.StatusText, "ERROR, Could not open COMM port, Error code: " + std::to_string(core.ErrorCode.load()));
  }
}

}  // namespace
}  // namespace zovir::test
