#include "virtual_update.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "discovery/device_flags.h"
#include "link/crc16.h"

#ifndef ZOVIR_TEST_PACKET_DIR
#error "ZOVIR_TEST_PACKET_DIR must name the generated test packet"
#endif

namespace zovir::test {

std::string RecordingHost::ReadSNEntry() {
  std::lock_guard lock(mutex);
  return snEntry;
}

void RecordingHost::MessageBox(const std::string& text, const std::string& caption) {
  std::lock_guard lock(mutex);
  messages.push_back(caption + ": " + text);
}

namespace {

std::filesystem::path MakeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zovir-update-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

int PortNumber(const std::string& name) {
  return name.size() > 3 ? std::atoi(name.c_str() + 3) : 0;
}

uint16_t FileCrc(const std::string& path, uint64_t& size) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size = bytes.size();
  return Crc16X25(bytes.data(), bytes.size());
}

}  // namespace

VirtualUpdate::VirtualUpdate(sim::VirtualModemOptions options) : dir_(MakeTempDir()) {
  options.deviceMapPath = (dir_ / "ports.ini").string();
  if (options.comNumbers == std::vector<int>{7, 8, 9}) options.comNumbers = {7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  if (options.rebootDelayMs == 1000) options.rebootDelayMs = 200;
  modem_ = std::make_unique<sim::VirtualModem>(options);
  modem_->Start();

  names_ = std::make_unique<PortNamespace>(options.deviceMapPath);
  ports_ = std::make_unique<LinuxSerialPortFactory>(*names_);
  discovery_ = std::make_unique<HostDiscovery>(HostDiscoveryOptions{options.deviceMapPath});
  owner_ = std::make_unique<WorkerOwnerThread>();
  directory_ = std::make_unique<PortDirectory>(discovery_->Enumerator(), *ports_, clock_, *owner_);
  host_ = std::make_unique<RecordingHost>(*directory_);
  discovery_->Monitor().Start([this](const DeviceEvent& e) {
    NoteDeviceEvent(e, host_->DeviceChangeSeen(), host_->DeviceArrivalSeen());
  });

  directory_->RefreshPortLists();
  cfg_.ComPort = PortNumber(directory_->SelectedDiagPortName());
  cfg_.SerialComPort = PortNumber(directory_->SelectedModemPortName());
  cfg_.PlatformName = 255;
  cfg_.BackupFilePath = (dir_ / "Backup").string();
  std::filesystem::create_directories(cfg_.BackupFilePath);
  UseTestPacket();
}

VirtualUpdate::~VirtualUpdate() {
  if (engine_) {
    engine_->Stop();
    engine_->WaitFor(30000);
  }
  discovery_->Monitor().Stop();
  directory_.reset();
  owner_.reset();
  modem_->Stop();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string VirtualUpdate::PacketFile(const std::string& name) const {
  return (std::filesystem::path(ZOVIR_TEST_PACKET_DIR) / name).string();
}

void VirtualUpdate::UseTestPacket() {
  auto size = [](const std::string& p) { return static_cast<uint32_t>(std::filesystem::file_size(p)); };
  cfg_.ramFile = PacketFile("NPRG9x06.mbn");
  cfg_.ramFileSize = size(cfg_.ramFile);
  cfg_.partitionFile = PacketFile("partition.mbn");
  cfg_.sbl1File = PacketFile("sbl1.mbn");
  cfg_.sbl1Size = size(cfg_.sbl1File);
  cfg_.tzFile = PacketFile("tz.mbn");
  cfg_.tzFileSize = size(cfg_.tzFile);
  cfg_.qdsp6swFile = PacketFile("qdsp6sw.mbn");
  cfg_.qdsp6swFileSize = size(cfg_.qdsp6swFile);
  cfg_.mbaFile = PacketFile("mba.mbn");
  cfg_.mbaFileSize = size(cfg_.mbaFile);
  cfg_.rpmmbnFile = PacketFile("rpm.mbn");
  cfg_.rpmmbnSize = size(cfg_.rpmmbnFile);
  cfg_.acdbmbnFile = PacketFile("acdb.mbn");
  cfg_.acdbmbnSize = size(cfg_.acdbmbnFile);
  cfg_.AppsImageFile = PacketFile("apps.mbn");
  cfg_.AppsImageSize = size(cfg_.AppsImageFile);
  cfg_.EFSFile = PacketFile("efs.mbn");
  cfg_.EFSFileSize = size(cfg_.EFSFile);
  cfg_.AppEfsFile = PacketFile("efs2apps.mbn");
  cfg_.AppEfsFileSize = size(cfg_.AppEfsFile);
  cfg_.bBootloader = 1;
  cfg_.bEFS = 1;
  cfg_.bAMSSFile = 1;
  cfg_.allTotalFileSize = cfg_.sbl1Size + cfg_.tzFileSize + cfg_.qdsp6swFileSize + cfg_.mbaFileSize +
                          cfg_.rpmmbnSize + cfg_.acdbmbnSize + cfg_.AppsImageSize + cfg_.EFSFileSize +
                          cfg_.AppEfsFileSize;
}

bool VirtualUpdate::Run(uint32_t limitMs) {
  engine_ = std::make_shared<TCommsThread>(clock_, *ports_, host_.get(), ProductionPhases());
  engine_->cfg = cfg_;
  auto record = [this](Report r) {
    std::lock_guard lock(reportsMutex_);
    reports_.push_back(std::move(r));
  };
  engine_->OnStatusText = [record](CommStatus, const std::string& text, int slot, MESSAGE_TYPE kind) {
    record({Report::Status, text, slot, kind});
  };
  engine_->OnError = [record](const std::string& text, int slot) { record({Report::Error, text, slot, 0}); };
  engine_->OnProgress = [record](int position, int slot, int) {
    record({Report::Progress, "", slot, position});
  };
  engine_->Resume();
  return engine_->WaitFor(limitMs);
}

std::vector<Report> VirtualUpdate::Reports() {
  std::lock_guard lock(reportsMutex_);
  return reports_;
}

std::vector<std::string> VirtualUpdate::StatusTexts() {
  std::vector<std::string> out;
  for (const auto& r : Reports())
    if (r.kind != Report::Progress) out.push_back(r.text);
  return out;
}

bool VirtualUpdate::Saw(const std::string& text) {
  for (const auto& t : StatusTexts())
    if (t == text) return true;
  return false;
}

int VirtualUpdate::MaxProgress() {
  int best = -1;
  for (const auto& r : Reports())
    if (r.kind == Report::Progress) best = std::max(best, r.value);
  return best;
}

std::string VirtualUpdate::LastStatus() {
  auto texts = StatusTexts();
  return texts.empty() ? std::string() : texts.back();
}

::testing::AssertionResult VirtualUpdate::PartitionsMatchImages() {
  const std::pair<const char*, std::string> expected[] = {
      {"partition", cfg_.partitionFile}, {"sbl1", cfg_.sbl1File},  {"tz", cfg_.tzFile},
      {"qdsp6sw", cfg_.qdsp6swFile},     {"mba", cfg_.mbaFile},    {"rpm", cfg_.rpmmbnFile},
      {"acdb", cfg_.acdbmbnFile},        {"apps", cfg_.AppsImageFile}, {"efs", cfg_.EFSFile},
      {"efs2apps", cfg_.AppEfsFile},
  };
  const auto held = modem_->Partitions();
  for (const auto& [name, image] : expected) {
    uint64_t size = 0;
    const uint16_t crc = FileCrc(image, size);
    auto it = held.find(name);
    if (it == held.end()) return ::testing::AssertionFailure() << "partition " << name << " was never written";
    if (it->second.size != size || it->second.crc != crc)
      return ::testing::AssertionFailure() << "partition " << name << " holds " << it->second.size << " bytes, CRC "
                                           << it->second.crc << "; image " << size << " bytes, CRC " << crc;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace zovir::test
