// How the driver conformance suite drives each Driver implementation. A
// backend joins the suite with one traits class of this shape, owning its
// driver and whatever stands in for the strips:
//
//   Traits()                       two strips of the primary class, present,
//                                  enumerated as index 0 and 1 in the order of Serial(0), Serial(1)
//   device::Driver& driver()
//   std::uint32_t Serial(int)      what REQ_SERIAL_NUMBER answers on the strip
//   std::string Path(int)          its interface path
//   void Unplug(int), Plug(int)    remove / bring back the strip, announced to subscribers
//   void ErrorAtIndex(uint32_t)    later snapshots of the primary class report Error at that index
//   void Stall(int)                the strip stops sending readings: reads wait out their time-out
//   void OfferReading(int)         one reading becomes available to an armed pipe of the strip
//   void DelayReply(int, bRequest, optional<ms>)
//                                  control transfers with bRequest answer after the delay (nullopt: never)
//   bool WaitQueued(Handle, n)     until n offered readings wait in the driver for the pipe (true at
//                                  once where readings are made when read)
//   int PendingReads(), PendingControls()
//                                  reads / control calls waiting inside the driver now
//
// A backend that cannot make one of these events happen says so with a static
// member naming why (`noIndexErrors` for ErrorAtIndex); the case that needs
// the event is then reported as skipped with that reason.
//
// Nothing in the suite depends on what a backend does beyond that.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "device/sim/sim_driver.h"
#include "support/scripted_driver.h"

namespace kvx::test {

inline constexpr std::uint32_t CONFORMANCE_SERIALS[2] = {0x1A2B3, 0x2C4D5};

class SimTraits {
 public:
  SimTraits() : driver_(MakeScenario()) {}

  device::Driver& driver() { return driver_; }
  std::uint32_t Serial(int strip) const { return CONFORMANCE_SERIALS[strip]; }
  std::string Path(int strip) const { return driver_.DevicePath(Index(strip)); }
  void Unplug(int strip) { driver_.Unplug(Index(strip)); }
  void Plug(int strip) { driver_.Plug(Index(strip)); }
  void ErrorAtIndex(std::uint32_t index) {
    driver_.SetEnumerationErrors({sim::EnumerationError{std::string(device::primaryInterfaceGuid), index}});
  }
  void Stall(int strip) { driver_.Stall(Index(strip), std::chrono::hours(1)); }
  void OfferReading(int) {}  // unpaced: a reading is due whenever an armed pipe reads
  void DelayReply(int strip, std::uint8_t bRequest, std::optional<std::chrono::milliseconds> delay) {
    sim::ReplyFault fault;
    fault.bRequest = bRequest;
    fault.mode = delay ? sim::ReplyFaultMode::Slow : sim::ReplyFaultMode::Hang;
    fault.delayMs = delay ? static_cast<std::uint32_t>(delay->count()) : 0;
    driver_.SetReplyFaults(Index(strip), {fault});
  }
  bool WaitQueued(device::Handle, std::size_t) { return true; }  // readings are made when read
  int PendingReads() const { return driver_.PendingReadCount(); }
  int PendingControls() const { return driver_.PendingControlCount(); }

 private:
  static std::size_t Index(int strip) { return static_cast<std::size_t>(strip); }
  static sim::Scenario MakeScenario() {
    sim::Scenario scenario;
    for (const std::uint32_t serial : CONFORMANCE_SERIALS) {
      sim::StripSpec strip;
      strip.serial = serial;
      strip.summaryIntervalMs = 0;
      scenario.strips.push_back(strip);
    }
    return scenario;
  }

  sim::SimDriver driver_;
};

class ScriptedTraits {
 public:
  // Its queued reads are the test's script, not readings a strip sent.
  static constexpr const char* noStripQueue = "the scripted driver's queued reads are a script, not a strip's readings";
  ScriptedTraits() {
    for (const std::uint32_t serial : CONFORMANCE_SERIALS) {
      ScriptedStrip strip;
      strip.serial = serial;
      strip.path = "/dev/kvx/conformance/" + std::to_string(serial);
      driver_.AddStrip(strip);
    }
  }

  device::Driver& driver() { return driver_; }
  std::uint32_t Serial(int strip) const { return CONFORMANCE_SERIALS[strip]; }
  std::string Path(int strip) const { return "/dev/kvx/conformance/" + std::to_string(Serial(strip)); }
  void Unplug(int strip) { Change(strip, false); }
  void Plug(int strip) { Change(strip, true); }
  void ErrorAtIndex(std::uint32_t index) { driver_.SetEnumErrorIndexes({index}); }
  void Stall(int) {}  // nothing queued: reads wait out their time-out
  void OfferReading(int strip) {
    driver_.QueueRead(Serial(strip), ScriptedRead::Of(protocol::Reading{0, 0, {1, 2, 3, 4}}));
  }
  void DelayReply(int, std::uint8_t bRequest, std::optional<std::chrono::milliseconds> delay) {
    driver_.SetReplyDelay(bRequest, delay);
  }
  bool WaitQueued(device::Handle, std::size_t) { return true; }
  int PendingReads() const { return driver_.PendingReads(); }
  int PendingControls() const { return driver_.PendingControls(); }

 private:
  void Change(int strip, bool present) {
    driver_.SetPresent(Serial(strip), present);
    driver_.Announce({present ? device::DeviceEventType::Arrival : device::DeviceEventType::RemoveComplete,
                      std::string(device::primaryInterfaceGuid), Path(strip)});
  }

  ScriptedDriver driver_;
};

}  // namespace kvx::test
