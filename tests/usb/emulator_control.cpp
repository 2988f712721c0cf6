#include "emulator_control.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace kvx::usb::testing {

EmulatorControl::EmulatorControl() {
  const char* path = std::getenv("KVX_USB_EMULATOR_CONTROL");
  if (path == nullptr) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) return;
  std::strcpy(address.sun_path, path);
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

EmulatorControl::~EmulatorControl() {
  if (fd_ >= 0) close(fd_);
}

std::string EmulatorControl::Ask(const std::string& request) {
  if (fd_ < 0) return "error: not connected to the emulator's control channel";
  const std::string line = request + "\n";
  if (write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "error: cannot send";
  std::string reply;
  char c = 0;
  while (read(fd_, &c, 1) == 1) {
    if (c == '\n') return reply;
    reply += c;
  }
  return "error: the control channel closed";
}

void EmulatorControl::Tell(const std::string& request) {
  const std::string reply = Ask(request);
  EXPECT_EQ(reply, "ok") << request;
}

}  // namespace kvx::usb::testing
