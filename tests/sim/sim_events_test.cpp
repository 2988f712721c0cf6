// Enumeration, unplug and plug with their announcements, the timeline, and
// the enumeration-level faults (index errors, duplicate serials, long paths).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "device/device_access.h"
#include "sim_test_util.h"
#include "support/wait_for.h"

namespace kvx::sim::test {
namespace {

using namespace kvx::protocol;
using device::DeviceEvent;
using device::DeviceEventType;
using std::chrono::milliseconds;

constexpr milliseconds LONG_WAIT{20000};  // only reached when an expected event never comes

class EventLog {
 public:
  device::Driver::EventCallback Callback() {
    return [this](const DeviceEvent& event) {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
      cv_.notify_all();
    };
  }
  bool WaitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, LONG_WAIT, [&] { return events_.size() >= count; });
  }
  std::vector<DeviceEvent> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<DeviceEvent> events_;
};

std::vector<std::string> Paths(SimDriver& driver, std::string_view guid) {
  std::vector<std::string> paths;
  auto set = driver.GetClassDevs(guid);
  for (std::uint32_t i = 0; set->EnumInterface(i) != device::EnumStatus::NoMoreItems; ++i)
    if (auto path = set->InterfaceDetailPath(i)) paths.push_back(*path);
  return paths;
}

TimelineEvent Event(std::int64_t atMs, EventType type, std::size_t strip, std::int64_t durationMs = 0) {
  TimelineEvent event;
  event.atMs = atMs;
  event.type = type;
  event.strip = strip;
  event.durationMs = durationMs;
  return event;
}

Scenario TwoStrips() {
  Scenario scenario;
  scenario.strips = {StripWith(0x1A2B3, {LoadSpec::Heater(100.0)}), StripWith(0x2C4D5, {})};
  scenario.strips[1].interfaceGuid = std::string(device::fallbackInterfaceGuid);
  return scenario;
}

TEST(SimEnumeration, StripsAppearUnderTheirClassWithDefaultPaths) {
  SimDriver driver(TwoStrips(), Manual());
  EXPECT_EQ(Paths(driver, device::primaryInterfaceGuid),
            std::vector<std::string>{"\\\\?\\usb#vid_fff0&pid_0001#1a2b3#{dd4154a4-4a8c-46a2-ae0e-596d26819a1d}"});
  EXPECT_EQ(Paths(driver, device::fallbackInterfaceGuid).size(), 1u);
  EXPECT_TRUE(Paths(driver, "{00000000-0000-0000-0000-000000000000}").empty());
  EXPECT_EQ(driver.FindStrip(0x2C4D5), 1u);
  EXPECT_FALSE(driver.FindStrip(0x99999).has_value());
}

TEST(SimEnumeration, AnErrorIndexIsInsertedWithoutLosingAStrip) {
  Scenario scenario;
  scenario.strips = {StripWith(0x00A12, {}), StripWith(0x00345, {}), StripWith(0x00789, {})};
  scenario.enumerationErrors = {EnumerationError{std::string(device::primaryInterfaceGuid), 1}};
  SimDriver driver(scenario, Manual());
  auto set = driver.GetClassDevs(device::primaryInterfaceGuid);
  EXPECT_EQ(set->EnumInterface(0), device::EnumStatus::Ok);
  EXPECT_EQ(set->EnumInterface(1), device::EnumStatus::Error);
  EXPECT_EQ(set->EnumInterface(2), device::EnumStatus::Ok);
  EXPECT_EQ(set->EnumInterface(3), device::EnumStatus::Ok);
  EXPECT_EQ(set->EnumInterface(4), device::EnumStatus::NoMoreItems);
  device::DeviceAccess access(driver);
  EXPECT_EQ(access.RebuildDeviceList(), 3);
  driver.SetEnumerationErrors({});
  EXPECT_EQ(driver.GetClassDevs(device::primaryInterfaceGuid)->EnumInterface(1), device::EnumStatus::Ok);
}

TEST(SimEnumeration, DuplicateSerialsGetDistinctPathsAndBothAnswer) {
  Scenario scenario;
  scenario.strips = {StripWith(0x12345, {}), StripWith(0x12345, {})};
  SimDriver driver(scenario, Manual());
  EXPECT_NE(driver.DevicePath(0), driver.DevicePath(1));
  EXPECT_NE(driver.DevicePath(1).find("#12345&1#"), std::string::npos);
  device::DeviceAccess access(driver);
  ASSERT_EQ(access.RebuildDeviceList(), 2);
  const auto list = access.List();
  EXPECT_EQ((*list)[0].serialNumber, 0x12345);
  EXPECT_EQ((*list)[0].devicePath, driver.DevicePath(1));  // the later-enumerated comes first
  EXPECT_EQ((*list)[1].devicePath, driver.DevicePath(0));
}

TEST(SimEnumeration, LongPathsWork) {
  Scenario scenario;
  scenario.strips = {StripWith(0x1A2B3, {})};
  scenario.strips[0].pathLength = 300;
  SimDriver driver(scenario, Manual());
  EXPECT_EQ(driver.DevicePath(0).size(), 300u);
  device::DeviceAccess access(driver);
  ASSERT_EQ(access.RebuildDeviceList(), 1);
  EXPECT_EQ((*access.List())[0].devicePath.size(), 300u);
  const device::Handle pipe = access.OpenPipe(0x1A2B3, PIPE_NAME);
  EXPECT_NE(pipe, device::INVALID_HANDLE_VALUE);
  access.ClosePipe(pipe);
}

TEST(SimUnplug, PendingReadFailsPathsDisappearAndRemovalIsAnnounced) {
  SimDriver driver(TwoStrips(), Manual());
  EventLog primary, fallback;
  driver.Subscribe(device::primaryInterfaceGuid, primary.Callback());
  const auto fallbackId = driver.Subscribe(device::fallbackInterfaceGuid, fallback.Callback());
  const device::Handle pipe = driver.Open(driver.DevicePath(0) + "\\PIPE00");
  const device::Handle iface = driver.Open(driver.DevicePath(0));
  auto waiting = std::async(std::launch::async, [&] { return ReadOnce(driver, pipe, LONG_WAIT).status; });
  ASSERT_TRUE(kvx::test::WaitFor([&] { return driver.PendingReadCount() >= 1; }));

  driver.Unplug(0);
  EXPECT_EQ(waiting.get(), device::ReadStatus::Failed);
  EXPECT_EQ(ReadOnce(driver, pipe).status, device::ReadStatus::Failed);
  EXPECT_FALSE(Transfer(driver, iface, REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, 3).ok);
  EXPECT_TRUE(Paths(driver, device::primaryInterfaceGuid).empty());
  EXPECT_EQ(driver.Open(driver.DevicePath(0)), device::INVALID_HANDLE_VALUE);
  ASSERT_TRUE(primary.WaitFor(1));
  EXPECT_EQ(primary.Events()[0].type, DeviceEventType::RemoveComplete);
  EXPECT_EQ(primary.Events()[0].path, driver.DevicePath(0));
  EXPECT_EQ(primary.Events()[0].classGuid, device::primaryInterfaceGuid);

  driver.Plug(0);
  ASSERT_TRUE(primary.WaitFor(2));
  EXPECT_EQ(primary.Events()[1].type, DeviceEventType::Arrival);
  EXPECT_EQ(Paths(driver, device::primaryInterfaceGuid).size(), 1u);
  EXPECT_EQ(ReadOnce(driver, pipe).status, device::ReadStatus::Failed);  // old handles stay dead
  const device::Handle fresh = OpenArmedPipe(driver, 0);
  EXPECT_EQ(ReadOnce(driver, fresh).status, device::ReadStatus::Completed);

  driver.Unplug(1);  // the other class's subscriber hears of it
  ASSERT_TRUE(fallback.WaitFor(1));
  driver.Unsubscribe(fallbackId);
  driver.Plug(1);
  driver.Unplug(0);
  ASSERT_TRUE(primary.WaitFor(3));
  EXPECT_EQ(fallback.Events().size(), 1u);
  EXPECT_EQ(primary.Events().size(), 3u);
}

TEST(SimUnplug, CallbacksMayCallBackIntoTheDriverAndUnsubscribeThemselves) {
  SimDriver driver(TwoStrips(), Manual());
  std::promise<std::size_t> seen;
  std::atomic<device::Driver::SubscriptionId> id{0};
  std::atomic<int> calls{0};
  id = driver.Subscribe(device::primaryInterfaceGuid, [&](const DeviceEvent&) {
    const std::size_t count = Paths(driver, device::primaryInterfaceGuid).size();
    driver.Close(driver.Open(driver.DevicePath(0)));
    driver.Unsubscribe(id.load());
    if (calls.fetch_add(1) == 0) seen.set_value(count);
  });
  driver.Plug(0);  // already present: nothing to announce
  driver.Unplug(0);
  driver.Plug(0);
  auto future = seen.get_future();
  ASSERT_EQ(future.wait_for(LONG_WAIT), std::future_status::ready);
  EXPECT_LE(future.get(), 1u);
  driver.Unplug(0);
  EventLog later;  // delivered in order: once this one hears the removal, the other was skipped
  driver.Subscribe(device::primaryInterfaceGuid, later.Callback());
  driver.Plug(0);
  ASSERT_TRUE(later.WaitFor(1));
  EXPECT_EQ(calls.load(), 1);
}

TEST(SimTimeline, EventsRunAtTheirTimes) {
  Scenario scenario = TwoStrips();
  scenario.strips[1].present = false;
  const TimelineEvent off = Event(500, EventType::Off, 0);
  const TimelineEvent plug = Event(1000, EventType::Plug, 1);
  TimelineEvent load = Event(1500, EventType::Load, 0);
  load.outlet = 2;
  load.load = LoadSpec::Heater(300.0);
  const TimelineEvent stall = Event(2000, EventType::Stall, 0, 300);
  const TimelineEvent unplug = Event(2500, EventType::Unplug, 0);
  const TimelineEvent on = Event(600, EventType::On, 0);
  scenario.timeline = {unplug, stall, load, plug, on, off};  // any order: sorted by time
  SimDriver driver(scenario, Manual());
  EventLog events;
  driver.Subscribe(device::fallbackInterfaceGuid, events.Callback());
  driver.Subscribe(device::primaryInterfaceGuid, events.Callback());

  EXPECT_FALSE(driver.Status(1).present);
  driver.AdvanceClock(milliseconds(500));
  EXPECT_FALSE(driver.Status(0).on);
  driver.AdvanceClock(milliseconds(100));
  EXPECT_TRUE(driver.Status(0).on);
  driver.AdvanceClock(milliseconds(400));
  EXPECT_TRUE(driver.Status(1).present);
  ASSERT_TRUE(events.WaitFor(1));
  EXPECT_EQ(events.Events()[0].type, DeviceEventType::Arrival);
  EXPECT_EQ(driver.MeasureSummary(0).value[1], 0);
  driver.AdvanceClock(milliseconds(500));
  EXPECT_EQ(driver.MeasureSummary(0).value[1], 3000);
  const device::Handle pipe = OpenArmedPipe(driver, 0);
  driver.AdvanceClock(milliseconds(500));  // 2000: stalled until 2300
  EXPECT_EQ(ReadOnce(driver, pipe, milliseconds(20)).status, device::ReadStatus::TimedOut);
  driver.AdvanceClock(milliseconds(300));
  EXPECT_EQ(ReadOnce(driver, pipe).status, device::ReadStatus::Completed);
  driver.AdvanceClock(milliseconds(200));
  EXPECT_FALSE(driver.Status(0).present);
  ASSERT_TRUE(events.WaitFor(2));
  EXPECT_EQ(events.Events()[1].type, DeviceEventType::RemoveComplete);
}

TEST(SimTimeline, RunsOnTheSteadyClockByItself) {
  Scenario scenario = TwoStrips();
  scenario.timeline = {Event(30, EventType::Unplug, 0)};
  SimDriver driver(scenario);
  EventLog events;
  driver.Subscribe(device::primaryInterfaceGuid, events.Callback());
  ASSERT_TRUE(events.WaitFor(1));
  EXPECT_EQ(events.Events()[0].type, DeviceEventType::RemoveComplete);
  EXPECT_FALSE(driver.Status(0).present);
}

TEST(SimTimeline, DestructorStopsTheThreadWithEventsStillAhead) {
  Scenario scenario = TwoStrips();
  scenario.timeline = {Event(3600000, EventType::Unplug, 0)};
  auto driver = std::make_unique<SimDriver>(scenario);
  EventLog events;
  driver->Subscribe(device::primaryInterfaceGuid, events.Callback());
  driver->Unplug(1);
  driver.reset();  // joins; nothing runs afterwards
  EXPECT_TRUE(events.Events().empty());
}

}  // namespace
}  // namespace kvx::sim::test
