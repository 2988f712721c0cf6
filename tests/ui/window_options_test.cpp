// The window's own options: node names and their removal from the arguments.
#include <gtest/gtest.h>

#include "ui/window_options.h"

namespace kvx::ui {
namespace {

TEST(NodeRefTest, NamesEveryKindOfNode) {
  EXPECT_EQ(ParseNodeRef("strip:1"), (NodeRef{1, 0}));
  EXPECT_EQ(ParseNodeRef("calc:2"), (NodeRef{2, 1}));
  EXPECT_EQ(ParseNodeRef("waves:1"), (NodeRef{1, 2}));
  EXPECT_EQ(ParseNodeRef("wave:1:1"), (NodeRef{1, 3}));
  EXPECT_EQ(ParseNodeRef("wave:5:4"), (NodeRef{5, 6}));
}

TEST(NodeRefTest, RejectsMalformedNames) {
  for (const char* text : {"", "strip", "strip:", "strip:0", "strip:-1", "strip:1:2", "calc:x", "wave:1",
                           "wave:1:0", "wave:1:5", "wave:1:2:3", "tree:1", "strip:1 "}) {
    EXPECT_FALSE(ParseNodeRef(text).has_value()) << text;
  }
}

TEST(WindowOptionsTest, TakesItsOptionsAndLeavesTheRestInOrder) {
  std::vector<std::string> options = {"--screenshot=out.png", "--colour=red", "--select=wave:1:2", "--waiting",
                                      "--wait=1500"};
  WindowOptions window;
  std::string error;
  ASSERT_TRUE(TakeWindowOptions(options, window, error)) << error;
  EXPECT_EQ(options, (std::vector<std::string>{"--colour=red", "--waiting"}));
  EXPECT_EQ(window.screenshotFile, "out.png");
  EXPECT_EQ(window.select, (NodeRef{1, 4}));
  EXPECT_EQ(window.waitMs, 1500);
}

TEST(WindowOptionsTest, ReportsMissingAndMalformedValues) {
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--screenshot"}, {"--screenshot="}, {"--select=tree:1"}, {"--wait=soon"},
        {"--wait=-5"}, {"--wait"}}) {
    std::vector<std::string> args = bad;
    WindowOptions options;
    std::string error;
    EXPECT_FALSE(TakeWindowOptions(args, options, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
}

TEST(DisplayAvailableTest, NeedsTheDisplayOfThePlatformQtWillUse) {
  // No platform named: an X or a Wayland display.
  EXPECT_FALSE(DisplayAvailable(nullptr, nullptr, nullptr));
  EXPECT_FALSE(DisplayAvailable("", "", ""));
  EXPECT_TRUE(DisplayAvailable(nullptr, ":0", nullptr));
  EXPECT_TRUE(DisplayAvailable(nullptr, nullptr, "wayland-0"));
  // Platforms that draw off screen need none.
  EXPECT_TRUE(DisplayAvailable("offscreen", nullptr, nullptr));
  EXPECT_TRUE(DisplayAvailable("minimal", nullptr, nullptr));
  // X and Wayland need theirs, also with arguments and in a list of fallbacks.
  EXPECT_FALSE(DisplayAvailable("xcb", nullptr, "wayland-0"));
  EXPECT_TRUE(DisplayAvailable("xcb", ":1", nullptr));
  EXPECT_FALSE(DisplayAvailable("wayland-egl", ":0", nullptr));
  EXPECT_FALSE(DisplayAvailable("wayland;xcb", nullptr, nullptr));
  EXPECT_TRUE(DisplayAvailable("wayland;xcb", ":0", nullptr));
  EXPECT_TRUE(DisplayAvailable("xcb:nomitshm;offscreen", nullptr, nullptr));
}

}  // namespace
}  // namespace kvx::ui
