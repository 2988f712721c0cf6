// The emulator's control channel: a Unix socket in a fresh temporary folder,
// its path handed to the command in KVX_USB_EMULATOR_CONTROL, so that a test
// can plug, unplug and otherwise steer the strips at the moment it needs.
// One request per line, one reply line each, answered on the main loop (the
// thread that owns the testbed).
#pragma once

#include <functional>
#include <map>
#include <string>

#include <glib.h>

namespace kvx::usbemu {

inline constexpr char CONTROL_ENV[] = "KVX_USB_EMULATOR_CONTROL";

class ControlChannel {
 public:
  using Handler = std::function<std::string(const std::string& request)>;

  explicit ControlChannel(Handler handler) : handler_(std::move(handler)) {}
  ~ControlChannel();
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

  bool Listen(std::string& error);
  const std::string& path() const { return path_; }

 private:
  struct Client {
    guint source = 0;
    std::string pending;  // bytes of a request line not yet complete
  };

  static gboolean OnAccept(gint fd, GIOCondition condition, gpointer self);
  static gboolean OnReadable(gint fd, GIOCondition condition, gpointer self);
  bool Serve(int fd);  // false when the client is done
  void Drop(int fd);

  Handler handler_;
  std::string dir_;
  std::string path_;
  int listener_ = -1;
  guint listenSource_ = 0;
  std::map<int, Client> clients_;
};

}  // namespace kvx::usbemu
