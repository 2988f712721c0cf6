#include "metrics/http_server.h"

#include <cerrno>
#include <cstring>
#include <httplib.h>

#include "metrics/exposition.h"

namespace kvx::metrics {

struct MetricsServer::Impl {
  httplib::Server server;
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
  listener_ = std::thread([server = &impl_->server] { server->listen_after_bind(); });
  return true;
}

void MetricsServer::Stop() {
  if (!impl_) return;
  impl_->server.stop();
  if (listener_.joinable()) listener_.join();
  impl_.reset();
}

}  // namespace kvx::metrics
