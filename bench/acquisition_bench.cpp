// Throughput of the acquisition path against an unpaced simulated strip,
// compared in the same run with a bare read loop of the same 2 ms cadence,
// and the CPU time of the measurement processing itself.
//
//   kvx_acquisition_bench [seconds per round, default 2] [rounds, default 3]
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "acquisition/acquisition_thread.h"
#include "acquisition/control_ids.h"
#include "acquisition/measurement.h"
#include "device/sim/sim_driver.h"

namespace {

using namespace kvx;
using Seconds = std::chrono::duration<double>;

constexpr std::uint32_t SERIAL = 0x1A2B3;

class NullRecorder : public MeasurementRecorder {
 public:
  void StartTimers(std::uint32_t) override {}
  void SetConnectionIdentity(const ConnectionIdentity&) override {}
  void LogSummaryReading(std::uint32_t, const LocalTime&, int, bool, const std::array<double, 4>& present, double,
                         double, double) override {
    sink += present[0];
  }
  void CloseLogFiles() override {}
  double sink = 0.0;
};

class NullGraph : public WaveformSink {
 public:
  void DrawWaveform(const std::array<double, protocol::WAVEFORM_SAMPLES>& frame, double, double) override {
    sink += frame[0];
  }
  double sink = 0.0;
};

class NullWindow : public WindowLink {
 public:
  void AddStripToTree(const std::string&, int) override {}
  void RegisterInterfaceNotifications() override {}
  void ClickDeviceTree() override {}
};

sim::Scenario UnpacedScenario() {
  sim::StripSpec strip;
  strip.serial = SERIAL;
  strip.summaryIntervalMs = 0;
  strip.waveformIntervalMs = 0;
  strip.outlets = {sim::LoadSpec::Heater(1000.0), sim::LoadSpec::Smps(150.0), sim::LoadSpec::Compressor(400.0, 40.0, 0, 1.0),
                   sim::LoadSpec::Heater(60.0)};
  sim::Scenario scenario;
  scenario.strips.push_back(strip);
  return scenario;
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Readings per second of a loop that only sleeps 2 ms and reads, as the
// acquisition thread's read loop does, without any processing.
double BareReadsPerSecond(sim::SimDriver& driver, double seconds) {
  device::DeviceAccess device(driver);
  device.RebuildDeviceList();
  device.setSelectedSerial(static_cast<std::int32_t>(SERIAL));
  const device::Handle pipe = device.OpenPipe(protocol::PIPE_NAME);
  if (pipe == device::INVALID_HANDLE_VALUE) return 0.0;
  device.SendSetEvent(pipe, 1);
  device.VendorRequestOut(protocol::REQUEST_TYPE_OUT, protocol::REQ_SELECT_OUTLET, 0, 0, 0);
  device.VendorRequestOut(protocol::REQUEST_TYPE_OUT, protocol::REQ_SELECT_QUANTITY, protocol::QUANTITY_CURRENT, 0, 0);
  SystemClock clock;
  protocol::ReadingBytes buffer{};
  std::uint64_t readings = 0;
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + Seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    clock.Sleep(2);
    const auto n = device.ReadReading(pipe, buffer);
    if (!n) break;
    if (*n > 0) ++readings;
  }
  const double elapsed = Seconds(std::chrono::steady_clock::now() - start).count();
  device.SendStop(pipe);
  device.ClosePipe(pipe);
  return static_cast<double>(readings) / elapsed;
}

// Readings per second through the whole acquisition thread: selections,
// reads, line quantities, summary processing with averaging, label writes.
double FullPathReadsPerSecond(sim::SimDriver& driver, double seconds) {
  AppState state(driver);
  NullRecorder recorder;
  NullGraph graph;
  NullWindow window;
  AcquisitionThread thread(state, recorder, graph, window, DefaultClock());
  state.SetStartupValues(StartupValues{SERIAL, 1, 1, 0, 0});
  state.controls.SetCheck(ids::AVERAGE_CHECK, true);
  state.threadRunFlag.store(1);
  state.readLoopRunFlag.store(1);
  if (!thread.Start()) return 0.0;
  // Measure once the connection is open and readings flow.
  while (thread.Status().readingsAccepted < 10) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const std::uint64_t first = thread.Status().readings;
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(Seconds(seconds));
  const std::uint64_t last = thread.Status().readings;
  const double elapsed = Seconds(std::chrono::steady_clock::now() - start).count();
  thread.Stop();
  return static_cast<double>(last - first) / elapsed;
}

// CPU time of ProcessSummaryReading per 1,000 readings (averaging on, labels written).
double SummaryCpuMicrosPerThousand(sim::SimDriver& driver) {
  AppState state(driver);
  NullRecorder recorder;
  NullGraph graph;
  Measurement measurement(state, recorder, graph);
  state.controls.SetCheck(ids::AVERAGE_CHECK, true);
  ResetStatistics(state.measurement);
  constexpr int COUNT = 200000;
  const double start = ThreadCpuSeconds();
  for (int i = 0; i < COUNT; ++i) {
    const auto v = static_cast<std::uint16_t>(1000 + (i * 37) % 5000);
    measurement.ProcessSummaryReading(protocol::Reading{0x80, 0x30, {v, static_cast<std::uint16_t>(v / 2), 0, 65535}},
                                      static_cast<std::uint32_t>(i));
  }
  return (ThreadCpuSeconds() - start) * 1e6 / (COUNT / 1000.0);
}

// CPU time of ProcessWaveformPacket per 100 complete frames (32 packets each).
double WaveformCpuMillisPerHundred(sim::SimDriver& driver, bool power) {
  AppState state(driver);
  NullRecorder recorder;
  NullGraph graph;
  Measurement measurement(state, recorder, graph);
  measurement.SetCalibration({protocol::ChannelCalibration{1000, 1200, 5, 2000, 1000, 1100, 0},
                              protocol::ChannelCalibration{}, protocol::ChannelCalibration{},
                              protocol::ChannelCalibration{}});
  measurement.SetLineValues(LineValues{100.0, 50.0, 25.0});
  state.controls.Click(power ? ids::WAVE_POWER_RADIO : ids::WAVE_CURRENT_RADIO);
  // A few slightly different frames, built before the clock starts.
  constexpr int VARIANTS = 7;
  std::array<std::array<protocol::Reading, protocol::WAVEFORM_PACKETS>, VARIANTS> packets{};
  for (int f = 0; f < VARIANTS; ++f) {
    for (int p = 1; p <= protocol::WAVEFORM_PACKETS; ++p) {
      protocol::Reading& r = packets[static_cast<std::size_t>(f)][static_cast<std::size_t>(p - 1)];
      r = protocol::Reading{static_cast<std::uint8_t>(p), 0x01, {}};
      for (int j = 0; j < 4; ++j) {
        const double phase = (4 * (p - 1) + j + 1) * 0.04908738521875;
        r.value[static_cast<std::size_t>(j)] = static_cast<std::uint16_t>(32768 + (2000 + 10 * f) * std::sin(phase));
      }
    }
  }
  constexpr int FRAMES = 20000;
  const double start = ThreadCpuSeconds();
  for (int f = 0; f < FRAMES; ++f)
    for (const protocol::Reading& r : packets[static_cast<std::size_t>(f % VARIANTS)]) measurement.ProcessWaveformPacket(r);
  return (ThreadCpuSeconds() - start) * 1e3 / (FRAMES / 100.0);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  sim::SimDriver driver(UnpacedScenario());

  // Alternate the two loops so that a noisy neighbour hits both alike.
  double bare = 0.0;
  double full = 0.0;
  for (int round = 0; round < rounds; ++round) {
    const double b = BareReadsPerSecond(driver, seconds);
    const double f = FullPathReadsPerSecond(driver, seconds);
    std::printf("round %d: bare read loop %.1f readings/s, acquisition path %.1f readings/s\n", round + 1, b, f);
    bare += b;
    full += f;
  }
  bare /= rounds;
  full /= rounds;
  const double ratio = bare > 0.0 ? full / bare : 0.0;
  std::printf("bare read loop (2 ms cadence):         %8.1f readings/s\n", bare);
  std::printf("acquisition + measurement, averaging:  %8.1f readings/s\n", full);
  std::printf("ratio acquisition / bare:              %8.3f  (%s, required >= 0.97)\n", ratio,
              ratio >= 0.97 ? "ok" : "BELOW");

  std::printf("CPU per 1,000 summary readings:        %8.1f us\n", SummaryCpuMicrosPerThousand(driver));
  std::printf("CPU per 100 waveform frames, current:  %8.3f ms\n", WaveformCpuMillisPerHundred(driver, false));
  std::printf("CPU per 100 waveform frames, power:    %8.3f ms\n", WaveformCpuMillisPerHundred(driver, true));
  return ratio >= 0.97 ? 0 : 1;
}
