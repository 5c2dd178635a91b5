#pragma once
#include <functional>
#include <memory>
#include <string>

namespace zovir {

// Something the system holds for us until it is destroyed (an inhibition, a lock).
class Held {
 public:
  virtual ~Held() = default;
};

// The desktop's services an update must keep out of its way: the modem manager, which probes
// and opens every modem port it sees, and the power manager, which may put the machine to
// sleep half-way through an image. Each request returns null when the service is not running
// or refused (the reason goes to `log`); an update goes on either way.
class SystemServices {
 public:
  using Log = std::function<void(const std::string&)>;
  virtual ~SystemServices() = default;
  // Keeps the modem manager's hands off the USB device `usbDevicePath` (its sysfs path) while
  // the returned object lives, restarts and re-enumerations of the device included.
  virtual std::unique_ptr<Held> InhibitModemManager(const std::string& usbDevicePath, const Log& log) = 0;
  // Blocks sleep, shutdown and idle while the returned object lives.
  virtual std::unique_ptr<Held> InhibitSleep(const std::string& why, const Log& log) = 0;
};

// The system's services (D-Bus on Linux); a no-op set where there are none.
std::unique_ptr<SystemServices> MakeSystemServices();

}  // namespace zovir
