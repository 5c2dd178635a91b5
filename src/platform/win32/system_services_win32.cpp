#include "platform/system_services.h"
#include "platform/win32/win32_text.h"

namespace zovir {
namespace {

// The system stays awake (the display may go dark) while this thread asks it to; the object is
// released on the thread that made it, as an update's guard is.
class Awake final : public Held {
 public:
  ~Awake() override { SetThreadExecutionState(ES_CONTINUOUS); }
};

class Win32SystemServices final : public SystemServices {
 public:
  // Windows has no modem manager that opens a modem's ports behind the tool's back.
  std::unique_ptr<Held> InhibitModemManager(const std::string&, const Log&) override { return nullptr; }

  std::unique_ptr<Held> InhibitSleep(const std::string&, const Log& log) override {
    if (SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0) {
      if (log) log("sleep is not held off (error " + std::to_string(GetLastError()) + ")");
      return nullptr;
    }
    return std::make_unique<Awake>();
  }
};

}  // namespace

std::unique_ptr<SystemServices> MakeSystemServices() { return std::make_unique<Win32SystemServices>(); }

}  // namespace zovir
