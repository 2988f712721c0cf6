// Discovery of strips and every exchange with one of them: the sorted
// device list, the locked control requests (each opening its own handles), the
// record reset sequence, and the bounded read of a reading on the pipe handle
// of a connection. One re-entrant lock, deviceLock, serialises all device traffic.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/driver.h"
#include "device/protocol.h"

namespace kvx::device {

struct DeviceEntry {
  std::int32_t serialNumber = 0;  // the 24-bit serial number
  std::string devicePath;         // interface path, any length
  bool operator==(const DeviceEntry&) const = default;
};

// Ascending by signed serial number; of equal serials the later-enumerated
// entry comes first.
using DeviceList = std::vector<DeviceEntry>;

// How long ReadReading waits for one reading before it cancels the read and
// reports 0 bytes. Long enough for any pacing of the strip, short enough that
// a silent strip neither hangs the acquisition thread nor a waiting request.
inline constexpr std::chrono::milliseconds DEFAULT_READ_TIMEOUT{500};

class DeviceAccess {
 public:
  explicit DeviceAccess(Driver& driver);

  DeviceAccess(const DeviceAccess&) = delete;
  DeviceAccess& operator=(const DeviceAccess&) = delete;

  Driver& driver() { return driver_; }

  // ---- Discovery.
  // Appends the strips of one interface class to `list` (given empty) and sorts
  // it; returns the number added. An interface whose detail cannot be read,
  // that cannot be opened or that does not answer the serial-number request
  // ends the enumeration with what was found so far.
  int EnumerateDevices(std::string_view classGuid, DeviceList& list);
  // Asks the serial number of the interface at `index` of `set` on its own handle.
  bool ReadDeviceIdentity(InterfaceSet& set, std::uint32_t index, DeviceEntry& entry);
  // The discovery rule: the primary class, then the fallback class only when
  // the primary one found nothing. Returns the count of the last enumeration.
  int Discover(DeviceList& list);
  // Counts the strips present now (discovery into a temporary list).
  int CountDevices();
  // Builds a new list by the discovery rule and swaps it in; readers holding
  // the old list keep a valid copy. Sets deviceCount and returns it.
  int RebuildDeviceList();
  // Swaps in a list that Discover built elsewhere (the rebuild enumerates on
  // a worker, the window installs the result) and sets deviceCount to `count`.
  void InstallDeviceList(std::shared_ptr<const DeviceList> list, int count);

  std::shared_ptr<const DeviceList> List() const;
  int deviceCount() const { return deviceCount_.load(); }

  // ---- Lookups (no lock; they work on a snapshot of the list).
  bool GetSerialAt(int position, std::int32_t& serial) const;  // 1-based
  bool FindDevicePath(std::int32_t serial, std::string& path) const;

  // ---- One strip, named by its serial (0 = none: every request to it fails).
  Handle OpenDevice(std::int32_t serial, std::string& path);
  bool ProbeDevice(std::int32_t serial, std::string& path);

  // ---- Locked requests.
  Handle OpenPipe(std::int32_t serial, std::string_view name);
  // The one way to send a control request: the setup packet to the strip's
  // pipe, opened once for the request. The reply bytes (at most 8, at most
  // reply.size()) are copied into `reply`; returns how many, or nullopt when
  // the request failed, `reply` then left as it was. An OUT request passes no reply.
  std::optional<std::size_t> Request(std::int32_t serial, const protocol::SetupPacket& setup,
                                     std::span<std::uint8_t> reply = {});
  // The five-step reset of outlet n's calibration record under one hold of
  // the lock, unlocked with the driver's code; false at once, nothing sent,
  // for n outside 1..4 or when the driver knows no code.
  bool ResetChannelRecord(std::int32_t serial, int outlet);
  bool CanResetRecords() const { return driver_.UnlockCode().has_value(); }
  // Tells, once for the life of this object (one run of the program), that
  // a flagged record of strip `serial` was kept because no unlock code
  // is known. The sink (set before the acquisition starts) gets the line;
  // without one it goes to stderr.
  using NoticeSink = std::function<void(const std::string&)>;
  void SetNoticeSink(NoticeSink sink);
  void SayRecordKept(std::int32_t serial, int outlet);
  // A line for the user: to the notice sink, else on stderr.
  void Notice(const std::string& line);

  // ---- The connection's pipe handle.
  // Bytes transferred into `buffer` (0: nothing arrived within the read
  // time-out, or the read was cancelled), or nullopt when the read failed.
  std::optional<std::uint32_t> ReadReading(Handle pipe, std::span<std::uint8_t, protocol::READING_SIZE> buffer);
  void SendSetEvent(Handle pipe, std::uint32_t readEvent);
  void SendStop(Handle pipe);
  void ClosePipe(Handle pipe);
  // Wakes a ReadReading waiting on `pipe`; callable from any thread, takes no lock.
  void CancelPendingRead(Handle pipe);

  void setReadTimeout(std::chrono::milliseconds timeout) { readTimeout_.store(timeout.count()); }
  // The bound of every control call made here (DEFAULT_CONTROL_TIMEOUT unless set).
  void setControlTimeout(std::chrono::milliseconds timeout) { controlTimeout_.store(timeout.count()); }

  // While refused, every locked request
  // fails at once without reaching the strip, and one in flight is withdrawn
  // (Driver::CancelControl), so that a stopping thread is never held by a
  // slow strip. SendSetEvent, SendStop and reads are not affected.
  void RefuseRequests(bool refuse);

  // The lock itself: re-entrant, held by every request and for the whole
  // (bounded) wait of ReadReading.
  std::recursive_mutex& deviceLock() { return deviceLock_; }

 private:
  Handle OpenPath(const std::string& path);
  // `bytesReturned` is 0 whenever the call fails, and never more than out.size().
  bool PipeIoControl(std::int32_t serial, std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                     std::uint32_t& bytesReturned);
  bool Control(Handle handle, std::uint32_t code, std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
               std::uint32_t& bytesReturned);

  Driver& driver_;
  std::recursive_mutex deviceLock_;
  mutable std::mutex listMutex_;  // guards only the swap of list_
  std::shared_ptr<const DeviceList> list_;
  std::atomic<int> deviceCount_{0};
  std::atomic<std::int64_t> readTimeout_{DEFAULT_READ_TIMEOUT.count()};
  std::atomic<std::int64_t> controlTimeout_{DEFAULT_CONTROL_TIMEOUT.count()};
  std::atomic<bool> refused_{false};
  std::mutex controlMutex_;  // guards controlPipe_
  Handle controlPipe_ = INVALID_HANDLE_VALUE;  // the pipe of the request in flight
  std::atomic<bool> recordKeptSaid_{false};
  std::mutex noticeMutex_;  // guards noticeSink_
  NoticeSink noticeSink_;
};

// The calibration fetch at the start of a connection: the page selector, then
// for each outlet the first record read (with the reset sequence and one
// repeated read when the record is flagged) and the second read. Results of
// the requests are not examined: a failed request decodes as zero bytes.
// Without an unlock code a flagged record is decoded as read (and said once).
std::array<protocol::ChannelCalibration, 4> FetchCalibration(DeviceAccess& device, std::int32_t serial);

}  // namespace kvx::device
