#include "platform/system_services.h"

#ifdef ZOVIR_HAVE_SDBUS
#include <systemd/sd-bus.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#endif

namespace zovir {

#ifdef ZOVIR_HAVE_SDBUS
namespace {

constexpr const char* kModemManager = "org.freedesktop.ModemManager1";
constexpr const char* kModemManagerPath = "/org/freedesktop/ModemManager1";
constexpr const char* kLogin = "org.freedesktop.login1";
constexpr const char* kLoginPath = "/org/freedesktop/login1";
constexpr const char* kLoginManager = "org.freedesktop.login1.Manager";
// A service that does not answer in this time is treated as absent: the update never waits
// for the desktop.
constexpr uint64_t kCallTimeoutUs = 5'000'000;

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;

struct MessageDeleter {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

// The error of a failed call, freed when it goes.
struct CallError {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~CallError() { sd_bus_error_free(&error); }
  std::string Text(int r) const { return error.message ? error.message : std::strerror(-r); }
};

// A private connection to the system bus (its own, so that an inhibition held on it ends
// when it closes, also when the process dies).
Bus OpenSystemBus(const SystemServices::Log& log) {
  sd_bus* bus = nullptr;
  if (int r = sd_bus_open_system(&bus); r < 0) {
    if (log) log(std::string("No system bus: ") + std::strerror(-r));
    return nullptr;
  }
  sd_bus_set_method_call_timeout(bus, kCallTimeoutUs);
  return Bus(bus);
}

// Whether `name` is owned now; never starts a service that is not running.
bool Running(sd_bus* bus, const char* name) {
  CallError e;
  sd_bus_message* reply = nullptr;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                         &e.error, &reply, "s", name) < 0)
    return false;
  Message owned(reply);
  int has = 0;
  return sd_bus_message_read(reply, "b", &has) >= 0 && has;
}

class ModemManagerHold final : public Held {
 public:
  ModemManagerHold(Bus bus, std::string uid, SystemServices::Log log)
      : bus_(std::move(bus)), uid_(std::move(uid)), log_(std::move(log)) {}
  ~ModemManagerHold() override {
    CallError e;
    const int r = sd_bus_call_method(bus_.get(), kModemManager, kModemManagerPath, kModemManager, "InhibitDevice",
                                     &e.error, nullptr, "sb", uid_.c_str(), 0);
    // Closing the connection ends the inhibition too; the error is only worth a line.
    if (log_) log_(r < 0 ? "ModemManager did not confirm the release of " + uid_ + ": " + e.Text(r)
                         : "ModemManager may use " + uid_ + " again");
  }

 private:
  Bus bus_;
  std::string uid_;
  SystemServices::Log log_;
};

class FdHold final : public Held {
 public:
  explicit FdHold(int fd) : fd_(fd) {}
  ~FdHold() override { ::close(fd_); }

 private:
  int fd_;
};

class LinuxSystemServices final : public SystemServices {
 public:
  std::unique_ptr<Held> InhibitModemManager(const std::string& uid, const Log& log) override {
    if (uid.empty()) return nullptr;
    Bus bus = OpenSystemBus(log);
    if (!bus || !Running(bus.get(), kModemManager)) return nullptr;
    CallError e;
    const int r = sd_bus_call_method(bus.get(), kModemManager, kModemManagerPath, kModemManager, "InhibitDevice",
                                     &e.error, nullptr, "sb", uid.c_str(), 1);
    if (r < 0) {
      if (log) log("ModemManager did not inhibit " + uid + ": " + e.Text(r));
      return nullptr;
    }
    if (log) log("ModemManager keeps away from " + uid + " during the update");
    return std::make_unique<ModemManagerHold>(std::move(bus), uid, log);
  }

  std::unique_ptr<Held> InhibitSleep(const std::string& why, const Log& log) override {
    Bus bus = OpenSystemBus(log);
    if (!bus || !Running(bus.get(), kLogin)) return nullptr;
    CallError e;
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_call_method(bus.get(), kLogin, kLoginPath, kLoginManager, "Inhibit", &e.error, &reply, "ssss",
                                     "sleep:shutdown:idle", "quorvel-zovir", why.c_str(), "block");
    if (r < 0) {
      if (log) log("No sleep inhibitor: " + e.Text(r));
      return nullptr;
    }
    Message owned(reply);
    int fd = -1;
    if (sd_bus_message_read(reply, "h", &fd) < 0 || fd < 0) return nullptr;
    // The message owns the descriptor it carries: keep a copy of our own.
    const int held = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (held < 0) return nullptr;
    if (log) log("Sleep, shutdown and idle are blocked during the update");
    return std::make_unique<FdHold>(held);
  }
};

}  // namespace

std::unique_ptr<SystemServices> MakeSystemServices() { return std::make_unique<LinuxSystemServices>(); }

#else

namespace {
class NoSystemServices final : public SystemServices {
 public:
  std::unique_ptr<Held> InhibitModemManager(const std::string&, const Log&) override { return nullptr; }
  std::unique_ptr<Held> InhibitSleep(const std::string&, const Log&) override { return nullptr; }
};
}  // namespace

std::unique_ptr<SystemServices> MakeSystemServices() { return std::make_unique<NoSystemServices>(); }

#endif

}  // namespace zovir
