// The endpoint over real loopback HTTP: the text and its content type at
// /metrics, 404 elsewhere, a port in use, and scrapes running while snapshots
// are published from another thread (race-checked under ThreadSanitizer).
#include "metrics/http_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <thread>

#include "metrics/exposition.h"

namespace kvx::metrics {
namespace {

const ListenAddress ANY_LOOPBACK_PORT{"127.0.0.1", 0, true};

TEST(MetricsServer, ServesTheExpositionAtMetricsAnd404Elsewhere) {
  MetricsServer server([] { return std::string("kvx_logging_failing 0\n"); });
  std::string error;
  ASSERT_TRUE(server.Start(ANY_LOOPBACK_PORT, error)) << error;
  ASSERT_GT(server.port(), 0);
  httplib::Client client("127.0.0.1", server.port());
  const auto response = client.Get("/metrics");
  ASSERT_TRUE(response) << httplib::to_string(response.error());
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(response->body, "kvx_logging_failing 0\n");
  for (const char* path : {"/", "/metrics/", "/metricsx", "/other"}) {
    const auto other = client.Get(path);
    ASSERT_TRUE(other) << path;
    EXPECT_EQ(other->status, 404) << path;
  }
  server.Stop();
  server.Stop();  // idempotent
  EXPECT_FALSE(httplib::Client("127.0.0.1", server.port()).Get("/metrics"));
}

TEST(MetricsServer, APortInUseIsReportedAndTheServerCanStartElsewhere) {
  MetricsServer first([] { return std::string(); });
  std::string error;
  ASSERT_TRUE(first.Start(ANY_LOOPBACK_PORT, error)) << error;
  MetricsServer second([] { return std::string(); });
  const ListenAddress taken{"127.0.0.1", static_cast<std::uint16_t>(first.port()), true};
  EXPECT_FALSE(second.Start(taken, error));
  EXPECT_NE(error.find("cannot listen on 127.0.0.1:" + std::to_string(first.port())), std::string::npos) << error;
  EXPECT_TRUE(second.Start(ANY_LOOPBACK_PORT, error)) << error;
  EXPECT_NE(first.port(), second.port());
}

TEST(MetricsServer, ScrapesReadWholeSnapshotsWhilePublishingGoesOn) {
  MetricsBoard board;
  MetricsServer server([&board] { return FormatExposition(*board.Read()); });
  std::string error;
  ASSERT_TRUE(server.Start(ANY_LOOPBACK_PORT, error)) << error;
  std::atomic<bool> stop{false};
  std::jthread publisher([&] {
    // Every snapshot has as many log records as readings, so a scrape of a
    // half-updated snapshot would show them apart.
    for (std::uint64_t n = 1; !stop.load(); ++n) {
      MetricsSnapshot snapshot;
      snapshot.strips[0x345].readings = n;
      snapshot.logRecords = n;
      board.Publish(std::move(snapshot));
    }
  });
  const struct StopPublisher {
    std::atomic<bool>& stop;
    ~StopPublisher() { stop.store(true); }
  } stopPublisher{stop};
  httplib::Client client("127.0.0.1", server.port());
  std::uint64_t previous = 0;
  for (int i = 0; i < 50; ++i) {
    const auto response = client.Get("/metrics");
    ASSERT_TRUE(response) << httplib::to_string(response.error());
    const std::string& body = response->body;
    const auto value = [&body](const std::string& name) {
      const std::size_t at = body.find('\n' + name);
      return at == std::string::npos ? 0 : std::stoull(body.substr(at + 1 + name.size()));
    };
    const std::uint64_t readings = value("kvx_readings_total{serial=\"000345\"} ");
    EXPECT_EQ(readings, value("kvx_log_records_total "));
    EXPECT_GE(readings, previous);
    previous = readings;
  }
  EXPECT_GT(previous, 0u) << "no published snapshot was ever scraped";
}

}  // namespace
}  // namespace kvx::metrics
