// The client's own discovery and requests (DeviceAccess) over USB, against
// the built-in default scenario, compared with the same calls over the
// simulated driver: the backend must be invisible above the driver interface.
#include "device/device_access.h"
#include "device/sim/sim_driver.h"
#include "usb_fixture.h"

namespace kvx::usb::testing {
namespace {

using namespace kvx::protocol;
using device::DeviceAccess;

using UsbDefaultScenarioTest = UsbBackendTest;

std::vector<std::int32_t> Serials(const DeviceAccess& access) {
  std::vector<std::int32_t> serials;
  for (const device::DeviceEntry& entry : *access.List()) serials.push_back(entry.serialNumber);
  return serials;
}

TEST_F(UsbDefaultScenarioTest, DiscoveryFindsTheDefaultStripsAsTheSimulatedDriverDoes) {
  sim::SimDriver reference;
  DeviceAccess overSim(reference);
  DeviceAccess overUsb(*driver_);
  ASSERT_EQ(overUsb.RebuildDeviceList(), 2);
  ASSERT_EQ(overSim.RebuildDeviceList(), 2);
  EXPECT_EQ(Serials(overUsb), Serials(overSim));
  EXPECT_EQ(Serials(overUsb), (std::vector<std::int32_t>{0x1A2B3, 0x2C4D5}));
  std::string path;
  ASSERT_TRUE(overUsb.FindDevicePath(0x2C4D5, path));
  EXPECT_EQ(path, "usb#1209:0001#1-2");
}

TEST_F(UsbDefaultScenarioTest, TheCalibrationFetchAndLineQuantitiesMatchTheSimulatedDriver) {
  sim::SimDriver reference;
  DeviceAccess overSim(reference);
  DeviceAccess overUsb(*driver_);
  for (DeviceAccess* access : {&overSim, &overUsb}) {
    ASSERT_EQ(access->RebuildDeviceList(), 2);
  }
  EXPECT_EQ(FetchCalibration(overUsb, 0x1A2B3), FetchCalibration(overSim, 0x1A2B3));
  for (std::uint8_t request : {REQ_VOLTAGE, REQ_TEMPERATURE, REQ_FIRMWARE_VERSION}) {
    std::array<std::uint8_t, 8> viaUsb{};
    std::array<std::uint8_t, 8> viaSim{};
    const std::uint16_t length = request == REQ_VOLTAGE ? VOLTAGE_LENGTH : 2;
    EXPECT_EQ(overUsb.Request(0x1A2B3, BuildSetupPacket(REQUEST_TYPE_IN, request, 0, 0, length), viaUsb),
              overSim.Request(0x1A2B3, BuildSetupPacket(REQUEST_TYPE_IN, request, 0, 0, length), viaSim));
    EXPECT_EQ(viaUsb, viaSim) << "request " << int{request};
  }
}

TEST_F(UsbDefaultScenarioTest, TheConnectionsReadingsArriveThroughReadReading) {
  DeviceAccess access(*driver_);
  ASSERT_EQ(access.RebuildDeviceList(), 2);
  const device::Handle pipe = access.OpenPipe(0x2C4D5, PIPE_NAME);
  ASSERT_NE(pipe, device::INVALID_HANDLE_VALUE);
  access.setReadTimeout(PATIENCE);
  access.SendSetEvent(pipe, 0x1234);
  ReadingBytes bytes{};
  EXPECT_EQ(access.ReadReading(pipe, bytes), std::optional<std::uint32_t>(READING_SIZE));
  EXPECT_NE(DecodeReading(bytes).packetIndex & STATE_ON_BIT, 0);
  access.SendStop(pipe);
  EXPECT_EQ(access.ReadReading(pipe, bytes), std::nullopt) << "a stopped pipe fails its reads";
  access.ClosePipe(pipe);
}

}  // namespace
}  // namespace kvx::usb::testing
