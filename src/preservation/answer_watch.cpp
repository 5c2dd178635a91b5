#include "preservation/answer_watch.h"

namespace zovir {

bool AnswerWatch::PortLost() const {
  SerialPort* port = core_.hDiagPort.get();
  uint32_t errors = 0;
  return port == nullptr || !port->ClearError(errors);
}

bool AnswerWatch::NoAnswer() {
  if (PortLost()) {
    late_ = kLateInARow;  // nothing more will come through this handle
    return true;
  }
  exchangeLate_ = true;
  return ++late_ >= kLateInARow;
}

void AnswerWatch::Answered() {
  if (exchangeLate_) return;  // its time-outs were counted already
  if (waitedMs_ > replyLimitMs_)
    ++late_;
  else
    late_ = 0;
}

}  // namespace zovir
