#include "acquisition/selection.h"

namespace kvx {

void StripSelection::Set(std::int32_t serial) {
  {
    // Stored under the wait's lock: a waiter that just found no selection is
    // already waiting when the notice comes, so it cannot miss it.
    std::lock_guard lock(mutex_);
    if (serial_.exchange(serial) != serial) changes_.fetch_add(1);
  }
  changed_.notify_all();
}

std::int32_t StripSelection::WaitForSelection(const std::function<bool()>& stopWaiting) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return serial_.load() != 0 || stopWaiting(); });
  return serial_.load();
}

void StripSelection::WaitWhileSelected(std::int32_t serial, std::chrono::milliseconds timeout,
                                       const std::function<bool()>& stopWaiting) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return serial_.load() != serial || stopWaiting(); });
}

void StripSelection::WakeWaiters() {
  { std::lock_guard lock(mutex_); }
  changed_.notify_all();
}

}  // namespace kvx
