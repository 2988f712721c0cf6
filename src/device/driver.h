// The narrow boundary to the strip's USB driver. Everything above it talks to
// strips only through this interface; the simulated driver (device/sim) is the
// built-in implementation and a real-hardware backend would be a second one.
// Control codes, setup packets and readings cross it byte for byte as
// device/protocol.h defines them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

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

enum class ReadStatus {
  Completed,  // `bytes` were transferred (0 is possible)
  TimedOut,   // nothing arrived within the wait; the read was cancelled
  Cancelled,  // CancelRead woke the wait; the read was cancelled
  Failed,     // the handle is dead (strip gone, stopped, closed)
};

struct ReadResult {
  ReadStatus status = ReadStatus::Failed;
  std::uint32_t bytes = 0;
};

enum class DeviceEventType { Arrival, RemoveComplete };

struct DeviceEvent {
  DeviceEventType type = DeviceEventType::Arrival;
  std::string classGuid;
  std::string path;
};

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

  // One driver control call. `in` and `out` may overlap (the serial-number
  // request during enumeration uses one buffer for both): implementations
  // must consume the input before writing the output. `bytesReturned` gets the
  // number of bytes written to `out`, never more than out.size().
  virtual bool Control(Handle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                       std::span<std::uint8_t> out, std::uint32_t& bytesReturned) = 0;

  // Reads one reading (up to buffer.size() bytes) from a pipe handle, waiting
  // at most `timeout`. On time-out or cancellation the pending read is
  // cancelled before returning.
  virtual ReadResult Read(Handle handle, std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) = 0;

  // Wakes a Read that is waiting on `handle` (from any thread).
  virtual void CancelRead(Handle handle) = 0;

  virtual void Close(Handle handle) = 0;

  // Arrival and removal of interfaces of a class. The callback runs on a
  // thread of the driver's; callers hand the event on to their own thread.
  virtual SubscriptionId Subscribe(std::string_view classGuid, EventCallback callback) = 0;
  virtual void Unsubscribe(SubscriptionId id) = 0;
};

}  // namespace kvx::device
