// AT reply extraction and the probe's parsing of what a port answers.
#include <string>
#include <string_view>

#include "discovery/at_probe.h"
#include "fuzz_support.h"
#include "preservation/at_channel.h"

using namespace zovir;

namespace {
const char* const kCommands[] = {"AT+CGMR\r\n", "AT+CGDCONT?\r\n", "AT+ZRVINF?\r\n", "AT+CGSN\r\n", "AT\r\n"};
const char* const kQueries[] = {kQueryVersion, kQueryVersionATI, kQueryFlashInfo, kQueryHardware};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader in(data, size);
  const uint8_t choice = in.Byte();
  const auto rest = in.Rest();
  const std::string reply(rest.begin(), rest.end());

  size_t pos = 0;
  if (FindFinalResult(reply, pos) == ATFinal::Ok) {
    (void)ATReplyValue(kCommands[choice % 5], reply, pos);
  }
  (void)ATReplyValue(kCommands[choice % 5], reply, reply.size());
  (void)StripLineBreaks(reply);
  (void)StripQuotes(reply);
  (void)StripProjectReply(reply);
  uint32_t ms = 0;
  (void)ParseSleepEntry(reply, ms);

  // The probe reads the same bytes off a port.
  FakeClock clock;
  test::ScriptedPort port(clock, "COM9");
  // The probe's port returns at once with what is queued.
  CommTimeouts timeouts;
  timeouts.ReadIntervalTimeout = MAXDWORD;
  port.SetTimeouts(timeouts);
  port.QueueReply(rest);
  std::string out, flashInfo;
  ATQueryContext context;
  context.projectFlashIdEmpty = (choice & 0x10) != 0;
  context.flashInfo = &flashInfo;
  (void)SendATQuery(port, clock, kQueries[(choice >> 5) % 4], out, context);
  return 0;
}
