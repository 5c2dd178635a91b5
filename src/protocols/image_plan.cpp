#include "protocols/image_plan.h"

#include "platform/regular_file.h"

namespace zovir {

namespace {

constexpr uint8_t kOpenReply[] = {0x1C, 0x00};
constexpr uint8_t kSbl1[] = {0x1B, 0x0E, '0', ':', 'S', 'B', 'L', 0x00};
constexpr uint8_t kTz[] = {0x1B, 0x0E, '0', ':', 'T', 'Z', 0x00};
constexpr uint8_t kQdsp[] = {0x1B, 0x0E, '0', ':', 'Q', 'D', 'S', 'P', 0x00};
constexpr uint8_t kMba[] = {0x1B, 0x0E, '0', ':', 'M', 'B', 'A', 0x00};
constexpr uint8_t kRpm[] = {0x1B, 0x0E, '0', ':', 'R', 'P', 'M', 0x00};
constexpr uint8_t kAcdb[] = {0x1B, 0x0E, '0', ':', 'A', 'C', 'D', 'B', 0x00};

constexpr tagImgCmdPara Record(const uint8_t* command, int length, const char* name) {
  return {command, length, name, kOpenReply, static_cast<int>(sizeof kOpenReply)};
}

}  // namespace

const tagImgCmdPara sbl1_cmd = Record(kSbl1, sizeof kSbl1, "sbl1_cmd");
const tagImgCmdPara tz_cmd = Record(kTz, sizeof kTz, "tz_cmd");
const tagImgCmdPara qdsp_cmd = Record(kQdsp, sizeof kQdsp, "qdsp_cmd");
const tagImgCmdPara mba_cmd = Record(kMba, sizeof kMba, "mba_cmd");
const tagImgCmdPara rpm_cmd = Record(kRpm, sizeof kRpm, "rpm_cmd");
const tagImgCmdPara acdb_cmd = Record(kAcdb, sizeof kAcdb, "acdb_cmd");

const std::array<PlanImage, 6> kBootImages = {{
    {&sbl1_cmd, &EngineConfig::sbl1File, &EngineConfig::sbl1Size, 10, 15,
     "[Dload] Fail to send sbl1 header file download request", "[Dload] Fail to close Apps bootloader file packet",
     "[Dload] bootloader file download over(sbl1.mbn)"},
    {&tz_cmd, &EngineConfig::tzFile, &EngineConfig::tzFileSize, 15, 20,
     "[Dload] Fail to send sbl1 header file download request", "[Dload] Fail to close Apps bootloader file packet",
     "[Dload] bootloader file download over(sbl1.mbn)"},
    {&qdsp_cmd, &EngineConfig::qdsp6swFile, &EngineConfig::qdsp6swFileSize, 20, 50,
     "[Dload] Fail to send DSP1 command.", "[Dload] Fail to close DSP1 file packet", "[Dload] DSP1 file download over"},
    {&mba_cmd, &EngineConfig::mbaFile, &EngineConfig::mbaFileSize, 50, 55,
     "[Dload] Fail to send mba header file download request", "[Dload] Fail to close mba file packet",
     "[Dload] mba file download over(mba.mbn)"},
    {&rpm_cmd, &EngineConfig::rpmmbnFile, &EngineConfig::rpmmbnSize, 55, 60,
     "[Dload] Fail to send rpm header file download request", "[Dload] Fail to close rpm file packet",
     "[Dload] bootloader file download over(rpm.mbn)"},
    {&acdb_cmd, &EngineConfig::acdbmbnFile, &EngineConfig::acdbmbnSize, 60, 65,
     "[Dload] Fail to send acdb header file download request", "[Dload] Fail to close addb file packet",
     "[Dload] bootloader file download over(acdb.mbn)"},
}};

ImagePlan::ImagePlan(EngineCore& core, Link& link) : core_(core), streaming_(core, link) {}

bool ImagePlan::Measure(const std::string& path, uint32_t& size) {
  const auto measured = RegularFileSize(path);
  if (!measured) {
    core_.ReportError("Could not open BIN file: " + path);
    return false;
  }
  // Stream-write addresses are 32-bit; an empty image would leave its partition unwritten.
  if (*measured == 0 || *measured > UINT32_MAX) {
    core_.ReportError("BIN file length error: " + path);
    return false;
  }
  size = static_cast<uint32_t>(*measured);
  return true;
}

void ImagePlan::WriteBootImage(const PlanImage& image) {
  if (!core_.Healthy()) return;
  if (streaming_.OpenImageByName(*image.record) != 0) {
    core_.ReportError(image.openFailure);
    return;
  }
  const std::string& file = core_.cfg.*image.file;
  uint32_t& size = core_.cfg.*image.size;
  if (!Measure(file, size)) return;
  if (streaming_.WriteImageBlocks(BlockVariant::Image, file, size, image.progressStart, image.progressEnd) != 0) {
    return;
  }
  core_.ReportProgress(image.progressEnd);
  if (streaming_.CloseImage() != 0) {
    core_.ReportError(image.closeFailure);
    return;
  }
  core_.ReportStatus(csWorking, image.doneText, mtProgress);
}

void ImagePlan::WriteAppsImage() {
  if (!core_.Healthy()) return;
  if (streaming_.OpenAppsImage() != 0) {
    core_.ReportError("[Dload] Fail to send Apps image  file");
    return;
  }
  EngineConfig& cfg = core_.cfg;
  if (!Measure(cfg.AppsImageFile, cfg.AppsImageSize)) return;
  if (cfg.bFastSpeedDownload) {
    core_.ReportStatus(csWorking, "Downloading Apps Image...", mtProgress);
    if (!streaming_.FastWriteImage(cfg.AppsImageFile, cfg.AppsImageSize, cfg.ImageChecksum[kAppsChecksumSlot])) return;
  } else if (streaming_.WriteImageBlocks(BlockVariant::Apps, cfg.AppsImageFile, cfg.AppsImageSize, 65, 70) != 0) {
    return;
  }
  core_.ReportProgress(70);
  if (streaming_.CloseImage() != 0) {
    core_.ReportError("[Dload] Fail to close Apps image file packet");
    return;
  }
  core_.ReportStatus(csWorking, "[Dload] Apps image file download over", mtProgress);
}

void ImagePlan::WriteEfsImage() {
  if (!core_.Healthy()) return;
  if (streaming_.OpenEfsImage() != 0) {
    core_.ReportError("[Dload] Fail to send EFS file download request");
    return;
  }
  EngineConfig& cfg = core_.cfg;
  if (!Measure(cfg.EFSFile, cfg.EFSFileSize)) return;
  if (cfg.bFastSpeedDownload) {
    core_.ReportStatus(csWorking, "Downloading EFS...", mtProgress);
    if (!streaming_.FastWriteImage(cfg.EFSFile, cfg.EFSFileSize, cfg.ImageChecksum[kEfsChecksumSlot])) return;
  } else if (streaming_.WriteImageBlocks(BlockVariant::Efs, cfg.EFSFile, cfg.EFSFileSize, 0, 0) != 0) {
    return;
  }
  if (streaming_.CloseImage() != 0) {
    core_.ReportError("[Dload] Fail to close EFS file packet");
    return;
  }
  core_.ReportStatus(csWorking, "[Dload] EFS file download over", mtProgress);
}

void ImagePlan::WriteAppEfsImage() {
  if (!core_.Healthy()) return;
  if (streaming_.OpenAppEfsImage() != 0) {
    core_.ReportError("[Dload] Fail to send Application EFS file download request");
    return;
  }
  EngineConfig& cfg = core_.cfg;
  // Measured like every other image: the size handed over may be stale or missing.
  if (!Measure(cfg.AppEfsFile, cfg.AppEfsFileSize)) return;
  if (cfg.bFastSpeedDownload) {
    core_.ReportStatus(csWorking, "Downloading Application EFS...", mtProgress);
    if (!streaming_.FastWriteImage(cfg.AppEfsFile, cfg.AppEfsFileSize, cfg.ImageChecksum[kAppEfsChecksumSlot])) {
      return;
    }
  } else if (streaming_.WriteImageBlocks(BlockVariant::AppEfs, cfg.AppEfsFile, cfg.AppEfsFileSize, 75, 80) != 0) {
    return;
  }
  if (streaming_.CloseImage() != 0) {
    core_.ReportError("[Dload] Fail to close Applicaton EFS file packet");
    return;
  }
  core_.ReportStatus(csWorking, "[Dload] Applicaton EFS file download over", mtProgress);
}

void ImagePlan::DownloadImages() {
  const EngineConfig& cfg = core_.cfg;
  if (core_.Healthy() && streaming_.SendHello() != 0) core_.ReportError("[Dload] Fail to send hello command");
  if (core_.Healthy() && streaming_.SendSecurityMode() != 0) core_.ReportError("[Dload] Fail to send security command");
  if (core_.Healthy()) {
    const bool fastboot = cfg.bFastbootUserdataImage || cfg.bFastbootRamdisk_recoveryImage || cfg.bFastbootBootImage ||
                          cfg.bFastbootPrimary_gpt || cfg.bFastbootSecondary_gpt || cfg.bFastbootzImage ||
                          cfg.bFastbootRamdisk || cfg.bFastbootSystemImage || cfg.bFastbootzImage_recoveryImage;
    if (fastboot) {
      if (streaming_.SendPartitionTableOverride() != 0) {
        core_.ReportError("[Dload] Fail to download partition table");
      } else {
        core_.ReportStatus(csWorking, "Partition table ok", mtProgress);
      }
    } else if (streaming_.SendPartitionTable() != 0) {
      core_.ReportError("[Dload] Fail to download partition table");
    }
  }
  for (const PlanImage& image : kBootImages) WriteBootImage(image);
  WriteAppsImage();
  WriteEfsImage();
  WriteAppEfsImage();
  core_.ReportProgress(80);
  if (!core_.Healthy()) return;
  const int reset = streaming_.SendReset();
  if (reset < 0) {
    core_.ReportError("[Dload] Fail to Reset Comm");
    return;
  }
  if (reset > 0) {
    // Every image is written: a modem restarting on the command may drop its answer on the way.
    // Its return on its normal ports confirms the reset; the engine waits for that before the
    // restore and fails only when it does not come back.
    core_.run.ResetUnconfirmed = true;
    core_.ReportStatus(csInfo, "No answer to the reset command: waiting for the modem to come back", mtInfo);
    return;
  }
  core_.ReportStatus(csWorking, "Reset Comm succssfully", mtProgress);
}

}  // namespace zovir
