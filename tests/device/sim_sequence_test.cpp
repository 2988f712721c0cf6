// What a simulated strip sees of the client's discovery and calibration fetch,
// taken from the simulator's own record of requests.
#include <gtest/gtest.h>

#include "device/device_access.h"
#include "device/sim/sim_driver.h"
#include "strip_rig.h"

namespace kvx::test {
namespace {

using namespace kvx::protocol;

constexpr std::uint32_t kSerial = 0x00A12;

sim::Scenario OneStripWithFlaggedOutlet2() {
  sim::StripSpec strip;
  strip.serial = kSerial;
  strip.pageSelector = 1;  // records on page 0x0300
  strip.faults.flaggedRecords = {2};
  sim::Scenario scenario;
  scenario.strips = {strip};
  return scenario;
}

std::vector<SetupFields> SetupsOn(const std::vector<sim::RequestRecord>& log, sim::HandleKind on) {
  std::vector<SetupFields> setups;
  for (const sim::RequestRecord& record : log) {
    EXPECT_EQ(record.on, on);
    EXPECT_EQ(record.code, IOCTL_STRIP_CONTROL_TRANSFER);
    EXPECT_TRUE(record.ok);
    if (record.setup) setups.push_back(*record.setup);
  }
  return setups;
}

TEST(SimulatedStripSequence, EnumerationThenCalibrationFetchWithAFlaggedRecord) {
  sim::SimDriver driver(OneStripWithFlaggedOutlet2(), sim::SimOptions{.manualClock = true});
  device::DeviceAccess device(driver);

  ASSERT_EQ(device.RebuildDeviceList(), 1);
  const auto enumeration = driver.RequestLog(0);
  EXPECT_EQ(SetupsOn(enumeration, sim::HandleKind::Interface), (std::vector<SetupFields>{In(0xC1, 0, 0, 3)}));
  ASSERT_EQ(enumeration.size(), 1u);
  EXPECT_EQ(enumeration[0].reply, (std::vector<std::uint8_t>{0x00, 0x0A, 0x12}));

  driver.ClearRequestLog(0);
  ASSERT_NE(driver.CalibrationRecord(0, 2).lowOffset >> 8, 0);  // flagged before the fetch
  const auto records = FetchCalibration(device, kSerial);

  const std::vector<SetupFields> expected{
      In(0xA2, 0x0080, 0x0078, 8),
      In(0xA2, 0x0300, 30, 8), In(0xA2, 0x0300, 38, 8),
      In(0xA2, 0x0300, 44, 8),
      Out(0x15, UNLOCK_CODE_WORD_1, UNLOCK_CODE_WORD_2), Out(0x05, 0x0300), Out(0x06, 0x0230), Out(0x07, 0x0300),
      Out(0x09, 0),
      In(0xA2, 0x0300, 44, 8), In(0xA2, 0x0300, 52, 8),
      In(0xA2, 0x0300, 58, 8), In(0xA2, 0x0300, 66, 8),
      In(0xA2, 0x0300, 72, 8), In(0xA2, 0x0300, 80, 8),
  };
  EXPECT_EQ(SetupsOn(driver.RequestLog(0), sim::HandleKind::Pipe), expected);

  // The strip honoured the reset: the record is unflagged, and what the client
  // decoded is what the strip now holds.
  for (int outlet = 1; outlet <= 4; ++outlet)
    EXPECT_EQ(records[static_cast<std::size_t>(outlet) - 1], driver.CalibrationRecord(0, outlet)) << outlet;
  EXPECT_EQ(records[1].lowOffset >> 8, 0);
  EXPECT_EQ(driver.OpenHandleCount(), 0);
}

}  // namespace
}  // namespace kvx::test
