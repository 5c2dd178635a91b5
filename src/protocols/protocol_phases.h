#pragma once
#include "engine/phases.h"
#include "protocols/image_plan.h"
#include "protocols/programmer_upload.h"
#include "protocols/reconnection.h"

namespace zovir {

// The download protocols of one engine, built on its core and link, ready to be handed to
// TCommsThread through EnginePhases.
struct ProtocolPhases {
  ProtocolPhases(EngineCore& core, Link& link) : programmer(core, link), images(core, link), reconnection(core, link) {}

  void Fill(EnginePhases& phases) {
    phases.programmer = &programmer;
    phases.images = &images;
    phases.reconnection = &reconnection;
  }

  ProgrammerUploader programmer;
  ImagePlan images;
  PortReconnection reconnection;
};

}  // namespace zovir
