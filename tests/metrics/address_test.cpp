// The --metrics value: loopback unless a numeric address is given; names
// other than localhost, bad ports and malformed IPv6 are refused.
#include "metrics/address.h"

#include <gtest/gtest.h>

namespace kvx::metrics {
namespace {

ListenAddress Parsed(const char* text) {
  std::string error;
  const auto address = ParseListenAddress(text, error);
  EXPECT_TRUE(address) << text << ": " << error;
  return address.value_or(ListenAddress{});
}

std::string Refusal(const char* text) {
  std::string error;
  EXPECT_FALSE(ParseListenAddress(text, error)) << text;
  return error;
}

TEST(ListenAddress, APortAloneOrLocalhostBindsLoopback) {
  for (const char* text : {"9100", ":9100", "localhost:9100", "127.0.0.1:9100"}) {
    EXPECT_EQ(Parsed(text), (ListenAddress{"127.0.0.1", 9100, true})) << text;
  }
  EXPECT_EQ(Parsed("127.0.0.2:1"), (ListenAddress{"127.0.0.2", 1, true}));
  EXPECT_EQ(Parsed("[::1]:65535"), (ListenAddress{"::1", 65535, true}));
}

TEST(ListenAddress, OtherInterfacesOnlyByTheirNumericAddress) {
  EXPECT_EQ(Parsed("0.0.0.0:9100"), (ListenAddress{"0.0.0.0", 9100, false}));
  EXPECT_EQ(Parsed("192.0.2.7:9101"), (ListenAddress{"192.0.2.7", 9101, false}));
  EXPECT_EQ(Parsed("[::]:9100"), (ListenAddress{"::", 9100, false}));
  EXPECT_NE(Refusal("metrics.example.org:9100").find("not a numeric address"), std::string::npos);
  EXPECT_NE(Refusal("myhost:9100").find("0.0.0.0"), std::string::npos);
  Refusal("::1:9100");  // IPv6 without brackets
  Refusal("[::1]9100");
  Refusal("[]:9100");
  Refusal("[127.0.0.1]:9100");
}

TEST(ListenAddress, ThePortIsOneTo65535) {
  for (const char* text : {"", "0", "65536", "99999999999", "-1", "9100x", "localhost:", "localhost", "9 100"}) {
    EXPECT_NE(Refusal(text).find("port"), std::string::npos) << text;
  }
}

TEST(ListenAddress, FormatsForAUrl) {
  EXPECT_EQ(FormatListenAddress({"127.0.0.1", 9100, true}), "127.0.0.1:9100");
  EXPECT_EQ(FormatListenAddress({"::1", 9100, true}), "[::1]:9100");
}

}  // namespace
}  // namespace kvx::metrics
