#include "sim/nv_store.h"

namespace zovir::sim {

namespace {
template <typename Map, typename Key>
auto Find(const Map& m, const Key& k) -> std::optional<typename Map::mapped_type> {
  auto it = m.find(k);
  if (it == m.end()) return std::nullopt;
  return it->second;
}
}  // namespace

void NVStore::SetStatus(uint32_t id, uint8_t status) {
  std::lock_guard lock(mu_);
  if (status == kDone)
    status_.erase(id);
  else
    status_[id] = status;
}

std::optional<uint8_t> NVStore::Status(uint32_t id) const {
  std::lock_guard lock(mu_);
  return Find(status_, id);
}

void NVStore::SetHighestItem(uint32_t id) {
  std::lock_guard lock(mu_);
  highestItem_ = id;
}

void NVStore::SetUndefined(uint32_t id, bool undefined) {
  std::lock_guard lock(mu_);
  if (undefined)
    undefined_.insert(id);
  else
    undefined_.erase(id);
}

bool NVStore::Defined(uint32_t id) const {
  std::lock_guard lock(mu_);
  return id <= highestItem_ && !undefined_.count(id);
}

void NVStore::SetWriteStatus(uint32_t id, std::optional<uint8_t> status) {
  std::lock_guard lock(mu_);
  if (status)
    writeStatus_[id] = *status;
  else
    writeStatus_.erase(id);
}

std::optional<uint8_t> NVStore::WriteStatus(uint32_t id) const {
  std::lock_guard lock(mu_);
  return Find(writeStatus_, id);
}

void NVStore::MovePendingRF(DeviceState& state) const {
  std::map<uint16_t, Bytes> pending;
  {
    std::lock_guard lock(mu_);
    pending.swap(rf_);
  }
  for (auto& [id, data] : pending) state.SetRf(id, std::move(data));
}

DeviceState* NVStore::RFState() const {
  DeviceState* state = Bound();
  if (state) MovePendingRF(*state);
  return state;
}

void NVStore::SetRFItem(uint16_t id, Bytes data) {
  if (DeviceState* state = RFState()) return state->SetRf(id, std::move(data));
  std::lock_guard lock(mu_);
  rf_[id] = std::move(data);
}

std::optional<Bytes> NVStore::RFItem(uint16_t id) const {
  if (DeviceState* state = RFState()) return state->Rf(id);
  std::lock_guard lock(mu_);
  return Find(rf_, id);
}

void NVStore::EraseRFItem(uint16_t id) {
  if (DeviceState* state = RFState()) return state->EraseRf(id);
  std::lock_guard lock(mu_);
  rf_.erase(id);
}

std::map<uint16_t, Bytes> NVStore::AllRFItems() const {
  if (DeviceState* state = RFState()) return state->AllRf();
  std::lock_guard lock(mu_);
  return rf_;
}

void NVStore::SetRFStatus(uint16_t id, uint16_t status) {
  std::lock_guard lock(mu_);
  if (status == kRFReadOk)
    rfStatus_.erase(id);
  else
    rfStatus_[id] = status;
}

void NVStore::SetRFWriteStatus(uint16_t id, uint16_t status) {
  std::lock_guard lock(mu_);
  if (status == kRFWriteOk)
    rfWriteStatus_.erase(id);
  else
    rfWriteStatus_[id] = status;
}

std::optional<uint16_t> NVStore::RFStatus(uint16_t id) const {
  std::lock_guard lock(mu_);
  return Find(rfStatus_, id);
}

std::optional<uint16_t> NVStore::RFWriteStatus(uint16_t id) const {
  std::lock_guard lock(mu_);
  return Find(rfWriteStatus_, id);
}

void NVStore::SetBuildID(uint8_t version, uint32_t modelId, std::string buildText) {
  std::lock_guard lock(mu_);
  buildVersion_ = version;
  modelId_ = modelId;
  buildText_ = std::move(buildText);
}

uint8_t NVStore::BuildVersion() const {
  std::lock_guard lock(mu_);
  return buildVersion_;
}

std::optional<uint32_t> NVStore::ModelId() const {
  std::lock_guard lock(mu_);
  return modelId_;
}

std::string NVStore::BuildText() const {
  std::lock_guard lock(mu_);
  return buildText_;
}

void NVStore::LoseOnDownload(std::vector<uint32_t> nvItems, std::vector<uint16_t> rfItems) {
  std::lock_guard lock(mu_);
  loseNv_.insert(nvItems.begin(), nvItems.end());
  loseRf_.insert(rfItems.begin(), rfItems.end());
}

void NVStore::LoseAllOnDownload() {
  std::lock_guard lock(mu_);
  loseAll_ = true;
}

void NVStore::LoseValues(DeviceState& state, const std::vector<uint32_t>& nvItems,
                         const std::vector<uint16_t>& rfItems) {
  MovePendingRF(state);
  for (uint32_t id : nvItems) state.EraseNv(id);
  for (uint16_t id : rfItems) state.EraseRf(id);
}

void NVStore::LoseAllValues(DeviceState& state) {
  MovePendingRF(state);
  for (const auto& [id, value] : state.AllNv()) state.EraseNv(id);
  for (const auto& [id, value] : state.AllRf()) state.EraseRf(id);
}

void NVStore::OnModemEvent(DeviceState& state, const std::string& event) {
  if (event.rfind("partition ", 0) != 0) return;
  bool all = false;
  std::vector<uint32_t> nv;
  std::vector<uint16_t> rf;
  {
    std::lock_guard lock(mu_);
    all = loseAll_;
    nv.assign(loseNv_.begin(), loseNv_.end());
    rf.assign(loseRf_.begin(), loseRf_.end());
    if (!all && nv.empty() && rf.empty()) return;
    ++losses_;
  }
  if (all)
    LoseAllValues(state);
  else
    LoseValues(state, nv, rf);
}

uint32_t NVStore::Losses() const {
  std::lock_guard lock(mu_);
  return losses_;
}

uint32_t NVStore::Reads(uint32_t id) const {
  std::lock_guard lock(mu_);
  return Find(reads_, id).value_or(0);
}

uint32_t NVStore::Writes(uint32_t id) const {
  std::lock_guard lock(mu_);
  return Find(writes_, id).value_or(0);
}

void NVStore::CountRead(uint32_t id) {
  std::lock_guard lock(mu_);
  ++reads_[id];
}

void NVStore::CountWrite(uint32_t id) {
  std::lock_guard lock(mu_);
  ++writes_[id];
}

}  // namespace zovir::sim
