// The requests of the control channel (see emulator.h), applied on the main loop.
#include <limits>
#include <sstream>

#include "emulator.h"

namespace kvx::usbemu {

bool Emulator::ListenForControl(std::string& error) {
  control_ = std::make_unique<ControlChannel>([this](const std::string& request) { return Command(request); });
  return control_->Listen(error);
}

std::string Emulator::Command(const std::string& request) {
  std::istringstream words(request);
  std::string verb;
  words >> verb;
  if (verb == "pending-controls") {
    int pending = 0;
    for (const Strip& strip : strips_)
      if (strip.device) pending += strip.device->PendingControls();
    return std::to_string(pending);
  }
  std::size_t index = 0;
  if (!(words >> index) || index >= strips_.size()) return "error: no such strip in '" + request + "'";
  Strip& strip = strips_[index];
  sim::StripControl& control = sim_;  // what a test may do to the strips
  std::string error;
  if (verb == "plug") {
    control.Plug(index);
    return PlugIn(index, error) ? "ok" : "error: " + error;
  }
  if (verb == "unplug") {
    control.Unplug(index);
    Unplug(index);
    return "ok";
  }
  if (verb == "hold" || verb == "offer") {
    if (verb == "hold") strip.held = true;
    if (!strip.device) return verb == "hold" ? "ok" : "error: strip " + std::to_string(index) + " is unplugged";
    if (verb == "hold") strip.device->Hold();
    else strip.device->Offer();
    return "ok";
  }
  if (verb == "clear") {
    control.SetReplyFaults(index, {});
    return "ok";
  }
  if (verb == "delay") {
    unsigned bRequest = 0;
    std::string delay;
    if (!(words >> bRequest >> delay) || bRequest > std::numeric_limits<std::uint8_t>::max())
      return "error: delay N REQUEST MS|never";
    sim::ReplyFault fault;
    fault.bRequest = static_cast<std::uint8_t>(bRequest);
    fault.mode = delay == "never" ? sim::ReplyFaultMode::Hang : sim::ReplyFaultMode::Slow;
    if (delay != "never") {
      std::istringstream ms(delay);
      if (!(ms >> fault.delayMs)) return "error: delay N REQUEST MS|never";
    }
    control.SetReplyFaults(index, {fault});
    return "ok";
  }
  return "error: unknown request '" + request + "'";
}

}  // namespace kvx::usbemu
