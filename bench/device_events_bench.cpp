// What one strip arrival costs the thread that owns the window, against the
// simulated strips: the recount and the new list's enumeration (which that
// thread used to run itself and which now run on the client's worker) and the
// apply of the new list (all that is left on it), plus the whole way from the
// event to the applied list. Medians and maxima over the rounds.
//
//   kvx_device_events_bench [rounds, default 200]
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <vector>

#include "app/client.h"
#include "app/device_recount.h"
#include "device/sim/sim_driver.h"
#include "verdict.h"

namespace {

using namespace kvx;
using Micros = std::chrono::duration<double, std::micro>;
using SteadyClock = std::chrono::steady_clock;

class NoTree : public TreeRebuildTarget {
 public:
  void DeleteAllStripItems() override {}
  void AddStripToTree(const std::string&, int) override {}
};

sim::Scenario Strips(int count) {
  sim::Scenario scenario;
  for (int k = 0; k < count; ++k) {
    sim::StripSpec strip;
    strip.serial = 0x10000u + static_cast<std::uint32_t>(k);
    scenario.strips.push_back(strip);
  }
  return scenario;
}

// Prints the figures; returns the median.
double Print(const char* what, int strips, std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  std::printf("%-44s %d strips: median %9.1f us, max %9.1f us\n", what, strips, samples[samples.size() / 2],
              samples.back());
  return samples[samples.size() / 2];
}

// The medians of one strip count: what the window thread ran before (the
// floor it must stay well under) and what it runs now.
struct Medians {
  double before = 0.0;
  double now = 0.0;
};

Medians Measure(int strips, int rounds) {
  sim::SimDriver driver(Strips(strips));
  Client client(driver, DefaultClock(), ".");
  device::DeviceAccess& device = client.state().device;
  NoTree tree;
  std::vector<double> enumerate, apply, whole;
  for (int round = 0; round < rounds; ++round) {
    const auto t0 = SteadyClock::now();
    device.CountDevices();
    auto list = std::make_shared<device::DeviceList>();
    const int count = device.Discover(*list);
    const auto t1 = SteadyClock::now();
    client.ApplyDeviceListUpdate(DeviceListUpdate{std::move(list), count}, &tree);
    const auto t2 = SteadyClock::now();
    enumerate.push_back(Micros(t1 - t0).count());
    apply.push_back(Micros(t2 - t1).count());
  }
  // The way through the worker: forget the list so that every pass rebuilds,
  // then run the apply that the worker hands over, as the window's loop does.
  std::mutex mutex;
  std::condition_variable handedOver;
  std::function<void()> handed;
  DeviceRecount recount(
      device,
      [&](std::function<void()> job) {
        std::lock_guard lock(mutex);
        handed = std::move(job);
        handedOver.notify_one();
      },
      [&](const DeviceListUpdate& update) { client.ApplyDeviceListUpdate(update, &tree); });
  for (int round = 0; round < rounds; ++round) {
    device.InstallDeviceList(nullptr, 0);
    const auto t0 = SteadyClock::now();
    recount.Request();
    std::function<void()> job;
    {
      std::unique_lock lock(mutex);
      handedOver.wait(lock, [&] { return handed != nullptr; });
      job = std::move(handed);
      handed = nullptr;
    }
    job();
    whole.push_back(Micros(SteadyClock::now() - t0).count());
  }
  Medians medians;
  medians.before = Print("window thread before: recount + enumeration", strips, enumerate);
  medians.now = Print("window thread now: apply of the new list", strips, apply);
  Print("event to applied list, through the worker", strips, whole);
  return medians;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  Medians six;
  for (int strips : {2, 6}) six = Measure(strips, rounds);
  // What stays on the window thread is at most half of what it used to run.
  return kvx::bench::Verdict("device_arrival_window_thread", six.now, six.before, "us", 0.5) ? 0 : 1;
}
