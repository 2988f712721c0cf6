#include "app/headless_wait.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "app/stop_request.h"

namespace kvx {

HeadlessWaiter::HeadlessWaiter() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

HeadlessWaiter::~HeadlessWaiter() {
  if (wakeFd_ >= 0) close(wakeFd_);
}

void HeadlessWaiter::Wake() {
  const std::uint64_t one = 1;
  if (wakeFd_ >= 0) (void)!write(wakeFd_, &one, sizeof one);
}

bool HeadlessWaiter::Wait(std::chrono::milliseconds timeout) {
  const int stopFd = StopWakeFd();
  if (StopRequested()) return true;
  if (stopFd < 0 || wakeFd_ < 0) {
    // Without the descriptors, wait for the stop alone (a wake-up then waits
    // out the time-out, which the caller keeps short enough).
    return WaitForStop(timeout);
  }
  pollfd fds[2] = {{stopFd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  const int ready = poll(fds, 2, static_cast<int>(std::max<std::int64_t>(0, timeout.count())));
  if (ready > 0 && (fds[1].revents & POLLIN)) {
    std::uint64_t count = 0;
    (void)!read(wakeFd_, &count, sizeof count);
  }
  // The stop descriptor stays readable once set and is never read here.
  return StopRequested();
}

}  // namespace kvx
