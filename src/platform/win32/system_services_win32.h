#pragma once
#include "platform/system_services.h"
#include "platform/win32/win32_text.h"

namespace zovir::win32 {

// What the program does with one of the system's requests to end while an update holds the
// machine: Windows ends a console program for Ctrl-C and Ctrl-Break at once, and when the
// console closes, the user logs off or the machine shuts down, a few seconds after asking.
enum class EndRequest {
  PassOn,      // nothing of ours runs: the system's default (the program ends)
  Stop,        // Ctrl-C, Ctrl-Break: the program's stop, as the Stop button; it carries on
  StopAndWait  // the end comes anyway: stop now and hold the end off until the stop is over
};
EndRequest ConsoleEventRequest(DWORD controlType, bool updating);

// The answer to WM_QUERYENDSESSION: false (block) while an update writes, except where the
// system does not wait for anyone (a critical shutdown), which is then a StopAndWait.
bool MayEndSession(LPARAM reason, bool updating);

// How long the program may take to stop once the system has said it ends the process: the
// time Windows grants a console window closing or a session ending (five seconds unless an
// administrator changed it), less a margin for the process to go.
DWORD StopGrantMs();

// The console control handler the update holds install (its own name for tests, which call it
// with recorded events): asks the program to stop by raising SIGINT or SIGTERM to its
// handler, as a terminal's Ctrl-C and a Linux shutdown do, and for the events that end the
// process waits until every hold is released or the grant is over.
BOOL WINAPI OnConsoleControl(DWORD controlType);

}  // namespace zovir::win32
