// Holds an UpdateGuard for the D-Bus test: prints what it holds, waits for a line on standard
// input, lets go and says so.
#include <cstdio>
#include <iostream>
#include <string>

#include "platform/system_services.h"
#include "ui/session/update_guard.h"

int main(int argc, char** argv) {
  auto services = zovir::MakeSystemServices();
  {
    zovir::session::UpdateGuard guard(*services, argc > 1 ? argv[1] : "",
                                  [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    std::printf("held mm=%d sleep=%d\n", guard.ModemManagerHeld() ? 1 : 0, guard.SleepHeld() ? 1 : 0);
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
  }
  std::printf("released\n");
  return 0;
}
