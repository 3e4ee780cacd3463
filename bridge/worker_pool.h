// WorkerPool: a fixed set of threads running queued jobs, so a call that blocks (a controller
// exchange takes up to seconds) holds one worker and never the threads that read and write the
// sockets. The queue is bounded: Submit refuses when it is full, and the caller answers "busy".
//
// Thread contract: Submit from any thread. Stop from one thread (the owner), once: it waits for
// running jobs, and jobs still queued are run with `cancelled` true so each can answer its client.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sync.h"

namespace zel::bridge {

class WorkerPool {
 public:
  // A job; `cancelled` is true when the pool is stopping and the job should only answer.
  using Job = std::function<void(bool cancelled)>;

  WorkerPool(size_t threads, size_t max_queued);
  ~WorkerPool();

  // False when the queue is full or the pool has stopped (the job is not run).
  bool Submit(Job job);
  void Stop();

  size_t queued() const;

 private:
  void Run();

  const size_t max_queued_;
  mutable Mutex mu_;
  CondVar cv_;
  bool stopping_ ZEL_GUARDED_BY(mu_) = false;
  std::deque<Job> jobs_ ZEL_GUARDED_BY(mu_);
  std::vector<std::thread> threads_;
};

}  // namespace zel::bridge
