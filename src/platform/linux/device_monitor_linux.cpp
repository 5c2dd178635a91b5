#include "platform/linux/device_monitor_linux.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <vector>

#ifdef ZOVIR_HAVE_UDEV
#include <libudev.h>
#endif

namespace zovir {

struct LinuxDeviceMonitor::Udev {
#ifdef ZOVIR_HAVE_UDEV
  struct udev* context = nullptr;
  struct udev_monitor* monitor = nullptr;
  ~Udev() {
    if (monitor) udev_monitor_unref(monitor);
    if (context) udev_unref(context);
  }
  int Fd() const { return monitor ? udev_monitor_get_fd(monitor) : -1; }
  void Drain() {
    while (struct udev_device* device = udev_monitor_receive_device(monitor)) udev_device_unref(device);
  }
#else
  int Fd() const { return -1; }
  void Drain() {}
#endif
};

namespace {

#ifdef ZOVIR_HAVE_UDEV
// The netlink events of libudev come from the udev daemon; without it nothing arrives.
bool UdevDaemonRuns() { return ::access("/run/udev/control", F_OK) == 0; }
#endif

void DrainFd(int fd) {
  std::array<char, 4096> buffer;
  while (::read(fd, buffer.data(), buffer.size()) > 0) {
  }
}

}  // namespace

LinuxDeviceMonitor::LinuxDeviceMonitor(DeviceEnumerator& enumerator, LinuxDeviceMonitorOptions options)
    : enumerator_(enumerator), options_(std::move(options)) {}

LinuxDeviceMonitor::~LinuxDeviceMonitor() { Stop(); }

bool LinuxDeviceMonitor::Take(Snapshot& out) {
  std::vector<SerialCommEntry> entries;
  if (!enumerator_.ListSerialPorts(entries)) return false;
  std::vector<PortDevice> devices;
  enumerator_.ListPortDevices(devices);
  out.clear();
  for (const SerialCommEntry& e : entries) out[e.PortName].path = e.ValueName;
  for (const PortDevice& d : devices) {
    for (auto& [name, seen] : out)
      if (seen.path == d.Path) seen.identity = d.HardwareId + "\n" + d.FriendlyName;
  }
  return true;
}

bool LinuxDeviceMonitor::Start(Callback callback) {
  std::lock_guard lock(startStop_);
  if (thread_.joinable()) return false;
  callback_ = std::move(callback);
  stopFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (stopFd_ < 0) return false;

  if (!options_.deviceMapPath.empty()) {
    const std::filesystem::path map(options_.deviceMapPath);
    mapFileName_ = map.filename().string();
    const std::filesystem::path folder = map.has_parent_path() ? map.parent_path() : std::filesystem::path(".");
    inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd_ >= 0) {
      mapWatch_ = ::inotify_add_watch(inotifyFd_, folder.c_str(),
                                      IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_MODIFY);
      if (mapWatch_ < 0) {
        ::close(inotifyFd_);
        inotifyFd_ = -1;
      }
    }
  }

  udevActive_ = false;
#ifdef ZOVIR_HAVE_UDEV
  if (options_.useUdev && UdevDaemonRuns()) {
    auto u = std::make_unique<Udev>();
    u->context = udev_new();
    if (u->context) u->monitor = udev_monitor_new_from_netlink(u->context, "udev");
    if (u->monitor && udev_monitor_filter_add_match_subsystem_devtype(u->monitor, "tty", nullptr) == 0 &&
        udev_monitor_enable_receiving(u->monitor) == 0) {
      udev_ = std::move(u);
      udevActive_ = true;
    }
  }
#endif

  last_.clear();
  Take(last_);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void LinuxDeviceMonitor::Stop() {
  std::lock_guard lock(startStop_);
  if (thread_.joinable()) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(stopFd_, &one, sizeof one);
    thread_.join();
  }
  if (inotifyFd_ >= 0) ::close(inotifyFd_);
  if (stopFd_ >= 0) ::close(stopFd_);
  inotifyFd_ = stopFd_ = mapWatch_ = -1;
  udev_.reset();
  udevActive_ = false;
}

void LinuxDeviceMonitor::Compare() {
  Snapshot now;
  // A scan that fails says nothing about the ports; the next one will.
  if (!Take(now)) return;
  for (const auto& [name, seen] : last_) {
    auto it = now.find(name);
    if (it == now.end() || it->second != seen) callback_({DeviceEventKind::Removal, name, seen.path});
  }
  for (const auto& [name, seen] : now) {
    auto it = last_.find(name);
    if (it == last_.end() || it->second != seen) callback_({DeviceEventKind::Arrival, name, seen.path});
  }
  last_ = std::move(now);
}

void LinuxDeviceMonitor::Run() {
  const int interval = udevActive_ ? options_.udevSafetyIntervalMs : options_.pollIntervalMs;
  for (;;) {
    std::vector<pollfd> fds{{stopFd_, POLLIN, 0}};
    if (inotifyFd_ >= 0) fds.push_back({inotifyFd_, POLLIN, 0});
    if (udev_) fds.push_back({udev_->Fd(), POLLIN, 0});
    const int ready = ::poll(fds.data(), fds.size(), interval);
    if (ready < 0 && errno != EINTR) return;
    if (fds[0].revents & POLLIN) return;
    bool relevant = ready == 0;  // the timer
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      if (fds[i].fd == inotifyFd_) {
        std::array<char, 4096> buffer;
        ssize_t n;
        while ((n = ::read(inotifyFd_, buffer.data(), buffer.size())) > 0) {
          for (ssize_t off = 0; off < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + off);
            if (event->len > 0 && mapFileName_ == event->name) relevant = true;
            if (event->mask & IN_Q_OVERFLOW) relevant = true;
            off += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
          }
        }
      } else if (udev_ && fds[i].fd == udev_->Fd()) {
        udev_->Drain();
        relevant = true;
      } else {
        DrainFd(fds[i].fd);
      }
    }
    if (relevant) Compare();
  }
}

}  // namespace zovir
