#pragma once
#include <cstdint>

#include "engine/engine_core.h"

namespace zovir {

// Tells an exchange loop when a modem can no longer be expected to answer. Each receive is
// bounded, but a backup walks hundreds of items, each with dozens of attempts: without this a
// modem that vanished or answers every request too late keeps the update going for hours.
//
//  - A port that reports an error (gone, closed, I/O error) is given up on at once.
//  - So is a modem that was late kLateInARow times in a row. Late is a receive that saw
//    nothing before its time limit, or an exchange whose receives together waited longer
//    than one receive may (the reply came, but only after its request's time was up: a
//    modem answering every request late answers it during the next attempt, as what looks
//    like a timely reply). A single late reply is a busy modem and costs one attempt; three
//    in a row (at least 15 s of waiting) only happen when the modem is wedged or every reply
//    comes too late, and each further item would repeat the same waits. Only an exchange
//    answered in time ends a run of late ones.
class AnswerWatch {
 public:
  static constexpr int kLateInARow = 3;

  // `replyLimitMs`: how long one receive waits for a reply.
  AnswerWatch(EngineCore& core, uint32_t replyLimitMs) : core_(core), replyLimitMs_(replyLimitMs) {}

  // A backup or restore begins: what an earlier one saw does not count against it.
  void Reset() {
    late_ = 0;
    exchangeLate_ = false;
    waitedMs_ = 0;
  }
  // An exchange (all attempts for one request) begins. False when the modem was given up on
  // already: the exchange fails without sending.
  bool BeginExchange() {
    exchangeLate_ = false;
    waitedMs_ = 0;
    return late_ < kLateInARow;
  }
  // Time one receive of the exchange waited, whatever it brought.
  void Waited(uint64_t ms) { waitedMs_ += ms; }
  // An attempt got no reply: its request could not be sent or its receive timed out. True
  // when the exchange must end now.
  bool NoAnswer();
  // The exchange accepted a reply.
  void Answered();
  // Whether the diagnostic port still works; a surprise-removed device fails every operation
  // on its handle. Probing clears the port's error state, which every send and receive does
  // anyway.
  bool PortLost() const;

 private:
  EngineCore& core_;
  uint32_t replyLimitMs_;
  int late_ = 0;
  bool exchangeLate_ = false;
  uint64_t waitedMs_ = 0;
};

}  // namespace zovir
