#pragma once

namespace zovir {

// Raises the calling thread one step above normal, so an update keeps its pace while the
// desktop is busy. Where the system does not allow it, the thread stays as it was.
void RaiseThreadPriority();

}  // namespace zovir
