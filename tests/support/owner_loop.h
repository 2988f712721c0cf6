// The thread that owns the window, for tests without Qt: jobs posted to it
// from other threads wait in a queue until the test's thread runs them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace kvx::test {

class OwnerLoop {
 public:
  void Post(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    posted_.notify_all();
  }
  // A poster for Client::RegisterNotifications.
  std::function<void(std::function<void()>)> Poster() {
    return [this](std::function<void()> job) { Post(std::move(job)); };
  }
  // Runs the jobs queued now, on the calling thread; returns how many.
  int RunPending() {
    std::deque<std::function<void()>> jobs;
    {
      std::lock_guard lock(mutex_);
      jobs.swap(jobs_);
    }
    for (auto& job : jobs) job();
    return static_cast<int>(jobs.size());
  }
  // Runs jobs as they come until `done` holds; false after ten seconds.
  bool RunUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (RunPending() > 0) continue;
      std::unique_lock lock(mutex_);
      if (std::chrono::steady_clock::now() > deadline) return false;
      posted_.wait_for(lock, std::chrono::milliseconds(5), [this] { return !jobs_.empty(); });
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> jobs_;
};

}  // namespace kvx::test
