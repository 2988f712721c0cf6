// What can be done to the simulated strips from outside the driver contract:
// the events of a scenario's timeline (unplug, plug, on and off, a stall, a
// new load) and the faults a scenario declares (reply faults, pacing, a
// silent serial, a flagged record, a zero divisor, corrupt packet indices,
// enumeration errors), by strip index. The simulated driver implements it;
// its timeline, the tests and the USB emulator's control channel use it, and
// nothing else of the program does.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/sim/scenario.h"

namespace kvx::sim {

class StripControl {
 public:
  virtual ~StripControl() = default;

  // Events. Unplug and Plug change the strip at once and announce it on the
  // driver's thread.
  virtual void Unplug(std::size_t strip) = 0;
  virtual void Plug(std::size_t strip) = 0;
  virtual void SetOn(std::size_t strip, bool on) = 0;
  virtual void Stall(std::size_t strip, std::chrono::milliseconds duration) = 0;
  virtual void SetLoad(std::size_t strip, int outlet, const LoadSpec& load) = 0;

  // Faults and settings.
  virtual void SetPacing(std::size_t strip, std::uint32_t summaryMs, std::uint32_t waveformMs) = 0;
  virtual void SetReplyFaults(std::size_t strip, std::vector<ReplyFault> faults) = 0;
  virtual void SetSilentEnumerationSerial(std::size_t strip, bool silent) = 0;
  virtual void FlagRecord(std::size_t strip, int outlet) = 0;
  virtual void SetZeroDivisor(std::size_t strip, int outlet, DivisorFault which) = 0;
  virtual void SetPacketCorruption(std::size_t strip, std::uint32_t every, std::uint8_t index) = 0;
  virtual void SetEnumerationErrors(std::vector<EnumerationError> errors) = 0;
};

}  // namespace kvx::sim
