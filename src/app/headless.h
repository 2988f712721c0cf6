// Headless mode: the client with its control model but no window, for
// unattended logging on a machine without a display. It prints a one-line
// status about once a second, follows strips as they come and go, and stops in
// order on SIGINT or SIGTERM.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>

#include "acquisition/sinks.h"
#include "app/client.h"
#include "app/suspend_source.h"
#include "device/driver.h"
#include "metrics/address.h"

namespace kvx {

// Exit status of the process.
inline constexpr int EXIT_CLEAN_STOP = 0;
inline constexpr int EXIT_FAILURE_STATUS = 1;
inline constexpr int EXIT_COMMAND_LINE_ERROR = 2;

struct HeadlessOptions {
  std::string commandLineText;          // the five values, as the window would get them
  std::string logDirectory = ".";
  std::optional<std::uint32_t> durationMs;  // stop by itself after this long
  bool forceTerminalStyle = false;      // for tests: pretend stdout is a terminal
  std::optional<metrics::ListenAddress> metrics;  // the metrics endpoint, if any
};

// The part of headless mode that does not depend on how the main loop waits:
// it is the window link of the acquisition thread (no tree), chooses the strip
// to poll, and composes the status line.
class HeadlessSession final : public WindowLink, public TreeRebuildTarget {
 public:
  HeadlessSession(Client& client, std::ostream& out, std::ostream& err, bool terminal);

  // WindowLink (acquisition thread) and TreeRebuildTarget: there is no tree;
  // the thread's call of RegisterInterfaceNotifications marks that it has
  // listed the strips.
  void AddStripToTree(const std::string&, int) override {}
  void RegisterInterfaceNotifications() override;
  void ClickDeviceTree() override {}
  // TreeRebuildTarget (main loop thread).
  void DeleteAllStripItems() override {}

  // Queues an arrival or removal from the driver's thread.
  void PostDeviceChange(device::DeviceEventType type);
  // One pass of the main loop: handles queued device changes, selects the
  // target strip again when it is back, and reports changes of situation.
  void Tick();

  std::string StatusLine() const;
  // The strip this run follows: the command line's, else the first one found.
  std::uint32_t targetSerial() const { return targetSerial_.load(); }

 private:
  void Say(const std::string& message);

  Client& client_;
  std::ostream& out_;
  std::ostream& err_;
  std::mutex eventsMutex_;
  std::deque<device::DeviceEventType> events_;
  std::atomic<std::uint32_t> targetSerial_{0};
  std::atomic<bool> listed_{false};  // the thread's first enumeration has been seen
  const bool terminal_;
  enum class Situation { Unknown, NoStrip, Waiting, Polling };
  Situation situation_ = Situation::Unknown;
  std::string lastLogState_;
};

// Blocks SIGINT and SIGTERM in the calling thread and in every thread started
// from it afterwards (call it before any other thread starts), so that the
// headless loop can take them synchronously. Returns the set of the two.
sigset_t BlockStopSignals();

// Runs headless mode until SIGINT, SIGTERM or the duration; returns the exit
// status. `suspend`, when given, tells the selected strip before the system sleeps.
int RunHeadless(device::Driver& driver, Clock& clock, const HeadlessOptions& options,
                SuspendSource* suspend = nullptr);

}  // namespace kvx
