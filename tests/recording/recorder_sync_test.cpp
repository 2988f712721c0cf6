// Closed files are flushed to disk by the recorder's background syncer: never
// on the thread that closes them, never while the recorder's lock is held,
// and always before the shutdown's wait returns.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "recorder_fixture.h"
#include "recording/log_file.h"

namespace kvx::test {
namespace {

constexpr auto kGenerous = std::chrono::seconds(30);

ino_t Inode(const std::string& path) {
  struct stat file {};
  return stat(path.c_str(), &file) == 0 ? file.st_ino : 0;
}

// Stands in for fsync so that a test can hold a sync back: it notes which
// file was synced on which thread, and waits while the gate is shut.
class SyncGate {
 public:
  recording::FileSyncer::SyncFunction Function() {
    return [this](int fd) {
      struct stat file {};
      const bool known = fstat(fd, &file) == 0;
      std::unique_lock lock(mutex_);
      synced_.insert(known ? file.st_ino : 0);
      threads_.insert(std::this_thread::get_id());
      ++entered_;
      changed_.notify_all();
      changed_.wait(lock, [this] { return open_; });
      return 0;
    };
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool WaitEntered(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kGenerous, [&] { return entered_ >= count; });
  }
  // The inode numbers of the files synced.
  std::set<ino_t> Synced() {
    std::lock_guard lock(mutex_);
    return synced_;
  }
  std::set<std::thread::id> Threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  int entered_ = 0;
  std::set<ino_t> synced_;
  std::set<std::thread::id> threads_;
};

using RecorderSyncTest = RecorderTest;

TEST_F(RecorderSyncTest, ClosingDoesNotWaitForTheDiskAndLoggingGoesOnMeanwhile) {
  SyncGate gate;
  MakeRecorder("", recording::CreateMethod::Unnamed, gate.Function());
  settings.logIntervalSec = 0;
  SetChecked(true);
  Reading();
  const std::string first = recorder->Status().currentFile;

  // Unticking Log on the window's thread: returns while the sync is held back.
  auto unticked = std::async(std::launch::async, [&] {
    SetChecked(false);
    recorder->CloseLogFiles(CloseReason::ConnectionEnded);
  });
  ASSERT_EQ(unticked.wait_for(kGenerous), std::future_status::ready);
  ASSERT_TRUE(gate.WaitEntered(1));

  // The acquisition thread's path while that sync still waits: a quantity
  // change closes again, records go on into new files.
  SetChecked(true);
  clock.Advance(5);
  Reading(LOG_KIND_CURRENT);
  auto quantityChange = std::async(std::launch::async, [&] {
    recorder->CloseLogFiles(CloseReason::ConnectionEnded);
    Reading(LOG_KIND_POWER);
    Reading(LOG_KIND_POWER);
  });
  ASSERT_EQ(quantityChange.wait_for(kGenerous), std::future_status::ready);
  const std::string power = recorder->Status().powerFile;
  EXPECT_NE(power, "");

  gate.Open();
  recorder->CloseLogFilesAndWait();
  EXPECT_EQ(gate.Synced(),
            (std::set<ino_t>{Inode(first), Inode(Path("1A2B3_ALL_A_20261206_153805_047.csv")), Inode(power)}));
  EXPECT_EQ(gate.Threads().count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(gate.Threads().size(), 1u);  // the syncer's own thread
  EXPECT_EQ(Contents("1A2B3_ALL_W_20261206_153805_047.csv"),
            ExpectedHeader(LOG_KIND_POWER) + "2026/12/06 15:38:05,on,0123,0000,1500,0042,101,60.00,31.25\r\n" +
                "2026/12/06 15:38:05,on,0123,0000,1500,0042,101,60.00,31.25\r\n");
}

TEST_F(RecorderSyncTest, ShutdownWaitsUntilEveryClosedFileIsSynced) {
  SyncGate gate;
  MakeRecorder("", recording::CreateMethod::Unnamed, gate.Function());
  settings.logIntervalSec = 0;
  settings.splitIntervalSec = 0;
  settings.logMode = 2;
  SetChecked(true);
  for (int i = 0; i < 5; ++i) Reading();  // five files, four closed by splits
  auto shutdown = std::async(std::launch::async, [&] { recorder->CloseLogFilesAndWait(); });
  ASSERT_TRUE(gate.WaitEntered(1));
  EXPECT_EQ(shutdown.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  gate.Open();
  ASSERT_EQ(shutdown.wait_for(kGenerous), std::future_status::ready);
  EXPECT_EQ(gate.Synced().size(), 5u);
  EXPECT_EQ(Files().size(), 5u);
}

TEST_F(RecorderSyncTest, AFailedSyncIsReportedAndTheNextRecordClearsIt) {
  MakeRecorder("", recording::CreateMethod::Unnamed, [](int) { return EIO; });
  settings.logIntervalSec = 0;
  SetChecked(true);
  Reading();
  const std::string path = recorder->Status().currentFile;
  recorder->CloseLogFilesAndWait();
  RecorderStatus status = recorder->Status();
  EXPECT_TRUE(status.failing);
  EXPECT_EQ(status.lastError, recording::DescribeError("close", path, EIO));
  Reading();
  EXPECT_FALSE(recorder->Status().failing);
}

TEST_F(RecorderSyncTest, TheRealSyncerLeavesWholeFiles) {
  settings.logIntervalSec = 0;
  SetChecked(true);
  Reading();
  recorder->CloseLogFiles(CloseReason::ConnectionEnded);
  Reading();
  recorder->CloseLogFilesAndWait();
  EXPECT_FALSE(recorder->Status().failing);
  for (const auto& name : Files()) {
    EXPECT_EQ(Contents(name),
              ExpectedHeader(LOG_KIND_CURRENT) + "2026/12/06 15:38:05,on,00123,00000,01500,00042,101,60.00,31.25\r\n");
  }
  EXPECT_EQ(Files().size(), 2u);
}

}  // namespace
}  // namespace kvx::test
