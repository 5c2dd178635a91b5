#include "sim/device_map.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

namespace zovir::sim {
namespace {

// Sections of the map in file order, each with its raw lines (unknown keys survive).
struct MapFile {
  std::vector<std::pair<std::string, std::vector<std::string>>> sections;
};

MapFile Load(const std::string& path) {
  MapFile m;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() >= 2 && line.front() == '[' && line.find(']') != std::string::npos) {
      m.sections.push_back({line.substr(1, line.find(']') - 1), {}});
    } else if (!m.sections.empty() && !line.empty()) {
      m.sections.back().second.push_back(line);
    }
  }
  return m;
}

class FileLock {
 public:
  explicit FileLock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_;
};

std::string SectionName(int com) { return "COM" + std::to_string(com); }

}  // namespace

DeviceMap::DeviceMap(std::string path) : path_(std::move(path)) {}

template <typename F>
bool DeviceMap::Update(F&& change) {
  FileLock lock(path_ + ".lock");
  MapFile m = Load(path_);
  change(m);
  std::ostringstream os;
  for (const auto& [name, lines] : m.sections) {
    os << '[' << name << "]\n";
    for (const auto& l : lines) os << l << '\n';
    os << '\n';
  }
  std::ostringstream tmpName;
  tmpName << path_ << ".tmp." << ::getpid() << '.' << std::this_thread::get_id();
  const std::string tmp = tmpName.str();
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << os.str();
    out.flush();
    if (!out) {
      ::unlink(tmp.c_str());
      return false;
    }
  }
  if (::rename(tmp.c_str(), path_.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool DeviceMap::Put(const PortEntry& e) {
  return Update([&](MapFile& m) {
    std::vector<std::string> lines = {"Path=" + e.path, "FriendlyName=" + e.friendlyName, "HardwareId=" + e.hardwareId};
    const std::string name = SectionName(e.com);
    for (auto& s : m.sections) {
      if (s.first == name) {
        s.second = lines;
        return;
      }
    }
    m.sections.push_back({name, lines});
  });
}

bool DeviceMap::Remove(int com) {
  return Update([&](MapFile& m) {
    const std::string name = SectionName(com);
    std::erase_if(m.sections, [&](const auto& s) { return s.first == name; });
  });
}

}  // namespace zovir::sim
