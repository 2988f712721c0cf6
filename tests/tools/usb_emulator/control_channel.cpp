#include "control_channel.h"

#include <glib-unix.h>
#include <glib/gstdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kvx::usbemu {

ControlChannel::~ControlChannel() {
  for (auto& [fd, client] : clients_) {
    g_source_remove(client.source);
    close(fd);
  }
  if (listenSource_ != 0) g_source_remove(listenSource_);
  if (listener_ >= 0) close(listener_);
  if (!path_.empty()) g_unlink(path_.c_str());
  if (!dir_.empty()) g_rmdir(dir_.c_str());
}

bool ControlChannel::Listen(std::string& error) {
  GError* gerror = nullptr;
  gchar* dir = g_dir_make_tmp("kvx-usb-emulator-XXXXXX", &gerror);
  if (dir == nullptr) {
    error = std::string("cannot make the control folder: ") + gerror->message;
    g_error_free(gerror);
    return false;
  }
  dir_ = dir;
  g_free(dir);
  path_ = dir_ + "/control";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) {
    error = "control socket path too long: " + path_;
    return false;
  }
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 4) != 0) {
    error = std::string("cannot listen on ") + path_ + ": " + std::strerror(errno);
    return false;
  }
  listenSource_ = g_unix_fd_add(listener_, G_IO_IN, &ControlChannel::OnAccept, this);
  return true;
}

gboolean ControlChannel::OnAccept(gint fd, GIOCondition, gpointer data) {
  auto& self = *static_cast<ControlChannel*>(data);
  const int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (client >= 0) self.clients_[client].source = g_unix_fd_add(client, G_IO_IN, &ControlChannel::OnReadable, &self);
  return G_SOURCE_CONTINUE;
}

gboolean ControlChannel::OnReadable(gint fd, GIOCondition, gpointer data) {
  auto& self = *static_cast<ControlChannel*>(data);
  if (self.Serve(fd)) return G_SOURCE_CONTINUE;
  self.Drop(fd);
  return G_SOURCE_REMOVE;
}

bool ControlChannel::Serve(int fd) {
  char bytes[512];
  const ssize_t n = read(fd, bytes, sizeof bytes);
  if (n <= 0) return n < 0 && errno == EINTR;
  std::string& pending = clients_[fd].pending;
  pending.append(bytes, static_cast<std::size_t>(n));
  for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
    const std::string reply = handler_(pending.substr(0, end)) + "\n";
    pending.erase(0, end + 1);
    // Replies are one short line: a blocking socket takes them whole.
    if (write(fd, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) return false;
  }
  return true;
}

void ControlChannel::Drop(int fd) {
  // The source is being removed by returning G_SOURCE_REMOVE.
  clients_.erase(fd);
  close(fd);
}

}  // namespace kvx::usbemu
