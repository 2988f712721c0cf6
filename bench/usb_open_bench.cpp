// Time to enumerate and open emulated strips over the USB backend: 1, 4 and
// 16 strips (or the counts given), each count in a fresh kvx-usb-emulator.
// The emulated node is a plain file (libusb polls it busily), so these are
// figures of the backend plus emulation, not of a real bus.
//
//   kvx_usb_open_bench EMULATOR [COUNT...]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <map>
#include <vector>

#include "device/device_access.h"
#include "device/usb/usb_options.h"
#include "verdict.h"

namespace {

using namespace kvx;
using Ms = std::chrono::duration<double, std::milli>;
constexpr int ROUNDS = 5;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Under the emulator: the figures of one strip count.
int Measure(int count) {
  std::vector<double> init, list, discover, open;
  for (int round = 0; round < ROUNDS; ++round) {
    const auto t0 = std::chrono::steady_clock::now();
    usb::UsbOptions options;
    options.primaryIds = {{0x1209, 0x0001}};
    std::string error;
    auto driver = usb::MakeUsbDriver(options, error);
    if (!driver) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    const auto t1 = std::chrono::steady_clock::now();
    auto set = driver->GetClassDevs(device::primaryInterfaceGuid);
    const auto t2 = std::chrono::steady_clock::now();
    device::DeviceAccess access(*driver);
    const int found = access.RebuildDeviceList();  // opens each strip and asks its serial number
    const auto t3 = std::chrono::steady_clock::now();
    std::vector<device::Handle> pipes;
    for (const device::DeviceEntry& entry : *access.List()) pipes.push_back(driver->Open(entry.devicePath + "\\PIPE00"));
    const auto t4 = std::chrono::steady_clock::now();
    for (device::Handle pipe : pipes) driver->Close(pipe);
    if (found != count || std::count(pipes.begin(), pipes.end(), device::INVALID_HANDLE_VALUE) != 0) {
      std::fprintf(stderr, "found %d strips of %d\n", found, count);
      return 1;
    }
    init.push_back(Ms(t1 - t0).count());
    list.push_back(Ms(t2 - t1).count());
    discover.push_back(Ms(t3 - t2).count());
    open.push_back(Ms(t4 - t3).count());
  }
  std::printf("%2d strips: libusb start %7.2f ms, list %7.2f ms, discover (open + serial each) %7.2f ms, "
              "open all pipes (claim) %7.2f ms  [median of %d]\n",
              count, Median(init), Median(list), Median(discover), Median(open), ROUNDS);
  std::printf("MEASURE %d %.6f\n", count, Median(discover) + Median(open));
  return 0;
}

std::string WriteScenario(int count) {
  const std::string path = "/tmp/kvx_usb_bench_" + std::to_string(::getpid()) + "_" + std::to_string(count) + ".json";
  std::ofstream out(path);
  out << "{\"strips\": [";
  for (int i = 0; i < count; ++i) out << (i ? ", " : "") << "{\"serial\": " << 0x10001 + i << "}";
  out << "]}\n";
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--measure") return Measure(std::atoi(argv[2]));
  if (argc < 2) {
    std::fprintf(stderr, "usage: kvx_usb_open_bench EMULATOR [COUNT...]\n");
    return 2;
  }
  std::vector<int> counts;
  for (int i = 2; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {1, 4, 16};
  // Discovering and opening n strips against n times one strip: each strip
  // costs what one alone does (nothing grows with the number plugged in).
  std::map<int, double> perCount;
  for (int count : counts) {
    const std::string scenario = WriteScenario(count);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string command = std::string(argv[1]) + " --scenario=" + scenario + " -- " + self + " --measure " +
                                std::to_string(count);
    FILE* pipe = ::popen(command.c_str(), "r");
    char line[512];
    while (pipe && std::fgets(line, sizeof line, pipe)) {
      int n = 0;
      double ms = 0;
      if (std::sscanf(line, "MEASURE %d %lf", &n, &ms) == 2) perCount[n] = ms;
      else std::fputs(line, stdout);
    }
    const int status = pipe ? ::pclose(pipe) : -1;
    std::remove(scenario.c_str());
    if (status != 0) return 1;
  }
  if (perCount.size() < 2 || !perCount.count(1)) return 0;
  const auto& [most, figure] = *perCount.rbegin();
  const std::string name = "usb_open_" + std::to_string(most) + "_strips";
  return kvx::bench::Verdict(name.c_str(), figure, perCount[1] * most, "ms") ? 0 : 1;
}
