// Soak run: a million readings (or as many as asked) through the real client
// against unpaced simulated strips, every summary reading logged, while a
// control loop switches views and quantities, clicks the Log box and plugs and
// unplugs strips. Prints readings, records, resident memory, open file
// descriptors and elapsed time at start, periodically and at the end, and
// fails when memory or descriptors grew, a handle or file was left open, the
// files do not hold exactly the records counted, or readings stop flowing.
//
//   kvx_soak [READINGS, default 1000000] [--quick]   (--quick: 100000 readings, for CI)
//
// The log files go to a fresh directory under $TMPDIR (or /tmp), removed at the end.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/acquisition_thread.h"
#include "acquisition/control_ids.h"
#include "app/client.h"
#include "app/headless.h"
#include "device/sim/sim_driver.h"
#include "recording/csv_recorder.h"
#include "soak_support.h"
#include "ui/panel_handlers.h"

namespace {

using namespace kvx;
using namespace kvx::soak;

constexpr std::uint32_t SERIAL = 0x1A2B3;  // strip 0 of the default scenario, the one polled
constexpr std::size_t POLLED_STRIP = 0;
constexpr std::size_t OTHER_STRIP = 1;
// No reading for this long (outside a planned unplug) fails the run.
constexpr auto STALL_LIMIT = std::chrono::seconds(60);

struct Plan {
  std::uint64_t readings = 1000000;
  std::uint64_t switchEvery = 3000;  // readings between two view or quantity changes
  std::uint64_t plugEvery = 100000;  // readings between two unplug-and-plug cycles
  // The memory baseline is taken after the first tenth; figures are printed every tenth.
  std::uint64_t warmUp() const { return readings / 10; }
  std::uint64_t reportEvery() const { return std::max<std::uint64_t>(readings / 10, 1000); }
};

// Digits, optionally grouped with ',' or '_' ("1,000,000"); nullopt otherwise or on overflow.
std::optional<std::uint64_t> ParseCount(const std::string& text) {
  std::uint64_t value = 0;
  bool digits = false;
  for (char c : text) {
    if (c == ',' || c == '_') continue;
    if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10) return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    digits = true;
  }
  return digits ? std::optional<std::uint64_t>(value) : std::nullopt;
}

std::optional<Plan> ParsePlan(int argc, char** argv) {
  Plan plan;
  std::optional<std::uint64_t> count;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      plan = Plan{100000, 2000, 20000};
    } else if (const auto n = ParseCount(arg)) {
      count = n;
    } else {
      return std::nullopt;
    }
  }
  if (count) plan.readings = *count;
  if (plan.readings < 1000) return std::nullopt;
  return plan;
}

// The passing of time as the client sees it, except that sleeping only
// yields: the 2 ms read cadence and the 1 ms idle pass would otherwise cap
// the run at 500 readings a second. Ticks and wall-clock time stay real, so
// the one-second environment refresh and the file names behave as in use.
class YieldingClock final : public Clock {
 public:
  std::uint32_t TickCount() override { return real_.TickCount(); }
  void Sleep(std::uint32_t) override { std::this_thread::yield(); }
  LocalTime Now() override { return real_.Now(); }

 private:
  SystemClock real_;
};

sim::Scenario UnpacedScenario() {
  sim::Scenario scenario = sim::DefaultScenario();
  for (sim::StripSpec& strip : scenario.strips) {
    strip.summaryIntervalMs = 0;
    strip.waveformIntervalMs = 0;
  }
  scenario.timeline.clear();
  return scenario;
}

// What the window does when the user picks a view or a quantity, or clicks
// the Log box: the window's own handlers (the ones its buttons run) on the
// shared records, closing the files through the recorder as the window does.
class WindowActions {
 public:
  explicit WindowActions(Client& client)
      : state_(client.state()), handlers_(client.state(), [&client] {
          client.recorder().CloseLogFiles(CloseReason::LogSwitchedOff);
        }) {}

  // The calculation panel with one quantity: all outlets, the Log box usable.
  void ShowSummary(std::uint8_t quantity) {
    const bool power = quantity == protocol::QUANTITY_POWER;
    state_.controls.Enable(ids::LOG_CHECK, true);
    handlers_.Click(power ? ids::CALC_POWER_RADIO : ids::CALC_CURRENT_RADIO);
  }

  // One outlet's waveform: the Log box stays as it is but cannot be changed.
  void ShowWaveform(int outlet) {
    state_.selectedOutlet.store(static_cast<std::uint8_t>(outlet));
    state_.controls.Enable(ids::LOG_CHECK, false);
    handlers_.OnClearDisplay();
  }

  // A click on the Log box and its handler (which closes the files when unchecked).
  void ClickLog() { handlers_.Click(ids::LOG_CHECK); }

 private:
  AppState& state_;
  ui::PanelHandlers handlers_;
};

// The unplug/plug timeline: odd cycles pull the polled strip (its connection
// ends, the client idles, and is pointed at it again once it is back, as
// headless mode does), even cycles pull the other strip (only the device
// count changes) while readings go on.
class PlugTimeline {
 public:
  PlugTimeline(sim::SimDriver& driver, const Plan& plan) : driver_(driver), plan_(plan) {}

  void Step(std::uint64_t readings) {
    using std::chrono::steady_clock;
    if (unplugged_) {
      if (steady_clock::now() < plugAt_) return;
      driver_.Plug(*unplugged_);
      unplugged_.reset();
      ++plugs_;
      return;
    }
    if (readings < nextAt_) return;
    nextAt_ += plan_.plugEvery;
    unplugged_ = (cycle_++ % 2 == 0) ? POLLED_STRIP : OTHER_STRIP;
    driver_.Unplug(*unplugged_);
    plugAt_ = steady_clock::now() + std::chrono::milliseconds(50);
  }

  // Puts back a strip still out, so the run ends with both present.
  void Finish() {
    if (!unplugged_) return;
    driver_.Plug(*unplugged_);
    unplugged_.reset();
    ++plugs_;
  }

  bool PolledStripOut() const { return unplugged_ == POLLED_STRIP; }
  int plugs() const { return plugs_; }

 private:
  sim::SimDriver& driver_;
  const Plan plan_;
  std::uint64_t nextAt_ = plan_.plugEvery;
  std::optional<std::size_t> unplugged_;
  std::chrono::steady_clock::time_point plugAt_{};
  int cycle_ = 0;
  int plugs_ = 0;
};

// The view/quantity/Log timeline: summary (current), outlet 1, summary
// (power), outlet 2, ... with a Log box click-off and click-on now and then.
class ViewTimeline {
 public:
  ViewTimeline(WindowActions& window, const Plan& plan) : window_(window), plan_(plan) {}

  void Step(std::uint64_t readings) {
    if (readings < nextAt_) return;
    nextAt_ += plan_.switchEvery;
    ++step_;
    if (step_ % 2 == 1) {
      window_.ShowWaveform(static_cast<int>((step_ / 2) % 4) + 1);
      return;
    }
    window_.ShowSummary((step_ / 2) % 2 == 1 ? protocol::QUANTITY_POWER : protocol::QUANTITY_CURRENT);
    // Every fifth summary view runs with logging off: the box is clicked off
    // as it opens and clicked on again as the next summary view opens.
    const std::uint64_t summaryView = step_ / 2;
    if (summaryView % 5 == 4 || (summaryView % 5 == 0 && summaryView > 0)) window_.ClickLog();
  }

  std::uint64_t switches() const { return step_; }

 private:
  WindowActions& window_;
  const Plan plan_;
  std::uint64_t nextAt_ = plan_.switchEvery;
  std::uint64_t step_ = 0;
};

// The run itself: the client polling strip 0 with every summary reading
// logged, the two timelines driven from this thread (the window's thread in
// the real program), figures taken about every millisecond.
class SoakRun {
 public:
  SoakRun(const Plan& plan, const std::string& logDir, std::chrono::steady_clock::time_point t0, SoakResult& result)
      : plan_(plan),
        t0_(t0),
        driver_(UnpacedScenario()),
        client_(driver_, clock_, logDir),
        result_(result) {}

  // Empty on success, else why the run was given up.
  std::string Run() {
    // Record interval 0 (every summary reading), no split, logging on from the start.
    char line[64];
    std::snprintf(line, sizeof line, "%X 0 0 1 0", SERIAL);
    if (!client_.ApplyCommandLine(line).ok) return "the command line was refused";
    HeadlessSession session(client_, std::cout, std::cerr, false);
    // Every announcement counted, beside the client's own subscriptions.
    std::vector<device::Driver::SubscriptionId> counters;
    for (std::string_view guid : {device::primaryInterfaceGuid, device::fallbackInterfaceGuid}) {
      counters.push_back(driver_.Subscribe(guid, [this](const device::DeviceEvent&) { announced_.fetch_add(1); }));
    }
    client_.RegisterNotifications(&session, [&session](std::function<void()> job) { session.Post(std::move(job)); });
    client_.SetInitialControlStates();
    std::string failure = client_.StartAcquisition(session) ? Loop(session) : "the acquisition thread did not start";
    if (failure.empty()) Collect(session);
    // Before the session goes: the thread and the notifications refer to it.
    client_.Shutdown();
    for (const auto id : counters) driver_.Unsubscribe(id);
    result_.records = client_.recorder().Status().recordsWritten;
    return failure;
  }

  // Simulated driver handles still open (call after Run).
  int OpenHandles() const { return driver_.OpenHandleCount(); }

 private:
  Figures Take() {
    return Figures{client_.acquisition()->Status().readings, client_.recorder().Status().recordsWritten,
                   ResidentKiB(), OpenFdCount(), Elapsed()};
  }
  double Elapsed() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count(); }

  std::string Loop(HeadlessSession& session) {
    WindowActions window(client_);
    ViewTimeline views(window, plan_);
    bool haveBaseline = false;
    std::uint64_t nextReport = plan_.reportEvery();
    std::uint64_t lastReadings = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      session.Tick();  // new device lists from the recount, and re-selection of the strip
      const Figures now = Take();
      result_.peakFds = std::max(result_.peakFds, now.fds);
      const auto wallNow = std::chrono::steady_clock::now();
      if (now.readings != lastReadings || plugs_.PolledStripOut()) lastProgress = wallNow;
      lastReadings = now.readings;
      if (wallNow - lastProgress > STALL_LIMIT) {
        PrintFigures("stalled", now);
        return "no reading for a minute";
      }
      if (!haveBaseline && now.readings >= plan_.warmUp()) {
        haveBaseline = true;
        result_.baseline = now;
        PrintFigures("baseline", now);
      }
      if (now.readings >= nextReport) {
        nextReport += plan_.reportEvery();
        PrintFigures("progress", now);
      }
      if (now.readings >= plan_.readings) {
        result_.end = now;
        PrintFigures("end", now);
        result_.switches = views.switches();
        return {};
      }
      views.Step(now.readings);
      plugs_.Step(now.readings);
    }
  }

  // Both strips back and every announcement handled before the counts are taken.
  void Collect(HeadlessSession& session) {
    plugs_.Finish();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (announced_.load() != 2 * plugs_.plugs() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    session.Tick();
    const AcquisitionStatus acquisition = client_.acquisition()->Status();
    result_.connections = acquisition.connections;
    result_.frames = acquisition.waveformFrames;
    result_.plugCycles = plugs_.plugs();
    result_.announcedEvents = announced_.load();
    result_.recorderError = client_.recorder().Status().lastError;
  }

  const Plan plan_;
  const std::chrono::steady_clock::time_point t0_;
  YieldingClock clock_;
  sim::SimDriver driver_;
  Client client_;
  PlugTimeline plugs_{driver_, plan_};
  std::atomic<int> announced_{0};
  SoakResult& result_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Plan> parsed = ParsePlan(argc, argv);
  if (!parsed) {
    std::fprintf(stderr, "usage: kvx_soak [READINGS (>= 1000), default 1000000] [--quick]\n");
    return 2;
  }
  const Plan plan = *parsed;
  TempDirectory logDir("kvx_soak");
  if (!logDir.ok()) return Fail("cannot create a temporary directory: " + logDir.error());
  std::printf("soak: %llu readings, logs in %s, view change every %llu, plug cycle every %llu readings\n",
              static_cast<unsigned long long>(plan.readings), logDir.path().c_str(),
              static_cast<unsigned long long>(plan.switchEvery), static_cast<unsigned long long>(plan.plugEvery));
  const auto t0 = std::chrono::steady_clock::now();
  SoakResult result;
  result.target = plan.readings;
  result.start = Figures{0, 0, ResidentKiB(), OpenFdCount(), 0.0};
  result.peakFds = result.start.fds;
  PrintFigures("start", result.start);
  {
    SoakRun run(plan, logDir.path(), t0, result);
    const std::string failure = run.Run();
    if (!failure.empty()) return Fail(failure);
    result.openHandles = run.OpenHandles();
  }
  result.fdsAfter = OpenFdCount();
  result.files = CountLogFiles(logDir.path());
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return Judge(result);
}
