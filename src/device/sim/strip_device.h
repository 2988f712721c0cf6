// One simulated strip: its answers to the vendor requests, the reset
// sequence, and the stream of readings it paces on its pipe. Not thread-safe:
// the driver calls it under its own lock. Time is in microseconds since the
// driver started.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/protocol.h"
#include "device/sim/request_trace.h"
#include "device/sim/scenario.h"
#include "device/sim/strip_memory.h"
#include "device/sim/waveform.h"

namespace kvx::sim {

struct TransferResult {
  bool ok = false;
  std::vector<std::uint8_t> reply;  // at most the layout's size and wLength
};

// What a strip is doing, for tests and tools.
struct StripStatus {
  bool present = false;
  bool on = false;
  int selectedOutlet = 0;  // 0 = summary readings, 1..4 = waveform of that outlet
  std::uint8_t quantity = protocol::QUANTITY_CURRENT;
  int nextPacket = 1;      // waveform packet the stream delivers next
};

class SimStrip {
 public:
  SimStrip(const StripSpec& config, std::string path);

  std::uint32_t serial() const { return spec_.serial; }
  const std::string& path() const { return path_; }
  const std::string& classGuid() const { return classGuid_; }
  bool present() const { return present_; }
  StripStatus Status() const;
  StripMemory& memory() { return memory_; }

  // One IOCTL_STRIP_CONTROL_TRANSFER. `delayed`: ReplyDelay already took the
  // request's fault rule, so the answer comes without looking at the rules again.
  TransferResult Transfer(const protocol::SetupFields& setup, HandleKind on, std::int64_t nowUs,
                          bool delayed = false);
  // When the first rule matching the request is Slow or Hang: takes it (one of
  // its calls) and returns how long the answer takes, nullopt for never. Returns
  // zero, taking nothing, for every other request.
  std::optional<std::chrono::milliseconds> ReplyDelay(const protocol::SetupFields& setup, HandleKind on);

  // When the next reading can be taken (never before the end of a stall).
  std::int64_t ReadyAtUs() const;
  // Takes the next reading; call only when nowUs >= ReadyAtUs().
  protocol::ReadingBytes TakeReading(std::int64_t nowUs);

  // The summary values of the moment (what the next summary reading carries).
  protocol::Reading SummaryAt(std::int64_t nowUs) const;

  void Plug(std::int64_t nowUs);
  void Unplug() { present_ = false; }
  void SetOn(bool on) { on_ = on; }
  void StallUntil(std::int64_t untilUs);
  void SetLoad(int outlet, const LoadSpec& load);
  void SetPacing(std::uint32_t summaryMs, std::uint32_t waveformMs);
  void SetReplyFaults(std::vector<ReplyFault> faults);
  void SetSilentEnumerationSerial(bool silent) { spec_.faults.silentEnumerationSerial = silent; }
  void SetPacketCorruption(std::uint32_t every, std::uint8_t index);

 private:
  bool ApplyReplyFault(const protocol::SetupFields& setup, HandleKind on, std::uint32_t& shortBytes);
  std::optional<std::size_t> FirstMatchingFault(const protocol::SetupFields& setup, HandleKind on) const;
  TransferResult Answer(const protocol::SetupFields& setup, std::int64_t nowUs);
  bool SelectOutlet(std::uint16_t outlet, std::int64_t nowUs);
  void KeepReadingInFlight(std::int64_t nowUs);
  void AdvanceResetSequence(const protocol::SetupFields& setup);
  CurrentShape ShapeOf(int outlet, std::int64_t nowUs) const;
  protocol::Reading NextWaveformPacket(std::int64_t nowUs);
  std::int64_t IntervalUs() const;

  StripSpec spec_;
  std::string path_;
  std::string classGuid_;
  StripMemory memory_;
  bool present_;
  bool on_;
  std::vector<std::uint32_t> faultCallsLeft_;  // per reply fault; 0 with calls 0 = unlimited

  // The reset sequence: how many steps arrived in order, and the outlet of step 06.
  int resetStep_ = 0;
  int resetOutlet_ = 0;

  int outlet_ = 0;
  std::uint8_t quantity_ = protocol::QUANTITY_CURRENT;
  int nextPacket_ = 1;
  WaveformFrame frame_{};
  std::uint64_t waveformPackets_ = 0;
  std::int64_t nextDueUs_ = 0;
  std::int64_t stallUntilUs_ = 0;
  // The reading the strip had already prepared when a selection changed: it
  // still goes out first, in the old selection's form.
  std::optional<protocol::Reading> inFlight_;
};

}  // namespace kvx::sim
