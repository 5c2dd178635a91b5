#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace zovir {

// The thread that owns a piece of window state. Work for that state is posted to it; a
// front end implements this over its event loop (a queued call into the window thread).
class OwnerThread {
 public:
  virtual ~OwnerThread() = default;
  // True when called on the owner's thread.
  virtual bool IsCurrent() const = 0;
  // Queues `job` to run on the owner's thread. False (job dropped) once the owner shuts down.
  virtual bool Post(std::function<void()> job) = 0;
};

// An owner thread served by whoever calls RunPending (e.g. a command-line main loop), bound to
// the thread that constructed it.
class QueuedOwnerThread : public OwnerThread {
 public:
  QueuedOwnerThread();
  ~QueuedOwnerThread() override;
  bool IsCurrent() const override;
  bool Post(std::function<void()> job) override;
  // Runs the queued jobs; with `waitMs` > 0 first waits that long for one to arrive.
  // Returns how many ran. Call on the owner's thread only.
  int RunPending(int waitMs = 0);
  // Drops queued jobs and refuses new ones (their callers get no result).
  void Shutdown();

 protected:
  void Rebind(std::thread::id owner);

 private:
  std::thread::id owner_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  bool closed_ = false;
};

// An owner thread of its own: a worker that runs the posted jobs one after another.
class WorkerOwnerThread final : public QueuedOwnerThread {
 public:
  WorkerOwnerThread();
  ~WorkerOwnerThread() override;

 private:
  std::mutex runMutex_;
  bool stop_ = false;
  std::thread worker_;
};

}  // namespace zovir
