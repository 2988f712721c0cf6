// The one wait of the tests that watch another thread or process: poll a
// condition until it holds, with a time-out long enough for a sanitizer build
// on a busy shared machine, so no test depends on how fast the machine is.
#pragma once

#include <chrono>
#include <functional>

namespace kvx::test {

inline constexpr std::chrono::seconds WAIT_FOR_TIMEOUT{30};

// Returns as soon as `condition` holds (true), or false once `timeout` has
// passed without it. Between two polls it runs `between` (a Qt test processes
// its events there) or, without one, sleeps for a couple of milliseconds.
bool WaitFor(const std::function<bool()>& condition, const std::function<void()>& between = {},
             std::chrono::milliseconds timeout = WAIT_FOR_TIMEOUT);

}  // namespace kvx::test
