#include "app/stop_request.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace kvx {

namespace {

// Lock-free atomics and write(2) are all the handler touches.
std::atomic<bool> gRequested{false};
std::atomic<int> gSignal{0};
std::atomic<int> gWakeRead{-1};
std::atomic<int> gWakeWrite{-1};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

void OnStopSignal(int signal) {
  const int saved = errno;  // the interrupted code may be about to read errno
  RequestStop(signal);
  errno = saved;
}

}  // namespace

void InstallStopSignalHandlers() {
  if (gWakeRead.load() < 0) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      gWakeWrite.store(fds[1]);
      gWakeRead.store(fds[0]);
    }
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // Restarted system calls: the other threads' reads and waits go on; the
  // main loop sees the request through the pipe.
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
  // Unblock them in this thread (threads started later inherit it), in case
  // the program was started with them blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signal);
  pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
}

void RequestStop(int signal) {
  int none = 0;
  if (signal != 0) gSignal.compare_exchange_strong(none, signal);
  if (gRequested.exchange(true)) return;
  const int fd = gWakeWrite.load();
  if (fd >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
  }
}

bool StopRequested() { return gRequested.load(); }

int StopSignal() { return gSignal.load(); }

int StopWakeFd() { return gWakeRead.load(); }

bool WaitForStop(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!StopRequested()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd wake{StopWakeFd(), POLLIN, 0};
    // Without the pipe (handlers not installed) this is a plain sleep.
    poll(&wake, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
  }
  return true;
}

const char* StopSignalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
  }
}

void ClearStopRequest() {
  char bytes[16];
  const int fd = gWakeRead.load();
  if (fd >= 0)
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
  gSignal.store(0);
  gRequested.store(false);
}

}  // namespace kvx
