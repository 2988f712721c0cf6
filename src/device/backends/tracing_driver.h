// The request trace of every backend, written where the client meets its
// driver: a decorator that passes each call through to the backend's driver
// and writes one line per control call and per read, as the client made it
// and as it came back (the handle the client used, the reply and the reading
// it received). The lines have the simulator's trace format (docs/simulator.md)
// with a sequence number added; the serial of a handle's strip is the one its
// serial-number request answered.
#pragma once

#include <memory>
#include <string>

#include "device/driver.h"

namespace kvx::device {

// `inner` wrapped so that every call is traced to `path` (truncated); null
// with `error` set when the file cannot take a trace.
std::unique_ptr<Driver> MakeTracingDriver(std::unique_ptr<Driver> inner, const std::string& path, std::string& error);

}  // namespace kvx::device
