// The narrow boundary to the strip's USB driver. Everything above it talks to
// strips only through this interface; the simulated driver (device/sim) is the
// built-in implementation and a real-hardware backend would be a second one.
// Control codes, setup packets and readings cross it byte for byte as
// device/protocol.h defines them.
//
// The contract every implementation holds (tests/device/driver_conformance_test
// checks it for each of them):
//
// Time. No call waits without a bound. GetClassDevs, Open, Close, CancelRead,
//   Subscribe and the InterfaceSet calls return without waiting on the strip.
//   Control waits at most the time-out its caller gives (DEFAULT_CONTROL_TIMEOUT
//   through the short form); Read waits at most its `timeout`. A call that runs
//   out of time returns TimedOut and leaves nothing pending: the strip never
//   acts on a timed-out control request afterwards and no read stays queued.
// Reads. At most one Read waits on a handle at a time. CancelRead wakes that
//   read, which returns Cancelled. A cancel that arrives while no read waits is
//   kept for the handle: the next Read returns Cancelled at once (this is what
//   makes a stop race-free). A Close from another thread, or the strip's
//   removal, ends a waiting Read (and Control) with Failed/Gone at once.
// Handles. Several handles to one strip may be open at once, interface and
//   pipe alike. A handle whose strip went away stays dead, also after the strip
//   comes back; every call on it fails until it is closed. Closing an unknown
//   or closed handle does nothing.
// Buffers. Control's `in` and `out` may overlap: the input is consumed before
//   anything is written. bytesReturned is never more than out.size() and is 0
//   for every result but Ok; a short reply is Ok with fewer bytes.
// Events. Callbacks run on a thread of the driver's, never while the driver
//   holds a lock the callback could need, so they may call back into the
//   driver. Once Unsubscribe has returned, that callback is not running and is
//   never called again (called from within the callback itself, Unsubscribe
//   returns at once and no later call follows).
// Threads. Every call may be made from any thread, concurrently with any other
//   call; the driver serialises what it must. Destroying the driver is the one
//   exception: no call may be in progress then.
#pragma once

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/protocol.h"

namespace kvx::device {

// Interface classes under which the driver publishes strips, tried in this order.
inline constexpr std::string_view primaryInterfaceGuid = "{DD4154A4-4A8C-46A2-AE0E-596D26819A1D}";
inline constexpr std::string_view fallbackInterfaceGuid = "{4D085663-0821-4BDA-A77A-783B1FED19BF}";

using Handle = std::int64_t;
inline constexpr Handle INVALID_HANDLE_VALUE = -1;

// Separator between an interface path and the pipe name: "path\PIPE00".
inline constexpr char PIPE_SEPARATOR = '\\';

enum class EnumStatus {
  Ok,           // an interface exists at this index
  NoMoreItems,  // the index is past the last interface: enumeration ends
  Error,        // this index could not be enumerated: skip it
};

// A snapshot of the interfaces present in one class at the moment it was taken.
class InterfaceSet {
 public:
  virtual ~InterfaceSet() = default;
  virtual EnumStatus EnumInterface(std::uint32_t index) = 0;
  // The interface path of an index that enumerated Ok; nullopt when its
  // detail cannot be read.
  virtual std::optional<std::string> InterfaceDetailPath(std::uint32_t index) = 0;
};

// The set that a snapshot of paths makes: an index holding a path enumerates
// Ok, an empty one Error (it is skipped), and the end NoMoreItems.
class ListedInterfaceSet final : public InterfaceSet {
 public:
  explicit ListedInterfaceSet(std::vector<std::optional<std::string>> paths) : paths_(std::move(paths)) {}
  EnumStatus EnumInterface(std::uint32_t index) override {
    if (index >= paths_.size()) return EnumStatus::NoMoreItems;
    return paths_[index] ? EnumStatus::Ok : EnumStatus::Error;
  }
  std::optional<std::string> InterfaceDetailPath(std::uint32_t index) override {
    return index < paths_.size() ? paths_[index] : std::nullopt;
  }

 private:
  std::vector<std::optional<std::string>> paths_;
};

enum class ReadStatus {
  Completed,  // `bytes` were transferred (0 is possible)
  TimedOut,   // nothing arrived within the wait; the read was cancelled
  Cancelled,  // CancelRead woke the wait; the read was cancelled
  Failed,     // the handle is dead (strip gone, stopped, closed)
};

// What a control call came to. The reply bytes are the same for every backend;
// this only tells a caller why no reply came.
enum class ControlStatus {
  Ok,        // the strip answered; `bytesReturned` bytes of reply (0 is possible)
  Refused,   // the strip or the driver rejected the request (unknown code, bad setup, stalled request)
  TimedOut,  // no answer within the time-out; the request was withdrawn
  Gone,      // the handle is dead: strip removed, handle closed or never opened
};

// The bound of a control call made without an explicit time-out. A strip
// answers in a few milliseconds; this only keeps a silent one from hanging the caller.
inline constexpr std::chrono::milliseconds DEFAULT_CONTROL_TIMEOUT{1000};

struct ReadResult {
  ReadStatus status = ReadStatus::Failed;
  std::uint32_t bytes = 0;
};

// The access code REQ_UNLOCK carries (wValue, wIndex) before the strip lets
// its memory be written.
struct AccessCode {
  std::uint16_t word1 = 0;
  std::uint16_t word2 = 0;
  bool operator==(const AccessCode&) const = default;
};

enum class DeviceEventType { Arrival, RemoveComplete };

struct DeviceEvent {
  DeviceEventType type = DeviceEventType::Arrival;
  std::string classGuid;
  std::string path;
};

// Class GUIDs and interface paths compare without regard to case.
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

class Driver {
 public:
  using EventCallback = std::function<void(const DeviceEvent&)>;
  using SubscriptionId = std::uint64_t;  // 0 = not subscribed

  virtual ~Driver() = default;

  // Takes a snapshot of the class's present interfaces; null on failure.
  virtual std::unique_ptr<InterfaceSet> GetClassDevs(std::string_view classGuid) = 0;

  // Opens an interface path, or "path\PIPE00". INVALID_HANDLE_VALUE on failure.
  // Several handles to the same strip and pipe may be open at once.
  virtual Handle Open(const std::string& path) = 0;

  // One driver control call, answered within `timeout`. `in` and `out` may
  // overlap (the serial-number request during enumeration uses one buffer for
  // both). `bytesReturned` gets the number of bytes written to `out`.
  virtual ControlStatus Control(Handle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                                std::span<std::uint8_t> out, std::uint32_t& bytesReturned,
                                std::chrono::milliseconds timeout) = 0;
  // The short form: DEFAULT_CONTROL_TIMEOUT, true only for Ok. Implementations
  // bring it into scope with `using device::Driver::Control;`.
  bool Control(Handle handle, std::uint32_t code, std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
               std::uint32_t& bytesReturned) {
    return Control(handle, code, in, out, bytesReturned, DEFAULT_CONTROL_TIMEOUT) == ControlStatus::Ok;
  }

  // Reads one reading (up to buffer.size() bytes) from a pipe handle, waiting
  // at most `timeout`. On time-out or cancellation the pending read is
  // withdrawn before returning.
  virtual ReadResult Read(Handle handle, std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) = 0;

  // Wakes a Read that is waiting on `handle`, or makes the next one return
  // Cancelled at once when none waits (from any thread).
  virtual void CancelRead(Handle handle) = 0;

  // Withdraws a Control call waiting on `handle`, and every later one on it,
  // which return Gone at once (from any thread): a stop never waits out a
  // strip that is slow to answer. A driver whose calls never wait ignores it.
  virtual void CancelControl(Handle /*handle*/) {}

  virtual void Close(Handle handle) = 0;

  // Arrival and removal of interfaces of a class. The callback runs on a
  // thread of the driver's; callers hand the event on to their own thread.
  // Unsubscribe: see Events above.
  virtual SubscriptionId Subscribe(std::string_view classGuid, EventCallback callback) = 0;
  virtual void Unsubscribe(SubscriptionId id) = 0;

  // The access code for the reset of a flagged calibration record on the
  // strips this driver reaches; nullopt when it is not known, and then no
  // reset is sent (a wrong code might do worse than leave the record as it
  // is). By default the code the simulated strips and this client share.
  virtual std::optional<AccessCode> UnlockCode() const {
    return AccessCode{protocol::UNLOCK_CODE_WORD_1, protocol::UNLOCK_CODE_WORD_2};
  }
};

}  // namespace kvx::device
