// The headless main loop's wait: it sleeps until a wake-up, a stop request or
// its time-out, and a wake-up or stop that comes before the wait is not lost.
#include <gtest/gtest.h>

#include <signal.h>

#include <future>
#include <thread>

#include "app/headless_wait.h"
#include "app/stop_request.h"

namespace kvx {
namespace {

using namespace std::chrono_literals;

class HeadlessWaitTest : public ::testing::Test {
 protected:
  HeadlessWaitTest() {
    InstallStopSignalHandlers();
    ClearStopRequest();
  }
  ~HeadlessWaitTest() override { ClearStopRequest(); }
  HeadlessWaiter waiter_;
};

TEST_F(HeadlessWaitTest, AWakeUpFromAnotherThreadEndsTheWait) {
  auto waiting = std::async(std::launch::async, [&] { return waiter_.Wait(std::chrono::hours(1)); });
  std::thread([&] { waiter_.Wake(); }).join();
  ASSERT_EQ(waiting.wait_for(20s), std::future_status::ready);
  EXPECT_FALSE(waiting.get());
}

TEST_F(HeadlessWaitTest, AWakeUpBeforeTheWaitIsKeptAndUsedOnce) {
  waiter_.Wake();
  waiter_.Wake();
  EXPECT_FALSE(waiter_.Wait(std::chrono::hours(1)));
  // Both wake-ups were taken by that one wait: the next one runs to its time-out.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(waiter_.Wait(30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 29ms);
}

TEST_F(HeadlessWaitTest, AStopSignalBeforeOrDuringTheWaitEndsIt) {
  ASSERT_EQ(raise(SIGTERM), 0);  // before: kept by the stop request
  EXPECT_TRUE(waiter_.Wait(std::chrono::hours(1)));
  EXPECT_EQ(StopSignal(), SIGTERM);
  ClearStopRequest();
  auto waiting = std::async(std::launch::async, [&] { return waiter_.Wait(std::chrono::hours(1)); });
  std::thread([] { RequestStop(SIGHUP); }).join();
  ASSERT_EQ(waiting.wait_for(20s), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
  EXPECT_EQ(StopSignal(), SIGHUP);
}

}  // namespace
}  // namespace kvx
