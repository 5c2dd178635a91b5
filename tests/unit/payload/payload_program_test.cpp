// The program that carries the demo packet, copied alone into an empty folder.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "temp_folder.h"

namespace zovir {
namespace {

namespace fs = std::filesystem;
using testing_support::ModeOf;
using testing_support::ReadFile;
using testing_support::TempFolder;

struct ProgramRun {
  int status = -1;
  std::string out;
};

ProgramRun RunAlone(const TempFolder& t, const std::string& args) {
  const std::string command = "cd '" + (t / "bin") + "' && env -i PATH=/usr/bin:/bin ZOVIR_HOME='" + (t / "home") +
                              "' ./zovir-payload " + args + " > '" + (t / "out.txt") + "' 2>&1";
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(t / "out.txt")};
}

std::string LineAfter(const std::string& text, const std::string& prefix) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
  }
  return {};
}

class PayloadProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(t / "bin");
    fs::copy_file(ZOVIR_PAYLOAD_PROGRAM, t / "bin/zovir-payload");
  }
  TempFolder t;
};

TEST_F(PayloadProgram, ListsWhatTheBuildCarries) {
  const ProgramRun r = RunAlone(t, "list");
  ASSERT_EQ(r.status, 0) << r.out;
  // Keys are listed as packed; lookups ignore their case.
  for (const char* key : {"NPRG9x06File", "partitionFile", "ConfigFile", "AppEfsFile", "HexConverterFile",
                          "ModeSwitchHelperFile", "EnvCleaner64File"}) {
    EXPECT_NE(r.out.find(std::string(key) + " "), std::string::npos) << key;
  }
}

// The demo Config.ini selects the applications boot loader; a packet without one cannot pass.
bool DemoPacketLacksAppsBootloader() {
  const std::string config = ReadFile(std::string(ZOVIR_DEMO_PACKET) + "/Config.ini");
  return config.find("bAppsBootloader=1") != std::string::npos &&
         !fs::exists(std::string(ZOVIR_DEMO_PACKET) + "/appsboot.mbn");
}

TEST_F(PayloadProgram, UnpacksIntoAFreshPrivateWorkFolderAndTheImagesPass) {
  if (DemoPacketLacksAppsBootloader()) {
    // The program must refuse such a packet by name rather than pass it.
    const ProgramRun r = RunAlone(t, "check");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Resource AppsBootloaderFile not found"), std::string::npos) << r.out;
    GTEST_SKIP() << "the demo packet selects bAppsBootloader but carries no appsboot.mbn";
  }
  const ProgramRun r = RunAlone(t, "check --keep");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("images: ok"), std::string::npos) << r.out;
  const std::string work = LineAfter(r.out, "work folder: ");
  ASSERT_FALSE(work.empty()) << r.out;
  const fs::path session = fs::path(work).parent_path();
  EXPECT_EQ(session.parent_path(), fs::path(t / "home/run"));
  EXPECT_EQ(ModeOf(session.string()), 0700u);
  for (const auto& e : fs::directory_iterator(ZOVIR_DEMO_PACKET)) {
    const std::string name = e.path().filename().string();
    EXPECT_EQ(ReadFile(work + "/" + name), ReadFile(e.path().string())) << name;
  }
  EXPECT_EQ(ModeOf(work + "/ModeSwitchHelper"), 0700u);
  EXPECT_TRUE(fs::exists(work + "/libHexConverter.so"));
  // The program wrote nothing beside itself.
  EXPECT_EQ(std::distance(fs::directory_iterator(t / "bin"), fs::directory_iterator()), 1);

  // Without --keep the folder of that start is gone at exit; the one kept before stays.
  const ProgramRun again = RunAlone(t, "check");
  ASSERT_EQ(again.status, 0) << again.out;
  const std::string second = LineAfter(again.out, "work folder: ");
  EXPECT_NE(second, work);
  EXPECT_FALSE(fs::exists(fs::path(second).parent_path()));
  EXPECT_TRUE(fs::exists(work));
}

TEST_F(PayloadProgram, ExtractWritesEveryPackedFileByName) {
  const ProgramRun r = RunAlone(t, "extract '" + (t / "out") + "'");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ReadFile(t / "out/Config.ini"), ReadFile(std::string(ZOVIR_DEMO_PACKET) + "/Config.ini"));
  EXPECT_EQ(ModeOf(t / "out/ResetHelper"), 0700u);
}

}  // namespace
}  // namespace zovir
