// A thread of its own that runs posted jobs one at a time, in the order
// posted: where the client does device I/O that must not run on the thread
// that owns the window.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace kvx {

class JobThread {
 public:
  JobThread() = default;
  ~JobThread();  // Stop()

  JobThread(const JobThread&) = delete;
  JobThread& operator=(const JobThread&) = delete;

  // Queues a job; the thread starts with the first one. False once stopped,
  // or when no thread can be started: the job is then not run.
  bool Post(std::function<void()> job);
  // The job running finishes, the jobs still queued are dropped, and the
  // thread is joined. Idempotent; not to be called from a job.
  void Stop();

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace kvx
