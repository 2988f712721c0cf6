// The wait of a control call whose reply a strip holds back: for the drivers
// that play strips (the simulated one, test doubles), which must still keep the
// contract's bound and end the call at once when the handle dies.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "device/driver.h"

namespace kvx::device {

// Waits, with `lock` held on entry and on return, until the reply is due
// (`delay` from now; milliseconds::max() = never), the call's `timeout` has
// passed, or `alive()` turns false. `changed` is notified whenever a handle
// dies. Ok: the reply is due now; TimedOut: the call is withdrawn; Gone.
template <typename Alive>
ControlStatus AwaitHeldReply(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                             std::chrono::milliseconds delay, std::chrono::milliseconds timeout, Alive alive) {
  // A day bounds both waits, so the time-point arithmetic cannot overflow.
  constexpr std::chrono::milliseconds kLongest = std::chrono::hours(24);
  const auto now = std::chrono::steady_clock::now();
  const auto answerAt = now + std::clamp(delay, std::chrono::milliseconds(0), kLongest);
  const auto deadline = now + std::clamp(timeout, std::chrono::milliseconds(0), kLongest);
  for (;;) {
    if (!alive()) return ControlStatus::Gone;
    const auto t = std::chrono::steady_clock::now();
    if (t >= answerAt && answerAt <= deadline) return ControlStatus::Ok;
    if (t >= deadline) return ControlStatus::TimedOut;
    changed.wait_until(lock, std::min(answerAt, deadline));
  }
}

}  // namespace kvx::device
