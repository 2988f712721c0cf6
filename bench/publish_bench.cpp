// The publishers' cost: CPU per NUT data file rewrite (composed and renamed
// into place, as the writer does once a second) and per MQTT state message
// (composed and handed to libmosquitto, sent to a mosquitto broker started
// on loopback and acknowledged), and what both add per minute at their
// default periods (a rewrite a second, a state every 10 s), beside the CPU
// of the headless client polling a simulated strip without them, measured
// in the same run.
//   kvx_publish_bench [ROUNDS] [KVXCLIENT]
#include <mosquitto.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "listener_floor.h"
#include "publish/mqtt_publisher.h"
#include "publish/nut_file.h"
#include "support/temp_dir.h"
#include "verdict.h"

extern char** environ;

namespace {

using namespace kvx;

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs `argv` to its end; its CPU seconds (user and system), or -1.
double ChildCpuSeconds(std::vector<std::string> args, pid_t* keep = nullptr) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  posix_spawn_file_actions_t quiet;  // its chatter is not the benchmark's
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const int spawned = posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&quiet);
  if (spawned != 0) return -1;
  if (keep) {
    *keep = pid;
    return 0;
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return -1;
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

publish::LiveState Strip() {
  publish::LiveState state;
  state.identity = ConnectionIdentity{0x1A2B3, "01A2B3", "V2.0L10", {"Freezer", "Kettle", "", ""}};
  state.connected = state.haveReading = state.power = state.sawPower = state.isOn = true;
  state.values = {1200, 150, 700, 0};
  state.line = {100, 50, 25.34};
  state.readingAt = std::chrono::steady_clock::now();
  return state;
}

// Microseconds of CPU per state message sent to a broker on loopback (0 when none runs here).
double StateCpuUs(int rounds) {
  const char* broker = access("/usr/sbin/mosquitto", X_OK) == 0 ? "/usr/sbin/mosquitto" : nullptr;
  if (!broker) return 0;
  const test::TempDir dir{"kvx-publish-bench"};
  const int port = 20000 + static_cast<int>(getpid() % 20000);
  std::FILE* conf = std::fopen(dir.Path("m.conf").c_str(), "w");
  std::fprintf(conf, "listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n", port);
  std::fclose(conf);
  pid_t brokerPid = 0;
  ChildCpuSeconds({broker, "-c", dir.Path("m.conf")}, &brokerPid);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  mosquitto_lib_init();
  std::atomic<int> acked{0};
  mosquitto* client = mosquitto_new("kvx-publish-bench", true, &acked);
  mosquitto_publish_callback_set(client, [](mosquitto*, void* count, int) { ++*static_cast<std::atomic<int>*>(count); });
  double us = 0;
  if (mosquitto_connect(client, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS) {
    mosquitto_loop_start(client);
    const publish::LiveState state = Strip();
    const double start = ProcessCpuSeconds();
    for (int i = 0; i < rounds; ++i) {
      const std::string message = publish::StateMessage(state, std::array<double, 4>{1.0 * i, 2, 3, 4});
      mosquitto_publish(client, nullptr, "kvx/01A2B3/state", static_cast<int>(message.size()), message.data(), 1,
                        false);
    }
    for (int wait = 0; wait < 500 && acked.load() < rounds; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    us = (ProcessCpuSeconds() - start) / rounds * 1e6;
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
  }
  mosquitto_destroy(client);
  kill(brokerPid, SIGTERM);
  waitpid(brokerPid, nullptr, 0);
  return us;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
  const std::string client = argc > 2 ? argv[2] : KVX_CLIENT_PATH;
  const test::TempDir dir{"kvx-publish-bench"};
  publish::LiveState state = Strip();
  const double start = bench::ThreadCpuSeconds();
  for (int i = 0; i < rounds; ++i) {
    state.values[3] = i;  // a new text each time, as a live strip gives
    std::string error;
    publish::WriteFileAtomically(dir.Path("strip.dev"),
                                 publish::ComposeNutFile(state, std::chrono::steady_clock::now()), error);
  }
  const double rewriteUs = (bench::ThreadCpuSeconds() - start) / rounds * 1e6;
  const double stateUs = StateCpuUs(rounds);
  std::printf("NUT data file rewrite: %.1f us CPU; MQTT state message: %.1f us CPU%s\n", rewriteUs, stateUs,
              stateUs == 0 ? " (no mosquitto here: not measured)" : "");
  const double perMinute = (rewriteUs * 60 + stateUs * 6) / 1e6;
  const double idleS = ChildCpuSeconds({client, "--headless", "--duration=5", "--log-dir=" + dir.path()});
  const double idlePerMinute = idleS / 5 * 60;
  std::printf("both publishers at their default periods: %.5f CPU-s/min; the client polling a strip: %.4f CPU-s/min\n",
              perMinute, idlePerMinute);
  return bench::VerdictWithin("publishers_cpu_per_minute", perMinute, idlePerMinute, "cpu-s/min", 0.01) ? 0 : 1;
}
