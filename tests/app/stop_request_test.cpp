// The stop request the signal handlers raise, the status output that outlives
// its reader, and the escaping of outside text for printing.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <poll.h>

#include <future>
#include <sstream>
#include <thread>

#include "app/status_output.h"
#include "app/stop_request.h"
#include "device/printable_text.h"

namespace kvx {
namespace {

class StopRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallStopSignalHandlers();
    ClearStopRequest();
  }
  void TearDown() override { ClearStopRequest(); }
};

TEST_F(StopRequestTest, EachStopSignalRequestsTheStopAndTheFirstCauseIsKept) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    ClearStopRequest();
    EXPECT_FALSE(WaitForStop(std::chrono::milliseconds(0)));
    ASSERT_EQ(raise(signal), 0);  // the process lives on: the handler only records it
    EXPECT_TRUE(StopRequested());
    EXPECT_EQ(StopSignal(), signal);
    ASSERT_EQ(raise(signal == SIGINT ? SIGTERM : SIGINT), 0);
    EXPECT_EQ(StopSignal(), signal) << "the first cause stays";
    EXPECT_TRUE(WaitForStop(std::chrono::milliseconds(0)));
  }
  EXPECT_STREQ(StopSignalName(SIGHUP), "SIGHUP");
}

TEST_F(StopRequestTest, ARequestBeforeTheWaitIsKeptAndOneDuringItWakesIt) {
  // Sent before anybody waits (as during start-up): the wait returns at once.
  ASSERT_EQ(kill(getpid(), SIGTERM), 0);
  EXPECT_TRUE(WaitForStop(std::chrono::hours(1)));
  ClearStopRequest();
  // Sent from another thread while one waits: the waiter wakes.
  std::promise<void> waiting;
  auto woken = std::async(std::launch::async, [&waiting] {
    waiting.set_value();
    return WaitForStop(std::chrono::hours(1));
  });
  waiting.get_future().wait();
  ASSERT_EQ(kill(getpid(), SIGHUP), 0);
  ASSERT_EQ(woken.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_TRUE(woken.get());
  EXPECT_EQ(StopSignal(), SIGHUP);
}

TEST_F(StopRequestTest, TheWakeDescriptorBecomesAndStaysReadable) {
  const int fd = StopWakeFd();
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(WaitForStop(std::chrono::milliseconds(1)));
  RequestStop(0);
  EXPECT_TRUE(StopRequested());
  EXPECT_EQ(StopSignal(), 0) << "a request of the program's own names no signal";
  pollfd wake{fd, POLLIN, 0};
  EXPECT_EQ(poll(&wake, 1, 0), 1);
  EXPECT_EQ(poll(&wake, 1, 0), 1) << "level, not edge: every watcher sees it";
}

TEST(StatusOutputTest, AReaderThatGoesAwayStopsTheOutputWithOneNote) {
  InstallStopSignalHandlers();  // SIGPIPE ignored, as in the program
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::ostringstream err;
  {
    StatusOutput status(fds[1], err);
    status.stream() << "first line\n" << std::flush;
    char got[16] = {};
    ASSERT_EQ(read(fds[0], got, sizeof got), 11);
    EXPECT_EQ(std::string(got, 11), "first line\n");
    close(fds[0]);
    for (int k = 0; k < 5; ++k) status.stream() << "line " << k << '\n' << std::flush;
    EXPECT_TRUE(status.stopped());
    EXPECT_TRUE(status.stream().good()) << "a stopped output does not fail the program";
  }
  close(fds[1]);
  EXPECT_EQ(err.str(), "Status output stopped: standard output cannot be written (Broken pipe); logging goes on.\n");
}

TEST(PrintableTextTest, ControlCharactersAreSpelledOutAndTheRestKept) {
  EXPECT_EQ(PrintableText("logs/a\x1b[2Jb\nc\rd\te\x7f"), "logs/a\\x1b[2Jb\\x0ac\\x0dd\\x09e\\x7f");
  EXPECT_EQ(PrintableText(std::string("a\0b", 3)), "a\\x00b");
  // UTF-8 stays, C1 controls in their UTF-8 form do not (U+009B is a CSI).
  EXPECT_EQ(PrintableText("25.34 \u00B0C \u5BFE"), "25.34 \u00B0C \u5BFE");
  EXPECT_EQ(PrintableText("x\xc2\x9b" "2Jy"), "x\\xc2\\x9b2Jy");
  EXPECT_EQ(PrintableText("\xc2"), "\xc2");
  EXPECT_EQ(PrintableText(""), "");
}

}  // namespace
}  // namespace kvx
