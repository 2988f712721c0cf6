// The device list is rebuilt into a new list and swapped in: a snapshot that a
// reader holds stays whole while another thread rebuilds.
#include <atomic>

#include <gtest/gtest.h>

#include "strip_rig.h"

namespace kvx::test {
namespace {

TEST(ListSwap, OldSnapshotSurvivesARebuild) {
  StripRig rig({StripWithSerial(0x00003), StripWithSerial(0x00001), StripWithSerial(0x00002)});
  rig.device.RebuildDeviceList();
  const auto before = rig.device.List();
  const device::DeviceList copy = *before;

  rig.driver.SetPresent(0x00001, false);
  rig.driver.SetPresent(0x00003, false);
  EXPECT_EQ(rig.device.RebuildDeviceList(), 1);

  EXPECT_EQ(*before, copy);  // untouched by the rebuild
  EXPECT_EQ(rig.device.List()->size(), 1u);
  EXPECT_NE(rig.device.List(), before);
}

bool IsSorted(const device::DeviceList& list) {
  for (std::size_t k = 1; k < list.size(); ++k)
    if (list[k - 1].serialNumber > list[k].serialNumber) return false;
  return true;
}

TEST(ListSwap, LookupsRunWhileAnotherThreadRebuilds) {
  StripRig rig({StripWithSerial(0x00300), StripWithSerial(0x00100), StripWithSerial(0x00200)});
  rig.device.RebuildDeviceList();
  rig.selected = 0x00200;

  constexpr int kRebuilds = 200;
  std::atomic<bool> done{false};
  std::thread rebuilder([&] {
    for (int i = 0; i < kRebuilds; ++i) {
      rig.driver.SetPresent(0x00100, i % 2 == 0);  // the list alternates between 2 and 3 strips
      rig.device.RebuildDeviceList();
    }
    done = true;
  });

  int lookups = 0;
  while (!done || lookups == 0) {
    const auto snapshot = rig.device.List();
    EXPECT_TRUE(snapshot->size() == 2 || snapshot->size() == 3) << snapshot->size();
    EXPECT_TRUE(IsSorted(*snapshot));
    for (const auto& entry : *snapshot) EXPECT_EQ(entry.devicePath, StripWithSerial(entry.serialNumber).path);

    std::int32_t serial = 0;
    EXPECT_TRUE(rig.device.GetSerialAt(1, serial));
    std::string path;
    EXPECT_TRUE(rig.device.FindDevicePath(0x00300, path));
    EXPECT_EQ(path, StripWithSerial(0x00300).path);
    // Requests on the acquisition side keep working on the strip that stays.
    std::array<std::uint8_t, 2> firmware{};
    EXPECT_TRUE(
        rig.device
            .Request(rig.selected,
                     protocol::BuildSetupPacket(protocol::REQUEST_TYPE_IN, protocol::REQ_FIRMWARE_VERSION, 0, 0, 2),
                     firmware)
            .has_value());
    ++lookups;
  }
  rebuilder.join();
  EXPECT_GT(lookups, 0);
}

}  // namespace
}  // namespace kvx::test
