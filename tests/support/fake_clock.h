// A clock under the test's control: the tick starts where the test says
// (near the 32-bit wrap if it likes), Sleep advances it instead of waiting,
// and local time follows the tick.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "device/clock.h"

namespace kvx::test {

class FakeClock : public Clock {
 public:
  explicit FakeClock(std::uint32_t startTick = 0, LocalTime start = LocalTime{2026, 12, 6, 15, 38, 5, 42});

  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
  LocalTime Now() override;

  void Advance(std::uint32_t milliseconds);
  // Called with the requested duration on every Sleep (after the tick advanced);
  // lets a test yield to other threads or count the acquisition loop's passes.
  void SetSleepHook(std::function<void(std::uint32_t)> hook);
  // When false (default true), Sleep does not advance the tick.
  void SetSleepAdvances(bool advances) { sleepAdvances_.store(advances); }

 private:
  std::atomic<std::uint32_t> tick_;
  std::atomic<std::uint64_t> elapsed_{0};  // ms since construction, for the local time
  std::atomic<bool> sleepAdvances_{true};
  LocalTime start_;
  std::mutex hookMutex_;
  std::function<void(std::uint32_t)> hook_;
};

}  // namespace kvx::test
