#include "app/headless_wait.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace kvx {

HeadlessWaiter::HeadlessWaiter(const sigset_t& stopSignals)
    : stopSignals_(stopSignals),
      signalFd_(signalfd(-1, &stopSignals, SFD_CLOEXEC)),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

HeadlessWaiter::~HeadlessWaiter() {
  if (signalFd_ >= 0) close(signalFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

void HeadlessWaiter::Wake() {
  const std::uint64_t one = 1;
  if (wakeFd_ >= 0) (void)!write(wakeFd_, &one, sizeof one);
}

int HeadlessWaiter::Wait(std::chrono::milliseconds timeout) {
  if (signalFd_ < 0 || wakeFd_ < 0) {
    // Without the descriptors, wait for the signals alone (a wake-up then
    // waits out the time-out, which the caller keeps short enough).
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count();
    const timespec wait{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    const int signal = sigtimedwait(&stopSignals_, nullptr, &wait);
    return signal > 0 ? signal : 0;
  }
  pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  const int ready = poll(fds, 2, static_cast<int>(std::max<std::int64_t>(0, timeout.count())));
  if (ready <= 0) return 0;
  if (fds[1].revents & POLLIN) {
    std::uint64_t count = 0;
    (void)!read(wakeFd_, &count, sizeof count);
  }
  if (fds[0].revents & POLLIN) {
    signalfd_siginfo info{};
    if (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) return static_cast<int>(info.ssi_signo);
  }
  return 0;
}

}  // namespace kvx
