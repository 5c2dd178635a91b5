// NetSwitchHelper: switches the modem's radio on (online) or off (flight mode) over its AT port.
#include <cerrno>
#include <cstdio>
#include <string>

#include "tools/common/helper_support.h"

using namespace zovir::tools;

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: NetSwitchHelper on|off [--port DEVICE]\n"
               "Switches the modem's network on (AT+CFUN=1) or off (AT+CFUN=4). Without --port the\n"
               "modem's AT port is searched (device map named by ZOVIR_DEVICE_MAP, else\n"
               "/dev/ttyUSB* and /dev/ttyACM*).\n"
               "Exit status: 0 switched, 2 bad arguments, 3 no modem answered, 4 the modem refused.\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode, port;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    }
    if (a == "--port" && i + 1 < argc) {
      port = argv[++i];
    } else if ((a == "on" || a == "off") && mode.empty()) {
      mode = a;
    } else {
      std::fprintf(stderr, "NetSwitchHelper: unexpected argument '%s'\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (mode.empty()) {
    std::fprintf(stderr, "NetSwitchHelper: say on or off\n");
    Usage(stderr);
    return 2;
  }
  std::vector<CandidatePort> ports;
  if (!port.empty()) {
    ports.push_back({port, port, "", -1, -1});
  } else {
    ports = FindModemPorts();
  }
  const std::string command = mode == "on" ? "AT+CFUN=1\r\n" : "AT+CFUN=4\r\n";
  for (const CandidatePort& p : ports) {
    AtPort at;
    if (!at.Open(p.path)) {
      std::fprintf(stderr, "NetSwitchHelper: cannot open %s: %s\n", p.path.c_str(), ErrnoText(errno).c_str());
      continue;
    }
    if (at.Command("AT\r\n", std::chrono::milliseconds(1000)) != AtPort::Reply::Ok) continue;
    if (at.Command(command, std::chrono::milliseconds(5000)) == AtPort::Reply::Ok) {
      std::printf("NetSwitchHelper: network %s on %s\n", mode.c_str(), p.name.c_str());
      return 0;
    }
    std::fprintf(stderr, "NetSwitchHelper: the modem on %s refused to switch its network %s\n", p.name.c_str(),
                 mode.c_str());
    return 4;
  }
  std::fprintf(stderr, "NetSwitchHelper: no modem answered on its AT port\n");
  return 3;
}
