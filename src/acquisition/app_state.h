// The process-wide records shared by the user-interface thread and the
// acquisition thread, in one object that the application creates and hands to
// each part (so every test starts from a fresh one). Values that both threads
// touch are atomics; larger shared things carry their own lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "acquisition/control_model.h"
#include "device/clock.h"
#include "device/device_access.h"
#include "device/protocol.h"

namespace kvx {

// Start-up values from the command line, fixed for the life of the process
// except logMode, which drops by 100 once the start-up actions have run.
struct StartupValues {
  std::uint32_t commandSerial = 0;
  std::uint32_t logIntervalSec = 1;
  std::uint32_t splitIntervalSec = 1;
  std::int32_t logMode = 0;  // +100 while the start-up actions are pending
  std::uint32_t startQuantity = 0;  // 0 current, 1 power
};

// logMode carries this much more than its value while the start-up actions are pending.
inline constexpr std::int32_t STARTUP_ACTIONS_PENDING = 100;

inline constexpr double OUTLET_MIN_RESET = 99999.9;        // ResetStatistics
inline constexpr double OUTLET_MIN_CONNECTION = 60000.0;   // ResetOutletStatistics

// The displayed statistics and the latest reading's kind and time. The
// statistics are reset from both threads and updated by the acquisition
// thread; each field is one atomic value written whole.
struct MeasurementState {
  std::array<std::atomic<double>, 4> outletMax{};
  std::array<std::atomic<double>, 4> outletMin{};
  std::atomic<double> rmsCurrentMax{0.0};
  std::atomic<double> rmsCurrentMin{0.0};
  std::atomic<double> activePowerMax{0.0};
  std::atomic<double> activePowerMin{0.0};
  std::atomic<std::uint8_t> lastReadingKind{0};  // read by the window's paint handler
  std::atomic<double> waveMin{0.0};  // also set by CreateGraphBitmap on the UI thread
  std::atomic<double> waveMax{0.0};

  // Acquisition thread only.
  LocalTime readingTime{};
  std::array<std::int32_t, protocol::WAVEFORM_SAMPLES> waveSamples{};
  std::array<double, protocol::WAVEFORM_SAMPLES> analysisFrame{};
};

// All maxima to 0.0, all minima to 99999.9 (outlets and one-outlet view).
void ResetStatistics(MeasurementState& state);
// Outlet maxima to 0.0 and minima to 60000.0; the one-outlet view is left alone.
void ResetOutletStatistics(MeasurementState& state);

class AppState {
 public:
  explicit AppState(device::Driver& driver) : device(driver) {}

  AppState(const AppState&) = delete;
  AppState& operator=(const AppState&) = delete;

  // DeviceList, deviceCount, selectedSerial and deviceLock.
  device::DeviceAccess device;

  std::atomic<std::uint8_t> selectedOutlet{0};  // 0 summary, 1..4 waveform of that outlet
  std::atomic<std::uint8_t> selectedQuantity{protocol::QUANTITY_CURRENT};

  std::atomic<std::int32_t> threadRunFlag{0};
  std::atomic<std::int32_t> readLoopRunFlag{0};

  // Written before the acquisition thread starts; only logMode changes later.
  std::uint32_t commandSerial = 0;
  std::uint32_t logIntervalSec = 1;
  std::uint32_t splitIntervalSec = 1;
  std::atomic<std::int32_t> logMode{0};
  std::uint32_t startQuantity = 0;
  void SetStartupValues(const StartupValues& values) {
    commandSerial = values.commandSerial;
    logIntervalSec = values.logIntervalSec;
    splitIntervalSec = values.splitIntervalSec;
    logMode.store(values.logMode);
    startQuantity = values.startQuantity;
  }

  MeasurementState measurement;
  ControlModel controls;
};

}  // namespace kvx
