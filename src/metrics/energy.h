// Energy per outlet, integrated from the summary power readings of one strip:
// trapezoids between consecutive reading times. Nothing is integrated across a
// current reading (the strip was sending another quantity), across the end of
// a connection, or across a gap longer than MAX_GAP_MS (the strip stalled or
// the client was away: a straight line over such a gap would be a guess).
#pragma once

#include <array>
#include <cstdint>

namespace kvx::metrics {

class EnergyIntegrator {
 public:
  static constexpr std::uint32_t MAX_GAP_MS = 5000;

  // One summary reading at the acquisition tick `tickMs` (32-bit milliseconds,
  // differences taken across the wrap). `power` says the values are watts; a
  // current reading only breaks the chain.
  void AddReading(std::uint32_t tickMs, bool power, const std::array<double, 4>& values);
  // The connection ended: the next reading starts a new chain.
  void Interrupt() { havePrevious_ = false; }

  // Joules per outlet since construction (never decreasing for loads >= 0).
  const std::array<double, 4>& joules() const { return joules_; }

 private:
  bool havePrevious_ = false;
  std::uint32_t previousTick_ = 0;
  std::array<double, 4> previousWatts_{};
  std::array<double, 4> joules_{};
};

inline constexpr double JOULES_PER_WATT_HOUR = 3600.0;

}  // namespace kvx::metrics
