// Discovery of strips: the order of the list, the discovery rule between the
// two interface classes, and how failing interfaces end an enumeration.
#include <gtest/gtest.h>

#include "strip_rig.h"

namespace kvx::test {
namespace {

using device::DeviceList;
using device::fallbackInterfaceGuid;
using device::primaryInterfaceGuid;
using protocol::REQ_SERIAL_NUMBER;

std::vector<std::int32_t> Serials(const DeviceList& list) {
  std::vector<std::int32_t> serials;
  for (const auto& entry : list) serials.push_back(entry.serialNumber);
  return serials;
}

std::vector<std::string> Classes(std::initializer_list<std::string_view> guids) {
  return {guids.begin(), guids.end()};
}

TEST(Discovery, ListsStripsByAscendingSerial) {
  StripRig rig({StripWithSerial(0x00A12), StripWithSerial(0x00345), StripWithSerial(0x00789)});
  EXPECT_EQ(rig.device.RebuildDeviceList(), 3);
  EXPECT_EQ(rig.device.deviceCount(), 3);

  const auto list = rig.device.List();
  EXPECT_EQ(Serials(*list), (std::vector<std::int32_t>{0x00345, 0x00789, 0x00A12}));
  EXPECT_EQ((*list)[0].devicePath, StripWithSerial(0x00345).path);  // paths travel with their serials

  std::int32_t serial = -1;
  ASSERT_TRUE(rig.device.GetSerialAt(1, serial));
  EXPECT_EQ(serial, 0x00345);
  ASSERT_TRUE(rig.device.GetSerialAt(3, serial));
  EXPECT_EQ(serial, 0x00A12);
  serial = -1;
  EXPECT_FALSE(rig.device.GetSerialAt(4, serial));
  EXPECT_FALSE(rig.device.GetSerialAt(0, serial));
  EXPECT_EQ(serial, -1);
}

TEST(Discovery, AsksEachSerialOnItsInterfacePathAndClosesIt) {
  StripRig rig({StripWithSerial(0x11111), StripWithSerial(0x22222)});
  rig.device.RebuildDeviceList();
  const auto calls = rig.driver.Calls();
  ASSERT_EQ(calls.size(), 2u);
  for (const ControlCall& call : calls) {
    EXPECT_FALSE(call.onPipe);
    EXPECT_EQ(call.code, protocol::IOCTL_STRIP_CONTROL_TRANSFER);
    EXPECT_EQ(call.input, (std::vector<std::uint8_t>{0xC0, 0xC1, 0, 0, 0, 0, 3, 0}));
  }
  EXPECT_EQ(rig.driver.OpenAttempts(), (std::vector<std::string>{StripWithSerial(0x11111).path,
                                                                  StripWithSerial(0x22222).path}));
  EXPECT_EQ(rig.driver.OpenHandles(), 0);
}

TEST(Discovery, DuplicateSerialsListTheLaterEnumeratedFirst) {
  ScriptedStrip first = StripWithSerial(0x00100);
  first.path = "first";
  ScriptedStrip second = StripWithSerial(0x00100);
  second.path = "second";
  StripRig rig({first, StripWithSerial(0x00050), second});
  EXPECT_EQ(rig.device.RebuildDeviceList(), 3);

  const auto list = rig.device.List();
  EXPECT_EQ(Serials(*list), (std::vector<std::int32_t>{0x00050, 0x00100, 0x00100}));
  EXPECT_EQ((*list)[1].devicePath, "second");
  EXPECT_EQ((*list)[2].devicePath, "first");

  std::string path;
  ASSERT_TRUE(rig.device.FindDevicePath(0x00100, path));
  EXPECT_EQ(path, "second");
}

TEST(Discovery, FallbackClassIsUsedWhenThePrimaryHasNone) {
  StripRig rig({StripWithSerial(0x00042, std::string(fallbackInterfaceGuid))});
  EXPECT_EQ(rig.device.RebuildDeviceList(), 1);
  EXPECT_EQ(Serials(*rig.device.List()), (std::vector<std::int32_t>{0x00042}));
  EXPECT_EQ(rig.driver.ClassQueries(), Classes({primaryInterfaceGuid, fallbackInterfaceGuid}));
}

TEST(Discovery, FallbackClassIsNotEnumeratedWhenThePrimaryHasStrips) {
  StripRig rig({StripWithSerial(0x00042, std::string(fallbackInterfaceGuid)), StripWithSerial(0x00077)});
  EXPECT_EQ(rig.device.RebuildDeviceList(), 1);
  EXPECT_EQ(Serials(*rig.device.List()), (std::vector<std::int32_t>{0x00077}));
  EXPECT_EQ(rig.driver.ClassQueries(), Classes({primaryInterfaceGuid}));
  EXPECT_EQ(rig.driver.OpenAttempts(), (std::vector<std::string>{StripWithSerial(0x00077).path}));
}

TEST(Discovery, NoStripInEitherClass) {
  StripRig rig;
  EXPECT_EQ(rig.device.RebuildDeviceList(), 0);
  EXPECT_EQ(rig.device.deviceCount(), 0);
  EXPECT_TRUE(rig.device.List()->empty());
  EXPECT_EQ(rig.device.CountDevices(), 0);
  EXPECT_EQ(rig.driver.ClassQueries(),
            Classes({primaryInterfaceGuid, fallbackInterfaceGuid, primaryInterfaceGuid, fallbackInterfaceGuid}));
}

TEST(Discovery, StripNotAnsweringTheSerialEndsTheEnumeration) {
  ScriptedStrip silent = StripWithSerial(0x00100);
  silent.answersSerial = false;
  StripRig rig({StripWithSerial(0x00300), silent, StripWithSerial(0x00200)});
  EXPECT_EQ(rig.device.RebuildDeviceList(), 1);
  EXPECT_EQ(Serials(*rig.device.List()), (std::vector<std::int32_t>{0x00300}));
  // The third strip is never asked, and the fallback class is not tried.
  EXPECT_EQ(rig.driver.OpenAttempts().size(), 2u);
  EXPECT_EQ(rig.driver.ClassQueries(), Classes({primaryInterfaceGuid}));
  EXPECT_EQ(rig.driver.OpenHandles(), 0);
}

TEST(Discovery, IndexThatErrorsIsSkipped) {
  StripRig rig({StripWithSerial(0x00003), StripWithSerial(0x00002), StripWithSerial(0x00001)});
  rig.driver.SetEnumErrorIndexes({1});
  EXPECT_EQ(rig.device.RebuildDeviceList(), 2);
  EXPECT_EQ(Serials(*rig.device.List()), (std::vector<std::int32_t>{0x00001, 0x00003}));
}

TEST(Discovery, ErroringOnlyIndexListsNothing) {
  StripRig rig({StripWithSerial(0x00003)});
  rig.driver.SetEnumErrorIndexes({0});
  EXPECT_EQ(rig.device.RebuildDeviceList(), 0);
  EXPECT_TRUE(rig.driver.OpenAttempts().empty());
}

TEST(Discovery, UnreadableDetailEndsTheEnumeration) {
  ScriptedStrip hidden = StripWithSerial(0x00100);
  hidden.detailReadable = false;
  StripRig rig({StripWithSerial(0x00300), hidden, StripWithSerial(0x00200)});
  EXPECT_EQ(rig.device.RebuildDeviceList(), 1);
  EXPECT_EQ(Serials(*rig.device.List()), (std::vector<std::int32_t>{0x00300}));
  EXPECT_EQ(rig.driver.OpenAttempts(), (std::vector<std::string>{StripWithSerial(0x00300).path}));
}

TEST(Discovery, UnopenableInterfaceEndsTheEnumeration) {
  ScriptedStrip locked = StripWithSerial(0x00100);
  locked.openable = false;
  StripRig rig({StripWithSerial(0x00300), StripWithSerial(0x00400), locked, StripWithSerial(0x00200)});
  EXPECT_EQ(rig.device.RebuildDeviceList(), 2);
  EXPECT_EQ(Serials(*rig.device.List()), (std::vector<std::int32_t>{0x00300, 0x00400}));
  EXPECT_EQ(rig.driver.OpenAttempts().size(), 3u);
}

TEST(Discovery, ShortSerialReplyLeavesZerosNotTheSetupPacket) {
  StripRig rig({StripWithSerial(0x00777)});
  rig.driver.SetReply([](std::uint32_t, const protocol::SetupFields& setup) {
    return setup.bRequest == REQ_SERIAL_NUMBER ? std::optional(std::vector<std::uint8_t>{0x05})
                                               : std::optional(std::vector<std::uint8_t>{});
  });
  EXPECT_EQ(rig.device.RebuildDeviceList(), 1);
  EXPECT_EQ(Serials(*rig.device.List()), (std::vector<std::int32_t>{0x050000}));
}

TEST(Discovery, PathsLongerThan255CharactersAreKeptWhole) {
  ScriptedStrip strip = StripWithSerial(0x00ABC);
  strip.path = "\\\\?\\usb#" + std::string(300, 'p') + "#end";
  StripRig rig({strip});
  EXPECT_EQ(rig.device.RebuildDeviceList(), 1);
  std::string path;
  ASSERT_TRUE(rig.device.FindDevicePath(0x00ABC, path));
  EXPECT_EQ(path, strip.path);
}

TEST(Discovery, RebuildReflectsUnplugging) {
  StripRig rig({StripWithSerial(0x00001), StripWithSerial(0x00002)});
  EXPECT_EQ(rig.device.RebuildDeviceList(), 2);
  rig.driver.SetPresent(0x00001, false);
  EXPECT_EQ(rig.device.CountDevices(), 1);
  EXPECT_EQ(rig.device.deviceCount(), 2);  // counting does not touch the list
  EXPECT_EQ(rig.device.RebuildDeviceList(), 1);
  EXPECT_EQ(Serials(*rig.device.List()), (std::vector<std::int32_t>{0x00002}));
  std::string path;
  EXPECT_FALSE(rig.device.FindDevicePath(0x00001, path));
}

}  // namespace
}  // namespace kvx::test
