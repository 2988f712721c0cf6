// The contract of device/driver.h, checked the same way for every Driver
// implementation (see driver_traits.h for how a backend joins). This file is
// compiled once per list of backends: conformance_drivers.h's by default, the
// header KVX_CONFORMANCE_DRIVERS names otherwise (the USB backend's, whose
// binary runs under its emulator).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#ifdef KVX_CONFORMANCE_DRIVERS
#include KVX_CONFORMANCE_DRIVERS
#else
#include "conformance_drivers.h"
#endif

namespace kvx::test {
namespace {

using namespace std::chrono_literals;
using device::ControlStatus;
using device::EnumStatus;
using device::Handle;
using device::INVALID_HANDLE_VALUE;
using device::ReadStatus;
using namespace kvx::protocol;

// Long enough for any sanitizer build; a correct driver returns long before.
constexpr std::chrono::milliseconds GENEROUS = 20s;

template <typename Traits>
class DriverConformance : public ::testing::Test {
 protected:
  device::Driver& driver() { return traits.driver(); }

  Handle OpenInterface(int strip) { return driver().Open(traits.Path(strip)); }
  Handle OpenPipe(int strip) { return driver().Open(traits.Path(strip) + device::PIPE_SEPARATOR + PIPE_NAME); }
  Handle OpenArmedPipe(int strip) {
    const Handle pipe = OpenPipe(strip);
    const std::array<std::uint8_t, 4> event{0x34, 0x12, 0, 0};
    std::uint32_t returned = 0;
    EXPECT_TRUE(driver().Control(pipe, IOCTL_STRIP_SET_EVENT, event, {}, returned));
    return pipe;
  }

  ControlStatus AskSerial(Handle handle, std::span<std::uint8_t> out, std::uint32_t& returned,
                          std::chrono::milliseconds timeout = GENEROUS) {
    const SetupPacket setup = BuildSetupPacket(REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, SERIAL_NUMBER_LENGTH);
    return driver().Control(handle, IOCTL_STRIP_CONTROL_TRANSFER, setup, out, returned, timeout);
  }
  ControlStatus AskFirmware(Handle handle, std::chrono::milliseconds timeout, std::uint32_t& returned) {
    const SetupPacket setup = BuildSetupPacket(REQUEST_TYPE_IN, REQ_FIRMWARE_VERSION, 0, 0, FIRMWARE_VERSION_LENGTH);
    std::array<std::uint8_t, 8> out{};
    return driver().Control(handle, IOCTL_STRIP_CONTROL_TRANSFER, setup, out, returned, timeout);
  }
  device::ReadResult ReadOnce(Handle pipe, std::chrono::milliseconds timeout) {
    ReadingBytes buffer{};
    return driver().Read(pipe, buffer, timeout);
  }

  template <typename Condition>
  static bool Eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + GENEROUS;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(100us);
    }
    return true;
  }

  Traits traits;
};

TYPED_TEST_SUITE(DriverConformance, Drivers, DriverNames);

// ---------------------------------------------------------------- enumeration

TYPED_TEST(DriverConformance, EnumerationIsASnapshotOfTheMomentItWasTaken) {
  auto before = this->driver().GetClassDevs(device::primaryInterfaceGuid);
  ASSERT_TRUE(before);
  this->traits.Unplug(1);
  auto after = this->driver().GetClassDevs(device::primaryInterfaceGuid);
  ASSERT_TRUE(after);
  // The earlier snapshot still lists both strips, the later one only the first.
  EXPECT_EQ(before->EnumInterface(0), EnumStatus::Ok);
  EXPECT_EQ(before->EnumInterface(1), EnumStatus::Ok);
  EXPECT_EQ(before->InterfaceDetailPath(1), this->traits.Path(1));
  EXPECT_EQ(before->EnumInterface(2), EnumStatus::NoMoreItems);
  EXPECT_EQ(after->EnumInterface(0), EnumStatus::Ok);
  EXPECT_EQ(after->InterfaceDetailPath(0), this->traits.Path(0));
  EXPECT_EQ(after->EnumInterface(1), EnumStatus::NoMoreItems);
  // The other class holds none of them.
  auto fallback = this->driver().GetClassDevs(device::fallbackInterfaceGuid);
  ASSERT_TRUE(fallback);
  EXPECT_EQ(fallback->EnumInterface(0), EnumStatus::NoMoreItems);
}

TYPED_TEST(DriverConformance, AnIndexThatErrorsIsReportedAndEnumerationGoesOnBehindIt) {
  if constexpr (requires { TypeParam::noIndexErrors; }) GTEST_SKIP() << "not applicable: " << TypeParam::noIndexErrors;
  this->traits.ErrorAtIndex(0);
  auto set = this->driver().GetClassDevs(device::primaryInterfaceGuid);
  ASSERT_TRUE(set);
  EXPECT_EQ(set->EnumInterface(0), EnumStatus::Error);
  std::uint32_t index = 1;
  std::set<std::string> paths;
  for (; index < 16 && set->EnumInterface(index) != EnumStatus::NoMoreItems; ++index) {
    ASSERT_EQ(set->EnumInterface(index), EnumStatus::Ok) << index;
    const auto path = set->InterfaceDetailPath(index);
    ASSERT_TRUE(path) << index;
    paths.insert(*path);
  }
  EXPECT_LT(index, 16u) << "the enumeration must end";
  EXPECT_FALSE(paths.empty());
  for (const std::string& path : paths) EXPECT_TRUE(path == this->traits.Path(0) || path == this->traits.Path(1)) << path;
}

// ---------------------------------------------------------------- handles and control calls

TYPED_TEST(DriverConformance, SeveralHandlesToOneStripWorkAtOnceAndCloseIndependently) {
  const std::array<Handle, 4> handles = {this->OpenInterface(0), this->OpenInterface(0), this->OpenPipe(0),
                                         this->OpenPipe(0)};
  EXPECT_EQ(std::set<Handle>(handles.begin(), handles.end()).size(), handles.size());
  for (const Handle h : handles) ASSERT_NE(h, INVALID_HANDLE_VALUE);
  this->driver().Close(handles[0]);
  for (std::size_t k = 1; k < handles.size(); ++k) {
    std::array<std::uint8_t, 8> out{};
    std::uint32_t returned = 0;
    EXPECT_EQ(this->AskSerial(handles[k], out, returned), ControlStatus::Ok) << k;
    EXPECT_EQ(DecodeSerialNumber(std::span<const std::uint8_t, 3>(out.data(), 3)), this->traits.Serial(0)) << k;
    this->driver().Close(handles[k]);
  }
  std::uint32_t returned = 7;
  std::array<std::uint8_t, 8> out{};
  EXPECT_EQ(this->AskSerial(handles[0], out, returned), ControlStatus::Gone);
  EXPECT_EQ(returned, 0u);
  this->driver().Close(handles[0]);  // closing twice does nothing
  EXPECT_EQ(this->driver().Open("/no/such/strip"), INVALID_HANDLE_VALUE);
}

TYPED_TEST(DriverConformance, InputAndOutputMayShareOneBufferAndShortBuffersGetShortReplies) {
  const Handle h = this->OpenInterface(1);
  // One buffer for the setup packet in and the reply out.
  std::array<std::uint8_t, 8> buffer = BuildSetupPacket(REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, SERIAL_NUMBER_LENGTH);
  std::uint32_t returned = 0;
  ASSERT_EQ(this->driver().Control(h, IOCTL_STRIP_CONTROL_TRANSFER, buffer, buffer, returned, GENEROUS),
            ControlStatus::Ok);
  EXPECT_EQ(returned, SERIAL_NUMBER_LENGTH);
  EXPECT_EQ(DecodeSerialNumber(std::span<const std::uint8_t, 3>(buffer.data(), 3)), this->traits.Serial(1));
  // Room for two bytes: two bytes come back, the rest of the caller's memory is untouched.
  std::array<std::uint8_t, 4> memory{0xEE, 0xEE, 0xEE, 0xEE};
  ASSERT_EQ(this->AskSerial(h, std::span<std::uint8_t>(memory.data(), 2), returned), ControlStatus::Ok);
  EXPECT_EQ(returned, 2u);
  EXPECT_EQ(memory[0], static_cast<std::uint8_t>(this->traits.Serial(1) >> 16));
  EXPECT_EQ(memory[2], 0xEE);
  ASSERT_EQ(this->AskSerial(h, {}, returned), ControlStatus::Ok);
  EXPECT_EQ(returned, 0u);
  this->driver().Close(h);
}

TYPED_TEST(DriverConformance, RequestsTheDriverCannotCarryAreRefused) {
  const Handle pipe = this->OpenPipe(0);
  std::uint32_t returned = 5;
  const std::array<std::uint8_t, 3> truncatedSetup{0xC0, 0x01, 0x00};
  EXPECT_EQ(this->driver().Control(pipe, IOCTL_STRIP_CONTROL_TRANSFER, truncatedSetup, {}, returned, GENEROUS),
            ControlStatus::Refused);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(this->driver().Control(pipe, 0x00222FFC, {}, {}, returned, GENEROUS), ControlStatus::Refused);
  EXPECT_EQ(this->driver().Control(123456789, IOCTL_STRIP_STOP, {}, {}, returned, GENEROUS), ControlStatus::Gone);
  this->driver().Close(pipe);
}

TYPED_TEST(DriverConformance, AControlCallEndsAtItsTimeOutAndLeavesNothingPending) {
  const Handle h = this->OpenPipe(0);
  this->traits.DelayReply(0, REQ_FIRMWARE_VERSION, std::nullopt);  // never answers
  std::uint32_t returned = 9;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(this->AskFirmware(h, 30ms, returned), ControlStatus::TimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(this->traits.PendingControls(), 0);
  // Other requests are not held by it, and the handle goes on working.
  std::array<std::uint8_t, 8> out{};
  EXPECT_EQ(this->AskSerial(h, out, returned), ControlStatus::Ok);
  this->driver().Close(h);
}

TYPED_TEST(DriverConformance, ASlowReplyArrivesWithinALongerTimeOutAndNotWithinAShorterOne) {
  const Handle h = this->OpenPipe(0);
  this->traits.DelayReply(0, REQ_FIRMWARE_VERSION, 40ms);
  std::uint32_t returned = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(this->AskFirmware(h, GENEROUS, returned), ControlStatus::Ok);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
  EXPECT_EQ(returned, FIRMWARE_VERSION_LENGTH);
  EXPECT_EQ(this->AskFirmware(h, 5ms, returned), ControlStatus::TimedOut);
  EXPECT_EQ(returned, 0u);
  this->driver().Close(h);
}

TYPED_TEST(DriverConformance, UnplugCloseOrCancelDuringAControlCallEndsItAtOnce) {
  this->traits.DelayReply(0, REQ_FIRMWARE_VERSION, std::nullopt);
  enum class How { Close, Cancel, Unplug };
  for (const How how : {How::Close, How::Cancel, How::Unplug}) {
    const Handle h = this->OpenPipe(0);
    auto call = std::async(std::launch::async, [&] {
      std::uint32_t returned = 0;
      return this->AskFirmware(h, GENEROUS, returned);
    });
    ASSERT_TRUE(this->Eventually([&] { return this->traits.PendingControls() == 1; }));
    if (how == How::Unplug) this->traits.Unplug(0);
    if (how == How::Close) this->driver().Close(h);
    if (how == How::Cancel) this->driver().CancelControl(h);
    EXPECT_EQ(call.get(), ControlStatus::Gone) << static_cast<int>(how);
    if (how == How::Cancel) {  // and so is every later call on the handle
      std::uint32_t returned = 0;
      EXPECT_EQ(this->AskFirmware(h, GENEROUS, returned), ControlStatus::Gone);
    }
    if (how != How::Close) this->driver().Close(h);
  }
}

TYPED_TEST(DriverConformance, AHandleOfARemovedStripStaysDeadAfterItComesBack) {
  const Handle old = this->OpenInterface(0);
  const Handle oldPipe = this->OpenArmedPipe(0);
  this->traits.Unplug(0);
  this->traits.Plug(0);
  std::array<std::uint8_t, 8> out{};
  std::uint32_t returned = 0;
  EXPECT_EQ(this->AskSerial(old, out, returned), ControlStatus::Gone);
  EXPECT_EQ(this->ReadOnce(oldPipe, 10ms).status, ReadStatus::Failed);
  const Handle fresh = this->OpenInterface(0);
  EXPECT_EQ(this->AskSerial(fresh, out, returned), ControlStatus::Ok);
  for (const Handle h : {old, oldPipe, fresh}) this->driver().Close(h);
}

// ---------------------------------------------------------------- reads

TYPED_TEST(DriverConformance, AReadDeliversAReadingOrTimesOut) {
  const Handle pipe = this->OpenArmedPipe(0);
  this->traits.OfferReading(0);
  const device::ReadResult got = this->ReadOnce(pipe, GENEROUS);
  EXPECT_EQ(got.status, ReadStatus::Completed);
  EXPECT_EQ(got.bytes, READING_SIZE);
  this->traits.Stall(0);
  const auto start = std::chrono::steady_clock::now();
  const device::ReadResult none = this->ReadOnce(pipe, 25ms);
  EXPECT_EQ(none.status, ReadStatus::TimedOut);
  EXPECT_EQ(none.bytes, 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 25ms);
  EXPECT_EQ(this->traits.PendingReads(), 0);
  this->driver().Close(pipe);
}

TYPED_TEST(DriverConformance, ReadingsReceivedBeforeASelectionAreNotDeliveredAfterIt) {
  if constexpr (requires { TypeParam::noStripQueue; }) GTEST_SKIP() << "not applicable: " << TypeParam::noStripQueue;
  const Handle pipe = this->OpenArmedPipe(0);
  const auto select = [&](std::uint8_t request, std::uint8_t value) {
    const SetupPacket setup = BuildSetupPacket(REQUEST_TYPE_OUT, request, value, 0, 0);
    std::uint32_t returned = 0;
    EXPECT_EQ(this->driver().Control(pipe, IOCTL_STRIP_CONTROL_TRANSFER, setup, {}, returned, GENEROUS),
              ControlStatus::Ok);
  };
  // The strip may have had one reading on its way when the request came (the
  // client discards the first reading after a selection for it); the second
  // is of the new selection, whatever was queued before.
  const auto kindOfNext = [&] {
    ReadingBytes buffer{};
    for (int i = 0; i < 2; ++i) {
      this->traits.OfferReading(0);
      EXPECT_EQ(this->driver().Read(pipe, buffer, GENEROUS).status, ReadStatus::Completed);
    }
    return DecodeReading(buffer).readingKind;
  };
  select(REQ_SELECT_QUANTITY, QUANTITY_CURRENT);
  for (int i = 0; i < 3; ++i) this->traits.OfferReading(0);
  ASSERT_TRUE(this->traits.WaitQueued(pipe, 3));
  select(REQ_SELECT_QUANTITY, QUANTITY_POWER);
  EXPECT_EQ(kindOfNext(), QUANTITY_POWER);
  for (int i = 0; i < 3; ++i) this->traits.OfferReading(0);
  ASSERT_TRUE(this->traits.WaitQueued(pipe, 3));
  select(REQ_SELECT_OUTLET, 2);
  EXPECT_EQ(kindOfNext() & 0x0F, 2);
  this->driver().Close(pipe);
}

TYPED_TEST(DriverConformance, CancelWakesAWaitingRead) {
  this->traits.Stall(0);
  const Handle pipe = this->OpenArmedPipe(0);
  auto read = std::async(std::launch::async, [&] { return this->ReadOnce(pipe, GENEROUS).status; });
  ASSERT_TRUE(this->Eventually([&] { return this->traits.PendingReads() == 1; }));
  this->driver().CancelRead(pipe);
  EXPECT_EQ(read.get(), ReadStatus::Cancelled);
  this->driver().Close(pipe);
}

TYPED_TEST(DriverConformance, ACancelBeforeTheReadIsKeptForTheNextReadOnly) {
  this->traits.Stall(0);
  const Handle pipe = this->OpenArmedPipe(0);
  const Handle other = this->OpenArmedPipe(0);
  this->driver().CancelRead(pipe);
  EXPECT_EQ(this->ReadOnce(other, 5ms).status, ReadStatus::TimedOut);  // another handle is not affected
  EXPECT_EQ(this->ReadOnce(pipe, GENEROUS).status, ReadStatus::Cancelled);
  EXPECT_EQ(this->ReadOnce(pipe, 5ms).status, ReadStatus::TimedOut);  // used up by one read
  this->driver().Close(pipe);
  this->driver().Close(other);
}

TYPED_TEST(DriverConformance, UnplugOrCloseDuringAReadFailsIt) {
  this->traits.Stall(0);
  for (const bool unplug : {false, true}) {
    const Handle pipe = this->OpenArmedPipe(0);
    auto read = std::async(std::launch::async, [&] { return this->ReadOnce(pipe, GENEROUS).status; });
    ASSERT_TRUE(this->Eventually([&] { return this->traits.PendingReads() == 1; }));
    if (unplug) this->traits.Unplug(0);
    else this->driver().Close(pipe);
    EXPECT_EQ(read.get(), ReadStatus::Failed) << unplug;
    if (unplug) this->driver().Close(pipe);
  }
}

// ---------------------------------------------------------------- events

TYPED_TEST(DriverConformance, SubscribersHearArrivalAndRemovalOfTheirClassOnly) {
  std::mutex mutex;
  std::vector<device::DeviceEvent> primary, fallback;
  const auto a = this->driver().Subscribe(device::primaryInterfaceGuid, [&](const device::DeviceEvent& e) {
    std::lock_guard lock(mutex);
    primary.push_back(e);
  });
  const auto b = this->driver().Subscribe(device::fallbackInterfaceGuid, [&](const device::DeviceEvent& e) {
    std::lock_guard lock(mutex);
    fallback.push_back(e);
  });
  EXPECT_NE(a, 0u);
  EXPECT_NE(a, b);
  this->traits.Unplug(1);
  this->traits.Plug(1);
  ASSERT_TRUE(this->Eventually([&] {
    std::lock_guard lock(mutex);
    return primary.size() == 2;
  }));
  this->driver().Unsubscribe(a);
  this->driver().Unsubscribe(b);
  std::lock_guard lock(mutex);
  EXPECT_EQ(primary[0].type, device::DeviceEventType::RemoveComplete);
  EXPECT_EQ(primary[1].type, device::DeviceEventType::Arrival);
  EXPECT_EQ(primary[1].path, this->traits.Path(1));
  EXPECT_TRUE(fallback.empty());
}

TYPED_TEST(DriverConformance, NoCallbackRunsOnceUnsubscribeHasReturned) {
  std::atomic<bool> firing{true};
  std::thread events([&] {
    while (firing.load()) {
      this->traits.Unplug(1);
      this->traits.Plug(1);
    }
  });
  std::atomic<int> lateCalls{0}, calls{0};
  for (int round = 0; round < 30; ++round) {
    auto unsubscribed = std::make_shared<std::atomic<bool>>(false);
    const auto id = this->driver().Subscribe(device::primaryInterfaceGuid, [&, unsubscribed](const device::DeviceEvent&) {
      calls.fetch_add(1);
      std::this_thread::sleep_for(200us);  // widen the window in which Unsubscribe comes
      if (unsubscribed->load()) lateCalls.fetch_add(1);
    });
    const int before = calls.load();
    ASSERT_TRUE(this->Eventually([&] { return calls.load() > before; }));
    this->driver().Unsubscribe(id);
    unsubscribed->store(true);
  }
  firing.store(false);
  events.join();
  EXPECT_EQ(lateCalls.load(), 0);
}

TYPED_TEST(DriverConformance, ACallbackMayUnsubscribeItself) {
  std::atomic<int> calls{0};
  std::atomic<device::Driver::SubscriptionId> self{0};
  self = this->driver().Subscribe(device::primaryInterfaceGuid, [&](const device::DeviceEvent&) {
    calls.fetch_add(1);
    this->driver().Unsubscribe(self.load());
  });
  this->traits.Unplug(1);
  ASSERT_TRUE(this->Eventually([&] { return calls.load() == 1; }));
  this->traits.Plug(1);
  this->traits.Unplug(1);
  // A later subscriber hears the later events; the one that left does not.
  std::atomic<int> witness{0};
  const auto id = this->driver().Subscribe(device::primaryInterfaceGuid, [&](const device::DeviceEvent&) { witness++; });
  this->traits.Plug(1);
  ASSERT_TRUE(this->Eventually([&] { return witness.load() >= 1; }));
  this->driver().Unsubscribe(id);
  EXPECT_EQ(calls.load(), 1);
}

}  // namespace
}  // namespace kvx::test
