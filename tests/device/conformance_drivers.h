// The backends of the default conformance run: the simulated driver and the
// scripted test double.
#pragma once

#include <string>
#include <type_traits>

#include "driver_traits.h"

namespace kvx::test {

using Drivers = ::testing::Types<SimTraits, ScriptedTraits>;
class DriverNames {
 public:
  template <typename T>
  static std::string GetName(int) {
    return std::is_same_v<T, SimTraits> ? "Sim" : "Scripted";
  }
};

}  // namespace kvx::test
