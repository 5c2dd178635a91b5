#include "discovery/owner_thread.h"

namespace zovir {

QueuedOwnerThread::QueuedOwnerThread() : owner_(std::this_thread::get_id()) {}

QueuedOwnerThread::~QueuedOwnerThread() { Shutdown(); }

void QueuedOwnerThread::Rebind(std::thread::id owner) {
  std::lock_guard lock(mutex_);
  owner_ = owner;
}

bool QueuedOwnerThread::IsCurrent() const {
  std::lock_guard lock(mutex_);
  return std::this_thread::get_id() == owner_;
}

bool QueuedOwnerThread::Post(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    jobs_.push_back(std::move(job));
  }
  cv_.notify_all();
  return true;
}

int QueuedOwnerThread::RunPending(int waitMs) {
  size_t due = 0;
  {
    std::unique_lock lock(mutex_);
    if (waitMs > 0)
      cv_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return closed_ || !jobs_.empty(); });
    due = jobs_.size();
  }
  // One job at a time from the shared queue: a job that waits for work queued behind it (a
  // handler waiting for an engine that waits for a host call) serves that work through a nested
  // call instead of waiting for ever. Jobs posted meanwhile wait for the next call.
  int ran = 0;
  for (; due > 0; --due) {
    std::function<void()> job;
    {
      std::lock_guard lock(mutex_);
      if (jobs_.empty()) break;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
    ++ran;
  }
  return ran;
}

void QueuedOwnerThread::Shutdown() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(jobs_);
  }
  cv_.notify_all();
  // Destroying the jobs outside the lock releases their waiting callers.
}

WorkerOwnerThread::WorkerOwnerThread() {
  std::lock_guard lock(runMutex_);
  worker_ = std::thread([this] {
    {
      std::lock_guard started(runMutex_);
    }
    for (;;) {
      {
        std::lock_guard lock(runMutex_);
        if (stop_) break;
      }
      RunPending(200);
    }
  });
  Rebind(worker_.get_id());
}

WorkerOwnerThread::~WorkerOwnerThread() {
  {
    std::lock_guard lock(runMutex_);
    stop_ = true;
  }
  Shutdown();
  if (worker_.joinable()) worker_.join();
}

}  // namespace zovir
