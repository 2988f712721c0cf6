// A running acquisition thread against scripted strips, a fake clock and
// recorders of its outputs, with helpers that wait for what the thread does.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/acquisition_thread.h"
#include "recording_fakes.h"
#include "support/fake_clock.h"
#include "support/scripted_driver.h"
#include "support/wait_for.h"

namespace kvx::test {

inline constexpr std::uint32_t STRIP_A = 0x7FF;
inline constexpr std::uint32_t STRIP_B = 0x12ABC;

inline std::string PathOf(std::uint32_t serial) {
  char text[32];
  std::snprintf(text, sizeof text, "/dev/kvx/%05X", serial);
  return text;
}

// One control call in a short readable form: "IN C0 0000 0000", "OUT 01 0003",
// "SET_EVENT", "STOP".
inline std::string Describe(const ControlCall& call) {
  if (call.code == protocol::IOCTL_STRIP_SET_EVENT) return "SET_EVENT";
  if (call.code == protocol::IOCTL_STRIP_STOP) return "STOP";
  char text[48];
  std::snprintf(text, sizeof text, "%s %02X %04X %04X", call.setup.bmRequestType == protocol::REQUEST_TYPE_IN ? "IN" : "OUT",
                call.setup.bRequest, call.setup.wValue, call.setup.wIndex);
  return text;
}

class ThreadTest : public ::testing::Test {
 protected:
  ThreadTest() : state(driver), thread(state, graph, window, clock) {
    thread.AddListener(recorder);
    // The fake clock does not wait: give the other threads a moment per pass
    // so that a looping acquisition thread does not starve the machine.
    clock.SetSleepHook([](std::uint32_t) { std::this_thread::sleep_for(std::chrono::microseconds(50)); });
  }
  ~ThreadTest() override { thread.Stop(); }

  void AddStrip(std::uint32_t serial) { driver.AddStrip(ScriptedStrip{serial, PathOf(serial)}); }

  void StartThread() {
    state.threadRunFlag.store(1);
    state.readLoopRunFlag.store(1);
    ASSERT_TRUE(thread.Start());
  }

  // The thread has opened a connection and waits in a read.
  bool WaitConnected(std::uint64_t connections = 1) {
    return WaitFor([&] {
      const AcquisitionStatus s = thread.Status();
      return s.state == ConnectionState::Reading && s.connections >= connections;
    });
  }

  // Queues one reading and waits until the thread has taken it.
  bool Feed(std::uint32_t serial, const protocol::Reading& reading) {
    const std::uint64_t before = thread.Status().readings;
    driver.QueueRead(serial, ScriptedRead::Of(reading));
    return WaitFor([&] { return thread.Status().readings > before; });
  }

  // The control calls on strip `serial`'s pipe handles (enumeration excluded), described.
  std::vector<std::string> PipeCalls(std::uint32_t serial) const {
    std::vector<std::string> out;
    for (const ControlCall& call : driver.Calls())
      if (call.onPipe && call.serial == serial) out.push_back(Describe(call));
    return out;
  }

  int CountCalls(std::uint32_t serial, const std::string& description) const {
    int count = 0;
    for (const std::string& call : PipeCalls(serial))
      if (call == description) ++count;
    return count;
  }
  bool HasCall(std::uint32_t serial, const std::string& description) const {
    return CountCalls(serial, description) > 0;
  }

  ScriptedDriver driver;
  FakeClock clock{1000};
  AppState state;
  RecordingRecorder recorder;
  RecordingGraph graph;
  RecordingWindow window;
  AcquisitionThread thread;
};

inline protocol::Reading SummaryReading(std::uint16_t value, std::uint8_t kind = 0x30, std::uint8_t stateByte = 0) {
  return protocol::Reading{stateByte, kind, {value, value, value, value}};
}

}  // namespace kvx::test
