// CPU cost of the whole acquisition path, next to a floor measured in the same
// run. The path is the real client against an unpaced simulated strip: the
// acquisition thread with its 2 ms read cadence, the measurement, the CSV
// recorder writing every summary reading to real files in a scratch directory,
// and the real waveform graph drawing every frame. The floor is the least any
// reader could spend on a reading: a loop doing one wake-up (the same 2 ms
// sleep) and one write(2) of a record-sized line to a file, nothing else.
//
// Printed: CPU microseconds per summary reading (logged) and per waveform frame
// (32 readings, drawn), the floor per reading and per 32 readings, and the
// ratio of each to its floor. Exits 1 when a ratio exceeds --max-ratio (1.5
// for a logged summary reading: at most half as much again as the floor).
//
//   kvx_acquisition_bench [--seconds=S per phase, default 2] [--rounds=N, default 3] [--max-ratio=R, default 1.5]
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "acquisition/acquisition_thread.h"
#include "acquisition/control_ids.h"
#include "app/client.h"
#include "device/sim/sim_driver.h"
#include "graph/waveform_graph.h"
#include "recording/csv_recorder.h"
#include "soak_support.h"
#include "verdict.h"

namespace {

using namespace kvx;
using Seconds = std::chrono::duration<double>;

constexpr std::uint32_t SERIAL = 0x1A2B3;
constexpr int READINGS_PER_FRAME = 32;

struct Options {
  double seconds = 2.0;
  int rounds = 3;
  double maxRatio = 1.5;
};

bool ParseOptions(int argc, char** argv, Options& out) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](const char* name) -> const char* {
      const std::size_t n = std::strlen(name);
      return arg.compare(0, n, name) == 0 ? arg.c_str() + n : nullptr;
    };
    if (const char* v = value("--seconds=")) {
      out.seconds = std::atof(v);
    } else if (const char* v = value("--rounds=")) {
      out.rounds = std::atoi(v);
    } else if (const char* v = value("--max-ratio=")) {
      out.maxRatio = std::atof(v);
    } else {
      return false;
    }
  }
  return out.seconds > 0.0 && out.rounds > 0 && out.maxRatio > 0.0;
}

double CpuSeconds(clockid_t which) {
  timespec ts{};
  clock_gettime(which, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

sim::Scenario UnpacedScenario() {
  sim::StripSpec strip;
  strip.serial = SERIAL;
  strip.summaryIntervalMs = 0;
  strip.waveformIntervalMs = 0;
  strip.outlets = {sim::LoadSpec::Heater(1000.0), sim::LoadSpec::Smps(150.0),
                   sim::LoadSpec::Compressor(400.0, 40.0, 0, 1.0), sim::LoadSpec::Heater(60.0)};
  sim::Scenario scenario;
  scenario.strips.push_back(strip);
  return scenario;
}

// CPU microseconds of one iteration of the floor loop: one 2 ms wake-up and
// one write of a record-sized line, on this thread.
double FloorMicrosPerReading(const std::string& directory, double seconds) {
  const std::string path = directory + "/floor.csv";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 0.0;
  static const char line[] = "2026/12/07 10:15:00,on,12000,02326,01958,00000,100,50.00,25.34\r\n";
  SystemClock clock;
  std::uint64_t iterations = 0;
  const double cpu0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
  const auto end = std::chrono::steady_clock::now() + Seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    clock.Sleep(2);
    if (::write(fd, line, sizeof line - 1) != static_cast<ssize_t>(sizeof line - 1)) break;
    ++iterations;
  }
  const double cpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
  ::close(fd);
  ::unlink(path.c_str());
  return iterations ? cpu * 1e6 / static_cast<double>(iterations) : 0.0;
}

class NoWindow final : public WindowLink {
 public:
  void AddStripToTree(const std::string&, int) override {}
  void RegisterInterfaceNotifications() override {}
  void ClickDeviceTree() override {}
};

// The whole client polling the strip, every summary reading logged. This
// thread only sleeps while it measures, so the process's CPU time is the
// acquisition thread's (with the simulated strip it reads from).
class Path {
 public:
  explicit Path(const std::string& directory) : driver_(UnpacedScenario()), client_(driver_, clock_, directory) {}

  bool Start() {
    if (!client_.ApplyCommandLine("1A2B3 0 0 1 0").ok) return false;
    client_.SetInitialControlStates();
    client_.state().controls.SetCheck(ids::AVERAGE_CHECK, true);
    client_.graph().CreateGraphBitmap();
    if (!client_.StartAcquisition(window_)) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (client_.acquisition()->Status().readingsAccepted < 10) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  // CPU microseconds per summary reading, each one written to the CSV file.
  double SummaryMicros(double seconds) {
    client_.state().selectedOutlet.store(0);
    return Measure(seconds, [this] { return client_.recorder().Status().recordsWritten; });
  }

  // CPU microseconds per complete waveform frame, each one drawn.
  double FrameMicros(double seconds) {
    client_.state().selectedOutlet.store(1);
    return Measure(seconds, [this] { return client_.acquisition()->Status().waveformFrames; });
  }

  void Stop() { client_.Shutdown(); }

 private:
  template <typename Count>
  double Measure(double seconds, Count count) {
    // Let the selection change reach the strip and the first units arrive.
    const std::uint64_t before = count();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (count() < before + 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::uint64_t first = count();
    const double cpu0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    std::this_thread::sleep_for(Seconds(seconds));
    const double cpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    const std::uint64_t units = count() - first;
    return units ? cpu * 1e6 / static_cast<double>(units) : 0.0;
  }

  SystemClock clock_;
  sim::SimDriver driver_;
  Client client_;
  NoWindow window_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: kvx_acquisition_bench [--seconds=S] [--rounds=N] [--max-ratio=R]\n");
    return 2;
  }
  soak::TempDirectory scratch("kvx_bench");
  if (!scratch.ok()) {
    std::fprintf(stderr, "kvx_acquisition_bench: %s\n", scratch.error().c_str());
    return 1;
  }
  Path path(scratch.path());
  if (!path.Start()) {
    std::fprintf(stderr, "kvx_acquisition_bench: the client did not start polling\n");
    return 1;
  }
  // The phases alternate, so that a noisy neighbour hits all of them alike.
  double floor = 0.0, summary = 0.0, frame = 0.0;
  for (int round = 1; round <= options.rounds; ++round) {
    const double f = FloorMicrosPerReading(scratch.path(), options.seconds);
    const double s = path.SummaryMicros(options.seconds);
    const double w = path.FrameMicros(options.seconds);
    std::printf("round %d: floor %.1f us/reading, summary %.1f us/reading, waveform %.1f us/frame\n", round, f, s, w);
    floor += f / options.rounds;
    summary += s / options.rounds;
    frame += w / options.rounds;
  }
  path.Stop();
  const std::uint64_t written = soak::CountLogFiles(scratch.path()).recordLines;

  const double frameFloor = floor * READINGS_PER_FRAME;
  const double summaryRatio = floor > 0.0 ? summary / floor : 0.0;
  const double frameRatio = frameFloor > 0.0 ? frame / frameFloor : 0.0;
  std::printf("CSV records written in the run:        %8llu\n", static_cast<unsigned long long>(written));
  std::printf("floor (2 ms wake-up + write):          %8.1f us CPU per reading\n", floor);
  std::printf("summary reading, logged:               %8.1f us CPU   ratio %5.2f\n", summary, summaryRatio);
  std::printf("floor x %d readings:                   %8.1f us CPU per frame\n", READINGS_PER_FRAME, frameFloor);
  std::printf("waveform frame, drawn:                 %8.1f us CPU   ratio %5.2f\n", frame, frameRatio);
  const bool summaryOk = bench::Verdict("acquisition_summary_cpu", summary, floor, "us/reading", options.maxRatio);
  const bool frameOk = bench::Verdict("acquisition_frame_cpu", frame, frameFloor, "us/frame", options.maxRatio);
  const bool ok = summaryOk && frameOk && written > 0;
  return ok ? 0 : 1;
}
