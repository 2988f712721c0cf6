#include "metrics/http_server.h"

#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <httplib.h>

#include "metrics/exposition.h"

namespace kvx::metrics {

struct MetricsServer::Impl {
  httplib::Server server;
  std::atomic<bool> loopEnded{false};
};

MetricsServer::MetricsServer(std::function<std::string()> render) : render_(std::move(render)) {}

MetricsServer::~MetricsServer() { Stop(); }

bool MetricsServer::Start(const ListenAddress& address, std::string& error) {
  if (impl_) {
    error = "the metrics endpoint is already listening";
    return false;
  }
  auto impl = std::make_unique<Impl>();
  impl->server.new_task_queue = [] { return new httplib::ThreadPool(WORKER_THREADS); };
  // The library's default adds SO_REUSEPORT, which would let a second logger
  // share a port already in use; only SO_REUSEADDR (quick restarts) is wanted.
  impl->server.set_socket_options([](int sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  impl->server.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(render_(), EXPOSITION_CONTENT_TYPE);
  });
  int port = address.port;
  if (port == 0) {
    port = impl->server.bind_to_any_port(address.host);
  } else if (!impl->server.bind_to_port(address.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    error = "cannot listen on " + FormatListenAddress(address) + ": " + std::strerror(errno);
    return false;
  }
  port_ = port;
  impl_ = std::move(impl);
  listener_ = std::thread([impl = impl_.get()] {
    impl->server.listen_after_bind();
    impl->loopEnded.store(true);
  });
  // The library's stop() does nothing until its loop runs: wait for that, so
  // a Stop() right after Start() cannot miss it and leave the loop running.
  while (!impl_->server.is_running() && !impl_->loopEnded.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void MetricsServer::Stop() {
  if (!impl_) return;
  impl_->server.stop();
  if (listener_.joinable()) listener_.join();
  impl_.reset();
}

}  // namespace kvx::metrics
