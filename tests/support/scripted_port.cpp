#include "support/scripted_port.h"

#include <algorithm>
#include <limits>
#include <mutex>

namespace zovir::test {
namespace {

constexpr int kErrorInvalidHandle = 6;
constexpr int kErrorAccessDenied = 5;
constexpr int kErrorFileNotFound = 2;
// How long an unbounded read on an idle script pretends to have waited: a real port would
// block forever, a test must not.
constexpr uint64_t kIdleUnboundedReadMs = 1000;

}  // namespace

struct ScriptedPort::Impl {
  Impl(FakeClock& c, std::string n) : clock(c), name(std::move(n)) {}

  FakeClock& clock;
  std::string name;
  mutable std::mutex m;

  std::deque<uint8_t> readable;
  std::multimap<uint64_t, std::vector<uint8_t>> arrivals;  // by FakeClock time
  std::deque<std::vector<uint8_t>> replies;
  std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> responder;
  std::function<void(uint64_t)> readHook;

  int failReads = 0, failReadsError = 0;
  int failWrites = 0, failWritesError = 0;
  int failCloses = 0, failClosesError = 0;
  int failSetQueueSizes = 0, failSetLineSettings = 0, failSetTimeouts = 0;
  int unplugError = 0;
  uint32_t commErrors = 0;

  std::vector<std::vector<uint8_t>> writes;
  CommTimeouts timeouts;
  LineSettings settings;
  uint32_t inQueue = 0, outQueue = 0;
  int purges = 0;
  uint64_t readCalls = 0, writeCalls = 0;
  bool closed = false;
  int handlesOpen = 0;
  int lastError = 0;

  bool Fail(int error) {
    lastError = error;
    return false;
  }

  void ReleaseArrivals() {
    const uint64_t now = clock.NowMs();
    while (!arrivals.empty() && arrivals.begin()->first <= now) {
      readable.insert(readable.end(), arrivals.begin()->second.begin(), arrivals.begin()->second.end());
      arrivals.erase(arrivals.begin());
    }
  }

  uint64_t NextArrival() const {
    return arrivals.empty() ? std::numeric_limits<uint64_t>::max() : arrivals.begin()->first;
  }

  void AdvanceTo(uint64_t t) {
    const uint64_t now = clock.NowMs();
    if (t > now) clock.Advance(t - now);
    ReleaseArrivals();
  }

  uint32_t Take(uint8_t* buffer, uint32_t want) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(want, readable.size()));
    std::copy_n(readable.begin(), n, buffer);
    readable.erase(readable.begin(), readable.begin() + n);
    return n;
  }

  // A read as a communication device with the configured time-outs performs it, with the
  // FakeClock standing in for the wait.
  void Read(uint8_t* buffer, uint32_t count, uint32_t& got) {
    got = 0;
    ReleaseArrivals();
    if (count == 0) return;
    const CommTimeouts& t = timeouts;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
      got = Take(buffer, count);
      return;
    }
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
        t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD) {
      if (readable.empty()) {
        const uint64_t limit = clock.NowMs() + t.ReadTotalTimeoutConstant;
        AdvanceTo(std::min(limit, NextArrival()));
      }
      got = Take(buffer, count);
      return;
    }
    const bool unbounded = t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    const uint64_t deadline = unbounded ? std::numeric_limits<uint64_t>::max()
                                        : clock.NowMs() + uint64_t{t.ReadTotalTimeoutMultiplier} * count +
                                              t.ReadTotalTimeoutConstant;
    const bool hasInterval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD;
    for (;;) {
      got += Take(buffer + got, count - got);
      if (got == count) return;
      uint64_t limit = deadline;
      if (got > 0 && hasInterval) limit = std::min(limit, clock.NowMs() + t.ReadIntervalTimeout);
      const uint64_t next = NextArrival();
      if (next <= limit) {
        AdvanceTo(next);
        continue;
      }
      if (limit == std::numeric_limits<uint64_t>::max()) {
        clock.Advance(kIdleUnboundedReadMs);
        return;
      }
      AdvanceTo(limit);
      got += Take(buffer + got, count - got);
      return;
    }
  }
};

// What the factory hands out: one open of the shared port. Closing it leaves the port (and
// its record) to the test.
class ScriptedPortHandle final : public SerialPort {
 public:
  explicit ScriptedPortHandle(std::shared_ptr<ScriptedPort> port) : port_(std::move(port)) {}
  ~ScriptedPortHandle() override {
    if (!closed_) Release();
  }

  const std::string& Name() const override { return port_->Name(); }
  bool GetLineSettings(LineSettings& out) override { return Live() && Track(port_->GetLineSettings(out)); }
  bool SetLineSettings(const LineSettings& s) override { return Live() && Track(port_->SetLineSettings(s)); }
  bool SetQueueSizes(uint32_t i, uint32_t o) override { return Live() && Track(port_->SetQueueSizes(i, o)); }
  bool SetTimeouts(const CommTimeouts& t) override { return Live() && Track(port_->SetTimeouts(t)); }
  bool GetTimeouts(CommTimeouts& out) override { return Live() && Track(port_->GetTimeouts(out)); }
  bool Purge(uint32_t actions) override { return Live() && Track(port_->Purge(actions)); }
  bool ClearError(uint32_t& errors) override { return Live() && Track(port_->ClearError(errors)); }
  bool BytesWaiting(uint32_t& count) override { return Live() && Track(port_->BytesWaiting(count)); }
  bool Read(uint8_t* b, uint32_t n, uint32_t& got) override {
    got = 0;
    return Live() && Track(port_->Read(b, n, got));
  }
  bool Write(const uint8_t* d, uint32_t n, uint32_t& written) override {
    written = 0;
    return Live() && Track(port_->Write(d, n, written));
  }
  bool Close() override {
    if (closed_) return true;
    auto& impl = *port_->impl_;
    std::lock_guard lock(impl.m);
    if (impl.failCloses > 0) {
      --impl.failCloses;
      lastError_ = impl.lastError = impl.failClosesError;
      return false;
    }
    closed_ = true;
    ReleaseLocked(impl);
    return true;
  }
  int LastError() const override { return lastError_; }

 private:
  bool Live() {
    if (!closed_) return true;
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  bool Track(bool ok) {
    if (!ok) lastError_ = port_->LastError();
    return ok;
  }
  void Release() {
    auto& impl = *port_->impl_;
    std::lock_guard lock(impl.m);
    ReleaseLocked(impl);
  }
  static void ReleaseLocked(ScriptedPort::Impl& impl) {
    if (impl.handlesOpen > 0) --impl.handlesOpen;
    if (impl.handlesOpen == 0) impl.closed = true;
  }

  std::shared_ptr<ScriptedPort> port_;
  bool closed_ = false;
  int lastError_ = 0;
};

ScriptedPort::ScriptedPort(FakeClock& clock, std::string name)
    : impl_(std::make_shared<Impl>(clock, std::move(name))) {}

void ScriptedPort::QueueBytes(const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(impl_->m);
  impl_->readable.insert(impl_->readable.end(), bytes.begin(), bytes.end());
}

void ScriptedPort::QueueReply(const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(impl_->m);
  impl_->replies.push_back(bytes);
}

void ScriptedPort::SetResponder(std::function<std::vector<uint8_t>(const std::vector<uint8_t>& written)> responder) {
  std::lock_guard lock(impl_->m);
  impl_->responder = std::move(responder);
}

void ScriptedPort::QueueBytesAfter(uint64_t delayMs, const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(impl_->m);
  impl_->arrivals.emplace(impl_->clock.NowMs() + delayMs, bytes);
}

void ScriptedPort::SetReadHook(std::function<void(uint64_t readIndex)> hook) {
  std::lock_guard lock(impl_->m);
  impl_->readHook = std::move(hook);
}

uint32_t ScriptedPort::Readable() const {
  std::lock_guard lock(impl_->m);
  return static_cast<uint32_t>(impl_->readable.size());
}

void ScriptedPort::FailReads(int n, int error) {
  std::lock_guard lock(impl_->m);
  impl_->failReads = n;
  impl_->failReadsError = error;
}

void ScriptedPort::FailWrites(int n, int error) {
  std::lock_guard lock(impl_->m);
  impl_->failWrites = n;
  impl_->failWritesError = error;
}

void ScriptedPort::FailCloses(int n, int error) {
  std::lock_guard lock(impl_->m);
  impl_->failCloses = n;
  impl_->failClosesError = error;
}

void ScriptedPort::FailSetQueueSizes(int error) {
  std::lock_guard lock(impl_->m);
  impl_->failSetQueueSizes = error;
}

void ScriptedPort::FailSetLineSettings(int error) {
  std::lock_guard lock(impl_->m);
  impl_->failSetLineSettings = error;
}

void ScriptedPort::FailSetTimeouts(int error) {
  std::lock_guard lock(impl_->m);
  impl_->failSetTimeouts = error;
}

void ScriptedPort::SetCommErrors(uint32_t mask) {
  std::lock_guard lock(impl_->m);
  impl_->commErrors = mask;
}

void ScriptedPort::Unplug(int error) {
  std::lock_guard lock(impl_->m);
  impl_->unplugError = error;
}

const std::vector<std::vector<uint8_t>>& ScriptedPort::Writes() const { return impl_->writes; }

std::vector<uint8_t> ScriptedPort::AllWritten() const {
  std::lock_guard lock(impl_->m);
  std::vector<uint8_t> all;
  for (const auto& w : impl_->writes) all.insert(all.end(), w.begin(), w.end());
  return all;
}

const CommTimeouts& ScriptedPort::Timeouts() const { return impl_->timeouts; }
const LineSettings& ScriptedPort::Settings() const { return impl_->settings; }

uint32_t ScriptedPort::InQueue() const {
  std::lock_guard lock(impl_->m);
  return impl_->inQueue;
}

uint32_t ScriptedPort::OutQueue() const {
  std::lock_guard lock(impl_->m);
  return impl_->outQueue;
}

int ScriptedPort::Purges() const {
  std::lock_guard lock(impl_->m);
  return impl_->purges;
}

uint64_t ScriptedPort::ReadCalls() const {
  std::lock_guard lock(impl_->m);
  return impl_->readCalls;
}

uint64_t ScriptedPort::WriteCalls() const {
  std::lock_guard lock(impl_->m);
  return impl_->writeCalls;
}

bool ScriptedPort::Closed() const {
  std::lock_guard lock(impl_->m);
  return impl_->closed;
}

const std::string& ScriptedPort::Name() const { return impl_->name; }

bool ScriptedPort::GetLineSettings(LineSettings& out) {
  std::lock_guard lock(impl_->m);
  if (impl_->unplugError) return impl_->Fail(impl_->unplugError);
  out = impl_->settings;
  return true;
}

bool ScriptedPort::SetLineSettings(const LineSettings& settings) {
  std::lock_guard lock(impl_->m);
  if (impl_->unplugError) return impl_->Fail(impl_->unplugError);
  if (impl_->failSetLineSettings) return impl_->Fail(impl_->failSetLineSettings);
  impl_->settings = settings;
  return true;
}

bool ScriptedPort::SetQueueSizes(uint32_t inBytes, uint32_t outBytes) {
  std::lock_guard lock(impl_->m);
  if (impl_->unplugError) return impl_->Fail(impl_->unplugError);
  if (impl_->failSetQueueSizes) return impl_->Fail(impl_->failSetQueueSizes);
  impl_->inQueue = inBytes;
  impl_->outQueue = outBytes;
  return true;
}

bool ScriptedPort::SetTimeouts(const CommTimeouts& timeouts) {
  std::lock_guard lock(impl_->m);
  if (impl_->unplugError) return impl_->Fail(impl_->unplugError);
  if (impl_->failSetTimeouts) return impl_->Fail(impl_->failSetTimeouts);
  impl_->timeouts = timeouts;
  return true;
}

bool ScriptedPort::GetTimeouts(CommTimeouts& out) {
  std::lock_guard lock(impl_->m);
  if (impl_->unplugError) return impl_->Fail(impl_->unplugError);
  out = impl_->timeouts;
  return true;
}

bool ScriptedPort::Purge(uint32_t actions) {
  std::lock_guard lock(impl_->m);
  if (impl_->unplugError) return impl_->Fail(impl_->unplugError);
  ++impl_->purges;
  impl_->ReleaseArrivals();  // what has arrived by now is in the queue being purged
  if (actions & PURGE_RXCLEAR) impl_->readable.clear();
  return true;
}

bool ScriptedPort::ClearError(uint32_t& errors) {
  std::lock_guard lock(impl_->m);
  errors = 0;
  if (impl_->unplugError) return impl_->Fail(impl_->unplugError);
  errors = impl_->commErrors;
  impl_->commErrors = 0;
  return true;
}

bool ScriptedPort::BytesWaiting(uint32_t& count) {
  std::lock_guard lock(impl_->m);
  count = 0;
  if (impl_->unplugError) return impl_->Fail(impl_->unplugError);
  impl_->ReleaseArrivals();
  count = static_cast<uint32_t>(impl_->readable.size());
  return true;
}

bool ScriptedPort::Read(uint8_t* buffer, uint32_t count, uint32_t& got) {
  got = 0;
  std::function<void(uint64_t)> hook;
  uint64_t index = 0;
  {
    std::lock_guard lock(impl_->m);
    hook = impl_->readHook;
    index = impl_->readCalls++;
  }
  if (hook) hook(index);
  std::lock_guard lock(impl_->m);
  if (impl_->unplugError) return impl_->Fail(impl_->unplugError);
  if (impl_->failReads > 0) {
    --impl_->failReads;
    return impl_->Fail(impl_->failReadsError);
  }
  impl_->Read(buffer, count, got);
  return true;
}

bool ScriptedPort::Write(const uint8_t* data, uint32_t count, uint32_t& written) {
  written = 0;
  std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> responder;
  std::vector<uint8_t> bytes(data, data + count);
  {
    std::lock_guard lock(impl_->m);
    ++impl_->writeCalls;
    if (impl_->unplugError) return impl_->Fail(impl_->unplugError);
    if (impl_->failWrites > 0) {
      --impl_->failWrites;
      return impl_->Fail(impl_->failWritesError);
    }
    impl_->writes.push_back(bytes);
    written = count;
    if (!impl_->replies.empty()) {
      const auto& reply = impl_->replies.front();
      impl_->readable.insert(impl_->readable.end(), reply.begin(), reply.end());
      impl_->replies.pop_front();
    }
    responder = impl_->responder;
  }
  if (responder) {
    const std::vector<uint8_t> reply = responder(bytes);
    std::lock_guard lock(impl_->m);
    impl_->readable.insert(impl_->readable.end(), reply.begin(), reply.end());
  }
  return true;
}

bool ScriptedPort::Close() {
  std::lock_guard lock(impl_->m);
  if (impl_->failCloses > 0) {
    --impl_->failCloses;
    return impl_->Fail(impl_->failClosesError);
  }
  impl_->closed = true;
  return true;
}

int ScriptedPort::LastError() const {
  std::lock_guard lock(impl_->m);
  return impl_->lastError;
}

ScriptedPortFactory::ScriptedPortFactory(FakeClock& clock) : clock_(clock) {}

ScriptedPort& ScriptedPortFactory::Port(const std::string& name) {
  auto& slot = ports_[name];
  if (!slot) slot = std::make_shared<ScriptedPort>(clock_, name);
  return *slot;
}

void ScriptedPortFactory::Remove(const std::string& name) {
  auto it = ports_.find(name);
  if (it == ports_.end()) return;
  removed_.push_back(it->second);
  ports_.erase(it);
}

void ScriptedPortFactory::FailOpens(const std::string& name, int n, int error) {
  failOpens_[name] = n;
  failError_[name] = error;
}

int ScriptedPortFactory::Opens(const std::string& name) const {
  auto it = opens_.find(name);
  return it == opens_.end() ? 0 : it->second;
}

std::unique_ptr<SerialPort> ScriptedPortFactory::Open(const std::string& comName, int& error) {
  error = 0;
  ++opens_[comName];
  if (int& pending = failOpens_[comName]; pending > 0) {
    --pending;
    error = failError_[comName];
    return nullptr;
  }
  auto it = ports_.find(comName);
  if (it == ports_.end()) {
    error = kErrorFileNotFound;
    return nullptr;
  }
  auto& impl = *it->second->impl_;
  {
    std::lock_guard lock(impl.m);
    if (impl.handlesOpen > 0) {
      error = kErrorAccessDenied;
      return nullptr;
    }
    ++impl.handlesOpen;
    impl.closed = false;
  }
  return std::make_unique<ScriptedPortHandle>(it->second);
}

}  // namespace zovir::test
