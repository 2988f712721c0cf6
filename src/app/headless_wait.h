// How the headless main loop sleeps: until a stop is requested, a wake-up from
// another thread, or a time-out, in one blocking poll(2) on the stop request's
// descriptor and an eventfd. Nothing wakes the process while nothing happens.
#pragma once

#include <chrono>

namespace kvx {

class HeadlessWaiter {
 public:
  // Watches the descriptor of the stop request (InstallStopSignalHandlers first).
  HeadlessWaiter();
  ~HeadlessWaiter();
  HeadlessWaiter(const HeadlessWaiter&) = delete;
  HeadlessWaiter& operator=(const HeadlessWaiter&) = delete;

  // From any thread: the current or next Wait returns at once.
  void Wake();
  // True when a stop has been requested (StopSignal() tells by what); false
  // after a wake-up or the time-out.
  bool Wait(std::chrono::milliseconds timeout);

 private:
  int wakeFd_ = -1;
};

}  // namespace kvx
