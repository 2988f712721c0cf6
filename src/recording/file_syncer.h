// A small background thread that flushes closed log files to disk: fsync,
// then close. The recorder hands it a file's descriptor when it closes the
// file (Log unticked, outlet, quantity or connection change, split), so that
// neither the window's thread nor the acquisition thread, nor anyone waiting
// on the recorder's lock, waits for the disk. Drain() waits for everything
// handed so far, which the shutdown does before it says the files are closed.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kvx::recording {

class FileSyncer {
 public:
  // Flushes one descriptor to disk; 0 or the errno.
  using SyncFunction = std::function<int(int fd)>;
  // Told "close <path>: <reason>" when a sync or close fails (on the syncer's thread).
  using ErrorFunction = std::function<void(std::string message)>;

  explicit FileSyncer(ErrorFunction onError, SyncFunction sync = {});
  ~FileSyncer();  // drains, then ends the thread

  FileSyncer(const FileSyncer&) = delete;
  FileSyncer& operator=(const FileSyncer&) = delete;

  // Takes over `fd` (written whole by then). Never waits for the disk; when
  // the thread could not be started, syncs and closes here instead.
  void Hand(int fd, std::string path);
  // Returns once every descriptor handed before the call is synced and closed.
  void Drain();

 private:
  struct Item {
    int fd;
    std::string path;
  };
  void Run();
  void SyncAndClose(const Item& item);

  ErrorFunction onError_;
  SyncFunction sync_;
  std::mutex mutex_;
  std::condition_variable wake_;      // work arrived or stop
  std::condition_variable finished_;  // the queue ran empty
  std::deque<Item> queue_;
  bool busy_ = false;  // an item taken off the queue is being synced
  bool stop_ = false;
  std::thread thread_;  // last: started once everything above exists
};

}  // namespace kvx::recording
