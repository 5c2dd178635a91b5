#pragma once
#include <string>

#include "config/image_check.h"
#include "config/project_configuration.h"

namespace zovir {

// The one-line summary of the selected items ("Backup, Bootloader, EFS." ...).
std::string BuildOptionSummary(const ProjectConfiguration& config);

// Rebuilds the summary into `lblSettings` and runs the image checks again on `imageFolder`,
// so that the file list always matches the selection. Returns what CheckImageFolder returned.
bool ShowOptionSummary(const ProjectConfiguration& config, std::string& lblSettings, const std::string& imageFolder,
                       ImageFolderState& state, const ImageCheckContext& context);

}  // namespace zovir
