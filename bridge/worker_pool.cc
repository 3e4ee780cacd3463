#include "bridge/worker_pool.h"

#include "platform/sync.h"

namespace zel::bridge {

WorkerPool::WorkerPool(size_t threads, size_t max_queued)
    : max_queued_(max_queued == 0 ? 1 : max_queued) {
  if (threads == 0) threads = 1;
  threads_.reserve(threads);
  for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
}

WorkerPool::~WorkerPool() { Stop(); }

bool WorkerPool::Submit(Job job) {
  {
    MutexLock g(&mu_);
    if (stopping_ || jobs_.size() >= max_queued_) return false;
    jobs_.push_back(std::move(job));
  }
  cv_.Signal();
  return true;
}

void WorkerPool::Stop() {
  {
    MutexLock g(&mu_);
    if (stopping_ && threads_.empty()) return;
    stopping_ = true;
  }
  cv_.SignalAll();
  for (std::thread& t : threads_) {
    if (t.joinable()) t.join();
  }
  threads_.clear();
}

size_t WorkerPool::queued() const {
  MutexLock g(&mu_);
  return jobs_.size();
}

void WorkerPool::Run() {
  for (;;) {
    Job job;
    bool cancelled = false;
    {
      MutexLock g(&mu_);
      while (!stopping_ && jobs_.empty()) cv_.Wait(&mu_);
      if (jobs_.empty()) return;  // stopping and drained
      job = std::move(jobs_.front());
      jobs_.pop_front();
      cancelled = stopping_;
    }
    job(cancelled);
  }
}

}  // namespace zel::bridge
