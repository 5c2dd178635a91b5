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

bool IsConsole(HANDLE h, DWORD& mode) {
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_CHAR && GetConsoleMode(h, &mode);
}

// The tool writes UTF-8; a console shows the bytes in its own code page unless told, and
// draws escape sequences as text unless asked to obey them (consoles before Windows 10 refuse).
// True when the console now obeys them.
bool PrepareConsoleOutput(HANDLE h, DWORD mode) {
  SetConsoleOutputCP(CP_UTF8);
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  if (!SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
  DWORD now = 0;
  return GetConsoleMode(h, &now) && (now & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace

// A console, not a file, pipe or the NUL device (which is a character device too). An output
// console is made ready for UTF-8 and control sequences on the way: the front end asks this
// before it writes anything.
bool IsTerminal(StandardStream stream) {
  const HANDLE h = StandardHandle(stream);
  DWORD mode = 0;
  if (!IsConsole(h, mode)) return false;
  if (stream != StandardStream::Input) PrepareConsoleOutput(h, mode);
  return true;
}

bool UnderstandsControlSequences(StandardStream stream) {
  const HANDLE h = StandardHandle(stream);
  DWORD mode = 0;
  return stream != StandardStream::Input && IsConsole(h, mode) && PrepareConsoleOutput(h, mode);
}

int ReadInputByte(char& c) {
  DWORD got = 0;
  if (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr)) return got == 1 ? 1 : 0;
  // A pipe whose writer went away has ended; Ctrl-C aborts a console read.
  return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

}  // namespace zovir
