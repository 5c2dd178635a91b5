#pragma once
#include <string>
#include <vector>

#include "config/project_configuration.h"

namespace zovir {

// The EFS paths a configured user-data list names, as the modem spells them: line ends
// dropped, '\' turned into '/', a leading '/' added; empty entries left out.
std::vector<std::string> PreservedEfsPaths(const ConfigList& list);

}  // namespace zovir
