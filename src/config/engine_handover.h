#pragma once
#include "config/project_configuration.h"
#include "engine/engine_config.h"

namespace zovir {

// Copies the configuration values an engine needs into its configuration. Lists are
// copied, so what a run does to its lists never reaches the window's configuration.
// Members that do not come from Config.ini (ports, image paths and sizes, checksums, the
// backup folder, the hex start address) are left as they are.
void HandOverConfiguration(const ProjectConfiguration& config, EngineConfig& engine);

}  // namespace zovir
