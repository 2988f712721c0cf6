// kvx-usb-emulator: puts the strips of a scenario on an emulated USB bus
// (a umockdev testbed), answers their usbdevfs ioctls from the simulated
// strip's model and runs one command with umockdev's preload library, so
// that libusb in that command sees the strips as real devices.
//
// The SimDriver runs the scenario as it does for the simulated backend
// (pacing, faults, the timeline); its plug and unplug events add and remove
// the emulated devices (a replug keeps the port, takes a new address).
// With a control channel (control_channel.h) a test steers the strips itself;
// its requests (strip = index into the scenario's strips):
//   plug N | unplug N            the strip arrives / leaves now (replied once the testbed has it)
//   hold N | offer N             readings pass only when offered, one per offer
//   delay N REQUEST MS|never     control requests with that bRequest answer late / never
//   clear N                      no reply faults
//   pending-controls             control requests of all strips not yet answered
// Replies: "ok", a number, or "error: ...".
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include <glib.h>
#include <umockdev.h>

#include "device/sim/sim_driver.h"
#include "control_channel.h"
#include "emulated_device.h"
#include "usb_records.h"

namespace kvx::usbemu {

class Emulator {
 public:
  explicit Emulator(const sim::Scenario& scenario);
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  bool OpenTrace(const std::string& path, std::string& error) { return sim_.OpenTrace(path, error); }
  // Creates the testbed with every strip present now.
  bool Start(std::string& error);
  // Opens the control channel; the command finds it in CONTROL_ENV.
  bool ListenForControl(std::string& error);
  // Runs the command under the preload until it exits; its exit status
  // (128 + signal when it was killed), or -1 when it could not start.
  int Run(const std::vector<std::string>& command, std::string& error);

 private:
  struct Strip {
    UsbId id;
    std::unique_ptr<EmulatedDevice> device;  // null while unplugged
    DeviceRecord record;
    bool held = false;  // readings only when offered (kept across a replug)
  };

  struct Forward {
    Emulator* emulator;
    int signal;
  };

  bool PlugIn(std::size_t strip, std::string& error);
  void Unplug(std::size_t strip);
  std::string Command(const std::string& request);  // on the main loop
  void OnSimEvent(const device::DeviceEvent& event);  // on the SimDriver's thread
  static gboolean ApplyEvent(gpointer data);          // on the main loop

  sim::SimDriver sim_;
  UMockdevTestbed* testbed_ = nullptr;
  std::vector<Strip> strips_;
  // Devices of earlier plug-ins: a client may still hold their nodes open.
  std::vector<std::unique_ptr<EmulatedDevice>> gone_;
  std::vector<device::Driver::SubscriptionId> subscriptions_;
  int nextAddress_ = 2;
  GMainLoop* loop_ = nullptr;
  GPid child_ = 0;
  std::array<Forward, 3> forwards_{};  // signals passed on to the command
  int status_ = -1;
  std::unique_ptr<ControlChannel> control_;
};

// The whole program: parses the command line, exits with the command's status.
int EmulatorMain(int argc, char** argv);

}  // namespace kvx::usbemu
