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
  std::tm parts{};
  parts.tm_year = start_.year - 1900;
  parts.tm_mon = start_.month - 1;
  parts.tm_mday = start_.day;
  parts.tm_hour = start_.hour;
  parts.tm_min = start_.minute;
  parts.tm_sec = start_.second;
  const std::uint64_t totalMs = elapsed_.load() + static_cast<std::uint64_t>(start_.millisecond);
  parts.tm_sec += static_cast<int>(totalMs / 1000);
  const std::time_t t = timegm(&parts);
  std::tm out{};
  gmtime_r(&t, &out);
  return LocalTime{out.tm_year + 1900, out.tm_mon + 1, out.tm_mday, out.tm_hour, out.tm_min, out.tm_sec,
                   static_cast<int>(totalMs % 1000)};
}

}  // namespace kvx::test
