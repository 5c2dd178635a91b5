#pragma once
#include <memory>
#include <string>

#include "platform/processes.h"

namespace zovir {

// CreateProcess without a window and without a command interpreter; named mutexes in the
// user's session for the single-instance and companion checks.
std::unique_ptr<Processes> MakeWin32Processes();

// The command line CreateProcess parses back into exactly `program` and `args` (the quoting
// rules of the C runtime's argument parser).
std::wstring QuoteCommandLine(const std::string& program, const std::vector<std::string>& args);

}  // namespace zovir
