// The process-wide records shared by the user-interface thread and the
// acquisition thread, in one object that the application creates (so every
// test starts from a fresh one). Each part is given the records it uses: the
// recorder the logging settings and the controls, the measurement the controls
// and the statistics; the acquisition thread and the window's handlers, which
// use nearly all of it, the whole object. Values that both threads touch are
// atomics; larger shared things carry their own lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "acquisition/control_model.h"
#include "acquisition/outlet_names.h"
#include "acquisition/selection.h"
#include "device/clock.h"
#include "device/device_access.h"
#include "device/protocol.h"

namespace kvx {

// logMode carries this much more than its value while the start-up actions are pending.
inline constexpr std::int32_t STARTUP_ACTIONS_PENDING = 100;

// The logging part of the start-up values: what the recorder reads. Fixed for
// the life of the process except logMode, which the acquisition thread lowers
// by STARTUP_ACTIONS_PENDING once it has run the start-up actions (so it is
// atomic, and the record is copied only before that thread starts).
struct LogSettings {
  std::uint32_t logIntervalSec = 1;      // seconds between two records; 0 every reading
  std::uint32_t splitIntervalSec = 1;    // seconds between new files in logging mode 2
  std::atomic<std::int32_t> logMode{0};  // 0 off, 1 on, 2 on and split; +100 while pending

  LogSettings() = default;
  LogSettings(std::uint32_t logInterval, std::uint32_t splitInterval, std::int32_t mode)
      : logIntervalSec(logInterval), splitIntervalSec(splitInterval), logMode(mode) {}
  LogSettings(const LogSettings& other) { *this = other; }
  LogSettings& operator=(const LogSettings& other) {
    logIntervalSec = other.logIntervalSec;
    splitIntervalSec = other.splitIntervalSec;
    logMode.store(other.logMode.load());
    return *this;
  }
};

// Start-up values from the command line, fixed for the life of the process
// except log.logMode (see LogSettings).
struct StartupValues {
  std::uint32_t commandSerial = 0;  // the strip to poll from start-up; 0 none
  LogSettings log;
  std::uint32_t startQuantity = 0;  // 0 current, 1 power
};

inline constexpr double OUTLET_MIN_RESET = 99999.9;        // ResetStatistics
inline constexpr double OUTLET_MIN_CONNECTION = 60000.0;   // ResetOutletStatistics

// The displayed statistics and the latest reading's kind. The
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

  // DeviceList, deviceCount and deviceLock.
  device::DeviceAccess device;
  StripSelection selection;

  std::atomic<std::uint8_t> selectedOutlet{0};  // 0 summary, 1..4 waveform of that outlet
  std::atomic<std::uint8_t> selectedQuantity{protocol::QUANTITY_CURRENT};

  std::atomic<std::int32_t> threadRunFlag{0};
  std::atomic<std::int32_t> readLoopRunFlag{0};

  // Written before the acquisition thread starts; only startup.log.logMode
  // changes later. The recorder is given startup.log alone.
  StartupValues startup;
  // The outlets' names (--outlet-names): written before the acquisition
  // thread starts, read-only after; every connection carries them.
  OutletNames outletNames;

  MeasurementState measurement;
  ControlModel controls;
};

}  // namespace kvx
