// The test side of kvx-usb-emulator's control channel (run the emulator with
// --control): one request line, one reply line, over the socket it names in
// KVX_USB_EMULATOR_CONTROL.
#pragma once

#include <string>

namespace kvx::usb::testing {

class EmulatorControl {
 public:
  EmulatorControl();  // connects; connected() tells whether that worked
  ~EmulatorControl();
  EmulatorControl(const EmulatorControl&) = delete;
  EmulatorControl& operator=(const EmulatorControl&) = delete;

  bool connected() const { return fd_ >= 0; }
  // The emulator's reply ("ok", a number, "error: ..."); "error: ..." also
  // when the channel is broken.
  std::string Ask(const std::string& request);
  // Ask, counting anything but "ok" as a test failure.
  void Tell(const std::string& request);

 private:
  int fd_ = -1;
};

}  // namespace kvx::usb::testing
