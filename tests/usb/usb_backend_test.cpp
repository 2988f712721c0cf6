// Enumeration, identity, control requests and the stream of readings of
// strips reached over libusb.
#include <thread>

#include "device/sim/sim_driver.h"

#include "usb_fixture.h"

namespace kvx::usb::testing {
namespace {

using namespace kvx::protocol;
using device::ReadStatus;
using namespace std::chrono_literals;

TEST_F(UsbBackendTest, EachClassListsTheStripsOfItsIdsByPortPath) {
  const std::vector<std::string> primary = Paths(device::primaryInterfaceGuid);
  ASSERT_GE(primary.size(), 1u);
  EXPECT_EQ(primary.front(), "usb#1209:0001#1-1");
  EXPECT_EQ(Paths(device::fallbackInterfaceGuid), std::vector<std::string>{"usb#1209:0002#1-2"});
  EXPECT_TRUE(Paths("{00000000-0000-0000-0000-000000000000}").empty());
}

TEST_F(UsbBackendTest, IdsGivenByTheScenarioAndSeveralIdsInOneClass) {
  UsbOptions options;
  options.primaryIds = {PRIMARY, {0xABCD, 0x0042}};
  std::string error;
  driver_ = MakeUsbDriver(options, error);
  ASSERT_TRUE(driver_) << error;
  const std::vector<std::string> primary = Paths(device::primaryInterfaceGuid);
  EXPECT_NE(std::find(primary.begin(), primary.end(), "usb#1209:0001#1-1"), primary.end());
  EXPECT_NE(std::find(primary.begin(), primary.end(), "usb#abcd:0042#1-4"), primary.end());
  EXPECT_EQ(SerialAt("usb#abcd:0042#1-4"), OWN_IDS);
  EXPECT_TRUE(Paths(device::fallbackInterfaceGuid).empty()) << "no fallback IDs given";
}

TEST_F(UsbBackendTest, IdentityRequestsAnswerOnTheInterfaceAndThePipe) {
  EXPECT_EQ(SerialAt("usb#1209:0001#1-1"), KITCHEN);
  EXPECT_EQ(SerialAt("usb#1209:0002#1-2"), OFFICE);
  const device::Handle pipe = driver_->Open("usb#1209:0001#1-1\\pipe00");
  ASSERT_NE(pipe, device::INVALID_HANDLE_VALUE);
  const auto firmware = RequestIn(pipe, REQ_FIRMWARE_VERSION, 0, 0, FIRMWARE_VERSION_LENGTH);
  ASSERT_TRUE(firmware);
  EXPECT_EQ(*firmware, (std::vector<std::uint8_t>{0x10, 0x20}));
  driver_->Close(pipe);
}

TEST_F(UsbBackendTest, UnknownPathsAndHandlesFail) {
  EXPECT_EQ(driver_->Open("usb#1209:0001#1-9"), device::INVALID_HANDLE_VALUE);
  EXPECT_EQ(driver_->Open("usb#1209:0002#1-1"), device::INVALID_HANDLE_VALUE);  // other IDs in that port
  EXPECT_EQ(driver_->Open("not a path"), device::INVALID_HANDLE_VALUE);
  std::uint8_t buffer[16] = {};
  EXPECT_EQ(driver_->Read(0x7777, buffer, 10ms).status, ReadStatus::Failed);
  std::uint32_t returned = 5;
  EXPECT_FALSE(driver_->Control(0x7777, IOCTL_STRIP_STOP, {}, {}, returned));
  EXPECT_EQ(returned, 0u);
}

// The same requests over the simulated driver and over USB, to the same
// scenario's strip, get the same replies byte for byte.
TEST_F(UsbBackendTest, RepliesOverUsbAreTheSimulatedStripsOwn) {
  std::string error;
  const auto scenario = sim::LoadScenarioFile(KVX_SOURCE_DIR "/tests/usb/usb_scenario.json", error);
  ASSERT_TRUE(scenario) << error;
  sim::SimDriver reference(*scenario);
  const device::Handle simPipe = reference.Open(reference.DevicePath(0) + "\\PIPE00");
  const device::Handle usbPipe = driver_->Open("usb#1209:0001#1-1\\PIPE00");
  ASSERT_NE(usbPipe, device::INVALID_HANDLE_VALUE);

  struct Request {
    std::uint8_t request;
    std::uint16_t value, index, length;
  };
  std::vector<Request> requests = {{REQ_FIRMWARE_VERSION, 0, 0, FIRMWARE_VERSION_LENGTH},
                                   {REQ_SERIAL_NUMBER, 0, 0, SERIAL_NUMBER_LENGTH},
                                   {REQ_VOLTAGE, 0, 0, VOLTAGE_LENGTH},
                                   {REQ_TEMPERATURE, 0, 0, TEMPERATURE_LENGTH},
                                   {REQ_READ_MEMORY, PAGE_SELECTOR_PAGE, PAGE_SELECTOR_OFFSET, READ_MEMORY_LENGTH}};
  const auto selector = RequestIn(usbPipe, REQ_READ_MEMORY, PAGE_SELECTOR_PAGE, PAGE_SELECTOR_OFFSET, READ_MEMORY_LENGTH);
  ASSERT_TRUE(selector);
  ASSERT_EQ(selector->size(), 8u);
  const std::uint16_t page = SelectCalibrationPage((*selector)[PAGE_SELECTOR_BYTE]);
  for (int outlet = 1; outlet <= 4; ++outlet) {
    requests.push_back({REQ_READ_MEMORY, page, CalibrationRecordOffset(outlet), READ_MEMORY_LENGTH});
    requests.push_back({REQ_READ_MEMORY, page, CalibrationSecondReadOffset(outlet), READ_MEMORY_LENGTH});
  }
  for (const Request& r : requests) {
    SCOPED_TRACE(::testing::Message() << "request " << int{r.request} << " value " << r.value << " index " << r.index);
    const auto overUsb = RequestIn(usbPipe, r.request, r.value, r.index, r.length);
    std::vector<std::uint8_t> buffer(8 + r.length);
    const SetupPacket packet = BuildSetupPacket(REQUEST_TYPE_IN, r.request, r.value, r.index, r.length);
    std::uint32_t returned = 0;
    ASSERT_TRUE(reference.Control(simPipe, IOCTL_STRIP_CONTROL_TRANSFER, packet, buffer, returned));
    buffer.resize(returned);
    ASSERT_TRUE(overUsb);
    EXPECT_EQ(*overUsb, buffer);
    EXPECT_EQ(overUsb->size(), r.length);
  }
  driver_->Close(usbPipe);
}

TEST_F(UsbBackendTest, AFailedRequestFailsAndAnOutRequestHasNoDataStage) {
  const device::Handle pipe = driver_->Open("usb#1209:0001#1-1\\PIPE00");
  ASSERT_NE(pipe, device::INVALID_HANDLE_VALUE);
  std::uint32_t returned = 7;
  std::uint8_t reply[8] = {};
  const SetupPacket unknown = BuildSetupPacket(REQUEST_TYPE_IN, 0x77, 0, 0, 4);
  EXPECT_FALSE(driver_->Control(pipe, IOCTL_STRIP_CONTROL_TRANSFER, unknown, reply, returned));
  EXPECT_EQ(returned, 0u);
  const SetupPacket select = BuildSetupPacket(REQUEST_TYPE_OUT, REQ_SELECT_QUANTITY, QUANTITY_POWER, 0, 0);
  EXPECT_TRUE(driver_->Control(pipe, IOCTL_STRIP_CONTROL_TRANSFER, select, reply, returned));
  EXPECT_EQ(returned, 0u);
  const SetupPacket back = BuildSetupPacket(REQUEST_TYPE_OUT, REQ_SELECT_QUANTITY, QUANTITY_CURRENT, 0, 0);
  EXPECT_TRUE(driver_->Control(pipe, IOCTL_STRIP_CONTROL_TRANSFER, back, reply, returned));
  EXPECT_FALSE(driver_->Control(pipe, IOCTL_STRIP_CONTROL_TRANSFER, std::span(unknown).first(7), reply, returned))
      << "a packet shorter than 8 bytes";
  driver_->Close(pipe);
}

TEST_F(UsbBackendTest, ReadingsStreamAfterSetEventAndStopEndsThem) {
  const device::Handle pipe = StartedPipe("usb#1209:0001#1-1");
  ASSERT_NE(pipe, device::INVALID_HANDLE_VALUE);
  for (int i = 0; i < 4; ++i) {
    ReadingBytes bytes{};
    const device::ReadResult result = driver_->Read(pipe, bytes, PATIENCE);
    ASSERT_EQ(result.status, ReadStatus::Completed);
    ASSERT_EQ(result.bytes, READING_SIZE);
    const Reading reading = DecodeReading(bytes);
    EXPECT_NE(reading.packetIndex & STATE_ON_BIT, 0) << "the default strip is switched on";
    EXPECT_FALSE(IsWaveformKind(reading.readingKind));
  }
  std::uint32_t returned = 0;
  EXPECT_TRUE(driver_->Control(pipe, IOCTL_STRIP_STOP, {}, {}, returned));
  ReadingBytes bytes{};
  EXPECT_EQ(driver_->Read(pipe, bytes, PATIENCE).status, ReadStatus::Failed);

  // A new SET_EVENT on the same handle streams again.
  const std::uint8_t event[4] = {0x34, 0x12, 0, 0};
  ASSERT_TRUE(driver_->Control(pipe, IOCTL_STRIP_SET_EVENT, event, {}, returned));
  EXPECT_EQ(driver_->Read(pipe, bytes, PATIENCE).status, ReadStatus::Completed);
  EXPECT_TRUE(driver_->Control(pipe, IOCTL_STRIP_SET_EVENT, event, {}, returned)) << "a second start changes nothing";
  EXPECT_EQ(driver_->Read(pipe, bytes, PATIENCE).status, ReadStatus::Completed);
  driver_->Close(pipe);
}

TEST_F(UsbBackendTest, AReadBeforeSetEventTimesOut) {
  const device::Handle pipe = driver_->Open("usb#1209:0001#1-1\\PIPE00");
  ASSERT_NE(pipe, device::INVALID_HANDLE_VALUE);
  ReadingBytes bytes{};
  EXPECT_EQ(driver_->Read(pipe, bytes, 50ms).status, ReadStatus::TimedOut);
  const device::Handle iface = driver_->Open("usb#1209:0001#1-1");
  EXPECT_EQ(driver_->Read(iface, bytes, 50ms).status, ReadStatus::Failed) << "an interface handle has no pipe";
  driver_->Close(iface);
  driver_->Close(pipe);
}

TEST_F(UsbBackendTest, CancelWakesTheWaitingReadAndIsNotLostBeforeOne) {
  const device::Handle pipe = driver_->Open("usb#1209:0001#1-1\\PIPE00");  // not started: nothing arrives
  ASSERT_NE(pipe, device::INVALID_HANDLE_VALUE);
  ReadingBytes bytes{};
  driver_->CancelRead(pipe);
  EXPECT_EQ(driver_->Read(pipe, bytes, PATIENCE).status, ReadStatus::Cancelled);

  device::ReadStatus status = ReadStatus::Completed;
  std::thread reader([&] { status = driver_->Read(pipe, bytes, PATIENCE).status; });
  // Whether the cancel lands before or during the wait, the read ends cancelled.
  driver_->CancelRead(pipe);
  reader.join();
  EXPECT_EQ(status, ReadStatus::Cancelled);
  driver_->Close(pipe);
}

TEST_F(UsbBackendTest, CloseDuringAReadFailsIt) {
  const device::Handle pipe = driver_->Open("usb#1209:0001#1-1\\PIPE00");
  ASSERT_NE(pipe, device::INVALID_HANDLE_VALUE);
  std::mutex mutex;
  std::condition_variable cv;
  bool started = false;
  device::ReadStatus status = ReadStatus::Completed;
  std::thread reader([&] {
    {
      std::lock_guard lock(mutex);
      started = true;
    }
    cv.notify_all();
    ReadingBytes bytes{};
    status = driver_->Read(pipe, bytes, PATIENCE).status;
  });
  {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return started; });
  }
  driver_->Close(pipe);
  reader.join();
  // Closed before the read began, or during its wait: it fails either way.
  EXPECT_EQ(status, ReadStatus::Failed);
}

TEST_F(UsbBackendTest, SeveralHandlesShareTheStripAndControlsWorkWhileStreaming) {
  const device::Handle stream = StartedPipe("usb#1209:0001#1-1");
  ASSERT_NE(stream, device::INVALID_HANDLE_VALUE);
  const device::Handle other = driver_->Open("usb#1209:0001#1-1\\PIPE00");
  ASSERT_NE(other, device::INVALID_HANDLE_VALUE);
  const auto volts = RequestIn(other, REQ_VOLTAGE, 0, 0, VOLTAGE_LENGTH);
  ASSERT_TRUE(volts);
  EXPECT_EQ(*volts, std::vector<std::uint8_t>{100});
  driver_->Close(other);  // the stream keeps the interface claimed
  ReadingBytes bytes{};
  EXPECT_EQ(driver_->Read(stream, bytes, PATIENCE).status, ReadStatus::Completed);
  driver_->Close(stream);
}

}  // namespace
}  // namespace kvx::usb::testing
