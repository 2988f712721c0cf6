// How long AcquisitionThread::Stop takes, from the call to the joined thread,
// in each state the thread can be in when the stop comes: idle (nothing
// selected), reading a paced strip (the stop lands anywhere in the read loop),
// reading a stalled strip, in the 2 ms pause before a read, and behind a slow
// control reply (a 100 ms firmware-version request while opening, which the
// stop withdraws).
//
//   kvx_stop_latency_bench [stops per state, default 100]
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "acquisition/acquisition_thread.h"
#include "device/sim/sim_driver.h"
#include "verdict.h"

namespace {

using namespace kvx;
using Millis = std::chrono::duration<double, std::milli>;

constexpr std::uint32_t SERIAL = 0x1A2B3;
constexpr std::uint32_t SLOW_REPLY_MS = 100;

class NullGraph : public WaveformSink {
 public:
  void DrawWaveform(const std::array<double, protocol::WAVEFORM_SAMPLES>&, double, double) override {}
};

class NullWindow : public WindowLink {
 public:
  void AddStripToTree(const std::string&, int) override {}
  void RegisterInterfaceNotifications() override {}
  void ClickDeviceTree() override {}
};

// The real clock, telling whoever waits when the thread enters the pause before a read.
class PauseSignallingClock final : public Clock {
 public:
  std::uint32_t TickCount() override { return real_.TickCount(); }
  LocalTime Now() override { return real_.Now(); }
  void Sleep(std::uint32_t milliseconds) override {
    if (milliseconds == 2) {
      std::lock_guard lock(mutex_);
      ++pauses_;
      cv_.notify_all();
    }
    real_.Sleep(milliseconds);
  }
  // Waits until the thread starts a pause after the one counted at `seen`.
  void AwaitPause() {
    std::unique_lock lock(mutex_);
    const std::uint64_t seen = pauses_;
    cv_.wait(lock, [&] { return pauses_ > seen; });
  }

 private:
  SystemClock real_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::uint64_t pauses_ = 0;
};

sim::Scenario OneStrip(std::uint32_t summaryMs, bool slowFirmware) {
  sim::StripSpec strip;
  strip.serial = SERIAL;
  strip.summaryIntervalMs = summaryMs;
  if (slowFirmware) {
    sim::ReplyFault fault;
    fault.bRequest = protocol::REQ_FIRMWARE_VERSION;
    fault.mode = sim::ReplyFaultMode::Slow;
    fault.delayMs = SLOW_REPLY_MS;
    strip.faults.replies.push_back(fault);
  }
  sim::Scenario scenario;
  scenario.strips.push_back(strip);
  return scenario;
}

void WaitUntil(const std::function<bool()>& done) {
  while (!done()) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

struct Figures {
  double median = 0.0;
  double p99 = 0.0;
  double max = 0.0;
};

// `reach` brings a freshly started thread into the state to measure; the stop follows at once.
Figures Measure(sim::Scenario scenario, bool select, int stops,
                const std::function<void(sim::SimDriver&, AcquisitionThread&, PauseSignallingClock&)>& reach) {
  sim::SimDriver driver(std::move(scenario));
  AppState state(driver);
  NullGraph graph;
  NullWindow window;
  PauseSignallingClock clock;
  AcquisitionThread thread(state, graph, window, clock);
  state.startup = StartupValues{select ? SERIAL : 0, {1, 1, 0}, 0};
  std::vector<double> latencies;
  for (int k = 0; k < stops; ++k) {
    state.threadRunFlag.store(1);
    state.readLoopRunFlag.store(1);
    if (!thread.Start()) {
      std::fprintf(stderr, "the acquisition thread could not be started\n");
      std::exit(2);
    }
    reach(driver, thread, clock);
    const auto start = std::chrono::steady_clock::now();
    thread.Stop();
    latencies.push_back(Millis(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(latencies.begin(), latencies.end());
  return Figures{latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100], latencies.back()};
}

bool Connected(AcquisitionThread& thread) {
  const AcquisitionStatus s = thread.Status();
  return s.state == ConnectionState::Reading;
}

// The floor: the stop of a bare thread asleep on a condition variable
// (notify, then join), the least any stop can cost.
double BareThreadStopMs(int stops) {
  std::vector<double> latencies;
  for (int k = 0; k < stops; ++k) {
    std::mutex mutex;
    std::condition_variable cv;
    bool stop = false;
    std::thread thread([&] {
      std::unique_lock lock(mutex);
      cv.wait(lock, [&] { return stop; });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto start = std::chrono::steady_clock::now();
    {
      std::lock_guard lock(mutex);
      stop = true;
    }
    cv.notify_all();
    thread.join();
    latencies.push_back(Millis(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(latencies.begin(), latencies.end());
  return latencies[latencies.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int stops = std::max(1, argc > 1 ? std::atoi(argv[1]) : 100);
  std::mt19937 random(12345);

  struct Row {
    const char* name;
    Figures figures;
    double bound;
  };
  std::vector<Row> rows;
  rows.push_back({"idle (nothing selected)",
                  Measure(OneStrip(250, false), false, stops,
                          [](sim::SimDriver&, AcquisitionThread& t, PauseSignallingClock&) {
                            WaitUntil([&] { return t.Status().state == ConnectionState::Idle; });
                            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // asleep in its wait
                          }),
                  10.0});
  rows.push_back({"reading a strip paced at 20 ms",
                  Measure(OneStrip(20, false), true, stops,
                          [&](sim::SimDriver&, AcquisitionThread& t, PauseSignallingClock&) {
                            WaitUntil([&] { return Connected(t) && t.Status().readings > 0; });
                            // Anywhere in the loop: pause, read, processing, line quantities.
                            std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
                          }),
                  10.0});
  rows.push_back({"reading a stalled strip",
                  Measure(OneStrip(20, false), true, stops,
                          [](sim::SimDriver& d, AcquisitionThread& t, PauseSignallingClock&) {
                            d.Stall(0, std::chrono::hours(1));
                            WaitUntil([&] { return Connected(t) && d.PendingReadCount() == 1; });
                          }),
                  10.0});
  rows.push_back({"in the 2 ms pause before a read",
                  Measure(OneStrip(20, false), true, stops,
                          [](sim::SimDriver&, AcquisitionThread& t, PauseSignallingClock& c) {
                            WaitUntil([&] { return Connected(t); });
                            c.AwaitPause();
                          }),
                  10.0});
  rows.push_back({"behind a slow control reply (100 ms)",
                  Measure(OneStrip(20, true), true, stops,
                          [](sim::SimDriver& d, AcquisitionThread&, PauseSignallingClock&) {
                            WaitUntil([&] { return d.PendingControlCount() == 1; });
                          }),
                  10.0});  // the stop withdraws the request: nothing of its 100 ms is waited out

  const double floor = BareThreadStopMs(stops);
  std::printf("stop latency over %d stops per state (ms, from Stop() to the joined thread)\n", stops);
  bool ok = true;
  double worst = 0.0;
  for (const Row& row : rows) {
    const bool within = row.figures.max <= row.bound;
    ok = ok && within;
    worst = std::max(worst, row.figures.max);
    std::printf("  %-40s median %7.3f  p99 %7.3f  max %7.3f  (bound %.0f: %s)\n", row.name, row.figures.median,
                row.figures.p99, row.figures.max, row.bound, within ? "ok" : "OVER");
  }
  std::printf("  %-40s median %7.3f\n", "floor: a bare thread woken and joined", floor);
  // Every stop, whatever the thread was doing, within 50 ms.
  ok = bench::VerdictWithin("stop_latency_worst", worst, floor, "ms", 50.0) && ok;
  return ok ? 0 : 1;
}
