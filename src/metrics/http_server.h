// The HTTP side of the metrics endpoint: GET /metrics answers with the text
// that `render` returns (the exposition of the latest snapshot); every other
// path is 404, every other method 405. The endpoint is reachable from the
// network, so whatever a client does it is held to fixed bounds: a cap on
// connections (one beyond it is closed at once, not queued), a deadline for
// each request from its first byte (or the end of the previous answer on a
// kept-alive connection) to its answer, a few KiB of request headers (431
// beyond) and no body (413). One event-driven thread serves every client, so
// a slow one holds no other; Stop() closes every connection at once. With a
// web configuration it speaks TLS (and asks for a client certificate signed
// by its CA if told to) and answers only requests with a user and password
// of its list (401 otherwise).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "metrics/address.h"
#include "metrics/web_config.h"

namespace kvx::metrics {

class MetricsServer {
 public:
  // Far below the 1,024 descriptors a service gets by default, which the
  // log files need too.
  static constexpr unsigned MAX_CONNECTIONS = 64;
  // The whole of a request, headers included, and the idle time of a kept-
  // alive connection: shorter than any sensible scrape interval.
  static constexpr std::chrono::milliseconds REQUEST_DEADLINE{2000};
  // Memory of one connection: the request line and headers must fit in it.
  static constexpr std::size_t CONNECTION_MEMORY = 8 * 1024;

  explicit MetricsServer(std::function<std::string()> render, WebConfig config = {});
  ~MetricsServer();  // Stop()

  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Binds and starts listening; false with `error` set when the address
  // cannot be bound. Port 0 takes a free port (see port()).
  bool Start(const ListenAddress& address, std::string& error);
  // After a failed Start: the web configuration's certificate or key was
  // refused (a configuration error), not the address.
  bool configurationRefused() const { return configurationRefused_; }
  // Closes the listening socket and every connection, and joins the
  // server's threads; idempotent.
  void Stop();
  int port() const { return port_; }

 private:
  struct Impl;
  std::function<std::string()> render_;
  const WebConfig config_;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
  bool configurationRefused_ = false;
};

}  // namespace kvx::metrics
