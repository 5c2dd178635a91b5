#pragma once
#include <atomic>
#include <memory>
#include <string>

#include "platform/system_services.h"

namespace zovir::test {

// What an update asked the desktop to hold, and what it holds still.
struct ServiceHolds {
  std::atomic<int> sleepHeld{0}, sleepAsked{0}, modemManagerAsked{0};
};

// The desktop's services without a bus: the sleep inhibitor is granted and counted while it
// lives; the modem manager is only counted (asked for a USB device).
class FakeServices final : public SystemServices {
 public:
  explicit FakeServices(std::shared_ptr<ServiceHolds> holds) : holds_(std::move(holds)) {}
  std::unique_ptr<Held> InhibitModemManager(const std::string&, const Log&) override {
    ++holds_->modemManagerAsked;
    return nullptr;
  }
  std::unique_ptr<Held> InhibitSleep(const std::string&, const Log&) override {
    ++holds_->sleepAsked;
    ++holds_->sleepHeld;
    return std::make_unique<Hold>(holds_);
  }

 private:
  struct Hold final : Held {
    explicit Hold(std::shared_ptr<ServiceHolds> h) : holds(std::move(h)) {}
    ~Hold() override { --holds->sleepHeld; }
    std::shared_ptr<ServiceHolds> holds;
  };
  std::shared_ptr<ServiceHolds> holds_;
};

}  // namespace zovir::test
