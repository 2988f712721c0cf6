// The headless main loop's wait: it sleeps until a wake-up, a stop signal or
// its time-out, and a wake-up or signal that comes before the wait is not lost.
#include <gtest/gtest.h>

#include <pthread.h>

#include <future>
#include <thread>

#include "app/headless.h"
#include "app/headless_wait.h"

namespace kvx {
namespace {

using namespace std::chrono_literals;

class HeadlessWaitTest : public ::testing::Test {
 protected:
  HeadlessWaitTest() : signals_(BlockStopSignals()), waiter_(signals_) {}
  sigset_t signals_;
  HeadlessWaiter waiter_;
};

TEST_F(HeadlessWaitTest, AWakeUpFromAnotherThreadEndsTheWait) {
  auto waiting = std::async(std::launch::async, [&] { return waiter_.Wait(std::chrono::hours(1)); });
  std::thread([&] { waiter_.Wake(); }).join();
  ASSERT_EQ(waiting.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(waiting.get(), 0);
}

TEST_F(HeadlessWaitTest, AWakeUpBeforeTheWaitIsKeptAndUsedOnce) {
  waiter_.Wake();
  waiter_.Wake();
  EXPECT_EQ(waiter_.Wait(std::chrono::hours(1)), 0);
  // Both wake-ups were taken by that one wait: the next one runs to its time-out.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(waiter_.Wait(30ms), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 29ms);
}

TEST_F(HeadlessWaitTest, APendingStopSignalIsReturned) {
  // Directed at this thread, where it is blocked: it stays pending until the wait takes it.
  ASSERT_EQ(pthread_kill(pthread_self(), SIGTERM), 0);
  EXPECT_EQ(waiter_.Wait(std::chrono::hours(1)), SIGTERM);
  ASSERT_EQ(pthread_kill(pthread_self(), SIGINT), 0);
  EXPECT_EQ(waiter_.Wait(std::chrono::hours(1)), SIGINT);
}

}  // namespace
}  // namespace kvx
