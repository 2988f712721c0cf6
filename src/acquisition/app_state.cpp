#include "acquisition/app_state.h"

namespace kvx {

void ResetStatistics(MeasurementState& state) {
  for (std::size_t k = 0; k < 4; ++k) {
    state.outletMin[k].store(OUTLET_MIN_RESET);
    state.outletMax[k].store(0.0);
  }
  state.rmsCurrentMin.store(OUTLET_MIN_RESET);
  state.activePowerMin.store(OUTLET_MIN_RESET);
  state.rmsCurrentMax.store(0.0);
  state.activePowerMax.store(0.0);
}

void ResetOutletStatistics(MeasurementState& state) {
  for (std::size_t k = 0; k < 4; ++k) {
    state.outletMin[k].store(OUTLET_MIN_CONNECTION);
    state.outletMax[k].store(0.0);
  }
}

}  // namespace kvx
