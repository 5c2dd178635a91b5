#include "sim/nv_responders.h"

#include <algorithm>

#include "sim/port_protocol.h"
#include "sim/virtual_modem.h"

namespace zovir::sim {

namespace {

constexpr uint8_t kNVRead = 0x26;
constexpr uint8_t kNVWrite = 0x27;
constexpr uint8_t kBuildId = 0x7C;
constexpr uint8_t kFactoryTest = 0x0B;
constexpr uint16_t kFactoryTestCommand = 0x0024;
constexpr uint16_t kRFRead = 0x025C;
constexpr uint16_t kRFWrite = 0x025D;
constexpr size_t kItemRequestSize = 1 + 2 + NVStore::kItemSize + 2;
constexpr size_t kRFHeaderSize = 10;
constexpr uint32_t kMsmHwVersion = 0x000970E1;
constexpr uint32_t kModelIdBase = 0x00009100;  // the platform code is the low byte

uint16_t Le16(std::span<const uint8_t> p, size_t at) { return static_cast<uint16_t>(p[at] | (p[at + 1] << 8)); }

void PutLe16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutLe32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A `status:S` fault planned for this reply: the firmware's NV task failed the command with S
// (a busy or failing flash), so nothing was read or stored and the reply carries that status
// in its low byte, as the task reports every status. Other faults act on the reply as sent.
std::optional<uint8_t> FailedByFault(std::span<const uint8_t> req, DiagContext& ctx) {
  const std::optional<FaultRule> next = ctx.port.Faults().Peek(DiagDispatcher::FaultKey(req));
  if (!next || next->kind != FaultKind::Status || next->arg <= 0) return std::nullopt;
  return static_cast<uint8_t>(next->arg);
}

// The reply echoes the request with the item's data and the status word filled in.
std::optional<Bytes> NVRead(NVStore& store, std::span<const uint8_t> req, DiagContext& ctx) {
  if (req.size() != kItemRequestSize) return DiagDispatcher::BadLengthReply(req);
  store.BindIfUnbound(ctx.state);
  const uint16_t id = Le16(req, 1);
  store.CountRead(id);
  Bytes reply(req.begin(), req.end());
  std::fill(reply.begin() + 3, reply.begin() + 3 + NVStore::kItemSize, 0);
  const std::optional<uint8_t> status = store.Status(id);
  const std::optional<Bytes> value = ctx.state.Nv(id);
  uint8_t answer = NVStore::kDone;
  if (const std::optional<uint8_t> failed = FailedByFault(req, ctx)) {
    answer = *failed;
  } else if (status && *status != NVStore::kReadOnly) {
    answer = *status;
  } else if (!store.Defined(id)) {
    answer = NVStore::kNotDefined;
  } else if (!value) {
    answer = NVStore::kInactive;
  } else {
    std::copy_n(value->begin(), std::min(value->size(), NVStore::kItemSize), reply.begin() + 3);
  }
  reply[131] = answer;
  reply[132] = 0;
  return reply;
}

std::optional<Bytes> NVWrite(NVStore& store, std::span<const uint8_t> req, DiagContext& ctx) {
  if (req.size() != kItemRequestSize) return DiagDispatcher::BadLengthReply(req);
  store.BindIfUnbound(ctx.state);
  const uint16_t id = Le16(req, 1);
  store.CountWrite(id);
  Bytes reply(req.begin(), req.end());
  const std::optional<uint8_t> forced = store.WriteStatus(id);
  const std::optional<uint8_t> status = store.Status(id);
  uint8_t answer = NVStore::kDone;
  if (const std::optional<uint8_t> failed = FailedByFault(req, ctx)) {
    answer = *failed;
  } else if (forced) {
    answer = *forced;
  } else if (status && *status != NVStore::kInactive) {
    answer = *status;
  } else if (!store.Defined(id)) {
    answer = NVStore::kNotDefined;
  } else {
    ctx.state.SetNv(id, Bytes(req.begin() + 3, req.begin() + 3 + NVStore::kItemSize));
    store.SetStatus(id, NVStore::kDone);
  }
  reply[131] = answer;
  reply[132] = 0;
  return reply;
}

std::optional<Bytes> BuildID(NVStore& store, std::span<const uint8_t> req, DiagContext& ctx) {
  if (req.size() != 1) return DiagDispatcher::BadLengthReply(req);
  store.BindIfUnbound(ctx.state);
  Bytes reply{kBuildId, store.BuildVersion(), 0x00, 0x00};
  PutLe32(reply, kMsmHwVersion);
  PutLe32(reply, store.ModelId().value_or(kModelIdBase | ctx.options.platformId));
  const std::string text = store.BuildText();
  reply.insert(reply.end(), text.begin(), text.end());
  reply.push_back(0);
  reply.push_back(0);  // no model string
  return reply;
}

// Factory-test RF NV: the reply echoes the ten header bytes, then the status word, the item
// code, the data length and (reads only) the data.
std::optional<Bytes> FactoryTest(NVStore& store, std::span<const uint8_t> req, DiagContext& ctx) {
  if (req.size() < 4 || Le16(req, 2) != kFactoryTestCommand) return DiagDispatcher::ErrorReply(req);
  if (req.size() < kRFHeaderSize + 2) return DiagDispatcher::BadLengthReply(req);
  store.BindIfUnbound(ctx.state);
  const uint16_t command = Le16(req, 4);
  const uint16_t id = Le16(req, 10);
  Bytes reply(req.begin(), req.begin() + kRFHeaderSize);
  if (command == kRFRead) {
    const std::optional<uint16_t> status = store.RFStatus(id);
    const std::optional<Bytes> data = store.RFItem(id);
    uint16_t answer = NVStore::kRFReadOk;
    if (status)
      answer = *status;
    else if (!data)
      answer = NVStore::kRFInactive;
    const Bytes empty;
    const Bytes& out = answer == NVStore::kRFReadOk ? *data : empty;
    PutLe16(reply, answer);
    PutLe16(reply, id);
    PutLe16(reply, static_cast<uint16_t>(out.size()));
    reply.insert(reply.end(), out.begin(), out.end());
    return reply;
  }
  if (command == kRFWrite) {
    uint16_t answer = NVStore::kRFWriteOk;
    if (const std::optional<uint16_t> forced = store.RFWriteStatus(id)) {
      answer = *forced;
    } else if (req.size() < kRFHeaderSize + 4 || req.size() != kRFHeaderSize + 4u + Le16(req, 12)) {
      answer = NVStore::kRFWriteFailed;
    } else {
      store.SetRFItem(id, Bytes(req.begin() + kRFHeaderSize + 4, req.end()));
      if (store.RFStatus(id) == NVStore::kRFInactive) store.SetRFStatus(id, NVStore::kRFReadOk);
    }
    PutLe16(reply, answer);
    PutLe16(reply, id);
    PutLe16(reply, 0);
    return reply;
  }
  return DiagDispatcher::ErrorReply(req);
}

}  // namespace

void InstallNVResponders(DiagDispatcher& diag, AtDispatcher& /*at*/, std::shared_ptr<NVStore> store) {
  diag.Register(kNVRead, [store](std::span<const uint8_t> req, DiagContext& ctx) { return NVRead(*store, req, ctx); });
  diag.Register(kNVWrite,
                [store](std::span<const uint8_t> req, DiagContext& ctx) { return NVWrite(*store, req, ctx); });
  diag.Register(kBuildId, [store](std::span<const uint8_t> req, DiagContext& ctx) { return BuildID(*store, req, ctx); });
  diag.RegisterSubsystem(kFactoryTest, [store](std::span<const uint8_t> req, DiagContext& ctx) {
    return FactoryTest(*store, req, ctx);
  });
}

void InstallNVResponders(DiagDispatcher& diag, AtDispatcher& at) {
  InstallNVResponders(diag, at, std::make_shared<NVStore>());
}

void AttachNVStore(VirtualModemOptions& options, std::shared_ptr<NVStore> store) {
  options.extraResponders.push_back(
      [store](DiagDispatcher& diag, AtDispatcher& at) { InstallNVResponders(diag, at, store); });
  options.AddStore(store);
}

}  // namespace zovir::sim
