#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace zovir {

// A nice value is per thread on Linux; an unprivileged process may not lower it, which is fine.
void RaiseThreadPriority() {
  errno = 0;
  const pid_t tid = gettid();
  const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (current == -1 && errno != 0) return;
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), current - 1);
}

}  // namespace zovir
