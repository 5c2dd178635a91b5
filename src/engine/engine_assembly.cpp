#include "engine/engine_assembly.h"

#include <memory>

#include "preservation/nv_items.h"
#include "protocols/protocol_phases.h"

namespace zovir {
namespace {

// Stands in for a collaborator this build does not carry yet. It never pretends to have done
// its work: every call is an engine error, so a run that needs it cannot reach "PASS".
class MissingCollaborator final : public ATChannel, public IdentityService, public UserDataService, public LocalFolders {
 public:
  explicit MissingCollaborator(EngineCore& core) : core_(core) {}

  bool SendATCommand(const std::string&, std::string&) override { return Fail("AT channel"); }
  void RunStartATList() override { Fail("AT channel"); }
  void RunEndATList() override { Fail("AT channel"); }
  void ShowModemVersion() override { Fail("AT channel"); }

  int ReadIdentity() override { return Fail("identity backup") ? 1 : 0; }
  void WriteIdentityBackup() override { Fail("identity backup"); }
  FileCopyResult ScrambleFile(const std::string&, const std::string&) override {
    Fail("identity backup");
    return FileCopyResult::SourceOpenFailed;
  }
  FileCopyResult UnscrambleFile(const std::string&, const std::string&) override {
    Fail("identity backup");
    return FileCopyResult::SourceOpenFailed;
  }
  int RestoreIdentity() override { return Fail("identity restore") ? 1 : 0; }
  int RunResetHelper() override { return Fail("reset helper") ? 1 : 0; }

  void PrepareUserData() override { Fail("user data"); }
  void BackupUserData() override { Fail("user data"); }
  void RestoreUserData() override { Fail("user data"); }

  bool MakeLocalFolder(const std::string&) override { return Fail("backup folders"); }
  int DeleteLocalFolder(const std::string&) override { return Fail("backup folders") ? 1 : 0; }

 private:
  bool Fail(const char* what) {
    core_.ReportError(std::string("Not supported by this build: ") + what);
    return false;
  }
  EngineCore& core_;
};

struct ProductionPhaseSet final : PhaseSet {
  ProductionPhaseSet(EngineCore& core, Link& link) : protocols(core, link), nv(core, link), missing(core) {
    protocols.Fill(phases);
    phases.nv = &nv;
    phases.at = &missing;
    phases.identity = &missing;
    phases.userData = &missing;
    phases.folders = &missing;
  }
  ProtocolPhases protocols;
  NVItems nv;
  MissingCollaborator missing;
};

}  // namespace

PhaseFactory ProductionPhases() {
  return [](EngineCore& core, Link& link) -> std::unique_ptr<PhaseSet> {
    return std::make_unique<ProductionPhaseSet>(core, link);
  };
}

}  // namespace zovir
