#include "sim/virtual_modem.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "sim/protocols.h"
#include "sim/pty_port.h"
#include "sim/responders.h"

namespace zovir::sim {

using Clock = std::chrono::steady_clock;

const char* ModeName(ModemMode mode) {
  switch (mode) {
    case ModemMode::Stopped: return "stopped";
    case ModemMode::Normal: return "normal";
    case ModemMode::Rebooting: return "rebooting";
    case ModemMode::BootSahara: return "boot (Sahara)";
    case ModemMode::BootDmss: return "boot (DMSS)";
    case ModemMode::Programmer: return "programmer";
  }
  return "?";
}

namespace {

enum class Role { Diag, At, Terminal, Download };

struct RoleInfo {
  const char* label;  // friendly-name middle part
  const char* hwid;
};

RoleInfo Info(Role r) {
  switch (r) {
    case Role::Diag: return {"HS-USB Diagnostics 9025", "USB\\VID_05C6&PID_9025&REV_0000&MI_00"};
    case Role::Terminal: return {"HS-USB Application Terminal 9025", "USB\\VID_05C6&PID_9025&REV_0000&MI_01"};
    case Role::At: return {"HS-USB Modem AT Port 9025", "USB\\VID_05C6&PID_9025&REV_0000&MI_02"};
    case Role::Download: return {"HS-USB QDLoader 9008", "USB\\VID_05C6&PID_9008&REV_0000"};
  }
  return {"", ""};
}

}  // namespace

class VirtualModem::Impl {
 public:
  struct Port;

  // The PortHost each port's protocol talks to.
  class Host final : public PortHost {
   public:
    Host(Impl& m, Port& p) : m_(m), p_(p) {}
    void Transmit(std::span<const uint8_t> wire) override {
      if (p_.pty) p_.pty->Write(wire, m_.wake_, m_.opt_.writeTimeoutMs);
    }
    FaultPlan& Faults() override { return m_.faults_; }
    DeviceState& State() override { return m_.state_; }
    const VirtualModemOptions& Options() const override { return m_.opt_; }
    void Request(Transition t, int delayMs) override {
      m_.pending_ = Pending{t, Clock::now() + std::chrono::milliseconds(delayMs)};
    }
    void Vanish(int backAfterMs) override {
      p_.vanish = true;
      p_.backAfterMs = backAfterMs;
    }
    bool Pause(int ms) override { return m_.Sleep(ms); }
    void Event(const std::string& text) override { m_.Event(text); }
    void ProgrammerReceived(Bytes image) override {
      std::lock_guard lock(m_.mu_);
      m_.programmer_ = std::move(image);
    }

   private:
    Impl& m_;
    Port& p_;
  };

  struct Port {
    Role role;
    int com = 0;
    std::unique_ptr<PtyPort> pty;
    std::unique_ptr<Host> host;
    std::unique_ptr<PortProtocol> proto;
    Clock::time_point lastInput = Clock::now();
    bool published = false;  // in the device map
    bool vanish = false;
    int backAfterMs = 0;
    Clock::time_point backAt{};
  };

  struct Pending {
    Transition t;
    Clock::time_point at;
  };

  explicit Impl(VirtualModemOptions o)
      : opt_(std::move(o)), state_(opt_.stateDir), faults_(opt_.faults), map_(opt_.deviceMapPath) {
    InstallStandardResponders(diag_, at_);
    for (auto& extra : opt_.extraResponders) extra(diag_, at_);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // A test may fill the state through the stores before the modem starts.
    for (auto& store : opt_.stores) store->Bind(state_);
  }

  ~Impl() {
    Stop();
    for (auto& store : opt_.stores) store->Unbind(state_);
    if (wake_ >= 0) ::close(wake_);
  }

  void Start() {
    if (thread_.joinable()) return;
    // A store may have served another modem since: from now on it serves this one.
    for (auto& store : opt_.stores) store->Bind(state_);
    if (opt_.deviceMapPath.empty()) throw std::runtime_error("no device map path");
    const size_t need = opt_.terminalPort ? 3 : 2;
    if (opt_.comNumbers.size() < need) throw std::runtime_error("not enough COM numbers for the ports");
    if (wake_ < 0) throw std::runtime_error("eventfd failed");
    // Ports nobody can find are no use: make sure the map can be written before any exist.
    if (!map_.Remove(0)) throw std::runtime_error("cannot write the device map " + opt_.deviceMapPath);
    uint64_t stale = 0;  // a previous Stop's signal
    [[maybe_unused]] auto r = ::read(wake_, &stale, sizeof stale);
    pending_.reset();
    switch (opt_.startMode) {
      case ModemMode::BootSahara:
      case ModemMode::BootDmss:
      case ModemMode::Programmer:
        EnterMode(opt_.startMode);
        break;
      default:
        EnterMode(ModemMode::Normal);
    }
    thread_ = std::thread([this] { Loop(); });
  }

  void Stop() {
    if (thread_.joinable()) {
      uint64_t one = 1;
      [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
      thread_.join();
    }
    RemovePorts(false);
    for (auto& v : vanished_) map_.Remove(v->com);
    vanished_.clear();
    SetMode(ModemMode::Stopped);
  }

  // ---------------------------------------------------------------------------------------
  void Loop() {
    std::vector<uint8_t> buf(64 * 1024);
    std::vector<pollfd> fds;
    std::vector<Port*> order;
    for (;;) {
      fds.clear();
      order.clear();
      for (auto& p : ports_) {
        if (!p->pty) continue;
        fds.push_back({p->pty->MasterFd(), POLLIN, 0});
        order.push_back(p.get());
      }
      fds.push_back({wake_, POLLIN, 0});
      ::poll(fds.data(), fds.size(), 20);
      if (fds.back().revents & POLLIN) break;  // Stop
      for (size_t i = 0; i < order.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        Port& p = *order[i];
        size_t n = p.pty->Read(buf.data(), buf.size());
        if (n == 0) continue;
        p.lastInput = Clock::now();
        // While rebooting the device takes nothing in.
        if (mode_ != ModemMode::Rebooting && p.proto && !p.vanish) p.proto->OnBytes(std::span<const uint8_t>(buf.data(), n));
      }
      const auto now = Clock::now();
      for (auto& p : ports_) {
        if (p->proto && p->pty && !p->vanish) p->proto->OnTick(now, p->lastInput);
      }
      // The modem's own slave descriptor keeps each tty open, so an exclusive-open flag a
      // client set would outlive that client and refuse its next open (unless root). Clients
      // exclude each other with flock on the port; the flag is lifted here now and then.
      if (now - lastExclusiveSweep_ > std::chrono::milliseconds(100)) {
        lastExclusiveSweep_ = now;
        for (auto& p : ports_) {
          if (p->pty) p->pty->ClearExclusive();
        }
      }
      ApplyVanish();
      Revive();
      if (pending_ && now >= pending_->at) {
        Pending p = *pending_;
        pending_.reset();
        DoTransition(p.t);
      }
    }
  }

  bool Stopping() const {
    pollfd f{wake_, POLLIN, 0};
    return ::poll(&f, 1, 0) > 0;
  }

  bool Sleep(int ms) {
    pollfd f{wake_, POLLIN, 0};
    return ::poll(&f, 1, ms) == 0;
  }

  void Event(const std::string& text) {
    for (auto& store : opt_.stores) store->OnModemEvent(state_, text);
    if (opt_.onEvent) opt_.onEvent(text);
  }

  void DoTransition(Transition t) {
    switch (t) {
      case Transition::ToProgrammer:
        for (auto& p : ports_) {
          if (p->role == Role::Download) {
            p->proto = MakeProgrammerProtocol(*p->host);
            p->proto->OnStart();
          }
        }
        SetMode(ModemMode::Programmer);
        Event("flash programmer running");
        return;
      case Transition::ToDownloadMode:
        Reboot(opt_.bootProtocol == BootProtocol::Dmss ? ModemMode::BootDmss : ModemMode::BootSahara);
        return;
      case Transition::ToNormal:
      case Transition::PowerOff:
        Reboot(ModemMode::Normal);
        return;
    }
  }

  void Reboot(ModemMode next) {
    const bool keep = opt_.restartPorts == RestartPorts::KeepDiagPort;
    RemovePorts(keep);
    vanished_.clear();  // a port that vanished before the restart comes back as the new mode's
    SetMode(ModemMode::Rebooting);
    Event("restarting into " + std::string(ModeName(next)));
    if (!Sleep(opt_.reenumerateDelayMs)) return;
    // What the tool sent while the device was away is gone.
    uint8_t junk[4096];
    for (auto& p : ports_) {
      while (p->pty && p->pty->Read(junk, sizeof junk) > 0) {
      }
    }
    if (opt_.restartPorts == RestartPorts::NewNumbers) cursor_ += lastPortCount_;
    EnterMode(next);
  }

  int ComFor(size_t index) const {
    const auto& pool = opt_.comNumbers;
    return pool[(cursor_ + index) % pool.size()];
  }

  // Creates (or re-labels) the ports of a mode and publishes them.
  void EnterMode(ModemMode mode) {
    std::vector<Role> roles;
    if (mode == ModemMode::Normal) {
      roles = {Role::Diag, Role::At};
      if (opt_.terminalPort) roles.push_back(Role::Terminal);
    } else {
      roles = {Role::Download};
    }
    lastPortCount_ = roles.size();
    std::unique_ptr<Port> kept;
    {
      std::lock_guard lock(mu_);
      for (auto it = ports_.begin(); it != ports_.end();) {
        if ((*it)->role == Role::Diag || (*it)->role == Role::Download) {
          kept = std::move(*it);
          it = ports_.erase(it);
        } else {
          ++it;
        }
      }
      for (size_t i = 0; i < roles.size(); ++i) {
        auto port = std::make_unique<Port>();
        const bool first = i == 0;
        if (first && kept && kept->pty) {
          port->pty = std::move(kept->pty);
        } else {
          port->pty = std::make_unique<PtyPort>();
        }
        port->role = roles[i];
        // The download port takes the diagnostic port's number unless ports renumber.
        port->com = ComFor(i);
        port->host = std::make_unique<Host>(*this, *port);
        ports_.push_back(std::move(port));
      }
    }
    for (auto& p : ports_) Publish(*p);
    for (auto& p : ports_) {
      switch (p->role) {
        case Role::Diag: p->proto = MakeNormalDiagProtocol(*p->host, diag_); break;
        case Role::At:
        case Role::Terminal: p->proto = MakeAtProtocol(*p->host, at_); break;
        case Role::Download:
          p->proto = mode == ModemMode::Programmer
                         ? MakeProgrammerProtocol(*p->host)
                         : MakeBootProtocol(*p->host, mode == ModemMode::BootDmss ? BootProtocol::Dmss : BootProtocol::Sahara);
          break;
      }
    }
    SetMode(mode);
    for (auto& p : ports_) p->proto->OnStart();
  }

  void Publish(Port& p) {
    RoleInfo info = Info(p.role);
    const std::string prefix = p.role == Role::Download ? "Qualcomm" : opt_.friendlyPrefix;
    p.pty->ClearExclusive();
    PortEntry e{p.com, p.pty->Path(), prefix + " " + info.label + " (COM" + std::to_string(p.com) + ")", info.hwid};
    map_.Put(e);
    {
      std::lock_guard lock(mu_);
      p.published = true;
    }
    cv_.notify_all();
    Event("port COM" + std::to_string(p.com) + " " + e.path + " " + e.friendlyName);
  }

  // Ports vanish: map entries first, then the ptys (the kept diagnostic pty survives).
  void RemovePorts(bool keepDiag) {
    std::vector<std::unique_ptr<Port>> gone;
    {
      std::lock_guard lock(mu_);
      for (auto it = ports_.begin(); it != ports_.end();) {
        map_.Remove((*it)->com);
        (*it)->published = false;
        const bool keep = keepDiag && ((*it)->role == Role::Diag || (*it)->role == Role::Download);
        (*it)->proto.reset();
        if (keep) {
          ++it;
        } else {
          gone.push_back(std::move(*it));
          it = ports_.erase(it);
        }
      }
    }
    gone.clear();
  }

  void ApplyVanish() {
    for (auto it = ports_.begin(); it != ports_.end();) {
      Port& p = **it;
      if (!p.vanish) {
        ++it;
        continue;
      }
      p.vanish = false;
      map_.Remove(p.com);
      {
        std::lock_guard lock(mu_);
        p.published = false;
      }
      Event("port COM" + std::to_string(p.com) + " vanished");
      {
        std::lock_guard lock(mu_);
        p.pty.reset();
        if (p.backAfterMs > 0) {
          p.backAt = Clock::now() + std::chrono::milliseconds(p.backAfterMs);
          vanished_.push_back(std::move(*it));
        }
        it = ports_.erase(it);
      }
    }
  }

  void Revive() {
    const auto now = Clock::now();
    for (auto it = vanished_.begin(); it != vanished_.end();) {
      if (now < (*it)->backAt) {
        ++it;
        continue;
      }
      {
        std::lock_guard lock(mu_);
        (*it)->pty = std::make_unique<PtyPort>();
        ports_.push_back(std::move(*it));
      }
      it = vanished_.erase(it);
      Publish(*ports_.back());
    }
  }

  void SetMode(ModemMode m) {
    {
      std::lock_guard lock(mu_);
      mode_ = m;
      ++entries_[m];
    }
    cv_.notify_all();
    if (m != ModemMode::Stopped) Event(std::string("mode ") + ModeName(m));
  }

  VirtualModemOptions opt_;
  DeviceState state_;
  FaultPlan faults_;
  DeviceMap map_;
  DiagDispatcher diag_;
  AtDispatcher at_;
  int wake_ = -1;
  std::thread thread_;
  std::vector<std::unique_ptr<Port>> ports_;
  std::vector<std::unique_ptr<Port>> vanished_;
  std::optional<Pending> pending_;
  Clock::time_point lastExclusiveSweep_{};
  size_t cursor_ = 0;
  size_t lastPortCount_ = 0;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  ModemMode mode_ = ModemMode::Stopped;
  std::map<ModemMode, uint32_t> entries_;
  Bytes programmer_;
};

void VirtualModemOptions::AddStore(std::shared_ptr<StateBoundStore> store) {
  if (!store) return;
  for (const auto& s : stores) {
    if (s == store) return;
  }
  stores.push_back(std::move(store));
}

VirtualModem::VirtualModem(VirtualModemOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
VirtualModem::~VirtualModem() = default;
void VirtualModem::Start() { impl_->Start(); }
void VirtualModem::Stop() { impl_->Stop(); }

ModemMode VirtualModem::Mode() const {
  std::lock_guard lock(impl_->mu_);
  return impl_->mode_;
}

bool VirtualModem::WaitForMode(ModemMode mode, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mu_);
  return impl_->cv_.wait_for(lock, timeout, [&] { return impl_->mode_ == mode; });
}

bool VirtualModem::WaitForPort(int com, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mu_);
  return impl_->cv_.wait_for(lock, timeout, [&] {
    for (const auto& p : impl_->ports_) {
      if (p->com == com && p->published) return true;
    }
    return false;
  });
}

uint32_t VirtualModem::ModeEntries(ModemMode mode) const {
  std::lock_guard lock(impl_->mu_);
  auto it = impl_->entries_.find(mode);
  return it == impl_->entries_.end() ? 0 : it->second;
}

std::vector<PortEntry> VirtualModem::Ports() const {
  std::lock_guard lock(impl_->mu_);
  std::vector<PortEntry> out;
  for (const auto& p : impl_->ports_) {
    if (!p->pty) continue;
    RoleInfo info = Info(p->role);
    const std::string prefix = p->role == Role::Download ? "Qualcomm" : impl_->opt_.friendlyPrefix;
    out.push_back({p->com, p->pty->Path(), prefix + " " + info.label + " (COM" + std::to_string(p->com) + ")", info.hwid});
  }
  return out;
}

DeviceState& VirtualModem::State() { return impl_->state_; }
std::map<std::string, PartitionSummary> VirtualModem::Partitions() const { return impl_->state_.Partitions(); }
uint32_t VirtualModem::CommandCount(const std::string& key) const { return impl_->faults_.Count(key); }
std::vector<FaultRule> VirtualModem::FiredFaults() const { return impl_->faults_.Fired(); }
const VirtualModemOptions& VirtualModem::Options() const { return impl_->opt_; }

Bytes VirtualModem::ReceivedProgrammer() const {
  std::lock_guard lock(impl_->mu_);
  return impl_->programmer_;
}

}  // namespace zovir::sim
