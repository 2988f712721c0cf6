#include "support/fake_clock.h"

#include <ctime>
#include <thread>

namespace kvx::test {

FakeClock::FakeClock(std::uint32_t startTick, LocalTime start) : tick_(startTick), start_(start) {}

std::uint32_t FakeClock::TickCount() { return tick_.load(); }

void FakeClock::Advance(std::uint32_t milliseconds) {
  tick_.fetch_add(milliseconds);  // wraps like the real 32-bit counter
  elapsed_.fetch_add(milliseconds);
}

void FakeClock::Sleep(std::uint32_t milliseconds) {
  if (sleepAdvances_.load()) Advance(milliseconds);
  std::function<void(std::uint32_t)> hook;
  {
    std::lock_guard lock(hookMutex_);
    hook = hook_;
  }
  if (hook) hook(milliseconds);
  else std::this_thread::yield();
}

void FakeClock::SetSleepHook(std::function<void(std::uint32_t)> hook) {
  std::lock_guard lock(hookMutex_);
  hook_ = std::move(hook);
}

LocalTime FakeClock::Now() {
  const std::uint64_t totalMs = elapsed_.load() + static_cast<std::uint64_t>(start_.millisecond);
  const auto t = static_cast<std::time_t>(CalendarSeconds(start_) + static_cast<std::int64_t>(totalMs / 1000));
  std::tm out{};
  gmtime_r(&t, &out);
  return LocalTime{out.tm_year + 1900, out.tm_mon + 1, out.tm_mday, out.tm_hour, out.tm_min, out.tm_sec,
                   static_cast<int>(totalMs % 1000), start_.utcOffsetSec};
}

}  // namespace kvx::test
