#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "engine/engine_core.h"
#include "engine/phases.h"
#include "link/link.h"
#include "protocols/streaming_download.h"

namespace zovir {

// The open-by-name records of the six boot and subsystem images, in plan order.
extern const tagImgCmdPara sbl1_cmd;
extern const tagImgCmdPara tz_cmd;
extern const tagImgCmdPara qdsp_cmd;
extern const tagImgCmdPara mba_cmd;
extern const tagImgCmdPara rpm_cmd;
extern const tagImgCmdPara acdb_cmd;

// Slots of the pre-flight checksums used by the fast-speed transfer.
constexpr size_t kAppsChecksumSlot = 11;
constexpr size_t kAppEfsChecksumSlot = 13;
constexpr size_t kEfsChecksumSlot = 15;

// One boot or subsystem image of the plan.
struct PlanImage {
  const tagImgCmdPara* record;
  std::string EngineConfig::*file;
  uint32_t EngineConfig::*size;
  int progressStart;
  int progressEnd;
  const char* openFailure;
  const char* closeFailure;
  const char* doneText;
};
extern const std::array<PlanImage, 6> kBootImages;

// The fixed plan that writes a whole firmware through the running flash programmer:
// greeting, security mode, partition table, the six boot and subsystem images, the
// application image, the EFS and application EFS images, and the reset that ends it.
class ImagePlan final : public ImageDownload {
 public:
  ImagePlan(EngineCore& core, Link& link);

  void DownloadImages() override;
  int SendReset() override { return streaming_.SendReset(); }
  int SendPowerOff() override { return streaming_.SendPowerOff(); }


 private:
  // Measures an image into its size member; a missing or empty image fails the engine.
  bool Measure(const std::string& path, uint32_t& size);
  void WriteBootImage(const PlanImage& image);
  void WriteAppsImage();
  void WriteEfsImage();
  void WriteAppEfsImage();

  EngineCore& core_;
  StreamingDownload streaming_;
};

}  // namespace zovir
