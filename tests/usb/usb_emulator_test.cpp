// kvx-usb-emulator as a program: its exit status, its errors, the devices it
// shows a command and the trace it writes. Runs the emulator (built next to
// this test) on small shell commands.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Outcome {
  int status = -1;
  std::string out;
};

// Runs the emulator with `arguments` (already quoted for the shell).
Outcome Emulate(const std::string& arguments) {
  // Sanitized builds: the emulator and the command run with umockdev's preload.
  const std::string command = std::string("ASAN_OPTIONS=verify_asan_link_order=0 TSAN_OPTIONS=suppressions=") +
                              KVX_SOURCE_DIR + "/tests/tsan.supp " + KVX_EMULATOR + " " + arguments + " 2>/dev/null";
  Outcome outcome;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return outcome;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) outcome.out += buffer;
  const int status = pclose(pipe);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

const std::string SCENARIO = std::string("--scenario=") + KVX_SOURCE_DIR + "/tests/usb/usb_scenario.json";

TEST(UsbEmulator, ExitsWithTheCommandsStatus) {
  EXPECT_EQ(Emulate("-- true").status, 0);
  EXPECT_EQ(Emulate("-- sh -c 'exit 3'").status, 3);
  EXPECT_EQ(Emulate("-- sh -c 'kill -TERM $$'").status, 128 + 15);
  EXPECT_EQ(Emulate("-- /nonexistent/command").status, 127);
}

TEST(UsbEmulator, UsageAndScenarioErrorsExitWithStatus2) {
  EXPECT_EQ(Emulate("").status, 2) << "no command";
  EXPECT_EQ(Emulate("true").status, 2) << "no -- before the command";
  EXPECT_EQ(Emulate("--bogus -- true").status, 2);
  EXPECT_EQ(Emulate("--scenario=/nonexistent.json -- true").status, 2);
  EXPECT_EQ(Emulate("--trace=/nonexistent/dir/trace.txt -- true").status, 2);
}

TEST(UsbEmulator, TheDefaultScenarioShowsTwoPrimaryStrips) {
  const Outcome outcome = Emulate(
      "-- sh -c 'ls /sys/bus/usb/devices; cat /sys/bus/usb/devices/1-1/idVendor /sys/bus/usb/devices/1-2/idProduct; "
      "ls /dev/bus/usb/001'");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "1-1\n1-2\n1209\n0001\n002\n003\n");
}

TEST(UsbEmulator, FallbackStripsAndScenarioIdsShowTheirOwnIds) {
  const Outcome outcome = Emulate(
      SCENARIO + " -- sh -c 'ls /sys/bus/usb/devices; cat /sys/bus/usb/devices/1-2/idProduct "
                 "/sys/bus/usb/devices/1-4/idVendor /sys/bus/usb/devices/1-4/idProduct'");
  EXPECT_EQ(outcome.status, 0);
  // The third strip is not plugged in yet: port 3 stays empty.
  EXPECT_EQ(outcome.out, "1-1\n1-2\n1-4\n0002\nabcd\n0042\n");
}

TEST(UsbEmulator, TheTraceRecordsWhatTheStripsWereAskedInTheSimulatedDriversFormat) {
  const std::filesystem::path trace =
      std::filesystem::temp_directory_path() / ("kvx_usb_trace_" + std::to_string(::getpid()) + ".txt");
  const Outcome outcome = Emulate(SCENARIO + " --trace=" + trace.string() + " -- " + KVX_BACKEND_TESTS +
                                  " --gtest_filter=UsbBackendTest.ReadingsStreamAfterSetEventAndStopEndsThem");
  EXPECT_EQ(outcome.status, 0) << outcome.out;
  std::ifstream in(trace);
  std::stringstream text;
  text << in.rdbuf();
  std::filesystem::remove(trace);
  const std::string lines = text.str();
  EXPECT_NE(lines.find(" sn=1A2B3 on=pipe ctl=SET_EVENT code=00222010 in=01000000 result=ok returned=0 reply=-\n"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find(" sn=1A2B3 on=pipe read status=completed bytes=16 data="), std::string::npos) << lines;
  EXPECT_NE(lines.find(" sn=1A2B3 on=pipe ctl=STOP code=00222004 in=- result=ok returned=0 reply=-\n"),
            std::string::npos)
      << lines;
}

}  // namespace
