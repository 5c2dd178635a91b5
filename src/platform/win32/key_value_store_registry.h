#pragma once
#include <memory>
#include <string>

#include "platform/key_value_store.h"

namespace zovir {

// Values under HKEY_CURRENT_USER\`root`\section, as REG_SZ: the user's own hive, so one user's
// settings never reach another's.
std::unique_ptr<KeyValueStore> MakeRegistryKeyValueStore(const std::string& root);

// Values under HKEY_LOCAL_MACHINE\section (no root), in the 64-bit view of the registry also
// for a 32-bit program: where the boot driver of a modem looks for the tool's handshake value
// ("SOFTWARE\rgdriverinfo", "DownloadSupport"). Writing needs an administrator; a refused
// write is false, for the caller to say so.
std::unique_ptr<KeyValueStore> MakeMachineRegistryKeyValueStore();

}  // namespace zovir
