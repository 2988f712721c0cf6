// Time as the client sees it: a 32-bit millisecond tick that wraps around,
// sleeps, and local wall-clock time with milliseconds. Injectable so that tests
// of the one-second rhythm and of the tick wrap-around run fast and exactly.
#pragma once

#include <cstdint>

namespace kvx {

struct LocalTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;  // 0..999
  long utcOffsetSec = 0;  // of local time from UTC at that moment, seconds east
  bool operator==(const LocalTime&) const = default;
};

// The moment `time` names, in seconds since the Unix epoch.
double UnixSeconds(const LocalTime& time);

// The fields of `time` (milliseconds and offset aside) counted as seconds of
// a calendar without time zones: timegm as a calendar, so that fields moved
// on by whole seconds come back through gmtime_r as local time still.
std::int64_t CalendarSeconds(const LocalTime& time);

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds of a steady counter, truncated to 32 bits: differences are
  // taken as unsigned 32-bit values, so they stay right across the wrap.
  virtual std::uint32_t TickCount() = 0;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  virtual LocalTime Now() = 0;
};

// The real clock: steady_clock ticks, this_thread::sleep_for, localtime_r.
class SystemClock final : public Clock {
 public:
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
  LocalTime Now() override;
};

Clock& DefaultClock();

}  // namespace kvx
