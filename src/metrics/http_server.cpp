#include "metrics/http_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gnutls/gnutls.h>
#include <microhttpd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "metrics/exposition.h"

namespace kvx::metrics {

namespace {

using Clock = std::chrono::steady_clock;

// A bound socket listening on `address`; -1 with `error` set otherwise. Made
// here rather than by the library, so that the reason reaches the user.
int Listen(const ListenAddress& address, int& family, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(address.port);
  const int rc = getaddrinfo(address.host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    error = "cannot listen on " + FormatListenAddress(address) + ": " + gai_strerror(rc);
    return -1;
  }
  family = found->ai_family;
  int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  if (fd >= 0) {
    // Quick restarts; not SO_REUSEPORT, which would let a second logger share the port.
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (found->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
    if (bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, static_cast<int>(MetricsServer::MAX_CONNECTIONS)) != 0) {
      const int saved = errno;
      close(fd);
      fd = -1;
      errno = saved;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) error = "cannot listen on " + FormatListenAddress(address) + ": " + std::strerror(errno);
  return fd;
}

int BoundPort(int fd) {
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return -1;
  if (bound.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
}

}  // namespace

struct MetricsServer::Impl {
  Impl(const std::function<std::string()>& r, const WebConfig& c) : render(r), config(c) {}

  // One open connection: its socket and when its current request began (the
  // connection's start, or the end of the previous answer).
  struct Open {
    int fd = -1;
    Clock::time_point since;
    bool cut = false;
  };

  const std::function<std::string()>& render;
  const WebConfig& config;
  MHD_Daemon* daemon = nullptr;
  std::mutex mutex;
  std::condition_variable wake;
  std::map<MHD_Connection*, Open> open;
  bool stopping = false;
  std::thread reaper;

  // Cuts every connection past its deadline. A socket is shut down, not
  // closed: the library still owns it and closes it when it sees the end.
  // Under the lock, and the library reports a connection closed (which
  // takes the lock) before it closes its socket, so a descriptor shut down
  // here is always still that connection's.
  void Reap() {
    std::unique_lock lock(mutex);
    while (!stopping) {
      const auto now = Clock::now();
      std::optional<Clock::time_point> next;
      for (auto& [connection, entry] : open) {
        if (entry.cut) continue;
        const auto deadline = entry.since + REQUEST_DEADLINE;
        if (deadline <= now) {
          shutdown(entry.fd, SHUT_RDWR);
          entry.cut = true;
        } else if (!next || deadline < *next) {
          next = deadline;
        }
      }
      // Asleep until the next deadline; with no connection, until one comes.
      if (next) wake.wait_until(lock, *next);
      else wake.wait(lock);
    }
  }

  static void OnConnection(void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
    auto& self = *static_cast<Impl*>(cls);
    std::lock_guard lock(self.mutex);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      self.open[connection] = Open{info != nullptr ? info->connect_fd : -1, Clock::now(), false};
      self.wake.notify_all();
    } else {
      self.open.erase(connection);
    }
  }

  // An answer went out: a kept-alive connection's next request starts now.
  static void OnCompleted(void* cls, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
    auto& self = *static_cast<Impl*>(cls);
    std::lock_guard lock(self.mutex);
    const auto it = self.open.find(connection);
    if (it != self.open.end()) it->second.since = Clock::now();
  }

  // A client certificate was given and verifies against the configured CA.
  static bool ClientCertificateVerified(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (info == nullptr || info->tls_session == nullptr) return false;
    auto* session = static_cast<gnutls_session_t>(info->tls_session);
    unsigned int listed = 0;
    if (gnutls_certificate_get_peers(session, &listed) == nullptr || listed == 0) return false;
    unsigned int status = 0;
    return gnutls_certificate_verify_peers2(session, &status) == GNUTLS_E_SUCCESS && status == 0;
  }

  // The request's user and password are on the list.
  bool Authorised(MHD_Connection* connection) const {
    if (config.users.empty()) return true;
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(connection, &password);
    bool ok = false;
    if (user != nullptr && password != nullptr) {
      const auto it = config.users.find(user);
      ok = it != config.users.end() && PasswordMatches(password, it->second);
    }
    if (password != nullptr) {
      // Not left in freed memory.
      for (volatile char* p = password; *p != '\0'; ++p) *p = '\0';
      MHD_free(password);
    }
    if (user != nullptr) MHD_free(user);
    return ok;
  }

  static MHD_Result Refuse(MHD_Connection* connection, unsigned status, const std::string& text, bool askForLogin) {
    MHD_Response* response = MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()),
                                                              MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
    const MHD_Result queued = askForLogin ? MHD_queue_basic_auth_fail_response(connection, "kvxclient", response)
                                          : MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
  }

  static MHD_Result Answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                           const char*, const char*, size_t* uploadSize, void**) {
    auto& self = *static_cast<Impl*>(cls);
    if (self.config.requireClientCert && !ClientCertificateVerified(connection))
      return Refuse(connection, MHD_HTTP_FORBIDDEN, "a client certificate signed by the configured CA is required\n",
                    false);
    if (!self.Authorised(connection)) return Refuse(connection, MHD_HTTP_UNAUTHORIZED, "unauthorised\n", true);
    const std::string_view path(url);
    const std::string_view verb(method);
    const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    const bool body = *uploadSize > 0 ||
                      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) ||
                      (length != nullptr && std::string_view(length) != "0");
    unsigned status = MHD_HTTP_OK;
    std::string text;
    if (body) {
      status = MHD_HTTP_CONTENT_TOO_LARGE;  // nothing here takes a body; it is never read
      text = "no request body is accepted\n";
    } else if (verb != "GET" && verb != "HEAD") {
      status = MHD_HTTP_METHOD_NOT_ALLOWED;
      text = "only GET\n";
    } else if (path != "/metrics") {
      status = MHD_HTTP_NOT_FOUND;
      text = "not found: the metrics are at /metrics\n";
    } else {
      text = self.render();
    }
    MHD_Response* response = MHD_create_response_from_buffer(text.size(), text.data(), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                            status == MHD_HTTP_OK ? EXPOSITION_CONTENT_TYPE : "text/plain; charset=utf-8");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
  }
};

MetricsServer::MetricsServer(std::function<std::string()> render, WebConfig config)
    : render_(std::move(render)), config_(std::move(config)) {}

MetricsServer::~MetricsServer() { Stop(); }

bool MetricsServer::Start(const ListenAddress& address, std::string& error) {
  if (impl_) {
    error = "the metrics endpoint is already listening";
    return false;
  }
  configurationRefused_ = false;
  int family = AF_INET;
  const int fd = Listen(address, family, error);
  if (fd < 0) return false;
  auto impl = std::make_unique<Impl>(render_, config_);
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC;
  if (family == AF_INET6) flags |= MHD_USE_IPv6;
  if (config_.tls()) flags |= MHD_USE_TLS;
  // The TLS material, when there is some; the options that follow an empty
  // entry are the same either way.
  MHD_OptionItem tls[] = {
      {config_.tls() ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0, const_cast<char*>(config_.keyPem.c_str())},
      {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(config_.certPem.c_str())},
      {config_.clientCaPem.empty() ? MHD_OPTION_END : MHD_OPTION_HTTPS_MEM_TRUST, 0,
       const_cast<char*>(config_.clientCaPem.c_str())},
      {MHD_OPTION_END, 0, nullptr},
  };
  const auto timeoutSeconds =
      static_cast<unsigned>(std::chrono::ceil<std::chrono::seconds>(REQUEST_DEADLINE).count());
  impl->daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &Impl::Answer, impl.get(),                                  //
      MHD_OPTION_LISTEN_SOCKET, fd,                                                            //
      MHD_OPTION_CONNECTION_LIMIT, MAX_CONNECTIONS,                                            //
      MHD_OPTION_CONNECTION_TIMEOUT, timeoutSeconds,                                           //
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTION_MEMORY,                                   //
      MHD_OPTION_NOTIFY_CONNECTION, &Impl::OnConnection, impl.get(),                           //
      MHD_OPTION_NOTIFY_COMPLETED, &Impl::OnCompleted, impl.get(),                             //
      MHD_OPTION_ARRAY, tls,                                                                    //
      MHD_OPTION_END);
  if (impl->daemon == nullptr) {
    close(fd);
    configurationRefused_ = config_.tls();
    error = config_.tls() ? "cannot serve metrics over TLS: the certificate or key of the web configuration is "
                            "not usable (PEM, matching each other)"
                          : "cannot serve metrics on " + FormatListenAddress(address) + ": the HTTP server did not start";
    return false;
  }
  port_ = BoundPort(fd);
  impl->reaper = std::thread([impl = impl.get()] { impl->Reap(); });
  impl_ = std::move(impl);
  return true;
}

void MetricsServer::Stop() {
  if (!impl_) return;
  // No new connection from here on; then every open one is closed with the
  // library's thread, which returns at once (nothing waits for a client).
  const MHD_socket listening = MHD_quiesce_daemon(impl_->daemon);
  MHD_stop_daemon(impl_->daemon);
  if (listening != MHD_INVALID_SOCKET) close(listening);
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->wake.notify_all();
  impl_->reaper.join();
  impl_.reset();
}

}  // namespace kvx::metrics
