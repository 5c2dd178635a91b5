#pragma once
#include <memory>
#include <string>

#include "platform/key_value_store.h"

namespace zovir {

// Values under HKEY_CURRENT_USER\`root`\section, as REG_SZ: the user's own hive, so one user's
// settings never reach another's.
std::unique_ptr<KeyValueStore> MakeRegistryKeyValueStore(const std::string& root);

}  // namespace zovir
