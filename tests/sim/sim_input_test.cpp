// Scenario and trace files that try to crash or block the program: files of
// the wrong kind or size, numbers out of range, duplicate keys, many strips,
// and trace destinations that cannot take (or stop taking) the lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "device/sim/request_trace.h"
#include "device/sim/scenario.h"
#include "sim_test_util.h"
#include "support/temp_dir.h"

namespace kvx::sim::test {
namespace {

namespace fs = std::filesystem;

class ScratchDir : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return scratch_.Path(name); }

  kvx::test::TempDir scratch_{"kvx-sim-input"};
};

std::string LoadError(const std::string& path) {
  std::string error;
  EXPECT_FALSE(LoadScenarioFile(path, error).has_value()) << path;
  return error;
}

std::string ParseError(const std::string& text) {
  std::string error;
  EXPECT_FALSE(ParseScenario(text, error).has_value()) << text;
  return error;
}

using ScenarioFileKinds = ScratchDir;

TEST_F(ScenarioFileKinds, OnlyRegularFilesUpToTheLimitAreRead) {
  // A FIFO without a writer: refused at once instead of waiting for one.
  const std::string fifo = Path("scenario.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(LoadError(fifo), "scenario file '" + fifo + "' is a FIFO, not a regular file");
  EXPECT_EQ(LoadError("/dev/zero"), "scenario file '/dev/zero' is a character device, not a regular file");
  EXPECT_EQ(LoadError(scratch_.path()), "scenario file '" + scratch_.path() + "' is a directory, not a regular file");

  // One byte over the limit (a sparse file: nothing is written) is refused
  // before it is read; a file of exactly the limit is read and parsed.
  const std::string big = Path("big.json");
  std::ofstream(big) << R"({"strips": []})";
  fs::resize_file(big, MAX_SCENARIO_FILE_BYTES + 1);
  EXPECT_EQ(LoadError(big), "scenario file '" + big + "' is larger than " +
                                std::to_string(MAX_SCENARIO_FILE_BYTES) + " bytes");
  const std::string padded = Path("padded.json");
  {
    std::ofstream out(padded);
    const std::string text = R"({"strips": [{"serial": 1}]})";
    out << text << std::string(MAX_SCENARIO_FILE_BYTES - text.size(), ' ');
  }
  std::string error;
  const auto scenario = LoadScenarioFile(padded, error);
  ASSERT_TRUE(scenario) << error;
  EXPECT_EQ(scenario->strips.size(), 1u);
}

TEST(ScenarioNumbers, HugeValuesAreErrorsNamingTheKeyNotCrashes) {
  EXPECT_EQ(ParseError(R"({"strips": [{"serial": 1, "pathLength": 3000000000}]})"),
            "strips[0].pathLength: must be at most 32767");
  EXPECT_EQ(ParseError(R"({"strips": [{"serial": 1, "pathLength": 18446744073709551615}]})"),
            "strips[0].pathLength: must be at most 32767");
  EXPECT_EQ(ParseError(R"({"strips": [{"serial": 1, "pathLength": 3e9}]})"),
            "strips[0].pathLength: expected an unsigned integer");
  EXPECT_EQ(ParseError(R"({"strips": [{"serial": 1, "outlets": [{"type": "compressor", "watts": 5, "cycleMs": 9000000000000000000}]}]})"),
            "strips[0].outlets[0].cycleMs: must be between 0 and 1000000000000");
  EXPECT_EQ(ParseError(R"({"strips": [{"serial": 1, "outlets": [{"type": "compressor", "watts": 5, "cycleOffsetMs": -9000000000000000000}]}]})"),
            "strips[0].outlets[0].cycleOffsetMs: must be between -1000000000000 and 1000000000000");
  EXPECT_EQ(ParseError(R"({"strips": [{"serial": 1}], "timeline": [{"atMs": 18446744073709551615, "event": "on", "strip": 0}]})"),
            "timeline[0].atMs: must be at most 9223372036854775807");

  // The longest allowed padding is taken and gives a path of that length.
  std::string error;
  const auto longest = ParseScenario(R"({"strips": [{"serial": 1, "pathLength": 32767}]})", error);
  ASSERT_TRUE(longest) << error;
  EXPECT_EQ(ResolvedPaths(*longest)[0].size(), 32767u);
  // A scenario built in code is held to the same bound.
  Scenario built = OneStrip();
  built.strips[0].pathLength = 3'000'000'000;
  EXPECT_FALSE(ValidateScenario(built, error));
  EXPECT_EQ(error, "strips[0].pathLength: must be at most 32767");
}

TEST(ScenarioNesting, FarTooDeepTextIsRefusedBeforeTheParse) {
  // 4 MiB of "[" once made the parse take gigabytes until the process was killed.
  EXPECT_EQ(ParseError(std::string(MAX_SCENARIO_FILE_BYTES, '[')), "scenario is nested deeper than 64 levels");
  EXPECT_EQ(ParseError(R"({"strips": )" + std::string(65, '[') + std::string(65, ']') + "}"),
            "scenario is nested deeper than 64 levels");
  // Brackets inside strings (also after an escaped quote) do not count.
  EXPECT_EQ(ParseError(R"({"strips": [{"serial": 1, "path": "\"[[[[)" + std::string(100, '[') + R"("}], "x": 1})"),
            "scenario.x: unknown key");
  EXPECT_EQ(ParseError(R"({"strips": [{"serial": 1, "memory": [{"page": 1, "bytes": [[1]]}]}]})"),
            "strips[0].memory[0].bytes[0]: expected an unsigned integer");
}

TEST(ScenarioDuplicateKeys, AKeyGivenTwiceIsAnErrorNamingIt) {
  EXPECT_EQ(ParseError(R"({"strips": [], "strips": [{"serial": 1}]})"), "scenario.strips: duplicate key");
  EXPECT_EQ(ParseError(R"({"strips": [{"serial": 1, "volts": 100, "serial": 2}]})"), "strips[0].serial: duplicate key");
  EXPECT_EQ(ParseError(R"({"strips": [{"serial": 1}, {"serial": 2, "outlets": [{"type": "empty"},
                          {"type": "heater", "watts": 1, "watts": 2}]}]})"),
            "strips[1].outlets[1].watts: duplicate key");
  EXPECT_EQ(ParseError(R"({"strips": [{"serial": 1, "memory": [{"page": 1, "bytes": [1, 2]},
                          {"page": 2, "bytes": [[]], "page": 3}]}]})"),
            "strips[0].memory[1].page: duplicate key");
  EXPECT_EQ(ParseError(R"({"strips": [{"serial": 1}], "timeline": [{"atMs": 1, "event": "on", "strip": 0,
                          "load": {"type": "empty", "type": "empty"}}]})"),
            "timeline[0].load.type: duplicate key");
  // The same key in sibling and nested objects is no duplicate.
  std::string error;
  EXPECT_TRUE(ParseScenario(R"({"strips": [{"serial": 1, "faults": {"replies": [{"request": 1}, {"request": 2}]}},
                                           {"serial": 2}]})",
                            error))
      << error;
}

TEST(ScenarioManyStrips, EveryStripIsCheckedAndADuplicatePathNamesTheFirst) {
  // 20,000 strips with distinct serials (so distinct default paths), then one
  // that repeats strip 3's path in other letter case.
  std::string text = R"({"strips": [)";
  for (int i = 0; i < 20000; ++i) text += "{\"serial\": " + std::to_string(i + 1) + "},";
  text += R"({"serial": 4, "path": "\\\\?\\USB#VID_FFF0&PID_0001#00004#{DD4154A4-4A8C-46A2-AE0E-596D26819A1D}"}],)";
  text += R"("timeline": [{"atMs": 1, "event": "unplug", "serial": 20000}]})";
  std::string error;
  EXPECT_FALSE(ParseScenario(text, error));
  EXPECT_EQ(error, "strips[20000].path: same path as strips[3]");
  text.replace(text.find("#00004#"), 7, "#fffff#");
  const auto scenario = ParseScenario(text, error);
  ASSERT_TRUE(scenario) << error;
  EXPECT_EQ(scenario->timeline[0].strip, 19999u);
}

using TraceDestinations = ScratchDir;

TEST_F(TraceDestinations, WhatCannotTakeATraceIsRefusedAtOnce) {
  TraceSink sink;
  std::string error;
  EXPECT_FALSE(sink.OpenFile("/dev/full", error));
  EXPECT_EQ(error, "cannot open trace file '/dev/full': No space left on device");
  EXPECT_FALSE(sink.OpenFile(Path("missing/trace.txt"), error));
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
  // A FIFO nobody reads: refused without waiting for a reader.
  const std::string fifo = Path("trace.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(sink.OpenFile(fifo, error));
  EXPECT_EQ(error, "cannot open trace file '" + fifo + "': no process reads the FIFO");
  // Control characters of the path are spelled out in the message.
  EXPECT_FALSE(sink.OpenFile(Path("no\x1b[2Jdir/trace.txt"), error));
  EXPECT_NE(error.find("no\\x1b[2Jdir"), std::string::npos) << error;
  EXPECT_FALSE(sink.Enabled());
}

TEST_F(TraceDestinations, AFailedWriteEndsTheTraceAndIsSaidOnce) {
  // A FIFO whose reader goes away: the next write fails (EPIPE; SIGPIPE is
  // ignored as the program does).
  const std::string fifo = Path("trace.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  TraceSink sink;
  std::vector<std::string> said;
  sink.SetFailureHandler([&said](const std::string& message) { said.push_back(message); });
  std::string error;
  ASSERT_TRUE(sink.OpenFile(fifo, error)) << error;
  sink.Write("1.000 first line");
  char got[64] = {};
  ASSERT_EQ(::read(reader, got, sizeof got), 17);
  EXPECT_EQ(std::string(got, 17), "1.000 first line\n");
  ::close(reader);
  sink.Write("2.000 second line");
  sink.Write("3.000 third line");
  std::signal(SIGPIPE, previous);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0], "trace file '" + fifo + "' failed: Broken pipe; the trace ends with its last whole line");
  EXPECT_EQ(sink.Failure(), "Broken pipe");
  EXPECT_FALSE(sink.Enabled());
}

TEST_F(TraceDestinations, AFileThatFillsUpEndsWithItsLastWholeLine) {
  // A file-size limit stands in for a full disk: the write that crosses it
  // gets only part of its line out. In a child process, so the limit and the
  // ignored SIGXFSZ stay there; it exits with the number of failures said.
  const std::string path = Path("trace.txt");
  constexpr rlim_t limit = 1000;
  const std::string line(29, 'x');  // 30 bytes with its newline: the limit falls inside line 34
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit size{limit, limit};
    if (::setrlimit(RLIMIT_FSIZE, &size) != 0) ::_exit(100);
    TraceSink sink;
    int said = 0;
    sink.SetFailureHandler([&said](const std::string&) { ++said; });
    std::string error;
    if (!sink.OpenFile(path, error)) ::_exit(101);
    for (int k = 0; k < 100; ++k) sink.Write(line);
    ::_exit(said);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "said exactly once";
  std::ifstream in(path, std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content.size(), 33u * 30u) << "the torn 34th line is cut off";
  for (std::size_t at = 0; at < content.size(); at += 30) EXPECT_EQ(content.substr(at, 30), line + "\n");
}

TEST(TraceThroughTheDriver, AFailingStreamIsSaidOnceAndTheDriverGoesOn) {
  SimDriver driver(OneStrip(), Manual());
  std::ostringstream stream;
  int said = 0;
  driver.SetTraceFailureHandler([&said](const std::string&) { ++said; });
  driver.SetTrace(&stream);
  EXPECT_TRUE(Request(driver, 0, protocol::REQUEST_TYPE_IN, protocol::REQ_VOLTAGE, 0, 0, 1).ok);
  stream.setstate(std::ios::badbit);
  EXPECT_TRUE(Request(driver, 0, protocol::REQUEST_TYPE_IN, protocol::REQ_VOLTAGE, 0, 0, 1).ok);
  EXPECT_TRUE(Request(driver, 0, protocol::REQUEST_TYPE_IN, protocol::REQ_VOLTAGE, 0, 0, 1).ok);
  EXPECT_EQ(said, 1);
  EXPECT_EQ(driver.TraceFailure(), "the stream failed");
}

}  // namespace
}  // namespace kvx::sim::test
