#include "support/wait_for.h"

#include <thread>

namespace kvx::test {

bool WaitFor(const std::function<bool()>& condition, const std::function<void()>& between,
             std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (between) {
      between();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return true;
}

}  // namespace kvx::test
