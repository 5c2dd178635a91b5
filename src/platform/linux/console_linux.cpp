#include "platform/console.h"

#include <unistd.h>

namespace zovir {

bool IsTerminal(StandardStream stream) {
  const int fd = stream == StandardStream::Input    ? STDIN_FILENO
                 : stream == StandardStream::Output ? STDOUT_FILENO
                                                    : STDERR_FILENO;
  return ::isatty(fd) == 1;
}

// Every terminal a Linux desktop opens understands them.
bool UnderstandsControlSequences(StandardStream stream) { return IsTerminal(stream); }

// Not retried on EINTR: the stop signal is installed without SA_RESTART for this read.
int ReadInputByte(char& c) {
  const ssize_t n = ::read(STDIN_FILENO, &c, 1);
  return n > 0 ? 1 : static_cast<int>(n);
}

}  // namespace zovir
