// How the headless main loop sleeps: until a stop signal, a wake-up from
// another thread, or a time-out, in one blocking poll(2) on a signalfd and an
// eventfd. Nothing wakes the process while nothing happens.
#pragma once

#include <signal.h>

#include <chrono>

namespace kvx {

class HeadlessWaiter {
 public:
  // `stopSignals` must already be blocked in every thread (BlockStopSignals).
  explicit HeadlessWaiter(const sigset_t& stopSignals);
  ~HeadlessWaiter();
  HeadlessWaiter(const HeadlessWaiter&) = delete;
  HeadlessWaiter& operator=(const HeadlessWaiter&) = delete;

  // From any thread: the current or next Wait returns at once.
  void Wake();
  // Returns the stop signal taken, or 0 after a wake-up or the time-out.
  int Wait(std::chrono::milliseconds timeout);

 private:
  sigset_t stopSignals_;
  int signalFd_ = -1;
  int wakeFd_ = -1;
};

}  // namespace kvx
