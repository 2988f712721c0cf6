// The read loop of a connection: the selections sent before each read, the
// reads, what each reading is (accepted, dropped, discarded), and the line
// quantities refreshed about once a second. Members of AcquisitionThread.
#include <algorithm>
#include <span>

#include "acquisition/acquisition_thread.h"
#include "acquisition/control_ids.h"

namespace kvx {

using namespace kvx::protocol;
using device::Handle;

namespace {
// The line quantities are asked at most this often, measured between reading arrivals.
constexpr std::uint32_t ENVIRONMENT_PERIOD_MS = 1000;
}  // namespace

ConnectionEnd AcquisitionThread::ReadLoop(Handle pipe) {
  // A run of reads that brought nothing is told once, when it ends.
  ReadTimeoutsEvent emptyRun;
  const auto endRun = [&] { EndReadTimeouts(emptyRun); };
  while (state_.readLoopRunFlag.load() != 0) {
    if (state_.selection.serial() != connectionSelection_) {
      lastSentOutlet_ = NOT_SENT;
      lastSentQuantity_ = NOT_SENT;
      endRun();
      return ConnectionEnd::SelectionChanged;
    }
    SendChangedSelections();
    clock_.Sleep(2);
    ReadingBytes buffer{};
    const std::optional<std::uint32_t> n = device_.ReadReading(pipe, buffer);
    if (!n) {  // the strip is gone or the pipe is dead: end the connection
      endRun();
      return WhyReadFailed();
    }
    if (*n == 0) {
      UpdateStatus([](AcquisitionStatus& s) { ++s.emptyReads; });
      // A read a stop cut short is no time-out of the strip.
      if (state_.readLoopRunFlag.load() == 0) break;
      emptyRun.lastTick = clock_.TickCount();
      if (emptyRun.count++ == 0) emptyRun.firstTick = emptyRun.lastTick;
      continue;
    }
    endRun();
    const Reading reading = DecodeReading(buffer);
    const LocalTime arrivalTime = clock_.Now();
    const std::uint32_t arrivalTick = clock_.TickCount();
    ++connectionReadings_;
    HandleReading(reading, arrivalTick, arrivalTime);
    if (stripGone_) return ConnectionEnd::Unplugged;
  }
  endRun();
  return ConnectionEnd::Stop;
}

void AcquisitionThread::EndReadTimeouts(ReadTimeoutsEvent& run) {
  if (run.count != 0) listeners_.Tell(&AcquisitionListener::OnReadTimeouts, run);
  run = ReadTimeoutsEvent{};
}

// A read failed: a stop cancels reads, a strip that no longer opens was
// unplugged, anything else is the pipe failing under a strip still there.
ConnectionEnd AcquisitionThread::WhyReadFailed() {
  if (state_.readLoopRunFlag.load() == 0) return ConnectionEnd::Stop;
  if (state_.selection.serial() != connectionSelection_) return ConnectionEnd::SelectionChanged;
  std::string path;
  return device_.ProbeDevice(connectionSelection_, path) ? ConnectionEnd::ReadFailure : ConnectionEnd::Unplugged;
}

void AcquisitionThread::SendChangedSelections() {
  const std::uint8_t outlet = state_.selectedOutlet.load();
  if (outlet != lastSentOutlet_) {
    device_.Request(connectionSelection_, BuildSetupPacket(REQUEST_TYPE_OUT, REQ_SELECT_OUTLET, outlet, 0, 0));
    lastSentOutlet_ = outlet;
    if (outlet != 0) discardNextReading_ = true;
    ResetStatistics(state_.measurement);
    Break(CloseReason::OutletChanged);
  }
  const std::uint8_t quantity = state_.selectedQuantity.load();
  if (quantity != lastSentQuantity_) {
    device_.Request(connectionSelection_, BuildSetupPacket(REQUEST_TYPE_OUT, REQ_SELECT_QUANTITY, quantity, 0, 0));
    lastSentQuantity_ = quantity;
    discardNextReading_ = true;
    Break(CloseReason::QuantityChanged);
  }
}

void AcquisitionThread::HandleReading(const Reading& reading, std::uint32_t arrivalTick,
                                      const LocalTime& arrivalTime) {
  // Unsigned 32-bit difference: right across the wrap of the tick counter.
  if (environmentDue_ || static_cast<std::uint32_t>(arrivalTick - lastEnvironmentTick_) >= ENVIRONMENT_PERIOD_MS) {
    // A stop that came during the refresh refused its requests: neither the
    // labels nor a record get line quantities that were never read.
    if (!RefreshEnvironment(arrivalTick)) return;
  }
  state_.measurement.lastReadingKind.store(reading.readingKind);

  enum class Outcome { Discarded, Accepted, Dropped } outcome = Outcome::Dropped;
  bool frameDone = false;
  if (discardNextReading_) {
    discardNextReading_ = false;
    ResetStatistics(state_.measurement);
    outcome = Outcome::Discarded;
  } else if (ContradictsSelection(reading)) {
    // Sent before the strip took the selection last sent (readings still on
    // their way): never shown or recorded as readings of the new one.
    outcome = Outcome::Discarded;
  } else {
    switch (ClassifyReading(reading, previousPacketIndex_)) {
      case ReadingVerdict::Waveform:
        measurement_.ProcessWaveformPacket(reading);
        frameDone = reading.packetIndex == WAVEFORM_PACKETS;
        if (frameDone) {
          listeners_.Tell(&AcquisitionListener::OnWaveformValue,
                          WaveformValueEvent{arrivalTick, arrivalTime, static_cast<std::uint8_t>(reading.readingKind & 0x0F),
                                             measurement_.lastWaveIsPower(), measurement_.lastWaveValue()});
        }
        outcome = Outcome::Accepted;
        break;
      case ReadingVerdict::Summary:
        listeners_.Tell(&AcquisitionListener::OnSummaryReading,
                        measurement_.ProcessSummaryReading(reading, arrivalTick, arrivalTime));
        outcome = Outcome::Accepted;
        break;
      case ReadingVerdict::Drop: break;
    }
  }
  previousPacketIndex_ = reading.packetIndex;

  UpdateStatus([outcome, frameDone, arrivalTick](AcquisitionStatus& s) {
    ++s.readings;
    s.lastReadingTick = arrivalTick;
    if (outcome == Outcome::Discarded) ++s.readingsDiscarded;
    if (outcome == Outcome::Accepted) ++s.readingsAccepted;
    if (outcome == Outcome::Dropped) ++s.readingsDropped;
    if (frameDone) ++s.waveformFrames;
  });
}

bool AcquisitionThread::ContradictsSelection(const Reading& reading) const {
  const std::uint8_t outlet = reading.readingKind & 0x0F;
  if (lastSentOutlet_ == NOT_SENT) return false;
  if (lastSentOutlet_ != 0) return outlet != lastSentOutlet_;  // a summary, or another outlet's waveform
  if (outlet != 0) return true;                                // a waveform packet in the summary view
  // A summary of the other quantity: read as power where current was asked, or the reverse.
  const bool power = SummaryDivisor(reading.readingKind) != 1.0;
  return lastSentQuantity_ != NOT_SENT && power != (lastSentQuantity_ == QUANTITY_POWER);
}

bool AcquisitionThread::RefreshEnvironment(std::uint32_t arrivalTick) {
  environmentDue_ = false;
  lastEnvironmentTick_ = arrivalTick;
  // Each quantity gets a zeroed buffer and counts only when its reply is
  // whole: a failed or short reply would otherwise decode the bytes of the
  // previous request (a failed temperature read as the line period's bytes,
  // 400.00) or of an earlier second. Such a quantity shows "(BAD)" and
  // records 0, and the journal says which request failed and why.
  bool anyFailed = false;
  const auto request = [&](std::uint8_t code, const char* name, std::uint16_t length, std::size_t needed) {
    std::array<std::uint8_t, 8> reply{};
    const std::optional<std::size_t> got =
        device_.Request(connectionSelection_, BuildSetupPacket(REQUEST_TYPE_IN, code, 0, 0, length), reply);
    const bool whole = got.has_value() && *got >= needed;
    if (!whole && state_.readLoopRunFlag.load() != 0) {
      anyFailed = anyFailed || !got.has_value();
      listeners_.Tell(&AcquisitionListener::OnRequestFailed,
                      RequestFailedEvent{name, got ? "short reply (" + std::to_string(*got) + " of " +
                                                         std::to_string(needed) + " bytes)"
                                                   : std::string("failed")});
    }
    return std::pair{reply, whole};
  };
  const auto [voltsReply, voltsWhole] = request(REQ_VOLTAGE, "REQ_VOLTAGE", VOLTAGE_LENGTH, 1);
  const LineQuantity volts = voltsWhole ? DecodeVoltage(voltsReply[0]) : LineQuantity{};
  // Only the period count's two bytes matter of the line-period reply.
  const auto [periodReply, periodWhole] = request(REQ_LINE_PERIOD, "REQ_LINE_PERIOD", LINE_PERIOD_LENGTH, 2);
  const LineQuantity hertz = periodWhole ? DecodeFrequency(Word(periodReply, 0)) : LineQuantity{};
  const auto [tempReply, tempWhole] = request(REQ_TEMPERATURE, "REQ_TEMPERATURE", TEMPERATURE_LENGTH, 2);
  const LineQuantity celsius = tempWhole ? DecodeTemperature(Word(tempReply, 0)) : LineQuantity{};
  if (state_.readLoopRunFlag.load() == 0) return false;
  // A request that failed because the strip is gone: the connection ends as
  // after a failed read, and no record gets values that were never measured.
  std::string path;
  if (anyFailed && !device_.ProbeDevice(connectionSelection_, path)) {
    stripGone_ = true;
    return false;
  }

  // Stored whether valid or not; only the labels show "(BAD)".
  measurement_.SetLineValues(LineValues{volts.value, hertz.value, celsius.value});
  state_.controls.SetTexts({{ids::VOLTAGE_VALUE, FormatVoltage(volts)},
                            {ids::FREQUENCY_VALUE, FormatFrequency(hertz)},
                            {ids::TEMPERATURE_VALUE, FormatTemperature(celsius)}});
  UpdateStatus([&](AcquisitionStatus& s) {
    s.supplyVolts = volts;
    s.lineFrequencyHz = hertz;
    s.temperatureC = celsius;
    ++s.environmentRefreshes;
  });
  return true;
}

}  // namespace kvx
