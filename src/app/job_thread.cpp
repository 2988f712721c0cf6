#include "app/job_thread.h"

#include <system_error>

namespace kvx {

JobThread::~JobThread() { Stop(); }

bool JobThread::Post(std::function<void()> job) {
  std::lock_guard lock(mutex_);
  if (stopping_) return false;
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      return false;
    }
  }
  jobs_.push_back(std::move(job));
  wake_.notify_one();
  return true;
}

void JobThread::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void JobThread::Run() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

}  // namespace kvx
