#pragma once
#include "platform/private_files.h"
#include "platform/win32/win32_text.h"

namespace zovir::win32 {

// What a folder with the security descriptor `sd` (owner and access list) is to this process:
// the decision InspectFolder makes once it has read them.
FolderState FolderStateOfSecurity(PSECURITY_DESCRIPTOR sd);

}  // namespace zovir::win32
