// A harness update through UpdateSlot runs what zovir-cli runs: the controller's start and
// engine inside the update session, which holds the desktop's services off for the run, checks
// the firmware afterwards and writes the history.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "config/image_check.h"
#include "config/message_sink.h"
#include "config/preserved_paths.h"
#include "config/project_configuration.h"
#include "support/fake_services.h"
#include "support/scratch_dir.h"
#include "ui/cli/cli_view.h"
#include "ui/session/update_slot.h"
#include "ui/session/virtual_factory.h"

namespace zovir::test {
namespace {

constexpr int kQuickProject = 15;

TEST(UpdateSlot, AnUpdateRunsInsideTheSessionAsTheCommandLineRunsIt) {
  ScratchDir scratch("zovir-slot");
  setenv("ZOVIR_HOME", scratch.path().c_str(), 1);
  auto holds = std::make_shared<ServiceHolds>();
  session::UpdateSession s(std::make_unique<FakeServices>(holds));
  const std::string packet = ZOVIR_TEST_PACKET_DIR;
  ASSERT_FALSE(s.Open(session::SessionOptions{packet, false}).has_value());

  RecordingMessageSink sink;
  ProjectConfiguration config;
  ASSERT_TRUE(ReadProjectConfiguration(config, packet + "/Config.ini", sink));
  config.ProjectType = kQuickProject;
  ImageFolderState images;
  ImageCheckContext context{sink, config.Caption, s.folders().BackupFolder(), false, nullptr, nullptr};
  ASSERT_TRUE(CheckImageFolder(packet, config, images, context));

  session::SlotSetup setup;
  setup.deviceMapPath = scratch.Sub("ports.ini");
  setup.virtualModem = true;
  setup.modem.rebootDelayMs = 300;
  session::VirtualFactory factory;
  factory.Prepare(setup.modem, 0);
  std::string diag;
  std::FILE* quiet = std::fopen("/dev/null", "w");
  ASSERT_NE(quiet, nullptr);
  {
    cli::CliOutput print(cli::CliOutput::Style::Plain, quiet);
    cli::CliView view(print, 0, cli::AnswerPolicy::Safe, "");
    SteadyClock clock;
    session::UpdateSlot slot(setup, s, view, clock);
    factory.Seed(*slot.modem(), 0, PreservedEfsPaths(config.UserDataFilesList),
                 PreservedEfsPaths(config.UserDataDirList));
    ASSERT_TRUE(slot.Discover());
    diag = slot.DiagPort();
    EXPECT_EQ(holds->sleepAsked.load(), 0);
    slot.Start(config, images, packet);
    bool heldWhileRunning = false;
    for (int waits = 0; waits < 6000 && !slot.Wait(100); ++waits)
      heldWhileRunning = heldWhileRunning || holds->sleepHeld.load() == 1;
    ASSERT_TRUE(slot.Finished());
    EXPECT_TRUE(slot.Passed()) << slot.ErrorCode();
    EXPECT_TRUE(heldWhileRunning);
    EXPECT_EQ(holds->sleepAsked.load(), 1);
    EXPECT_EQ(holds->sleepHeld.load(), 0);
  }
  std::fclose(quiet);
  const auto history = s.history().Read();
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].device, "virtual " + diag);
  EXPECT_EQ(history[0].result.result, "PASS");
  EXPECT_EQ(history[0].result.verification, "verified");
  EXPECT_EQ(history[0].result.firmwareAfter, history[0].result.packetVersion);
  unsetenv("ZOVIR_HOME");
}

}  // namespace
}  // namespace zovir::test
