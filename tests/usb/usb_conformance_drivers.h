// The USB backend in the driver conformance suite: the real libusb over the
// strips of conformance_scenario.json, played by kvx-usb-emulator --control,
// which this traits class steers through its control channel.
//
// Every event the suite makes happen is waited for until the driver has seen
// it: a plug or unplug until the driver announced it (the driver learns of it
// through libusb hotplug, later than the emulator makes it).
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "device/driver_traits.h"
#include "device/usb/usb_driver.h"
#include "emulator_control.h"

namespace kvx::test {

class UsbTraits {
 public:
  // libusb reads a device's descriptor once, when it first sees the device,
  // and answers libusb_get_device_descriptor from that copy: no later
  // snapshot can fail at one index, so the backend's Error branch cannot be
  // reached through libusb here (nor, with this libusb, on a real bus).
  static constexpr const char* noIndexErrors =
      "an enumeration error at one index: libusb answers a device's descriptor from its own copy";

  UsbTraits() {
    // The strips as the scenario has them, whatever the case before left.
    for (int strip = 0; strip < 2; ++strip) {
      for (const char* request : {"plug", "clear", "hold"}) control_.Tell(std::string(request) + " " + S(strip));
    }
    usb::UsbOptions options;
    options.primaryIds = {{0x1209, 0x0001}};
    options.fallbackIds = {{0x1209, 0x0002}};
    std::string error;
    std::unique_ptr<device::Driver> made = usb::MakeUsbDriver(options, error);
    if (dynamic_cast<usb::UsbDriver*>(made.get()) == nullptr) {
      std::fprintf(stderr, "no USB driver: %s\n", made ? "not a UsbDriver" : error.c_str());
      std::abort();
    }
    driver_.reset(static_cast<usb::UsbDriver*>(made.release()));
    subscription_ = driver_->Subscribe(device::primaryInterfaceGuid, [this](const device::DeviceEvent& event) {
      {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
      }
      cv_.notify_all();
    });
  }
  ~UsbTraits() { driver_->Unsubscribe(subscription_); }

  device::Driver& driver() { return *driver_; }
  std::uint32_t Serial(int strip) const { return CONFORMANCE_SERIALS[strip]; }
  // The strips sit in ports 1 and 2 of bus 1, in scenario order.
  std::string Path(int strip) const { return "usb#1209:0001#1-" + std::to_string(strip + 1); }
  void Unplug(int strip) { Change(strip, "unplug", device::DeviceEventType::RemoveComplete); }
  void Plug(int strip) { Change(strip, "plug", device::DeviceEventType::Arrival); }
  void ErrorAtIndex(std::uint32_t) {}
  void Stall(int) {}  // held strips send only offered readings: nothing offered, nothing comes
  void OfferReading(int strip) { control_.Tell("offer " + S(strip)); }
  void DelayReply(int strip, std::uint8_t bRequest, std::optional<std::chrono::milliseconds> delay) {
    control_.Tell("delay " + S(strip) + " " + std::to_string(bRequest) + " " +
                  (delay ? std::to_string(delay->count()) : std::string("never")));
  }
  bool WaitQueued(device::Handle pipe, std::size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (driver_->QueuedReadingCount(pipe) < n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  int PendingReads() const { return driver_->PendingReadCount(); }
  int PendingControls() {
    const std::string reply = control_.Ask("pending-controls");
    return reply.starts_with("error") ? -1 : std::stoi(reply);
  }

 private:
  static std::string S(int strip) { return std::to_string(strip); }

  void Change(int strip, const char* request, device::DeviceEventType type) {
    control_.Tell(std::string(request) + " " + S(strip));
    const std::string path = Path(strip);
    std::unique_lock lock(mutex_);
    const bool seen = cv_.wait_for(lock, std::chrono::seconds(20), [&] {
      for (auto it = events_.begin(); it != events_.end(); ++it) {
        if (it->type != type || it->path != path) continue;
        events_.erase(events_.begin(), it + 1);
        return true;
      }
      return false;
    });
    EXPECT_TRUE(seen) << "the driver did not hear of '" << request << " " << strip << "'";
  }

  usb::testing::EmulatorControl control_;
  std::unique_ptr<usb::UsbDriver> driver_;
  device::Driver::SubscriptionId subscription_ = 0;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<device::DeviceEvent> events_;
};

using Drivers = ::testing::Types<UsbTraits>;
class DriverNames {
 public:
  template <typename T>
  static std::string GetName(int) {
    return "Usb";
  }
};

}  // namespace kvx::test
