// The simulated strips as a backend (--driver=sim, the default): its options
// --scenario=FILE and --trace=FILE, and the SimDriver built from them.
#pragma once

#include "device/backend.h"

namespace kvx::sim {

device::Backend SimBackend();

}  // namespace kvx::sim
