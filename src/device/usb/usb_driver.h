// The USB backend: device::Driver over libusb-1.0, for real strips.
//
// - GetClassDevs lists the devices whose VID:PID is in the class's list; the
//   interface path is made of the IDs, bus and port numbers (usb_paths.h).
// - Every handle to one strip shares one libusb device handle (two could not
//   both claim interface 0); interface 0 is claimed, with the kernel driver
//   detached, while at least one pipe handle is open.
// - CONTROL_TRANSFER is a control transfer with the setup packet's fields,
//   bounded by a time-out, waited for outside libusb (usb_control.h); SET_EVENT on a pipe starts the stream
//   (usb_stream.h), STOP ends it and later reads fail.
// - Arrival and removal come from libusb hotplug where it has it and from a
//   comparison of device lists every second where not.
//
// Guarantees (those of the driver contract):
// - every call returns within a bounded time: control transfers time out
//   after the caller's time-out, Read after its own time-out, STOP and Close wait at
//   most two seconds for cancelled transfers;
// - a CancelRead is never lost: it wakes the Read that waits on the handle,
//   or the next Read on it when none does;
// - Close during a Read on another thread makes that Read fail at once;
// - the loss of a strip fails its waiting Read at once and every later call;
// - once Unsubscribe returns, its callback is not running and will not run
//   again (unless Unsubscribe is called from within that callback).
// Threads: one libusb event thread; one delivery thread that hands arrival
// and removal to subscribers. Callbacks of libusb only queue and resubmit.
// Every other libusb call goes through the EventGate (usb_gate.h).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <libusb.h>

#include "device/driver.h"
#include "device/subscribers.h"
#include "device/usb/usb_control.h"
#include "device/usb/usb_gate.h"
#include "device/usb/usb_options.h"
#include "device/usb/usb_paths.h"
#include "device/usb/usb_stream.h"

namespace kvx::usb {

class UsbDriver final : public device::Driver {
 public:
  // Takes an initialised context and exits it when destroyed.
  UsbDriver(libusb_context* context, UsbOptions options);
  ~UsbDriver() override;
  UsbDriver(const UsbDriver&) = delete;
  UsbDriver& operator=(const UsbDriver&) = delete;

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
  // The code given with --unlock-code; a real strip's own code is not known.
  std::optional<device::AccessCode> UnlockCode() const override;

  // Reads now in Read, for tests that must act while one waits.
  int PendingReadCount() const { return pendingReads_.load(); }
  // Readings received on the pipe `handle` and not yet read, for tests.
  std::size_t QueuedReadingCount(device::Handle handle);

 private:
  // One strip that has at least one open handle.
  struct Strip {
    explicit Strip(EventGate& g) : gate(g) {}
    ~Strip();  // releases and closes; takes a Pass
    EventGate& gate;
    libusb_device_handle* handle = nullptr;
    std::string path;
    EndpointInfo endpoint;
    int claims = 0;                // open pipe handles (under openMutex_)
    std::atomic<bool> gone{false};  // removed: every call on it fails
  };
  struct HandleState {
    std::shared_ptr<Strip> strip;
    bool pipe = false;
    std::shared_ptr<UsbStream> stream;  // pipe handles only
    bool controlsCancelled = false;     // CancelControl: its control calls return Gone
  };
  struct Present {
    std::string classGuid;
    std::string path;
    bool operator<(const Present& other) const {
      return classGuid != other.classGuid ? classGuid < other.classGuid : path < other.path;
    }
  };

  const std::vector<UsbId>* IdsOf(std::string_view classGuid) const;
  std::string ClassOf(const UsbId& id) const;
  std::shared_ptr<Strip> OpenStripLocked(const std::string& path);
  device::ControlStatus Transfer(device::Handle handle, Strip& strip, std::span<const std::uint8_t> in,
                                 std::span<std::uint8_t> out,
                                 std::uint32_t& bytesReturned, std::chrono::milliseconds timeout);
  void MarkGone(const std::string& path);
  // Ends every control call waiting on `handle` (under mutex_).
  void AbandonCallsLocked(device::Handle handle);
  std::set<Present> PresentNow();
  static int LIBUSB_CALL OnHotplug(libusb_context* context, libusb_device* device, libusb_hotplug_event event,
                                   void* self);
  void EventLoop();
  void DeliveryLoop();
  void Deliver(const device::DeviceEvent& event);

  libusb_context* const context_;
  const UsbOptions options_;
  EventGate gate_;

  std::mutex openMutex_;  // opening and closing strips: strips_, claims, deniedPaths_
  std::map<std::string, std::weak_ptr<Strip>> strips_;
  std::set<std::string> deniedPaths_;  // permission message said once per path

  std::mutex mutex_;  // handles and their waiting control calls
  std::map<device::Handle, HandleState> handles_;
  std::multimap<device::Handle, ControlCall*> calls_;  // control calls waiting, by handle
  device::Handle nextHandle_ = 0x100;

  std::mutex eventsMutex_;  // the queue filled by hotplug callbacks
  std::condition_variable eventsCv_;
  std::deque<device::DeviceEvent> events_;
  bool stopDelivery_ = false;

  std::atomic<int> pendingReads_{0};
  std::atomic<bool> eventsStopped_{false};
  bool hotplug_ = false;
  std::vector<libusb_hotplug_callback_handle> hotplugHandles_;
  std::thread eventThread_;
  std::thread deliveryThread_;
  device::Subscribers subscribers_;
};

}  // namespace kvx::usb
