#include "preservation/nv_items.h"

#include <array>

#include "common/text.h"

namespace zovir {

namespace {

constexpr uint32_t kExchangeWaitMs = 500;
constexpr int kPlatformAttempts = 3;
constexpr uint8_t kNVRead = 0x26;
constexpr uint8_t kNVWrite = 0x27;
constexpr uint8_t kBuildId = 0x7C;
constexpr uint8_t kSubsystemDispatch = 0x4B;
constexpr uint8_t kFactoryTest = 0x0B;
constexpr uint16_t kFactoryTestCommand = 0x0024;
constexpr uint16_t kRFNVRead = 0x025C;
constexpr uint16_t kRFNVWrite = 0x025D;
constexpr uint8_t kRFReadFailed = 1;
constexpr uint32_t kNVDataSize = 128;
constexpr uint32_t kBuildIdMinLength = 9 + 2;  // byte 8 is data, then the check

// "00".."FF": a text's position is the byte it stands for.
constexpr std::array<std::array<char, 2>, 256> kHexTexts = [] {
  constexpr char digits[] = "0123456789ABCDEF";
  std::array<std::array<char, 2>, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = {digits[i >> 4], digits[i & 15]};
  return t;
}();

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

bool ParseHexText(std::string_view text, uint8_t& value) {
  if (text.size() != 2) return false;
  for (size_t i = 0; i < kHexTexts.size(); ++i) {
    if (text[0] == kHexTexts[i][0] && text[1] == kHexTexts[i][1]) {
      value = static_cast<uint8_t>(i);
      return true;
    }
  }
  return false;
}

// A decimal item id that fits the 16 bits the request carries; a larger value would
// silently address another item.
bool ParseItemId(std::string_view text, uint16_t& id) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > 0xFFFF) return false;
  id = static_cast<uint16_t>(v);
  return true;
}

}  // namespace

const char* NVStatusSuffix(uint8_t status) {
  switch (status) {
    case 1: return ":Internal DMSS use";
    case 2: return ":Unrecognizable command";
    case 3: return ":Memory is full";
    case 4: return ":Command failed";
    case 5: return ":NV status Error Received:Item inactive";
    case 6: return ":Bad parameter in command block";
    case 7: return ":Item was read-only";
    case 8: return ":Item not defined for this target";
    case 9: return ":Free memory exhausted";
    case 10: return ":Internal use";
    default: return ":Unkown error";
  }
}

namespace {

bool HeaderEchoes(const uint8_t* r, uint16_t testCommand) {
  return r[1] == kFactoryTest && Le16(r + 2) == kFactoryTestCommand && Le16(r + 4) == testCommand;
}

}  // namespace

NVItems::NVItems(EngineCore& core, Link& link, const NVItemTables& tables)
    : core_(core), link_(link), tables_(tables), baseList_(tables.base) {}

void NVItems::LogLine(const std::string& text) { core_.ReportStatus(csInfo, text, mtInfo); }
void NVItems::FailureStatus(const std::string& text) { core_.ReportStatus(csClosed, text, mtError); }

std::vector<uint8_t> NVItems::NVReadRequest(uint16_t item) {
  std::vector<uint8_t> r(133, 0);
  r[0] = kNVRead;
  r[1] = static_cast<uint8_t>(item & 0xFF);
  r[2] = static_cast<uint8_t>(item >> 8);
  r[131] = 0xCC;
  r[132] = 0xCC;
  return r;
}

std::vector<uint8_t> NVItems::RFReadRequest(uint16_t item) {
  return {kSubsystemDispatch, kFactoryTest, kFactoryTestCommand & 0xFF, kFactoryTestCommand >> 8,
          kRFNVRead & 0xFF,   kRFNVRead >> 8, 0x00, 0x00, 0x90, 0x00,
          static_cast<uint8_t>(item & 0xFF), static_cast<uint8_t>(item >> 8)};
}

bool NVItems::ReplyMatches(const uint8_t* r, uint32_t length, const NVReplyCheck& check) {
  if (length < 3 || r[0] != check.code) return false;
  switch (check.shape) {
    case NVReplyShape::Item:
      return length == kItemReplyLength && (check.item < 0 || Le16(r + 1) == check.item);
    case NVReplyShape::RFRead:
      // A read the modem says failed is asked again, like a reply that did not come: the item
      // is there, and it may read at the next attempt.
      return length >= kRFReplyMinLength && HeaderEchoes(r, kRFNVRead) && r[10] != kRFReadFailed &&
             (check.item < 0 || Le16(r + 12) == check.item) && length == kRFReplyMinLength + Le16(r + 14);
    case NVReplyShape::RFWrite:
      return length >= 12 + 2 && HeaderEchoes(r, kRFNVWrite);
    case NVReplyShape::BuildID:
      return length >= kBuildIdMinLength && r[1] == 2;
  }
  return false;
}

bool NVItems::NVExchange(const std::vector<uint8_t>& request, const NVReplyCheck& check, int failAt,
                         int waitFrom, uint32_t& replyLength) {
  if (!watch_.BeginExchange()) return false;
  for (int attempt = 1;; ++attempt) {
    if (!core_.Healthy()) return false;
    FrameBuffer& frame = link_.Frame();
    frame.Clear();
    frame.AddEscaped(request.data(), static_cast<uint32_t>(request.size()));
    frame.FinishFrame();
    link_.SendFramed();
    // A request that did not go out gets no reply: it counts as a receive that saw nothing.
    RxResult rx;
    if (link_.LastSendOk()) {
      const uint64_t began = core_.clock.NowMs();
      rx = link_.ReceiveReply();
      watch_.Waited(core_.clock.NowMs() - began);
    }
    if (rx.outcome == RxOutcome::Timeout && watch_.NoAnswer()) return false;
    if (attempt >= failAt) return false;
    if (attempt >= waitFrom) core_.Wait(kExchangeWaitMs);
    if (rx.outcome == RxOutcome::Frame && ReplyMatches(link_.Response(), rx.length, check)) {
      watch_.Answered();
      replyLength = rx.length;
      return true;
    }
  }
}

int NVItems::CheckNVStatus(const uint8_t* reply, uint32_t length, const std::string& label,
                           NVStatusPolicy policy) {
  if (length < 4) {
    core_.ReportError(label + NVStatusSuffix(0xFF));
    return 100;
  }
  const auto decode = [&](uint8_t status) -> int {
    if (status == 0) return 0;
    const int result = status <= 10 ? status : 100;
    const std::string text = label + NVStatusSuffix(status);
    if ((status == 5 || status == 6) && policy != NVStatusPolicy::Strict) {
      LogLine(text);
      return policy == NVStatusPolicy::Tolerant ? 0 : result;
    }
    core_.ReportError(text);
    return result;
  };
  const int high = decode(reply[length - 3]);
  if (high != 0) return high;
  return decode(reply[length - 4]);
}

uint8_t NVItems::HexTextToByte(std::string_view text) {
  uint8_t value = 0;
  if (ParseHexText(text, value)) return value;
  core_.ReportError("String to hex failed!");
  return 0;
}

void NVItems::WriteCustomNV(const std::string& idText, const std::string& dataText) {
  const std::string_view idView = TrimBlanks(idText);
  uint16_t id = 0;
  if (!ParseItemId(idView, id)) {
    core_.ReportError("NVID is incorrect!");
    return;
  }
  const std::string label = "[" + std::string(idView) + "]";

  std::vector<std::string_view> tokens;
  std::string_view rest = dataText;
  for (;;) {
    const size_t comma = rest.find(',');
    tokens.push_back(TrimBlanks(rest.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (tokens.empty() || tokens.size() > kNVDataSize) {
    core_.ReportError("NVData length is incorrect!");
    return;
  }

  std::vector<uint8_t> request(133, 0);
  request[0] = kNVWrite;
  request[1] = static_cast<uint8_t>(id & 0xFF);
  request[2] = static_cast<uint8_t>(id >> 8);
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (!ParseHexText(tokens[i], request[3 + i])) {
      core_.ReportError("String to hex failed!");
      return;
    }
  }

  uint32_t length = 0;
  if (!NVExchange(request, {kNVWrite, NVReplyShape::Item, id}, 50, 3, length)) {
    core_.ReportError(label + ":Fail to write NV");
    return;
  }
  if (CheckNVStatus(link_.Response(), length, "Custom NV", NVStatusPolicy::Strict) != 0) return;
  if (!core_.Healthy())
    FailureStatus("Fail to write NV......");
  else
    LogLine(label + "Write NV......OK");
}

void NVItems::WriteNVItemList() {
  watch_.Reset();
  for (const std::string& entry : core_.cfg.NVItemList) {
    const size_t colon = entry.find(':');
    if (colon == std::string::npos || colon == 0) {
      core_.ReportError("NVID is not contained in the configration!");
      return;
    }
    const std::string idText(TrimBlanks(std::string_view(entry).substr(0, colon)));
    if (idText.empty()) {
      core_.ReportError("NVID is incorrect!");
      return;
    }
    const std::string dataText = entry.substr(colon + 1);
    if (TrimBlanks(dataText).empty()) {
      core_.ReportError("NVData is is incorrect!");
      return;
    }
    if (core_.Healthy()) WriteCustomNV(idText, dataText);
  }
}

int NVItems::GetPlatformID() {
  const std::vector<uint8_t> request{kBuildId};
  const NVReplyCheck check{kBuildId, NVReplyShape::BuildID, -1};
  for (int attempt = 0; attempt < kPlatformAttempts && core_.Healthy(); ++attempt) {
    FrameBuffer& frame = link_.Frame();
    frame.Clear();
    frame.AddEscaped(request.data(), 1);
    frame.FinishFrame();
    link_.SendFramed();
    const RxResult rx = link_.ReceiveReply();
    if (rx.outcome == RxOutcome::Frame && ReplyMatches(link_.Response(), rx.length, check))
      return core_.Healthy() ? link_.Response()[8] : -1;
  }
  return -1;
}

bool UsesFullNVList(const EngineConfig& cfg) { return cfg.ProjectType == 12 && cfg.IsOmbrix != 0; }

}  // namespace zovir
