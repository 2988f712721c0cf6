#include "device/device_access.h"

#include <algorithm>
#include <cstdio>

namespace kvx::device {

using namespace kvx::protocol;

DeviceAccess::DeviceAccess(Driver& driver) : driver_(driver), list_(std::make_shared<const DeviceList>()) {}

Handle DeviceAccess::OpenPath(const std::string& path) { return driver_.Open(path); }

bool DeviceAccess::Control(Handle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                           std::span<std::uint8_t> out, std::uint32_t& bytesReturned) {
  const std::chrono::milliseconds timeout(controlTimeout_.load());
  return driver_.Control(handle, code, in, out, bytesReturned, timeout) == ControlStatus::Ok;
}

// ---------------------------------------------------------------- discovery

bool DeviceAccess::ReadDeviceIdentity(InterfaceSet& set, std::uint32_t index, DeviceEntry& entry) {
  const std::optional<std::string> path = set.InterfaceDetailPath(index);
  if (!path) return false;
  const Handle handle = OpenPath(*path);
  if (handle == INVALID_HANDLE_VALUE) return false;
  // The same 8-byte buffer carries the setup packet in and the reply out.
  std::array<std::uint8_t, 8> buffer =
      BuildSetupPacket(REQUEST_TYPE_IN, REQ_SERIAL_NUMBER, 0, 0, SERIAL_NUMBER_LENGTH);
  std::uint32_t returned = 0;
  const bool ok = Control(handle, IOCTL_STRIP_CONTROL_TRANSFER, buffer, buffer, returned);
  // The buffer still holds the setup packet beyond the bytes returned; a short
  // reply must not turn those bytes (0xC0 0xC1 ...) into a serial number, so
  // they read as zero like every other short reply.
  std::fill(buffer.begin() + std::min<std::size_t>(returned, buffer.size()), buffer.end(), std::uint8_t{0});
  if (ok) {
    entry.serialNumber = static_cast<std::int32_t>(DecodeSerialNumber(std::span<const std::uint8_t, 3>(buffer.data(), 3)));
    entry.devicePath = *path;
  }
  driver_.Close(handle);
  return ok;
}

int DeviceAccess::EnumerateDevices(std::string_view classGuid, DeviceList& list) {
  std::unique_ptr<InterfaceSet> set = driver_.GetClassDevs(classGuid);
  if (!set) return 0;
  // Entries are linked in at the head, so the latest-enumerated comes first;
  // a stable sort then keeps that order among equal serial numbers.
  DeviceList found;
  for (std::uint32_t index = 0;; ++index) {
    const EnumStatus status = set->EnumInterface(index);
    if (status == EnumStatus::NoMoreItems) break;
    if (status == EnumStatus::Error) {
      // An index the system cannot enumerate is skipped. Guard against a set
      // that errors forever: it cannot hold more interfaces than this.
      if (index >= 0xFFFF) break;
      continue;
    }
    DeviceEntry entry;
    if (!ReadDeviceIdentity(*set, index, entry)) break;
    found.insert(found.begin(), std::move(entry));
  }
  const int count = static_cast<int>(found.size());
  list.insert(list.begin(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
  std::stable_sort(list.begin(), list.end(),
                   [](const DeviceEntry& a, const DeviceEntry& b) { return a.serialNumber < b.serialNumber; });
  return count;
}

int DeviceAccess::Discover(DeviceList& list) {
  int count = EnumerateDevices(primaryInterfaceGuid, list);
  if (count == 0) count = EnumerateDevices(fallbackInterfaceGuid, list);
  return count;
}

int DeviceAccess::CountDevices() {
  DeviceList temporary;
  return Discover(temporary);
}

int DeviceAccess::RebuildDeviceList() {
  auto fresh = std::make_shared<DeviceList>();
  const int count = Discover(*fresh);
  InstallDeviceList(std::move(fresh), count);
  return count;
}

void DeviceAccess::InstallDeviceList(std::shared_ptr<const DeviceList> list, int count) {
  std::lock_guard guard(listMutex_);
  list_ = list ? std::move(list) : std::make_shared<const DeviceList>();
  deviceCount_.store(count);
}

std::shared_ptr<const DeviceList> DeviceAccess::List() const {
  std::lock_guard guard(listMutex_);
  return list_;
}

bool DeviceAccess::GetSerialAt(int position, std::int32_t& serial) const {
  const auto list = List();
  if (position < 1 || static_cast<std::size_t>(position) > list->size()) return false;
  serial = (*list)[static_cast<std::size_t>(position) - 1].serialNumber;
  return true;
}

bool DeviceAccess::FindDevicePath(std::int32_t serial, std::string& path) const {
  const auto list = List();
  for (const DeviceEntry& entry : *list) {
    if (entry.serialNumber == serial) {
      path = entry.devicePath;
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------- one strip

Handle DeviceAccess::OpenDevice(std::int32_t serial, std::string& path) {
  path.clear();
  // Serial 0 means "no strip", even if some strip reports that number.
  if (serial == 0 || !FindDevicePath(serial, path)) return INVALID_HANDLE_VALUE;
  return OpenPath(path);
}

bool DeviceAccess::ProbeDevice(std::int32_t serial, std::string& path) {
  const Handle handle = OpenDevice(serial, path);
  if (handle == INVALID_HANDLE_VALUE) return false;
  driver_.Close(handle);
  return true;
}

// ---------------------------------------------------------------- locked requests

Handle DeviceAccess::OpenPipe(std::int32_t serial, std::string_view name) {
  std::lock_guard lock(deviceLock_);
  std::string path;
  if (!ProbeDevice(serial, path)) return INVALID_HANDLE_VALUE;
  path += PIPE_SEPARATOR;
  path += name;
  return OpenPath(path);
}

bool DeviceAccess::PipeIoControl(std::int32_t serial, std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                 std::uint32_t& bytesReturned) {
  bytesReturned = 0;
  if (refused_.load()) return false;
  std::lock_guard lock(deviceLock_);
  // One open per request: the strip's pipe, straight away (a strip that is
  // gone has no pipe to open either).
  std::string path;
  if (serial == 0 || !FindDevicePath(serial, path)) return false;
  const Handle pipe = OpenPath(path + PIPE_SEPARATOR + std::string(PIPE_NAME));
  if (pipe == INVALID_HANDLE_VALUE) return false;
  {
    std::lock_guard control(controlMutex_);
    controlPipe_ = pipe;
  }
  std::uint32_t returned = 0;
  // A refusal that came while the pipe opened found nothing to cancel: it is seen here.
  const bool ok = !refused_.load() && Control(pipe, IOCTL_STRIP_CONTROL_TRANSFER, in, out, returned);
  {
    std::lock_guard control(controlMutex_);
    controlPipe_ = INVALID_HANDLE_VALUE;
  }
  bytesReturned = std::min<std::uint32_t>(returned, static_cast<std::uint32_t>(out.size()));
  driver_.Close(pipe);
  return ok;
}

void DeviceAccess::RefuseRequests(bool refuse) {
  refused_.store(refuse);
  if (!refuse) return;
  std::lock_guard control(controlMutex_);
  if (controlPipe_ != INVALID_HANDLE_VALUE) driver_.CancelControl(controlPipe_);
}

std::optional<std::size_t> DeviceAccess::Request(std::int32_t serial, const SetupPacket& setup,
                                                 std::span<std::uint8_t> reply) {
  // An IN request gets the 8-byte reply buffer; an OUT request a larger one
  // whose contents are discarded. The input is the setup packet alone.
  const bool in = (setup[0] & 0x80) != 0;
  std::array<std::uint8_t, 1024> buffer{};
  const std::span<std::uint8_t> out = in ? std::span(buffer).first(8) : std::span(buffer);
  std::uint32_t returned = 0;
  if (!PipeIoControl(serial, setup, out, returned)) return std::nullopt;
  const std::size_t count = in ? std::min<std::size_t>({returned, out.size(), reply.size()}) : 0;
  std::copy_n(buffer.begin(), count, reply.begin());
  return count;
}

bool DeviceAccess::ResetChannelRecord(std::int32_t serial, int outlet) {
  if (outlet < 1 || outlet > 4) return false;
  const std::optional<AccessCode> code = driver_.UnlockCode();
  if (!code) return false;
  const SetupPacket steps[] = {
      BuildSetupPacket(REQUEST_TYPE_OUT, REQ_UNLOCK, code->word1, code->word2, 0),
      BuildSetupPacket(REQUEST_TYPE_OUT, REQ_RESET_STEP_05, RESET_STEP_05_VALUE, 0, 0),
      BuildSetupPacket(REQUEST_TYPE_OUT, REQ_RESET_STEP_06, ResetRecordAddress(outlet), 0, 0),
      BuildSetupPacket(REQUEST_TYPE_OUT, REQ_RESET_STEP_07, RESET_STEP_07_VALUE, 0, 0),
      BuildSetupPacket(REQUEST_TYPE_OUT, REQ_RESET_STEP_09, 0, 0, 0),
  };
  std::lock_guard lock(deviceLock_);  // no other request comes between the steps
  bool result = false;
  for (const SetupPacket& step : steps) result = Request(serial, step).has_value();
  return result;
}

void DeviceAccess::SetNoticeSink(NoticeSink sink) {
  std::lock_guard lock(noticeMutex_);
  noticeSink_ = std::move(sink);
}

void DeviceAccess::SayRecordKept(std::int32_t serial, int outlet) {
  if (recordKeptSaid_.exchange(true)) return;
  const std::string line = "kvxclient: the calibration record of outlet " + std::to_string(outlet) + " of " +
                           protocol::FormatTreeLabel(static_cast<std::uint32_t>(serial) & 0xFFFFFFu) +
                           " is flagged; without the strip's unlock code (--unlock-code=W1:W2) it is used as read,"
                           " not reset (said once: other flagged records are kept alike)";
  Notice(line);
}

void DeviceAccess::Notice(const std::string& line) {
  std::lock_guard lock(noticeMutex_);
  if (noticeSink_) noticeSink_(line);
  else std::fprintf(stderr, "%s\n", line.c_str());
}

// ---------------------------------------------------------------- pipe handle

std::optional<std::uint32_t> DeviceAccess::ReadReading(Handle pipe,
                                                       std::span<std::uint8_t, protocol::READING_SIZE> buffer) {
  std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
  std::lock_guard lock(deviceLock_);
  const ReadResult result = driver_.Read(pipe, buffer, std::chrono::milliseconds(readTimeout_.load()));
  switch (result.status) {
    case ReadStatus::Completed: return std::min<std::uint32_t>(result.bytes, protocol::READING_SIZE);
    case ReadStatus::TimedOut:
    case ReadStatus::Cancelled: return 0u;
    case ReadStatus::Failed: break;
  }
  return std::nullopt;
}

void DeviceAccess::SendSetEvent(Handle pipe, std::uint32_t readEvent) {
  std::lock_guard lock(deviceLock_);
  const std::array<std::uint8_t, 4> value = {
      static_cast<std::uint8_t>(readEvent), static_cast<std::uint8_t>(readEvent >> 8),
      static_cast<std::uint8_t>(readEvent >> 16), static_cast<std::uint8_t>(readEvent >> 24)};
  std::uint32_t returned = 0;
  Control(pipe, IOCTL_STRIP_SET_EVENT, value, {}, returned);
}

void DeviceAccess::SendStop(Handle pipe) {
  std::lock_guard lock(deviceLock_);
  std::uint32_t returned = 0;
  Control(pipe, IOCTL_STRIP_STOP, {}, {}, returned);
}

void DeviceAccess::ClosePipe(Handle pipe) {
  if (pipe != INVALID_HANDLE_VALUE) driver_.Close(pipe);
}

void DeviceAccess::CancelPendingRead(Handle pipe) {
  if (pipe != INVALID_HANDLE_VALUE) driver_.CancelRead(pipe);
}

// ---------------------------------------------------------------- calibration fetch

std::array<ChannelCalibration, 4> FetchCalibration(DeviceAccess& device, std::int32_t serial) {
  const auto readMemory = [&](std::uint16_t page, std::uint16_t offset, std::span<std::uint8_t> reply) {
    device.Request(serial, BuildSetupPacket(REQUEST_TYPE_IN, REQ_READ_MEMORY, page, offset, READ_MEMORY_LENGTH), reply);
  };
  std::array<std::uint8_t, 8> reply{};
  readMemory(PAGE_SELECTOR_PAGE, PAGE_SELECTOR_OFFSET, reply);
  const std::uint16_t page = SelectCalibrationPage(reply[PAGE_SELECTOR_BYTE]);

  std::array<ChannelCalibration, 4> records{};
  for (int outlet = 1; outlet <= 4; ++outlet) {
    std::array<std::uint8_t, 8> first{};
    readMemory(page, CalibrationRecordOffset(outlet), first);
    if (first[CALIBRATION_FLAG_BYTE] != 0 && !device.CanResetRecords()) {
      device.SayRecordKept(serial, outlet);
    } else if (first[CALIBRATION_FLAG_BYTE] != 0) {
      device.ResetChannelRecord(serial, outlet);
      first.fill(0);
      readMemory(page, CalibrationRecordOffset(outlet), first);
    }
    std::array<std::uint8_t, 8> second{};
    readMemory(page, CalibrationSecondReadOffset(outlet), second);
    records[static_cast<std::size_t>(outlet) - 1] = DecodeChannelCalibration(first, second);
  }
  return records;
}

}  // namespace kvx::device
