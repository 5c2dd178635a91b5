#include "platform/console.h"
#include "platform/win32/win32_text.h"

namespace zovir {
namespace {

HANDLE StandardHandle(StandardStream stream) {
  switch (stream) {
    case StandardStream::Input:
      return GetStdHandle(STD_INPUT_HANDLE);
    case StandardStream::Output:
      return GetStdHandle(STD_OUTPUT_HANDLE);
    case StandardStream::Error:
      break;
  }
  return GetStdHandle(STD_ERROR_HANDLE);
}

}  // namespace

// A console, not a file, pipe or the NUL device (which is a character device too).
bool IsTerminal(StandardStream stream) {
  const HANDLE h = StandardHandle(stream);
  DWORD mode = 0;
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_CHAR && GetConsoleMode(h, &mode);
}

int ReadInputByte(char& c) {
  DWORD got = 0;
  if (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr)) return got == 1 ? 1 : 0;
  // A pipe whose writer went away has ended; Ctrl-C aborts a console read.
  return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

}  // namespace zovir
