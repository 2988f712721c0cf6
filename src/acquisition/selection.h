// Which strip the user polls: the tree (or --serial, or the headless loop)
// sets it, the acquisition thread waits on it and ends a connection when it
// changes. A serial of 0 means no strip is selected.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace kvx {

class StripSelection {
 public:
  std::int32_t serial() const { return serial_.load(); }
  // How many times the selection took another value (storing the serial it
  // already holds is no change).
  std::uint64_t changes() const { return changes_.load(); }
  // Also wakes WaitForSelection and WaitWhileSelected.
  void Set(std::int32_t serial);
  // Blocks until a strip is selected or `stopWaiting` holds; returns the
  // selection (0 when it gave up). `stopWaiting` is evaluated under the wait's
  // lock: whoever makes it true calls WakeWaiters afterwards.
  std::int32_t WaitForSelection(const std::function<bool()>& stopWaiting);
  // Waits `timeout` while `serial` stays selected and `stopWaiting` false.
  void WaitWhileSelected(std::int32_t serial, std::chrono::milliseconds timeout,
                         const std::function<bool()>& stopWaiting);
  void WakeWaiters();

 private:
  std::atomic<std::int32_t> serial_{0};
  std::atomic<std::uint64_t> changes_{0};
  std::mutex mutex_;  // only for the waits
  std::condition_variable changed_;
};

}  // namespace kvx
