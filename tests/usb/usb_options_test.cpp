// The USB backend's options and interface paths: pure text, no bus needed.
#include <gtest/gtest.h>

#include "device/usb/usb_options.h"
#include "device/usb/usb_paths.h"

namespace kvx::usb {
namespace {

TEST(UsbOptions, IdsEndpointsAndUnlockCodesParseAsLsusbPrintsThem) {
  EXPECT_EQ(ParseUsbId("1209:0001"), (UsbId{0x1209, 0x0001}));
  EXPECT_EQ(ParseUsbId("ABcd:42"), (UsbId{0xABCD, 0x0042}));
  EXPECT_EQ(ParseUsbId("0x1209:0x1"), (UsbId{0x1209, 0x0001}));
  for (const char* bad : {"", "1209", "1209:", ":0001", "12090:0001", "12g9:0001", "1209:0001:2", "1209 :1", "-1:1"})
    EXPECT_FALSE(ParseUsbId(bad)) << bad;

  EXPECT_EQ(ParseEndpoint("0x81"), 0x81);
  EXPECT_EQ(ParseEndpoint("82"), 0x82);
  for (const char* bad : {"0x01", "0x80", "0x181", "", "zz"}) EXPECT_FALSE(ParseEndpoint(bad)) << bad << ": not an IN endpoint";

  const auto code = ParseUnlockCode("4b56:5843");
  ASSERT_TRUE(code);
  EXPECT_EQ(code->word1, 0x4B56);
  EXPECT_EQ(code->word2, 0x5843);
  EXPECT_FALSE(ParseUnlockCode("4b56"));
}

TEST(UsbOptions, WithoutAnyIdThereIsNoDriverAndTheMessageSaysWhatToGive) {
  std::string error;
  EXPECT_EQ(MakeUsbDriver(UsbOptions{}, error), nullptr);
  EXPECT_NE(error.find("--usb-id=VID:PID"), std::string::npos) << error;
}

TEST(UsbPaths, APathNamesTheIdsBusAndPortChainAndParsesBack) {
  const std::uint8_t ports[] = {4, 2};
  const std::string path = FormatPath(UsbId{0x1209, 0x0001}, 3, ports);
  EXPECT_EQ(path, "usb#1209:0001#3-4.2");
  const auto parsed = ParsePath(path);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, (PortPath{{0x1209, 0x0001}, 3, "4.2"}));
  EXPECT_EQ(FormatPath(*parsed), path);
  for (const char* bad : {"usb#1209:0001#3-", "usb#1209:0001#3-4..2", "usb#1209:0001#-4", "usb#1209:0001#300-1",
                          "usb#1209#1-1", "usb#1209:0001#1-1x", "\\\\?\\usb#vid_fff0&pid_0001#1a2b3#{x}"})
    EXPECT_FALSE(ParsePath(bad)) << bad;
}

TEST(UsbPaths, ThePipeSuffixIsTakenOffInAnyCase) {
  EXPECT_EQ(SplitPipe("usb#1209:0001#1-1\\PIPE00").path, "usb#1209:0001#1-1");
  EXPECT_TRUE(SplitPipe("usb#1209:0001#1-1\\pipe00").pipe);
  const OpenTarget plain = SplitPipe("usb#1209:0001#1-1");
  EXPECT_FALSE(plain.pipe);
  EXPECT_EQ(plain.path, "usb#1209:0001#1-1");
  EXPECT_FALSE(SplitPipe("\\PIPE00").pipe) << "a pipe needs an interface path before it";
}

}  // namespace
}  // namespace kvx::usb
