#include "ui/engine_host_served.h"

namespace zovir {

namespace {

class DirectoryPorts final : public ControllerPorts {
 public:
  explicit DirectoryPorts(PortDirectory& d) : d_(d) {}
  int RefreshPortLists() override { return d_.RefreshPortLists(); }
  PortLists Lists() override { return d_.Lists(); }
  ModemFacts Facts() override { return d_.Facts(); }
  void CloseProbePort() override { d_.CloseProbePort(); }
  bool ProbePortOpen() override { return d_.ProbePortOpen(); }
  void SelectSavedPorts(int diagPort, int atPort) override {
    d_.SelectDiagPort("COM" + std::to_string(diagPort));
    d_.SelectModemPort("COM" + std::to_string(atPort));
  }
  bool IsSameDiagPort(int n) override { return d_.IsSameDiagPort(n); }
  void Configure(const ProjectConfiguration& c) override {
    ProbeSettings s;
    s.bCheckProjectCode = c.bCheckProjectCode != 0;
    s.bCheckMainboardType = c.bCheckMainboardType != 0;
    s.bCheckDataCardMemory = c.bCheckDataCardMemory != 0;
    s.bCheckRouterMemory = c.bCheckRouterMemory != 0;
    s.ProjectType = c.ProjectType;
    s.Name = c.Name;
    s.ProjectFlashIdEmpty = c.FlashID.empty();
    d_.SetProbeSettings(s);
    d_.SetEnprg9x15(c.bEnprg9x15 != 0);
  }

 private:
  PortDirectory& d_;
};

}  // namespace

std::unique_ptr<ControllerPorts> MakeDirectoryPorts(PortDirectory& directory) {
  return std::make_unique<DirectoryPorts>(directory);
}

std::string ServedEngineHost::ReadSNEntry() {
  return Served([this] { return savedSN_.empty() ? view_.ReadSNEntry() : savedSN_; });
}
void ServedEngineHost::EnableSNEntry(bool enabled) {
  Served([this, enabled] { view_.EnableSNEntry(enabled); });
}
void ServedEngineHost::OfferSNEntry() {
  Served([this] { view_.OfferSNEntry(); });
}
void ServedEngineHost::FinishSNEntry() {
  Served([this] {
    savedSN_.clear();
    view_.FinishSNEntry();
  });
}
void ServedEngineHost::ShowResultSN(const std::string& sn) {
  Served([this, sn] { view_.ShowResultSN(sn); });
}
std::string ServedEngineHost::SelectedDiagPortName() {
  return Served([this] { return ports_.Lists().PortCBox.SelectedText(); });
}
std::string ServedEngineHost::SelectedModemPortName() {
  return Served([this] { return ports_.Lists().SerialPortCBox.SelectedText(); });
}
void ServedEngineHost::MessageBox(const std::string& text, const std::string& caption) {
  Served([this, text, caption] { view_.Message(text, caption, MessageKind::Plain); });
}
bool ServedEngineHost::IsSameDiagPort(int portNumber) {
  return Served([this, portNumber] { return ports_.IsSameDiagPort(portNumber); });
}
void ServedEngineHost::SetVersionLabel(const std::string& text) {
  Served([this, text] { view_.SetVersionLabel(text); });
}

void ServedEngineHost::RefreshPortLists() {
  Served([this] {
    ports_.RefreshPortLists();
    view_.ShowPorts(ports_.Lists());
  });
}

}  // namespace zovir
