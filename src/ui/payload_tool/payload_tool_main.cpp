// zovir-payload: shows what a build carries and unpacks it the way the tool does at start-up.
//
//   zovir-payload list             key, type, file name and size of every resource
//   zovir-payload extract DIR      every resource under its packed file name into DIR
//   zovir-payload check [--keep]   a fresh private work folder with Config.ini, the payload
//                                  the configuration asks for and the image checks; the
//                                  folder is removed again unless --keep is given
#include <cinttypes>
#include <cstdio>
#include <set>
#include <string>

#include "config/image_check.h"
#include "config/option_summary.h"
#include "platform/system_paths.h"
#include "ui/payload.h"
#include "ui/payload_extraction.h"
#include "ui/work_folders.h"

namespace {

using namespace zovir;

class TerminalSink : public MessageSink {
 public:
  void Show(const std::string& text, const std::string& caption, MessageButtons, MessageIcon) override {
    std::fprintf(stderr, "[%s] %s%s", caption.c_str(), text.c_str(),
                 !text.empty() && text.back() == '\n' ? "" : "\n");
    ++shown;
  }
  void Log(const std::string& line) override { std::fprintf(stderr, "%s\n", line.c_str()); }
  int shown = 0;
};

int Usage(FILE* out) {
  std::fprintf(out,
               "usage: zovir-payload list\n"
               "       zovir-payload extract DIR\n"
               "       zovir-payload check [--keep]\n"
               "Exit status: 0 done, 1 failed, 2 bad arguments.\n");
  return out == stdout ? 0 : 2;
}

int List(const Payload& payload) {
  for (const PayloadEntry& e : payload.List()) {
    std::printf("%-28s %-4s %-24s %12" PRIu64 "\n", e.key.c_str(), e.type.c_str(), e.name.c_str(), e.size);
  }
  return 0;
}

int Extract(const Payload& payload, const std::string& dir) {
  try {
    CreateFolderPath(dir);
    std::set<std::string> written;
    for (const PayloadEntry& e : payload.List()) {
      if (!written.insert(e.name).second) continue;
      WriteResource(payload, e.key, e.type, dir + "/" + e.name, e.type == "EXE");
    }
  } catch (const StartupError& e) {
    std::fprintf(stderr, "zovir-payload: %s\n", e.what());
    return 1;
  }
  return 0;
}

int Check(const Payload& payload, bool keep) {
  TerminalSink sink;
  try {
    WorkFolders folders(SystemPathsFromEnvironment());
    if (keep) folders.Keep();
    const std::string work = folders.WorkFolder();
    WriteResource(payload, "ConfigFile", "INI", work + "/Config.ini");
    ProjectConfiguration config;
    ReadProjectConfiguration(config, work + "/Config.ini", sink);
    if (ExtractPayload(config, work, PayloadContext{payload, sink, nullptr})) return 1;
    if (config.Packet == 2 &&
        ExtractPacketPayload(config, folders.SecondPacketFolder(), 2, PayloadContext{payload, sink, nullptr})) {
      return 1;
    }
    ImageFolderState state;
    uint32_t start = 0;
    ImageCheckContext context{sink, config.Caption, folders.BackupFolder(), false,
                              [&](const std::string& hex, const std::string& bin) {
                                ConvertHexImage(hex, bin, work, sink, start);
                              }};
    std::string summary;
    const bool ok = ShowOptionSummary(config, summary, work, state, context);
    std::printf("work folder: %s\n", work.c_str());
    std::printf("options: %s\n", summary.c_str());
    for (const ImageListItem& item : state.lvFileList) std::printf("image: %s%s\n", item.folder.c_str(), item.name.c_str());
    std::printf("total: %" PRIu64 "\n", state.allTotalFileSize);
    std::printf("%s\n", ok ? "images: ok" : "images: failed");
    return ok ? 0 : 1;
  } catch (const StartupError& e) {
    std::fprintf(stderr, "zovir-payload: %s\n", e.what());
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Payload payload = Payload::Embedded();
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "list" && argc == 2) return List(payload);
  if (cmd == "extract" && argc == 3) return Extract(payload, argv[2]);
  if (cmd == "check" && (argc == 2 || (argc == 3 && std::string(argv[2]) == "--keep"))) {
    return Check(payload, argc == 3);
  }
  if (cmd == "--help" || cmd == "-h") return Usage(stdout);
  return Usage(stderr);
}
