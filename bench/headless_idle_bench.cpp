// What the headless program costs while it waits: CPU-seconds per minute and
// wake-ups per second (context switches of all its threads), in one run for
//   - the program idle, its only strip unplugged, against a floor: a loop
//     that wakes once a second (the status line) and writes a line;
//   - the program logging a strip paced at 250 ms (the simulator's default)
//     once a second, against a floor: a loop that wakes for each reading and
//     writes a record once a second.
// Each figure is judged against its floor (at most 2x); exit status 1 past it.
// CPU time comes from /proc/<pid>/task/*/schedstat (nanoseconds), wake-ups
// from voluntary_ctxt_switches + nonvoluntary_ctxt_switches of each task.
//
//   kvx_headless_idle_bench [seconds per case, default 20] [path of kvxclient]
#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "verdict.h"

namespace {

namespace fs = std::filesystem;

struct Sample {
  double cpuSeconds = 0.0;
  double switches = 0.0;
  std::chrono::steady_clock::time_point at;
};

Sample Take(pid_t pid) {
  Sample sample;
  sample.at = std::chrono::steady_clock::now();
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream schedstat(task.path() / "schedstat");
    double ns = 0.0;
    if (schedstat >> ns) sample.cpuSeconds += ns * 1e-9;
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        sample.switches += std::atof(line.substr(line.find(':') + 1).c_str());
    }
  }
  return sample;
}

pid_t Spawn(const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int devnull = open("/dev/null", O_WRONLY);
  dup2(devnull, STDOUT_FILENO);
  dup2(devnull, STDERR_FILENO);  // the note that there is no system bus, once per run
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

// The floor of a case: wakes every `periodMs` and writes a line to /dev/null,
// and once a second a line to a file in `dir`.
pid_t SpawnFloorLoop(int periodMs, const fs::path& dir) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int devnull = open("/dev/null", O_WRONLY);
  const int file = open((dir / ("floor_" + std::to_string(getpid()))).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  static const char line[] = "2026/12/08 09:12:03,on,00123,00000,01500,00042,101,60.00,31.25\r\n";
  auto next = std::chrono::steady_clock::now();
  for (int n = 1;; ++n) {
    next += std::chrono::milliseconds(periodMs);
    std::this_thread::sleep_until(next);
    if (write(devnull, line, 16) < 0) _exit(1);
    if (n * periodMs % 1000 == 0 && write(file, line, sizeof line - 1) < 0) _exit(1);
  }
}

// CPU-seconds per minute of `pid` over `seconds`, printed; the process is ended.
double Report(const char* name, pid_t pid, double seconds) {
  std::this_thread::sleep_for(std::chrono::seconds(2));  // past start-up and the first connection
  const Sample a = Take(pid);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const Sample b = Take(pid);
  const double elapsed = std::chrono::duration<double>(b.at - a.at).count();
  const double cpu = (b.cpuSeconds - a.cpuSeconds) / elapsed * 60.0;
  std::printf("  %-34s %8.4f CPU-s/min  %9.1f wake-ups/s\n", name, cpu, (b.switches - a.switches) / elapsed);
  std::fflush(stdout);
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  return cpu;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
  const std::string client = argc > 2 ? argv[2] : KVX_CLIENT_PATH;
  const fs::path dir = fs::temp_directory_path() / ("kvx_idle_bench_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path unplugged = dir / "unplugged.json";
  std::ofstream(unplugged) << R"({"strips": [{"serial": "0x1A2B3", "present": false}]})" << '\n';

  std::printf("headless program and the floor of each case, %.0f s each\n", seconds);
  const double idle =
      Report("headless, idle (strip unplugged)",
             Spawn({client, "--headless", "--scenario=" + unplugged.string(), "--log-dir=" + dir.string()}), seconds);
  const double idleFloor = Report("floor: 1 wake-up and 1 line a second", SpawnFloorLoop(1000, dir), seconds);
  const double logging = Report("headless, logging 1 record/s",
                                Spawn({client, "--headless", "--log-dir=" + dir.string(), "1A2B3", "1", "3600", "1", "0"}),
                                seconds);
  const double loggingFloor = Report("floor: a wake-up per reading", SpawnFloorLoop(250, dir), seconds);
  const bool idleOk = kvx::bench::Verdict("headless_idle_cpu", idle, idleFloor, "cpu-s/min");
  const bool loggingOk = kvx::bench::Verdict("headless_logging_cpu", logging, loggingFloor, "cpu-s/min");
  fs::remove_all(dir);
  return idleOk && loggingOk ? 0 : 1;
}
