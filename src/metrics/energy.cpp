#include "metrics/energy.h"

namespace kvx::metrics {

void EnergyIntegrator::AddReading(std::uint32_t tickMs, bool power, const std::array<double, 4>& values) {
  if (!power) {
    havePrevious_ = false;
    return;
  }
  if (havePrevious_) {
    const std::uint32_t elapsedMs = tickMs - previousTick_;  // unsigned: right across the wrap
    if (elapsedMs <= MAX_GAP_MS) {
      const double seconds = elapsedMs / 1000.0;
      for (std::size_t k = 0; k < joules_.size(); ++k) {
        joules_[k] += (previousWatts_[k] + values[k]) * 0.5 * seconds;
      }
    }
  }
  havePrevious_ = true;
  previousTick_ = tickMs;
  previousWatts_ = values;
}

}  // namespace kvx::metrics
