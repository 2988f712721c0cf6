// A scripted Driver for unit tests: strips with a serial number, an interface
// class and a path; replies to control transfers produced by a callback;
// readings queued per strip; every call recorded. Thread-safe, so the
// acquisition thread and a test can use it at once. It holds the contract of
// device/driver.h; events are delivered on the thread that calls Announce.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/driver.h"
#include "device/protocol.h"

namespace kvx::test {

struct ScriptedStrip {
  std::uint32_t serial = 0;
  std::string path;
  std::string classGuid = std::string(device::primaryInterfaceGuid);
  bool present = true;
  bool answersSerial = true;   // REQ_SERIAL_NUMBER on the interface path
  bool openable = true;        // the interface path can be opened
  bool pipeOpenable = true;    // "path\PIPE00" can be opened
  bool detailReadable = true;  // the interface detail (its path) can be read during enumeration
};

// One control call as the driver saw it.
struct ControlCall {
  std::uint32_t serial = 0;  // strip of the handle
  bool onPipe = false;       // handle opened on "path\PIPE00"
  std::uint32_t code = 0;
  protocol::SetupFields setup{};  // for IOCTL_STRIP_CONTROL_TRANSFER
  std::vector<std::uint8_t> input;
};

// What a queued read delivers.
struct ScriptedRead {
  enum class Kind { Data, Empty, Fail } kind = Kind::Data;
  protocol::ReadingBytes bytes{};
  std::uint32_t length = protocol::READING_SIZE;
  static ScriptedRead Of(const protocol::Reading& r) { return {Kind::Data, protocol::EncodeReading(r)}; }
  static ScriptedRead EmptyRead() { return {Kind::Empty, {}, 0}; }
  static ScriptedRead Failure() { return {Kind::Fail, {}, 0}; }
};

class ScriptedDriver : public device::Driver {
 public:
  // Produces the data stage of an IN request (nullopt = the call fails).
  using ReplyFn = std::function<std::optional<std::vector<std::uint8_t>>(std::uint32_t serial,
                                                                         const protocol::SetupFields&)>;
  // Result of an OUT request (no data stage); unset = every OUT request succeeds.
  using OutResultFn = std::function<bool(std::uint32_t serial, const protocol::SetupFields&)>;

  ScriptedDriver();

  void AddStrip(ScriptedStrip strip);
  // Unplug / plug (does not announce). Handles open at an unplug stay dead.
  void SetPresent(std::uint32_t serial, bool present);
  // Control transfers with this bRequest answer only after `delay`; nullopt:
  // never (the call ends at its time-out, or when the strip goes or the handle closes).
  void SetReplyDelay(std::uint8_t bRequest, std::optional<std::chrono::milliseconds> delay);
  int PendingControls() const;  // control calls now held by a reply delay
  int PendingReads() const;     // reads now waiting
  void SetReply(ReplyFn reply);
  void SetOutResult(OutResultFn result);
  // Errors of enumeration indexes: the index is reported as EnumStatus::Error.
  void SetEnumErrorIndexes(std::set<std::uint32_t> indexes);
  // Queue readings for a strip's pipe. Reads with nothing queued wait until
  // their time-out (or until something is queued).
  void QueueRead(std::uint32_t serial, ScriptedRead read);
  // When set, a read with nothing queued returns this at once instead of waiting.
  void SetIdleRead(std::optional<ScriptedRead> read);
  // The unlock code the driver reports (the shared one by default; nullopt:
  // not known).
  void SetUnlockCode(std::optional<device::AccessCode> code);
  // Announce an event to subscribers of its class.
  void Announce(const device::DeviceEvent& event);

  std::vector<ControlCall> Calls() const;
  void ClearCalls();
  // Every path passed to Open, in order, whether it opened or not.
  std::vector<std::string> OpenAttempts() const;
  // The class GUID of every GetClassDevs call, in order.
  std::vector<std::string> ClassQueries() const;
  int OpenHandles() const;
  int ReadCount() const;

  // device::Driver
  std::unique_ptr<device::InterfaceSet> GetClassDevs(std::string_view classGuid) override;
  device::Handle Open(const std::string& path) override;
  using device::Driver::Control;
  device::ControlStatus Control(device::Handle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                                std::span<std::uint8_t> out, std::uint32_t& bytesReturned,
                                std::chrono::milliseconds timeout) override;
  device::ReadResult Read(device::Handle handle, std::span<std::uint8_t> buffer,
                          std::chrono::milliseconds timeout) override;
  void CancelRead(device::Handle handle) override;
  void CancelControl(device::Handle handle) override;
  void Close(device::Handle handle) override;
  SubscriptionId Subscribe(std::string_view classGuid, EventCallback callback) override;
  void Unsubscribe(SubscriptionId id) override;
  std::optional<device::AccessCode> UnlockCode() const override;

  // Default replies: serial number bytes, firmware 0x10 0x20, selector byte 3 = 1,
  // zero memory, voltage 100, period 40000, temperature 2534.
  static std::optional<std::vector<std::uint8_t>> DefaultReply(std::uint32_t serial, const protocol::SetupFields& s);

 private:
  struct OpenHandle {
    std::uint32_t serial;
    bool pipe;
    bool cancelled = false;
    bool dead = false;  // its strip was unplugged
    bool controlsCancelled = false;
  };
  const ScriptedStrip* FindByPathLocked(const std::string& path) const;
  bool AliveLocked(device::Handle handle) const;
  device::ControlStatus AwaitReplyLocked(std::unique_lock<std::mutex>& lock, device::Handle handle,
                                         std::optional<std::chrono::milliseconds> delay,
                                         std::chrono::milliseconds timeout);

  mutable std::mutex mutex_;
  std::condition_variable readable_;
  std::vector<ScriptedStrip> strips_;
  std::map<std::uint32_t, std::deque<ScriptedRead>> reads_;
  std::optional<ScriptedRead> idleRead_;
  std::map<device::Handle, OpenHandle> handles_;
  device::Handle nextHandle_ = 100;
  ReplyFn reply_;
  OutResultFn outResult_;
  std::vector<std::string> openAttempts_;
  std::vector<std::string> classQueries_;
  std::set<std::uint32_t> enumErrors_;
  std::vector<ControlCall> calls_;
  int readCount_ = 0;
  std::optional<device::AccessCode> unlockCode_ = device::AccessCode{protocol::UNLOCK_CODE_WORD_1,
                                                                     protocol::UNLOCK_CODE_WORD_2};
  std::map<std::uint8_t, std::optional<std::chrono::milliseconds>> replyDelays_;
  int pendingControls_ = 0;
  int pendingReads_ = 0;
  std::map<SubscriptionId, std::pair<std::string, EventCallback>> subscribers_;
  // Callbacks running now, with the thread that runs each: Unsubscribe waits for them.
  std::multimap<SubscriptionId, std::thread::id> delivering_;
  std::condition_variable delivered_;
  SubscriptionId nextSubscription_ = 1;
};

// A listed strip of `serial` on the path "path-<serial>".
inline ScriptedStrip Strip(std::uint32_t serial) { return ScriptedStrip{serial, "path-" + std::to_string(serial)}; }

}  // namespace kvx::test
