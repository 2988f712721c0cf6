#include "device/sim/strip_device.h"

#include <algorithm>
#include <cmath>

#include "device/driver.h"

namespace kvx::sim {

using namespace kvx::protocol;

namespace {

constexpr std::int64_t US_PER_MS = 1000;

std::vector<std::uint8_t> Bytes(std::initializer_list<std::uint8_t> bytes) { return bytes; }

std::uint8_t Lo(std::uint16_t word) { return static_cast<std::uint8_t>(word & 0xFF); }
std::uint8_t Hi(std::uint16_t word) { return static_cast<std::uint8_t>(word >> 8); }

std::uint16_t Clamp16(double value) {
  if (!(value > 0.0)) return 0;  // also NaN
  return static_cast<std::uint16_t>(std::min(std::round(value), 65535.0));
}

bool ScopeMatches(HandleScope scope, HandleKind on) {
  return scope == HandleScope::Any || (scope == HandleScope::Pipe) == (on == HandleKind::Pipe);
}

}  // namespace

SimStrip::SimStrip(const StripSpec& config, std::string path)
    : spec_(config),
      path_(std::move(path)),
      classGuid_(config.interfaceGuid.empty() ? std::string(device::primaryInterfaceGuid) : config.interfaceGuid),
      memory_(config.pageSelector, config.factoryCalibration, config.memory),
      present_(config.present),
      on_(config.on) {
  for (int outlet : config.faults.flaggedRecords) memory_.FlagRecord(outlet);
  for (const ZeroDivisor& zero : config.faults.zeroDivisors) memory_.ZeroDivisor(zero.outlet, zero.which);
  SetReplyFaults(config.faults.replies);
}

StripStatus SimStrip::Status() const { return StripStatus{present_, on_, outlet_, quantity_, nextPacket_}; }

// ---------------------------------------------------------------- control transfers

std::optional<std::size_t> SimStrip::FirstMatchingFault(const SetupFields& setup, HandleKind on) const {
  const auto& faults = spec_.faults.replies;
  for (std::size_t k = 0; k < faults.size(); ++k) {
    const ReplyFault& fault = faults[k];
    if (fault.bRequest != setup.bRequest || !ScopeMatches(fault.on, on)) continue;
    if (fault.calls != 0 && faultCallsLeft_[k] == 0) continue;
    return k;
  }
  return std::nullopt;
}

bool SimStrip::ApplyReplyFault(const SetupFields& setup, HandleKind on, std::uint32_t& shortBytes) {
  const std::optional<std::size_t> k = FirstMatchingFault(setup, on);
  if (!k) return true;
  const ReplyFault& fault = spec_.faults.replies[*k];
  if (fault.calls != 0) --faultCallsLeft_[*k];
  if (fault.mode == ReplyFaultMode::Fail) return false;
  if (fault.mode == ReplyFaultMode::Short) shortBytes = std::min(shortBytes, fault.bytes);
  return true;
}

std::optional<std::chrono::milliseconds> SimStrip::ReplyDelay(const SetupFields& setup, HandleKind on) {
  const std::optional<std::size_t> k = FirstMatchingFault(setup, on);
  if (!k) return std::chrono::milliseconds(0);
  const ReplyFault& fault = spec_.faults.replies[*k];
  if (fault.mode != ReplyFaultMode::Slow && fault.mode != ReplyFaultMode::Hang) return std::chrono::milliseconds(0);
  if (fault.calls != 0) --faultCallsLeft_[*k];
  if (fault.mode == ReplyFaultMode::Hang) return std::nullopt;
  return std::chrono::milliseconds(fault.delayMs);
}

TransferResult SimStrip::Transfer(const SetupFields& setup, HandleKind on, std::int64_t nowUs, bool delayed) {
  std::uint32_t shortBytes = 0xFFFFFFFF;
  const bool silent =
      on == HandleKind::Interface && setup.bRequest == REQ_SERIAL_NUMBER && spec_.faults.silentEnumerationSerial;
  if (silent || (!delayed && !ApplyReplyFault(setup, on, shortBytes))) {
    resetStep_ = 0;  // a request that did not arrive still breaks the sequence
    return {};
  }
  AdvanceResetSequence(setup);
  TransferResult result = Answer(setup, nowUs);
  const std::size_t keep = std::min<std::size_t>({result.reply.size(), setup.wLength, shortBytes});
  result.reply.resize(keep);
  return result;
}

TransferResult SimStrip::Answer(const SetupFields& setup, std::int64_t nowUs) {
  if (setup.bmRequestType == REQUEST_TYPE_OUT) {
    switch (setup.bRequest) {
      case REQ_SUSPEND:
      case REQ_UNLOCK:
      case REQ_RESET_STEP_05:
      case REQ_RESET_STEP_06:
      case REQ_RESET_STEP_07:
      case REQ_RESET_STEP_09: return {true, {}};
      case REQ_SELECT_OUTLET: return {SelectOutlet(setup.wValue, nowUs), {}};
      case REQ_SELECT_QUANTITY:
        if (setup.wValue != QUANTITY_CURRENT && setup.wValue != QUANTITY_POWER) return {};
        KeepReadingInFlight(nowUs);
        quantity_ = static_cast<std::uint8_t>(setup.wValue);
        return {true, {}};
      default: return {};
    }
  }
  if (setup.bmRequestType != REQUEST_TYPE_IN) return {};
  const std::uint32_t serial = spec_.serial;
  switch (setup.bRequest) {
    case REQ_FIRMWARE_VERSION: return {true, Bytes({spec_.firmware[0], spec_.firmware[1]})};
    case REQ_SERIAL_NUMBER:
      return {true, Bytes({static_cast<std::uint8_t>(serial >> 16), static_cast<std::uint8_t>(serial >> 8),
                           static_cast<std::uint8_t>(serial)})};
    case REQ_READ_MEMORY: {
      const auto bytes = memory_.Read(setup.wValue, setup.wIndex);
      return {true, std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
    }
    case REQ_LINE_PERIOD:
      return {true, Bytes({Lo(spec_.linePeriodCount), Hi(spec_.linePeriodCount), 0, 0, 0, 0, 0, 0})};
    case REQ_VOLTAGE: return {true, Bytes({spec_.volts})};
    case REQ_TEMPERATURE: return {true, Bytes({Lo(spec_.temperatureCount), Hi(spec_.temperatureCount)})};
    default: return {};
  }
}

void SimStrip::KeepReadingInFlight(std::int64_t nowUs) {
  // The strip prepares its next reading ahead of time, so the first reading
  // after a change of selection is one of the old selection; the client drops
  // exactly that one. Of two changes in a row only the first leaves one.
  if (!spec_.readingInFlight || inFlight_) return;
  inFlight_ = outlet_ == 0 ? SummaryAt(nowUs) : NextWaveformPacket(nowUs);
  nextDueUs_ = std::min(nextDueUs_, nowUs);
}

bool SimStrip::SelectOutlet(std::uint16_t outlet, std::int64_t nowUs) {
  if (outlet > OUTLETS) return false;
  KeepReadingInFlight(nowUs);
  outlet_ = outlet;
  nextPacket_ = 1;  // a new selection starts a new frame
  // Do not keep a waveform waiting for the rest of a summary interval.
  nextDueUs_ = std::min(nextDueUs_, nowUs + IntervalUs());
  return true;
}

void SimStrip::AdvanceResetSequence(const SetupFields& s) {
  const bool out = s.bmRequestType == REQUEST_TYPE_OUT;
  const bool unlock = out && s.bRequest == REQ_UNLOCK && s.wValue == UNLOCK_CODE_WORD_1 && s.wIndex == UNLOCK_CODE_WORD_2;
  int outlet = 0;
  for (int n = 1; n <= static_cast<int>(OUTLETS); ++n)
    if (s.wValue == ResetRecordAddress(n)) outlet = n;
  bool expected = false;
  switch (resetStep_) {
    case 1: expected = out && s.bRequest == REQ_RESET_STEP_05 && s.wValue == RESET_STEP_05_VALUE; break;
    case 2: expected = out && s.bRequest == REQ_RESET_STEP_06 && outlet != 0; break;
    case 3: expected = out && s.bRequest == REQ_RESET_STEP_07 && s.wValue == RESET_STEP_07_VALUE; break;
    case 4: expected = out && s.bRequest == REQ_RESET_STEP_09; break;
    default: break;
  }
  if (!expected) {
    resetStep_ = unlock ? 1 : 0;
    return;
  }
  if (resetStep_ == 2) resetOutlet_ = outlet;
  if (++resetStep_ == 5) {
    memory_.RestoreFactory(resetOutlet_);
    resetStep_ = 0;
  }
}

// ---------------------------------------------------------------- readings

std::int64_t SimStrip::IntervalUs() const {
  const std::uint32_t ms = outlet_ == 0 ? spec_.summaryIntervalMs : spec_.waveformIntervalMs;
  return std::int64_t{ms} * US_PER_MS;
}

std::int64_t SimStrip::ReadyAtUs() const { return std::max(nextDueUs_, stallUntilUs_); }

CurrentShape SimStrip::ShapeOf(int outlet, std::int64_t nowUs) const {
  if (!on_) return CurrentShape{};  // a switched-off strip's outlets draw nothing
  const double timeMs = static_cast<double>(nowUs) / US_PER_MS;
  return ShapeAt(spec_.outlets[static_cast<std::size_t>(outlet - 1)], spec_.volts, timeMs);
}

Reading SimStrip::SummaryAt(std::int64_t nowUs) const {
  Reading reading;
  reading.packetIndex = on_ ? STATE_ON_BIT : 0x00;
  reading.readingKind = quantity_;
  for (int outlet = 1; outlet <= static_cast<int>(OUTLETS); ++outlet) {
    const CurrentShape shape = ShapeOf(outlet, nowUs);
    const double value = quantity_ == QUANTITY_POWER ? ActiveWatts(shape, spec_.volts) : RmsMilliamps(shape);
    reading.value[static_cast<std::size_t>(outlet - 1)] = Clamp16(value);
  }
  return reading;
}

Reading SimStrip::NextWaveformPacket(std::int64_t nowUs) {
  // The strip samples a whole mains period when a frame starts and then hands
  // it out four samples per packet.
  if (nextPacket_ == 1) frame_ = CaptureFrame(ShapeOf(outlet_, nowUs), memory_.Factory(outlet_));
  Reading reading;
  reading.packetIndex = static_cast<std::uint8_t>(nextPacket_);
  reading.readingKind = static_cast<std::uint8_t>(outlet_);
  const int first = FirstSampleOfPacket(nextPacket_);
  for (std::size_t j = 0; j < 4; ++j) reading.value[j] = frame_[static_cast<std::size_t>(first) + j];
  nextPacket_ = nextPacket_ % WAVEFORM_PACKETS + 1;
  ++waveformPackets_;
  const std::uint32_t every = spec_.faults.corruptPacketEvery;
  if (every != 0 && waveformPackets_ % every == 0) reading.packetIndex = spec_.faults.corruptPacketIndex;
  return reading;
}

ReadingBytes SimStrip::TakeReading(std::int64_t nowUs) {
  if (inFlight_) {
    const Reading stale = *inFlight_;
    inFlight_.reset();
    nextDueUs_ = nowUs + IntervalUs();
    return EncodeReading(stale);
  }
  const std::int64_t due = ReadyAtUs();
  const Reading reading = outlet_ == 0 ? SummaryAt(nowUs) : NextWaveformPacket(nowUs);
  // Readings come on a fixed grid; one the host did not fetch in time is
  // replaced by the next, so a late read is followed by the next grid point.
  const std::int64_t interval = IntervalUs();
  if (interval == 0) {
    nextDueUs_ = nowUs;
  } else {
    const std::int64_t late = std::max<std::int64_t>(0, nowUs - due);
    nextDueUs_ = due + interval * (late / interval + 1);
  }
  return EncodeReading(reading);
}

// ---------------------------------------------------------------- events and faults

void SimStrip::Plug(std::int64_t nowUs) {
  // The strip is mains-powered: only its USB link was gone, so its selections
  // stay; the stream starts afresh.
  present_ = true;
  resetStep_ = 0;
  inFlight_.reset();
  nextPacket_ = 1;
  nextDueUs_ = nowUs;
  stallUntilUs_ = 0;
}

void SimStrip::StallUntil(std::int64_t untilUs) { stallUntilUs_ = std::max(stallUntilUs_, untilUs); }

void SimStrip::SetLoad(int outlet, const LoadSpec& load) {
  if (outlet >= 1 && outlet <= static_cast<int>(OUTLETS)) spec_.outlets[static_cast<std::size_t>(outlet - 1)] = load;
}

void SimStrip::SetPacing(std::uint32_t summaryMs, std::uint32_t waveformMs) {
  spec_.summaryIntervalMs = summaryMs;
  spec_.waveformIntervalMs = waveformMs;
}

void SimStrip::SetReplyFaults(std::vector<ReplyFault> faults) {
  spec_.faults.replies = std::move(faults);
  faultCallsLeft_.clear();
  for (const ReplyFault& fault : spec_.faults.replies) faultCallsLeft_.push_back(fault.calls);
}

void SimStrip::SetPacketCorruption(std::uint32_t every, std::uint8_t index) {
  spec_.faults.corruptPacketEvery = every;
  spec_.faults.corruptPacketIndex = index;
  waveformPackets_ = 0;
}

}  // namespace kvx::sim
