#include "app/command_line.h"

#include <string_view>

#include <gtest/gtest.h>

namespace kvx {
namespace {

void ExpectValues(const CommandLineResult& result, std::uint32_t serial, std::uint32_t logInterval,
                  std::uint32_t split, std::int32_t logMode, std::uint32_t quantity) {
  ASSERT_TRUE(result.ok) << result.errorMessage;
  EXPECT_EQ(result.values.commandSerial, serial);
  EXPECT_EQ(result.values.log.logIntervalSec, logInterval);
  EXPECT_EQ(result.values.log.splitIntervalSec, split);
  EXPECT_EQ(result.values.log.logMode.load(), logMode);
  EXPECT_EQ(result.values.startQuantity, quantity);
}

TEST(ParseCommandLineTest, EmptyTextGivesTheDefaultsWithoutStartupActions) {
  ExpectValues(ParseCommandLine(""), 0, 1, 1, 0, 0);
}

TEST(ParseCommandLineTest, FiveValuesAreReadAndTheModeMarkedPending) {
  ExpectValues(ParseCommandLine("7FF 10 3600 2 1"), 0x7FF, 10, 3600, 102, 1);
  ExpectValues(ParseCommandLine("F423F 3600 0 10 0"), 999999, 3600, 0, 110, 0);
}

TEST(ParseCommandLineTest, MissingValuesStayZero) {
  ExpectValues(ParseCommandLine("7FF"), 0x7FF, 0, 0, 100, 0);
  ExpectValues(ParseCommandLine("   "), 0, 0, 0, 100, 0);
  ExpectValues(ParseCommandLine("G12 5"), 0, 0, 0, 100, 0);  // no hex digit: scanning stops at once
}

TEST(ParseCommandLineTest, SplitIntervalTakesAny32BitValue) {
  ExpectValues(ParseCommandLine("7FF 10 -5 2 1"), 0x7FF, 10, 0xFFFFFFFBu, 102, 1);
  ExpectValues(ParseCommandLine("7FF 10 4294967295 2 1"), 0x7FF, 10, 0xFFFFFFFFu, 102, 1);
  ExpectValues(ParseCommandLine("7FF 10 -2147483648 2 1"), 0x7FF, 10, 0x80000000u, 102, 1);
}

TEST(ParseCommandLineTest, EachCheckFailsWithTheWholeTextInTheMessage) {
  for (const char* text : {"F4240 10 3600 2 1", "7FF 3601 3600 2 1", "7FF 10 3600 11 1", "7FF 10 3600 2 2",
                           "7FF -1 3600 2 1", "7FF 10 3600 -1 1", "7FF 10 3600 2 -1", "-1"}) {
    const CommandLineResult result = ParseCommandLine(text);
    EXPECT_FALSE(result.ok) << text;
    EXPECT_EQ(result.errorMessage, std::string("Error in the Command Line Option '") + text + "'.");
  }
}

TEST(ParseCommandLineTest, NumbersBeyond32BitsFailInsteadOfWrappingIntoRange) {
  // Read in 32 bits these would pass as serial 1, interval 1, mode 1 and quantity 0.
  // The split interval 4294967296 would wrap to 0: a new file for every record.
  for (const char* text : {"100000001 10", "7FF 4294967297", "7FF 10 0 4294967297", "7FF 10 0 1 4294967296",
                           "7FF 99999999999999999999999", "7FF 10 4294967296 2 1", "7FF 10 4294967297 10 1",
                           "7FF 10 -2147483649 2 1", "7FF 10 99999999999999999999999 2 1"}) {
    const CommandLineResult result = ParseCommandLine(text);
    EXPECT_FALSE(result.ok) << text;
    EXPECT_EQ(result.errorMessage, std::string("Error in the Command Line Option '") + text + "'.");
  }
  ExpectValues(ParseCommandLine("0000000F423F 3600 4294967295 10 1"), 999999, 3600, 0xFFFFFFFFu, 110, 1);
}

TEST(ParseCommandLineTest, NulEndsTheTextAsInACString) {
  using namespace std::string_view_literals;
  ExpectValues(ParseCommandLine("7FF 10\0 3601 99 9"sv), 0x7FF, 10, 0, 100, 0);
  ExpectValues(ParseCommandLine("\0-1"sv), 0, 1, 1, 0, 0);  // nothing before the NUL: the empty text
  const CommandLineResult failed = ParseCommandLine("-1\0 hidden"sv);
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.errorMessage, "Error in the Command Line Option '-1'.");
}

TEST(SplitProgramArgumentsTest, OptionsAreTakenOutAndTheRestJoined) {
  const char* argv[] = {"kvxclient", "--headless", "7FF", "-1", "--scenario=two.json", "3600", "2", "1"};
  const ProgramArguments args = SplitProgramArguments(8, argv);
  EXPECT_EQ(args.options, (std::vector<std::string>{"--headless", "--scenario=two.json"}));
  EXPECT_EQ(args.commandLineText, "7FF -1 3600 2 1");
  EXPECT_FALSE(ParseCommandLine(args.commandLineText).ok);
}

TEST(SplitProgramArgumentsTest, NoArgumentsGiveAnEmptyText) {
  const char* argv[] = {"kvxclient", "--headless"};
  const ProgramArguments args = SplitProgramArguments(2, argv);
  EXPECT_EQ(args.commandLineText, "");
  ExpectValues(ParseCommandLine(args.commandLineText), 0, 1, 1, 0, 0);
  EXPECT_EQ(SplitProgramArguments(0, nullptr).options.size(), 0u);
}

TEST(SplitProgramArgumentsTest, DashHAsksForTheHelpButOtherSingleDashesAreValues) {
  const char* argv[] = {"kvxclient", "-h", "-1", "-x"};
  const ProgramArguments args = SplitProgramArguments(4, argv);
  EXPECT_EQ(args.options, std::vector<std::string>{"-h"});
  EXPECT_EQ(args.commandLineText, "-1 -x");
  const char* afterDashes[] = {"kvxclient", "--", "-h"};
  EXPECT_EQ(SplitProgramArguments(3, afterDashes).commandLineText, "-h");
}

TEST(SplitProgramArgumentsTest, DoubleDashEndsTheOptions) {
  const char* argv[] = {"kvxclient", "--headless", "--", "--x", "5"};
  const ProgramArguments args = SplitProgramArguments(5, argv);
  EXPECT_EQ(args.options, std::vector<std::string>{"--headless"});
  EXPECT_EQ(args.commandLineText, "--x 5");
}

}  // namespace
}  // namespace kvx
