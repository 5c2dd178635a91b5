#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "link/hdlc.h"
#include "link_fixture.h"

namespace zovir::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Event = FrameDecoder::Event;
using Seen = std::vector<std::pair<Event, uint32_t>>;  // every event with its frame length

class FrameDecoding : public LinkFixture {
 protected:
  static Bytes Enc(const Bytes& payload) { return Encode(payload); }
};

// The cases on which the receives of the link, the stream-write acknowledgement and the EFS
// folder opening each read the wire their own way before they shared one decoder.
TEST_F(FrameDecoding, OneRuleForEveryReceive) {
  struct Case {
    const char* name;
    bool hunt;
    Bytes input;
    Seen seen;
    Bytes firstFrame;  // how the content of the first Frame event starts
  };
  const Bytes ack = Enc({0x02});  // 02 6A D3 7E
  const Case cases[] = {
      {"plain frame, no opening flag", false, ack, {{Event::Frame, 3}}, {0x02, 0x6A, 0xD3}},
      {"hunting skips what comes before the first flag", true, Cat({0x41, 0x02, 0x7E}, ack), {{Event::Frame, 3}},
       {0x02, 0x6A, 0xD3}},
      {"without hunting those bytes are a frame of their own", false, Cat({0x41, 0x02, 0x7E}, ack),
       {{Event::TooShort, 2}, {Event::Frame, 3}}, {0x02, 0x6A, 0xD3}},
      {"repeated flags carry no frame", false, Cat({0x7E, 0x7E, 0x7E}, ack), {{Event::Frame, 3}}, {}},
      {"escaped flag and escape are content", false, Enc({0x12, 0x7E, 0x7D}), {{Event::Frame, 5}},
       {0x12, 0x7E, 0x7D}},
      // Escape + flag aborts the frame; the flag still delimits, so the next frame is whole.
      {"escape then flag aborts, the next frame survives", false, Cat({0x12, 0x34, 0x56, 0x7D, 0x7E}, ack),
       {{Event::BadCheck, 3}, {Event::Frame, 3}}, {0x02, 0x6A, 0xD3}},
      {"check broken", false, {0x02, 0x6A, 0xD2, 0x7E}, {{Event::BadCheck, 3}}, {}},
      {"two bytes", false, {0x02, 0x6A, 0x7E}, {{Event::TooShort, 2}}, {}},
      // An overlong frame is dropped up to the next flag, so its tail is not read as a frame.
      {"overlong frame skipped to the next flag", false, Cat(Cat(Bytes(9, 0x11), Enc({0x02})), ack),
       {{Event::TooLong, 8}, {Event::Frame, 3}}, {0x02, 0x6A, 0xD3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out(8);
    FrameDecoder decoder(out.data(), static_cast<uint32_t>(out.size()), c.hunt);
    Seen seen;
    Bytes first;
    for (uint8_t b : c.input) {
      const Event e = decoder.Push(b);
      if (e == Event::None) continue;
      seen.emplace_back(e, decoder.Length());
      if (e == Event::Frame && first.empty()) first.assign(out.begin(), out.begin() + decoder.Length());
    }
    EXPECT_EQ(seen, c.seen);
    if (!c.firstFrame.empty()) {
      first.resize(std::min(first.size(), c.firstFrame.size()));
      EXPECT_EQ(first, c.firstFrame);
    }
  }
}

// A frame cut off by escape + flag must not take the next reply with it.
TEST_F(FrameDecoding, TheReplyAfterAnAbortedFrameIsReceived) {
  OpenDiag();
  for (bool reply : {false, true}) {
    SCOPED_TRACE(reply ? "reply receive" : "frame receive");
    link.DiscardReceived();
    // Frames in download mode come with an opening flag, DIAG replies without one.
    const Bytes next = reply ? Encode({0x26, 0x01}) : Flagged({0x26, 0x01});
    diag().QueueBytes(Cat({0x7E, 0x12, 0x34, 0x56, 0x7D, 0x7E}, next));
    const auto receive = [&] { return reply ? link.ReceiveReply() : link.ReceiveFrameTimed(); };
    EXPECT_EQ(receive().outcome, RxOutcome::BadCheck);
    ASSERT_EQ(receive().outcome, RxOutcome::Frame);
    EXPECT_EQ(link.Response()[0], 0x26);
    EXPECT_EQ(link.Response()[1], 0x01);
  }
}

}  // namespace
}  // namespace zovir::test
