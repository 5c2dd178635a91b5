#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zovir {

struct ProcessSpec {
  std::string program;            // path of the executable (no command interpreter is used)
  std::vector<std::string> args;  // arguments after the program name
  std::string workingDir;         // empty: inherit
  bool hidden = true;             // no terminal: stdin from /dev/null, output discarded or captured
};

// A started process. Destroying the handle does not kill the process.
class ProcessHandle {
 public:
  virtual ~ProcessHandle() = default;
  virtual int Pid() const = 0;
  // Waits up to `ms` (0: do not wait); the exit code once it ended.
  virtual std::optional<int> Wait(int ms) = 0;
  virtual bool Terminate() = 0;
};

// A named lock held for the life of the object (the single-instance and companion checks).
class NamedLock {
 public:
  virtual ~NamedLock() = default;
  // True when another holder had it at creation ("already exists").
  virtual bool AlreadyExisted() const = 0;
};

class Processes {
 public:
  virtual ~Processes() = default;
  virtual std::unique_ptr<ProcessHandle> Start(const ProcessSpec& spec, int& error) = 0;
  // Ends the processes named `name` whose executable lies inside `folder` (never anything
  // else of that name). Returns how many were asked to end.
  virtual int TerminateProcessesByName(const std::string& name, const std::string& folder) = 0;
  // A lock file named `name` in the user's runtime folder, held with flock.
  virtual std::unique_ptr<NamedLock> CreateNamedLock(const std::string& name) = 0;
};

// posix_spawn, /proc and flock; named locks live in `runtimeDir`.
std::unique_ptr<Processes> MakeLinuxProcesses(const std::string& runtimeDir);

}  // namespace zovir
