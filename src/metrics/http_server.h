// The HTTP side of the metrics endpoint: GET /metrics answers with the text
// that `render` returns (the exposition of the latest snapshot); every other
// path is 404. A small pool of worker threads serves the scrapes; the
// listening thread and the pool are the server's own, stopped by Stop().
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "metrics/address.h"

namespace kvx::metrics {

class MetricsServer {
 public:
  static constexpr int WORKER_THREADS = 2;

  explicit MetricsServer(std::function<std::string()> render);
  ~MetricsServer();  // Stop()

  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Binds and starts listening; false with `error` set when the address
  // cannot be bound. Port 0 takes a free port (see port()).
  bool Start(const ListenAddress& address, std::string& error);
  // Stops listening and joins the threads; idempotent.
  void Stop();
  int port() const { return port_; }

 private:
  struct Impl;
  std::function<std::string()> render_;
  std::unique_ptr<Impl> impl_;
  std::thread listener_;
  int port_ = 0;
};

}  // namespace kvx::metrics
