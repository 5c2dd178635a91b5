#include "platform/thread_priority.h"
#include "platform/win32/win32_text.h"

namespace zovir {

void RaiseThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL); }

}  // namespace zovir
