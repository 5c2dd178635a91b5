#include "protocols/programmer_upload.h"

#include "protocols/protocol_io.h"

namespace zovir {

namespace {

constexpr int kDmssProject = 44;
constexpr int kNopAttempts = 10;
constexpr int kSaharaReads = 5;
constexpr int kBlockAttempts = 3;
constexpr int kReopenAttempts = 10;
constexpr uint32_t kUploadBlock = 4096;  // unit of the block numbers shown to the user

constexpr uint32_t kSaharaHello = 1;
constexpr uint32_t kSaharaHelloResponse = 2;
constexpr uint32_t kSaharaReadData = 3;
constexpr uint32_t kSaharaEndOfImage = 4;
constexpr uint32_t kSaharaDone = 5;
constexpr uint32_t kSaharaDoneResponse = 6;
constexpr size_t kSaharaHeader = 8;
constexpr size_t kSaharaReadDataSize = 20;
constexpr size_t kSaharaEndOfImageSize = 16;
constexpr size_t kSaharaDoneResponseSize = 12;
constexpr size_t kSaharaMaxPacket = 64;

}  // namespace

ProgrammerUploader::ProgrammerUploader(EngineCore& core, Link& link)
    : core_(core), link_(link), reconnection_(core, link) {}

int ProgrammerUploader::ProgrammerPhase() {
  if (!core_.Healthy()) return -1;
  haveFirstRequest_ = false;
  const bool dmss = core_.cfg.ProjectType == kDmssProject;
  if (dmss) {
    SendPreCommand1();
    core_.ReportStatus(csInfo, "nop_cmd_6200_pre1 successfully", mtInfo);
    if (!core_.Wait(200)) return -1;
    SendPreCommand2();
    core_.ReportStatus(csInfo, "nop_cmd_6200_pre2 successfully", mtInfo);
    if (!core_.Wait(200)) return -1;
  }
  if (core_.cfg.bEnprg9x15 != 1) {
    const int r = SwitchToDownloadMode();
    if (r != 0) {
      core_.ReportError("[Bootloader] Switch to Download Mode failed");
      return r;
    }
    core_.ReportStatus(csInfo, "Switch to Download Mode successfully", mtInfo);
    core_.ReportProgress(5);
  }
  if (!dmss) {
    const int r = SendSaharaHelloResponse();
    if (r != 0) {
      core_.ReportError("Request Parameter failed");
      return r;
    }
    core_.ReportStatus(csInfo, "Request Parameter successfully", mtInfo);
  } else {
    using Step = int (ProgrammerUploader::*)();
    static constexpr Step kSteps[] = {&ProgrammerUploader::SendNop, &ProgrammerUploader::SendVersionRequest,
                                      &ProgrammerUploader::SendVersionRequest, &ProgrammerUploader::SendNop,
                                      &ProgrammerUploader::SendNop, &ProgrammerUploader::SendNop};
    for (Step step : kSteps) {
      const int r = (this->*step)();
      if (r != 0) {
        core_.ReportError("Nop command failed");
        return r;
      }
      core_.ReportStatus(csInfo, "Nop command successfully", mtInfo);
    }
    const int r = SendParameterRequest();
    if (r != 0) {
      core_.ReportError("Request Parameter failed");
      return r;
    }
    core_.ReportStatus(csInfo, "Request Parameter successfully", mtInfo);
  }
  const int uploaded = UploadProgrammer();
  if (uploaded != 0) return uploaded;
  if (core_.Healthy()) {
    const int r = SendSaharaDone();
    if (r != 0) {
      core_.ReportError("Request Parameter failed");
      return r;
    }
    core_.ReportStatus(csInfo, "Request Parameter successfully", mtInfo);
  }
  // The reset at the end of the image plan is watched from here on.
  core_.ClearDeviceChangeFlags();
  return core_.Healthy() ? 0 : -1;
}

int ProgrammerUploader::SwitchToDownloadMode() {
  core_.ClearDeviceChangeFlags();
  static constexpr uint8_t kSwitch[] = {0x3A};
  BuildCommandFrame(link_, kSwitch, sizeof kSwitch);
  const uint32_t pause = core_.cfg.bFastSpeedDownload ? 1000 : 2000;
  const uint64_t start = core_.clock.NowMs();
  bool echoed = false;
  do {
    if (!core_.Healthy()) break;
    link_.SendFrame();
    uint8_t reply[4] = {};
    const size_t got = ReadFull(core_, link_, reply, sizeof reply, 1);
    echoed = got == 4 && reply[0] == 0x3A && reply[3] == 0x7E;
    if (!core_.Wait(pause)) break;
  } while (!echoed && core_.Healthy() && core_.clock.NowMs() - start < kSwitchLimitMs);
  core_.Wait(2000);
  if (!core_.Healthy()) return -1;
  if (!echoed) return 1;
  if (core_.host != nullptr && !core_.host->IsSameDiagPort(core_.cfg.ComPort)) {
    core_.ReportStatus(csInfo, "Port has changed", mtInfo);
    reconnection_.FindComPort();
  }
  // The firmware's port went away with the restart: whether the boot loader's port kept the
  // number or not, the handle we hold belongs to a device that is gone.
  return ReopenBootLoaderPort() ? 0 : 2;
}

bool ProgrammerUploader::ReopenBootLoaderPort() {
  if (core_.hDiagPort) link_.CloseDiagPort("Warning-16");
  for (int attempt = 0; attempt < kReopenAttempts; ++attempt) {
    if (link_.ReopenDiagPort()) return true;
    if (!core_.Wait(500)) return false;
  }
  return false;
}

int ProgrammerUploader::SendPreCommand1() {
  static constexpr uint8_t kVersionRequest[] = {0x00};
  BuildCommandFrame(link_, kVersionRequest, sizeof kVersionRequest);
  link_.SendFrame();
  return 0;
}

int ProgrammerUploader::SendPreCommand2() {
  uint8_t payload[7] = {0x41, '0', '0', '0', '0', '0', '0'};
  for (size_t i = 0; i < 6 && i < serviceProgrammingCode.size(); ++i) {
    const char c = serviceProgrammingCode[i];
    payload[1 + i] = static_cast<uint8_t>(c >= '0' && c <= '9' ? c : '0');
  }
  BuildCommandFrame(link_, payload, sizeof payload);
  link_.SendFrame();
  return 0;
}

int ProgrammerUploader::SendVersionRequest() {
  static constexpr uint8_t kVersion[] = {0x0C};
  BuildCommandFrame(link_, kVersion, sizeof kVersion);
  link_.SendFrame();
  return 0;
}

int ProgrammerUploader::SendNop() {
  static constexpr uint8_t kNop[] = {0x06};
  BuildCommandFrame(link_, kNop, sizeof kNop);
  for (int attempt = 0; attempt < kNopAttempts; ++attempt) {
    if (!core_.Healthy()) return -1;
    link_.SendFramed();
    core_.ReportStatus(csWorking, "Sending nop_cmd..." + std::to_string(attempt), mtProgress);
    uint8_t reply[5] = {};
    const size_t got = ReadFull(core_, link_, reply, sizeof reply, 1);
    if (got == 5 && reply[1] == 0x02 && core_.Healthy()) return 0;
    if (!core_.Wait(1000)) return -1;
  }
  return 1;
}

int ProgrammerUploader::SendParameterRequest() {
  static constexpr uint8_t kParameters[] = {0x07};
  BuildCommandFrame(link_, kParameters, sizeof kParameters);
  if (!core_.Healthy()) return -1;
  link_.SendFramed();
  uint8_t reply[11] = {};
  const size_t got = ReadFullWithin(core_, link_, reply, sizeof reply, kParameterReplyLimitMs);
  if (!core_.Healthy()) return -1;
  if (got == 0)
    core_.ReportStatus(csInfo,
                       "No reply to the parameter request within " + std::to_string(kParameterReplyLimitMs / 1000) +
                           " s",
                       mtInfo);
  if (reply[0] != 0x08 || reply[10] != 0x7E) return 1;
  // Maximum write size 4096, big-endian.
  if (reply[3] != 0x10 || reply[4] != 0x00) return 2;
  return 0;
}

size_t ProgrammerUploader::ReadSaharaPacket(uint8_t* buffer, size_t capacity, int emptyReads) {
  size_t got = ReadFull(core_, link_, buffer, kSaharaHeader, emptyReads);
  if (got < kSaharaHeader) return got;
  const uint32_t length = GetLE32(buffer + 4);
  if (length <= kSaharaHeader || length > capacity) return got;
  got += ReadFull(core_, link_, buffer + got, length - kSaharaHeader, emptyReads);
  return got;
}

int ProgrammerUploader::SendSaharaHelloResponse() {
  uint8_t packet[48] = {};
  PutLE32(packet + 0, kSaharaHelloResponse);
  PutLE32(packet + 4, sizeof packet);
  PutLE32(packet + 8, 2);   // version
  PutLE32(packet + 12, 1);  // compatible version
  FrameBuffer& frame = link_.Frame();
  frame.Clear();
  frame.AddRaw(packet, sizeof packet);
  if (!core_.Healthy()) return -1;
  link_.SendRaw();
  core_.ReportStatus(csWorking, "Sending preq_cmd...", mtProgress);
  uint8_t reply[kSaharaMaxPacket] = {};
  size_t got = ReadSaharaPacket(reply, sizeof reply, kSaharaReads);
  if (got >= kSaharaHeader && GetLE32(reply) == kSaharaHello) {
    // The boot loader's hello came after the port was cleared, so it may not have taken the
    // response sent before it: answer this hello once more.
    frame.Clear();
    frame.AddRaw(packet, sizeof packet);
    link_.SendRaw();
    got = ReadSaharaPacket(reply, sizeof reply, kSaharaReads);
  }
  if (!core_.Healthy()) return -1;
  if (got < kSaharaReadDataSize || GetLE32(reply) != kSaharaReadData) return 1;
  haveFirstRequest_ = true;
  firstOffset_ = GetLE32(reply + 12);
  firstLength_ = GetLE32(reply + 16);
  return 0;
}

ProgrammerUploader::ChunkReply ProgrammerUploader::SendChunk(ImageFile& file, uint32_t offset, uint32_t length) {
  ChunkReply out;
  const std::string& path = core_.cfg.ramFile;
  if (!core_.Healthy()) {
    out.result = -1;
    return out;
  }
  if (!file.Seek(offset)) {
    core_.ReportError("Could not read from BIN file: " + path);
    out.result = -1;
    return out;
  }
  // The segment goes out raw in pieces read straight into the frame buffer: only the first
  // piece clears the port's queues, the rest follow it directly.
  FrameBuffer& frame = link_.Frame();
  uint32_t remaining = length;
  bool first = true;
  while (remaining > 0) {
    const uint32_t piece = std::min(remaining, kPieceSize);
    frame.Clear();
    if (file.Read(frame.data(), piece) != piece) {
      core_.ReportError("Could not read from BIN file: " + path);
      out.result = -1;
      return out;
    }
    frame.length = piece;
    const bool sent = first ? link_.SendRawChecked() : link_.WritePort(frame.data(), piece) == piece;
    if (!core_.Healthy()) {
      out.result = -1;
      return out;
    }
    if (!sent) return out;  // the boot loader cannot have the whole segment: try again
    first = false;
    remaining -= piece;
  }
  uint8_t reply[kSaharaMaxPacket] = {};
  const size_t got = ReadSaharaPacket(reply, sizeof reply, kSaharaReads);
  if (!core_.Healthy()) {
    out.result = -1;
    return out;
  }
  const uint32_t command = got >= kSaharaHeader ? GetLE32(reply) : 0;
  // A request for no bytes asks for nothing that could ever end the transfer.
  if (command == kSaharaReadData && got >= kSaharaReadDataSize && GetLE32(reply + 16) != 0) {
    out.result = 0;
    out.nextOffset = GetLE32(reply + 12);
    out.nextLength = GetLE32(reply + 16);
  } else if (command == kSaharaEndOfImage && got >= kSaharaEndOfImageSize && GetLE32(reply + 12) == 0) {
    out.result = 0;
    out.endOfImage = true;
  }
  return out;
}

int ProgrammerUploader::UploadProgrammer() {
  const std::string& path = core_.cfg.ramFile;
  core_.ReportStatus(csWorking, "Sending RAM program...", mtProgress);
  ImageFile file;
  if (!file.Open(path)) {
    core_.ReportError("Could not open BIN file: " + path);
    return 1;
  }
  const uint64_t size = file.Size();
  core_.cfg.ramFileSize = static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX));
  if (!core_.Wait(2)) return -1;
  core_.ReportProgress(10);
  const std::string name = FileNameOf(path);
  core_.ReportStatus(csWorking, name + " downloading, ", mtProgress);

  // The boot loader asks for the ELF header first; the Sahara hello exchange already told
  // us what it asked for, the older boot loader takes the header unasked.
  uint64_t offset = haveFirstRequest_ ? firstOffset_ : 0;
  uint64_t length = haveFirstRequest_ ? firstLength_ : kElfHeaderSize;
  const uint64_t totalBlocks = (size + kUploadBlock - 1) / kUploadBlock;
  // A boot loader that never takes what it is sent would be served until the user stops.
  // A sound one asks for each byte about once, and each block may take its attempts; one file
  // more is room for re-read headers. A request asked again right after it was served is
  // another attempt at the same block.
  const uint64_t servedLimit = (kBlockAttempts + 1) * size;
  uint64_t served = 0;
  int attempts = 0;  // times the present request was served in a row
  while (core_.Healthy()) {
    // Requests are served wherever they point (forward or backward), but never past the end.
    if (offset + length > size) {
      core_.ReportError("Could not read from BIN file: " + path);
      return 1;
    }
    const std::string block = std::to_string(offset / kUploadBlock + 1) + " of " + std::to_string(totalBlocks);
    ChunkReply reply;
    while (attempts < kBlockAttempts && served + length <= servedLimit) {
      ++attempts;
      served += length;
      reply = SendChunk(file, static_cast<uint32_t>(offset), static_cast<uint32_t>(length));
      if (reply.result <= 0) break;
      core_.ReportStatus(csWorking, name + ", re-sending block " + block, mtProgress);
    }
    if (reply.result < 0) return -1;
    if (reply.result != 0) {
      if (attempts < kBlockAttempts) {
        core_.ReportStatus(csInfo,
                           "The boot loader asked for " + std::to_string(served + length) +
                               " bytes of a programmer of " + std::to_string(size) + " bytes",
                           mtInfo);
      }
      core_.ReportError(name + ", fail to write block " + block);
      return 2;
    }
    if (reply.endOfImage) break;
    if (reply.nextOffset == offset && reply.nextLength == length) {
      core_.ReportStatus(csWorking, name + ", re-sending block " + block, mtProgress);
    } else {
      attempts = 0;
    }
    offset = reply.nextOffset;
    length = reply.nextLength;
  }
  return core_.Healthy() ? 0 : -1;
}

int ProgrammerUploader::SendSaharaDone() {
  uint8_t packet[8] = {};
  PutLE32(packet + 0, kSaharaDone);
  PutLE32(packet + 4, sizeof packet);
  FrameBuffer& frame = link_.Frame();
  frame.Clear();
  frame.AddRaw(packet, sizeof packet);
  if (!core_.Healthy()) return -1;
  link_.SendRaw();
  core_.ReportStatus(csWorking, "Sending preq_cmd...", mtProgress);
  uint8_t reply[kSaharaMaxPacket] = {};
  const size_t got = ReadSaharaPacket(reply, sizeof reply, kSaharaReads);
  if (!core_.Healthy()) return -1;
  return got >= kSaharaDoneResponseSize && GetLE32(reply) == kSaharaDoneResponse ? 0 : 1;
}

}  // namespace zovir
