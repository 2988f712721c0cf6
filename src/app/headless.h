// Headless mode: the client with its control model but no window, for
// unattended logging on a machine without a display. It prints a one-line
// status about once a second, follows strips as they come and go, and stops in
// order on SIGINT, SIGTERM or SIGHUP (app/stop_request.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/sinks.h"
#include "app/client.h"
#include "app/exit_status.h"
#include "app/suspend_source.h"
#include "device/driver.h"
#include "metrics/address.h"
#include "metrics/web_config.h"
#include "publish/publishers.h"

namespace kvx {

struct HeadlessOptions {
  std::string commandLineText;          // the five values, as the window would get them
  std::string logDirectory = ".";
  std::optional<std::uint32_t> durationMs;  // stop by itself after this long
  bool forceTerminalStyle = false;      // for tests: pretend stdout is a terminal
  std::optional<metrics::ListenAddress> metrics;  // the metrics endpoint, if any
  metrics::WebConfig metricsWeb;                  // its TLS and users
  std::vector<std::string> programOptions;  // as given, for the journal's process_started
  OutletNames outletNames;                  // --outlet-names
  publish::PublishOptions publish;          // --nut-file
  bool terminalNotes = true;  // say on stderr that there is no system bus (not for a service)
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

  // Queues a job for the main loop from another thread (the new device list
  // that the recount enumerated after an arrival or removal) and wakes it.
  void Post(std::function<void()> job);
  // Called (from any thread) whenever Tick has something new to act on.
  void SetWake(std::function<void()> wake) { wake_ = std::move(wake); }
  // One pass of the main loop: runs the queued jobs, selects the target strip
  // again when it is back, and reports changes of situation.
  void Tick();

  std::string StatusLine() const;
  // The strip this run follows: the command line's, else the first one found.
  std::uint32_t targetSerial() const { return targetSerial_.load(); }
  // The acquisition thread has listed the strips.
  bool listed() const { return listed_.load(); }

 private:
  void Say(const std::string& message);
  void SayOnStderr(const std::string& message);
  std::string StripsSeen() const;
  void ReportLogging();
  void ReportSerialRequestFailures();

  Client& client_;
  std::ostream& out_;
  std::ostream& err_;
  std::mutex jobsMutex_;
  std::deque<std::function<void()>> jobs_;
  std::atomic<std::uint32_t> targetSerial_{0};
  std::atomic<bool> listed_{false};  // the thread's first enumeration has been seen
  const bool terminal_;
  enum class Situation { Unknown, NoStrip, Waiting, Polling };
  Situation situation_ = Situation::Unknown;
  std::uint64_t logEpisodesSeen_ = 0;  // the recorder's failure episodes already said
  bool logFailureSaid_ = false;        // a failure was said and its end not yet
  std::uint64_t serialFailuresSeen_ = 0;  // the thread's failed serial requests already said
  std::function<void()> wake_;  // set before the acquisition thread starts
};

// Runs headless mode until a stop is requested (RequestStop: SIGINT, SIGTERM,
// SIGHUP, also one that came during start-up) or the duration; returns the exit
// status. `suspend`, when given, tells the selected strip before the system sleeps.
int RunHeadless(device::Driver& driver, Clock& clock, const HeadlessOptions& options,
                SuspendSource* suspend = nullptr);

}  // namespace kvx
