#include "recording/file_syncer.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "recording/log_file.h"

namespace kvx::recording {
namespace {

int FsyncDescriptor(int fd) { return ::fsync(fd) == 0 ? 0 : errno; }

}  // namespace

FileSyncer::FileSyncer(ErrorFunction onError, SyncFunction sync)
    : onError_(std::move(onError)), sync_(sync ? std::move(sync) : SyncFunction(FsyncDescriptor)) {
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    // No thread: Hand() syncs on the caller's thread, which is slower but loses nothing.
  }
}

FileSyncer::~FileSyncer() {
  Drain();
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void FileSyncer::Hand(int fd, std::string path) {
  if (fd < 0) return;
  if (!thread_.joinable()) {
    SyncAndClose(Item{fd, std::move(path)});
    return;
  }
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(Item{fd, std::move(path)});
  }
  wake_.notify_one();
}

void FileSyncer::Drain() {
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void FileSyncer::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stop_, and nothing left
    const Item item = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    SyncAndClose(item);
    lock.lock();
    busy_ = false;
    if (queue_.empty()) finished_.notify_all();
  }
}

void FileSyncer::SyncAndClose(const Item& item) {
  int error = sync_(item.fd);
  // close is not retried on EINTR: on Linux the descriptor is gone either way.
  if (::close(item.fd) != 0 && error == 0) error = errno;
  if (error != 0 && onError_) onError_(DescribeError("close", item.path, error));
}

}  // namespace kvx::recording
