// DIAG replies to the NV, RF and EFS exchanges of the data preservation.
#include <filesystem>
#include <string>

#include "fuzz_support.h"
#include "preservation/efs_files.h"
#include "preservation/nv_items.h"

using namespace zovir;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader in(data, size);
  const uint8_t choice = in.Byte();
  std::vector<fuzz::Bytes> replies;
  while (!in.Empty()) replies.push_back(in.Piece());

  fuzz::PortRig rig(std::move(replies), 300);
  const std::string dir = fuzz::TempDir() + "/backup";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir + "/efs");
  rig.core.cfg.bakFile = dir + "/nv.bak";
  rig.core.run.nv1bakFile = dir + "/nv1.bak";
  rig.OpenDiag();
  if (!rig.core.hDiagPort) return 0;
  switch (choice % 6) {
    case 0: {
      NVItems nv(rig.core, rig.link);
      (void)nv.GetPlatformID();
      break;
    }
    case 1: {
      NVItems nv(rig.core, rig.link);
      nv.BuildNVLists();
      nv.BackupNV();
      break;
    }
    case 2: {
      NVItems nv(rig.core, rig.link);
      nv.BuildNVLists();
      nv.BackupRFNV();
      break;
    }
    case 3: {
      EFSFiles efs(rig.core, rig.link);
      (void)efs.EFSEnumDir("/");
      break;
    }
    case 4: {
      EFSFiles efs(rig.core, rig.link);
      uint32_t fileSize = 0;
      if (efs.EFSFileSizeAndOpen("/nv/item_files/x", fileSize) == 0 && fileSize > 0) {
        (void)efs.EFSReadFileToLocal(dir + "/efs/x", fileSize, dir + "/efs");
      }
      break;
    }
    default: {
      EFSFiles efs(rig.core, rig.link);
      (void)efs.IsEFSFileAbsent("/user/file");
      const uint8_t bytes[5] = {1, 2, 3, 4, 5};
      if (efs.EFSOpenForWrite("/user/file") == 0) (void)efs.EFSWriteBlock(0, bytes, 5);
      (void)efs.EFSCloseFile();
      break;
    }
  }
  return 0;
}
